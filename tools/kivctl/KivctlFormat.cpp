#include "KivctlFormat.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAddressEntry>

#include <algorithm>

namespace Kivctl {

namespace {

const QString Hidden = QStringLiteral("(hidden)");

QString dash(const QString &text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString yesNo(const QVariantMap &map, const QString &key, const QString &yes, const QString &no)
{
    if (!map.contains(key))
        return QStringLiteral("-");
    return map.value(key).toBool() ? yes : no;
}

int prefixLength(const QString &ip, const QString &netmask)
{
    QNetworkAddressEntry entry;
    entry.setIp(QHostAddress(ip));
    entry.setNetmask(QHostAddress(netmask));
    return entry.prefixLength();
}

// The addresses of one interface: "Ips" as the manager reports them, "Ip"/"Netmask" from the monitor.
QString addresses(const QVariantMap &details)
{
    if (details.contains(QStringLiteral("Ips")))
        return details.value(QStringLiteral("Ips")).toString();
    const QString ip = details.value(QStringLiteral("Ip")).toString();
    if (ip.isEmpty())
        return QString();
    const int prefix = prefixLength(ip, details.value(QStringLiteral("Netmask")).toString());
    return prefix < 0 ? ip : QStringLiteral("%1/%2").arg(ip).arg(prefix);
}

QString ipMethod(const QVariantMap &settings, const QVariantMap &details)
{
    if (!settings.isEmpty())
        return settings.value(QStringLiteral("Ip")).toString().isEmpty() ? QStringLiteral("dhcp") : QStringLiteral("static");
    return yesNo(details, QStringLiteral("Dhcp"), QStringLiteral("dhcp"), QStringLiteral("static"));
}

QString linkState(const QVariantMap &details)
{
    if (details.isEmpty())
        return QStringLiteral("absent");
    if (!details.contains(QStringLiteral("Present")))
        return QStringLiteral("-");
    static const QStringList states{"absent", "down", "up"};
    return states.value(details.value(QStringLiteral("Present")).toInt(), QStringLiteral("?"));
}

QString currentNetwork(const QVariantMap &details)
{
    const QString ssid = details.value(QStringLiteral("Ssid")).toString();
    if (ssid.isEmpty())
        return QString();
    QStringList facts;
    if (details.contains(QStringLiteral("Signal")))
        facts << QStringLiteral("signal %1").arg(details.value(QStringLiteral("Signal")).toString());
    if (details.contains(QStringLiteral("Channel")))
        facts << QStringLiteral("channel %1").arg(details.value(QStringLiteral("Channel")).toString());
    return facts.isEmpty() ? ssid : QStringLiteral("%1 (%2)").arg(ssid, facts.join(QStringLiteral(", ")));
}

QStringList interfaceRow(const QString &role, const QVariantMap &details, const QVariantMap &settings)
{
    return {dash(details.value(QStringLiteral("Interface")).toString()),
            role,
            linkState(details),
            yesNo(details, QStringLiteral("Connected"), QStringLiteral("yes"), QStringLiteral("no")),
            yesNo(details, QStringLiteral("CableStatus"), QStringLiteral("in"), QStringLiteral("out")),
            ipMethod(settings, details),
            dash(addresses(details)),
            dash(currentNetwork(details))};
}

} // namespace

QString secondsText(int milliseconds)
{
    return QStringLiteral("%1 s").arg(milliseconds / 1000.0);
}

Failure busFailure(const QString &errorName, const QString &errorMessage, int timeoutMs)
{
    const QString error = errorName.section(QLatin1Char('.'), -1);
    const bool busError = errorName.startsWith(QLatin1String("org.freedesktop.DBus.Error."));
    if (busError && (error == QLatin1String("ServiceUnknown") || error == QLatin1String("NameHasNoOwner")))
        return {Failed, QStringLiteral("kivd is not running")};
    if (busError && error == QLatin1String("AccessDenied"))
        return {Failed, QStringLiteral("access denied: only root may control kivd")};
    if (busError && (error == QLatin1String("NoReply") || error == QLatin1String("Timeout") ||
                     error == QLatin1String("TimedOut")))
        return {TimedOut, QStringLiteral("kivd did not answer within %1").arg(secondsText(timeoutMs))};
    if (busError && (error == QLatin1String("NoServer") || error == QLatin1String("FileNotFound") ||
                     error == QLatin1String("Disconnected") || error == QLatin1String("NoNetwork")))
        return {Failed, QStringLiteral("cannot reach the system bus: %1").arg(errorMessage)};
    if (busError && error.startsWith(QLatin1String("Unknown")))
        return {Failed, QStringLiteral("kivd does not offer this: %1").arg(errorMessage)};
    return {Failed, QStringLiteral("%1: %2").arg(errorName, errorMessage)};
}

QJsonValue toJson(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            object.insert(it.key(), toJson(it.value()));
        return object;
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        QJsonArray array;
        const QVariantList list = value.toList();
        for (const QVariant &element : list)
            array.append(toJson(element));
        return array;
    }
    case QMetaType::QByteArray:
        return QString::fromLatin1(value.toByteArray().toHex());
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toLongLong();
    default:
        return value.canConvert<QString>() ? QJsonValue(value.toString()) : QJsonValue();
    }
}

