#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Helpers for tests that change links, addresses, routes and /etc inside run-in-netns.sh.
namespace KernelSandbox {

inline QString namespaceOf(const char *path)
{
    return QFile::symLinkTarget(QString::fromLatin1(path));
}

inline bool etcIsPrivateOverlay()
{
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (!mounts.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const int separator = fields.indexOf("-");
        if (fields.size() > 4 && fields.at(4) == "/etc" && separator > 0 && separator + 1 < fields.size()
            && fields.at(separator + 1) == "overlay")
            return true;
    }
    return false;
}

// Empty inside the harness; otherwise why the test must not touch anything.
inline QString refusalReason()
{
    if (!qEnvironmentVariableIsSet("KIV_TEST_SANDBOX"))
        return QStringLiteral("not started by run-in-netns.sh");
    if (namespaceOf("/proc/self/ns/net") == namespaceOf("/proc/1/ns/net"))
        return QStringLiteral("running in the machine's own network namespace");
    if (namespaceOf("/proc/self/ns/mnt") == namespaceOf("/proc/1/ns/mnt"))
        return QStringLiteral("running in the machine's own mount namespace");
    if (!etcIsPrivateOverlay())
        return QStringLiteral("/etc is not the private overlay");
    return QString();
}

inline QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

// Runs ip with the arguments; a failure is printed and reported as false.
inline bool ip(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("ip"), arguments);
    const bool finished = process.waitForFinished(10000);
    if (finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    qWarning("ip %s failed: %s", qPrintable(arguments.join(QLatin1Char(' '))), process.readAll().constData());
    return false;
}

inline QJsonArray ipJson(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral("ip"), QStringList{QStringLiteral("-j")} + arguments);
    process.waitForFinished(10000);
    return QJsonDocument::fromJson(process.readAllStandardOutput()).array();
}

// The kernel's addresses of one interface as "address/prefix" texts with their scope.
inline QStringList kernelAddresses(const QString &interface, bool includeDeprecated = true)
{
    QStringList texts;
    for (const QJsonValue &link : ipJson({QStringLiteral("addr"), QStringLiteral("show"), QStringLiteral("dev"), interface})) {
        for (const QJsonValue &info : link.toObject().value(QStringLiteral("addr_info")).toArray()) {
            const QJsonObject address = info.toObject();
            if (!includeDeprecated && address.value(QStringLiteral("deprecated")).toBool())
                continue;
            texts << address.value(QStringLiteral("local")).toString() + QLatin1Char('/')
                    + QString::number(address.value(QStringLiteral("prefixlen")).toInt()) + QLatin1Char(' ')
                    + address.value(QStringLiteral("scope")).toString();
        }
    }
    texts.sort();
    return texts;
}

} // namespace KernelSandbox
