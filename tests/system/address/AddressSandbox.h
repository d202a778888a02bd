#pragma once

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <signal.h>
#include <sys/types.h>

// Helpers for tests run by run-address-sandbox.sh, inside the device network namespace.
namespace AddressSandbox {

inline QByteArray output(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    process.waitForFinished(10000);
    return process.readAllStandardOutput();
}

inline bool fileSystemAt(const QByteArray &mountPoint, const QByteArray &type)
{
    QFile mounts(QStringLiteral("/proc/self/mountinfo"));
    if (!mounts.open(QIODevice::ReadOnly))
        return false;
    bool found = false;
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const int separator = fields.indexOf("-");
        if (fields.size() > 4 && fields.at(4) == mountPoint && separator > 0 && separator + 1 < fields.size())
            found = fields.at(separator + 1) == type;
    }
    return found;
}

// Empty inside the sandbox; otherwise why the test must not change anything.
inline QString refusalReason()
{
    if (qEnvironmentVariableIsEmpty("KIV_ADDRESS_SANDBOX_WORK"))
        return QStringLiteral("not started by run-address-sandbox.sh");
    if (output(QStringLiteral("ip"), {QStringLiteral("netns"), QStringLiteral("identify")}).trimmed() != "dev")
        return QStringLiteral("not in the sandbox's device network namespace");
    if (!fileSystemAt("/etc", "overlay") || !fileSystemAt("/run", "tmpfs"))
        return QStringLiteral("/etc and /run are not the sandbox's private copies");
    return QString();
}

inline bool ip(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("ip"), arguments);
    const bool done = process.waitForFinished(10000);
    if (done && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return true;
    qWarning("ip %s failed: %s", qPrintable(arguments.join(QLatin1Char(' '))), process.readAll().constData());
    return false;
}

inline bool writeSysctl(const QString &path, const QByteArray &value)
{
    QFile file(QStringLiteral("/proc/sys/") + path);
    return file.open(QIODevice::WriteOnly) && file.write(value + '\n') == value.size() + 1;
}

// The interface's addresses of one family ("inet" or "inet6") as "address/prefix scope".
inline QStringList addresses(const QString &interface, const QString &family)
{
    QStringList texts;
    const QJsonArray links = QJsonDocument::fromJson(output(
        QStringLiteral("ip"), {"-j", "addr", "show", "dev", interface})).array();
    for (const QJsonValue &link : links) {
        for (const QJsonValue &value : link.toObject().value(QStringLiteral("addr_info")).toArray()) {
            const QJsonObject info = value.toObject();
            if (info.value(QStringLiteral("family")).toString() == family)
                texts << info.value(QStringLiteral("local")).toString() + '/'
                             + QString::number(info.value(QStringLiteral("prefixlen")).toInt()) + ' '
                             + info.value(QStringLiteral("scope")).toString();
        }
    }
    return texts;
}

// The IPv4 default routes as "via gateway dev interface".
inline QStringList defaultRoutes()
{
    QStringList texts;
    const QJsonArray routes = QJsonDocument::fromJson(output(QStringLiteral("ip"),
                                                             {"-j", "-4", "route", "show", "default"})).array();
    for (const QJsonValue &value : routes) {
        const QJsonObject route = value.toObject();
        texts << "via " + route.value(QStringLiteral("gateway")).toString() + " dev "
                     + route.value(QStringLiteral("dev")).toString();
    }
    return texts;
}

inline QString resolvConf()
{
    QFile file(QStringLiteral("/etc/resolv.conf"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The processes of this sandbox whose command name is name.
inline QList<pid_t> processes(const QString &name)
{
    QList<pid_t> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        QFile comm(QStringLiteral("/proc/%1/comm").arg(entry));
        if (number && comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.toUtf8())
            pids << pid;
    }
    return pids;
}

inline QByteArray dnsmasqLog()
{
    QFile file(qEnvironmentVariable("KIV_ADDRESS_SANDBOX_WORK") + QStringLiteral("/dnsmasq.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Hands out new lease options: dnsmasq re-reads them on SIGHUP.
inline bool setLeaseOptions(const QByteArray &options)
{
    QFile file(qEnvironmentVariable("KIV_SANDBOX_DHCP_OPTIONS"));
    if (!file.open(QIODevice::WriteOnly) || file.write(options) != options.size())
        return false;
    file.close();
    return ::kill(qEnvironmentVariableIntValue("KIV_SANDBOX_DNSMASQ_PID"), SIGHUP) == 0;
}

} // namespace AddressSandbox