QString jsonText(const QVariant &value, bool compact)
{
    const QJsonValue json = toJson(value);
    const QJsonDocument document = json.isArray() ? QJsonDocument(json.toArray()) : QJsonDocument(json.toObject());
    return QString::fromUtf8(document.toJson(compact ? QJsonDocument::Compact : QJsonDocument::Indented)).trimmed();
}

QVariant redacted(const QVariant &value)
{
    static const QStringList secrets{"wpa_psk", "wep_key", "psk"};
    if (value.userType() == QMetaType::QVariantMap) {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            it.value() = secrets.contains(it.key()) ? QVariant(Hidden) : redacted(it.value());
        return map;
    }
    if (value.userType() == QMetaType::QVariantList) {
        QVariantList list = value.toList();
        for (QVariant &element : list)
            element = redacted(element);
        return list;
    }
    return value;
}

QString table(const QStringList &headers, const QList<QStringList> &rows)
{
    QList<QStringList> all{headers};
    all += rows;
    QVector<int> widths(headers.size(), 0);
    for (const QStringList &row : qAsConst(all)) {
        for (int column = 0; column < row.size() && column < widths.size(); ++column)
            widths[column] = qMax(widths[column], row.at(column).size());
    }
    QString text;
    for (const QStringList &row : qAsConst(all)) {
        QString line;
        for (int column = 0; column < widths.size(); ++column)
            line += row.value(column).leftJustified(widths[column] + 2);
        while (line.endsWith(QLatin1Char(' ')))
            line.chop(1);
        text += line + QLatin1Char('\n');
    }
    return text;
}

QString humanValue(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("yes") : QStringLiteral("no");
    case QMetaType::QStringList:
        return value.toStringList().join(QLatin1Char(' '));
    case QMetaType::QVariantMap:
    case QMetaType::QVariantList:
        return jsonText(redacted(value), true);
    case QMetaType::QByteArray:
        return QString::fromLatin1(value.toByteArray().toHex());
    default:
        return value.toString();
    }
}

QString fieldLines(const QList<QPair<QString, QString>> &fields)
{
    int width = 0;
    for (const auto &field : fields)
        width = qMax(width, field.first.size() + 1);
    QString text;
    for (const auto &field : fields)
        text += (field.first + QLatin1Char(':')).leftJustified(width + 1) + field.second + QLatin1Char('\n');
    return text;
}

QString fieldLines(const QVariantMap &map)
{
    const QVariantMap shown = redacted(map).toMap();
    QList<QPair<QString, QString>> fields;
    for (auto it = shown.begin(); it != shown.end(); ++it)
        fields.append({it.key(), dash(humanValue(it.value()))});
    return fieldLines(fields);
}

QString softApSettingsText(const QVariantMap &settings)
{
    if (settings.isEmpty())
        return QStringLiteral("No soft-AP settings.\n");
    QString text;
    for (auto it = settings.begin(); it != settings.end(); ++it) {
        text += it.key() + QStringLiteral(":\n");
        const QStringList lines = fieldLines(it.value().toMap()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const QString &line : lines)
            text += QStringLiteral("  ") + line + QLatin1Char('\n');
    }
    return text;
}

QString statusText(const QVariantMap &properties)
{
    const QVariantMap details = properties.value(QStringLiteral("Details")).toMap();
    const QVariantMap wired = details.value(QStringLiteral("wired")).toMap();
    const QVariantMap wireless = details.value(QStringLiteral("wireless")).toMap();
    const QVariantMap anyInterface = wired.isEmpty() ? wireless : wired;
    const QStringList networks = properties.value(QStringLiteral("WirelessNetworks")).toMap().keys();
    const QVariantMap softAp = properties.value(QStringLiteral("SoftApModeSettings")).toMap();

    QList<QPair<QString, QString>> fields{
        {QStringLiteral("Mode"), dash(properties.value(QStringLiteral("Mode")).toString())},
        {QStringLiteral("Connected"), humanValue(properties.value(QStringLiteral("Connected")).toBool())},
        {QStringLiteral("Log level"), properties.value(QStringLiteral("LogLevel")).toString()},
        {QStringLiteral("Networks"), networks.isEmpty() ? QStringLiteral("none") : networks.join(QStringLiteral(", "))},
    };
    // kivd keeps one settings map per soft-AP interface.
    for (auto it = softAp.begin(); it != softAp.end(); ++it) {
        const QVariantMap settings = it.value().toMap();
        const QString ssid = settings.value(QStringLiteral("ssid")).toString();
        if (!ssid.isEmpty())
            fields.append({QStringLiteral("Soft AP"), QStringLiteral("%1 on %2, channel %3")
                                                          .arg(ssid, it.key(), settings.value(QStringLiteral("channel")).toString())});
    }
    fields.append({QStringLiteral("Gateway"), dash(anyInterface.value(QStringLiteral("Gateway")).toString())});
    fields.append({QStringLiteral("DNS"), dash(anyInterface.value(QStringLiteral("Dns")).toString())});

    const QList<QStringList> rows{
        interfaceRow(QStringLiteral("wired"), wired, properties.value(QStringLiteral("WiredIpSettings")).toMap()),
        interfaceRow(QStringLiteral("wireless"), wireless, properties.value(QStringLiteral("WirelessIpSettings")).toMap())};
    return fieldLines(fields) + QLatin1Char('\n') +
           table({"INTERFACE", "ROLE", "LINK", "CONNECTED", "CABLE", "IP", "ADDRESSES", "NETWORK"}, rows);
}

