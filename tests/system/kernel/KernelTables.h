#pragma once

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// The kernel tests change and read the device's links, addresses and routes with iproute2.
namespace KernelTables {

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

inline QJsonArray linkFlags(const QString &interface)
{
    return ipJson({QStringLiteral("link"), QStringLiteral("show"), QStringLiteral("dev"), interface})
        .at(0)
        .toObject()
        .value(QStringLiteral("flags"))
        .toArray();
}

// The kernel's addresses of one interface as "address/prefix scope" texts.
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

} // namespace KernelTables