QVariantList sortedScanResults(const QVariantMap &results)
{
    QVariantList list;
    for (auto it = results.begin(); it != results.end(); ++it) {
        QVariantMap result = it.value().toMap();
        result.insert(QStringLiteral("ssid"), it.key());
        list.append(result);
    }
    std::stable_sort(list.begin(), list.end(), [](const QVariant &a, const QVariant &b) {
        return a.toMap().value(QStringLiteral("signal")).toInt() > b.toMap().value(QStringLiteral("signal")).toInt();
    });
    return list;
}

QString scanTable(const QVariantMap &results)
{
    QList<QStringList> rows;
    for (const QVariant &entry : sortedScanResults(results)) {
        const QVariantMap result = entry.toMap();
        rows.append({result.value(QStringLiteral("ssid")).toString().isEmpty() ? QStringLiteral("(hidden)")
                                                                               : result.value(QStringLiteral("ssid")).toString(),
                     dash(result.value(QStringLiteral("type")).toString()), result.value(QStringLiteral("signal")).toString(),
                     result.value(QStringLiteral("channel")).toString()});
    }
    return table({"SSID", "SECURITY", "SIGNAL", "CHANNEL"}, rows);
}

QVariantList networkList(const QVariantMap &stored)
{
    QVariantList list;
    for (auto it = stored.begin(); it != stored.end(); ++it) {
        const QVariantMap network = it.value().toMap();
        QVariantMap entry{{QStringLiteral("ssid"), it.key()}, {QStringLiteral("type"), network.value(QStringLiteral("type"))}};
        if (network.contains(QStringLiteral("priority")))
            entry.insert(QStringLiteral("priority"), network.value(QStringLiteral("priority")).toInt());
        list.append(entry);
    }
    return list;
}

QString networksTable(const QVariantMap &stored)
{
    QList<QStringList> rows;
    for (const QVariant &entry : networkList(stored)) {
        const QVariantMap network = entry.toMap();
        rows.append({network.value(QStringLiteral("ssid")).toString(), dash(network.value(QStringLiteral("type")).toString()),
                     dash(network.value(QStringLiteral("priority")).toString())});
    }
    return table({"SSID", "SECURITY", "PRIORITY"}, rows);
}

QString ipSettingsLine(const QString &side, const QVariantMap &settings)
{
    if (settings.isEmpty())
        return QStringLiteral("%1: not reported by kivd").arg(side);
    QStringList parts;
    const QString ip = settings.value(QStringLiteral("Ip")).toString();
    if (ip.isEmpty())
        parts << QStringLiteral("dhcp");
    else
        parts << QStringLiteral("static %1/%2").arg(ip).arg(prefixLength(ip, settings.value(QStringLiteral("Netmask")).toString()));
    for (const auto &item : {qMakePair(QStringLiteral("Gateway"), QStringLiteral("gw")),
                             qMakePair(QStringLiteral("Dns"), QStringLiteral("dns")),
                             qMakePair(QStringLiteral("SearchDomains"), QStringLiteral("search"))}) {
        const QString value = settings.value(item.first).toString();
        if (!value.isEmpty())
            parts << item.second + QLatin1Char(' ') + value;
    }
    return QStringLiteral("%1: %2").arg(side, parts.join(QStringLiteral(", ")));
}

QString signalLine(const QDateTime &time, const QString &member, const QVariantList &arguments, bool json)
{
    const QVariantList shown = redacted(arguments).toList();
    if (json) {
        return jsonText(QVariantMap{{QStringLiteral("time"), time.toString(Qt::ISODateWithMs)},
                                    {QStringLiteral("signal"), member},
                                    {QStringLiteral("args"), shown}},
                        true);
    }
    QStringList parts{time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz")), member};
    for (const QVariant &argument : shown)
        parts << (argument.userType() == QMetaType::Bool ? QString::fromLatin1(argument.toBool() ? "true" : "false")
                                                         : humanValue(argument));
    return parts.join(QLatin1Char(' '));
}

} // namespace Kivctl
