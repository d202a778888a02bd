#include "NetworkManagerMaps.h"

#include "LogHandler.h"
#include "NetworkTypes.h"

#include <QHostAddress>
#include <algorithm>

namespace NetworkManagerMaps {

namespace {

const QString SignalKey = QStringLiteral("signal");

bool isLinkLocal(const QHostAddress &address)
{
    if (address.protocol() == QAbstractSocket::IPv4Protocol)
        return address.isInSubnet(QHostAddress(QStringLiteral("169.254.0.0")), 16);
    const Q_IPV6ADDR bytes = address.toIPv6Address();
    return bytes[0] == 0xfe && bytes[1] == 0x80;
}

} // namespace

QVariantMap scanResults(const QList<ApDescription> &results)
{
    QVariantMap map;
    for (const ApDescription &result : results) {
        const QString key = result.ssid().toString();
        const auto stored = map.constFind(key);
        if (stored == map.constEnd() || result.signal() > stored.value().toMap().value(SignalKey).toInt())
            map.insert(key, result.toMap());
    }
    return map;
}

QString addressText(const QHostAddress &address, int prefixLength)
{
    QHostAddress unscoped = address;
    unscoped.setScopeId(QString());
    return QStringLiteral("%1/%2%3")
        .arg(unscoped.toString())
        .arg(prefixLength)
        .arg(isLinkLocal(address) ? QStringLiteral("l") : QString());
}

QString addressesText(const QList<QNetworkAddressEntry> &entries)
{
    QStringList texts;
    for (const QNetworkAddressEntry &entry : entries)
        texts << addressText(entry.ip(), entry.prefixLength());
    return texts.join(QLatin1Char(' '));
}

QString configuredNetworksText(const QSet<WirelessNetwork> &networks)
{
    QStringList ssids;
    for (const WirelessNetwork &network : networks)
        ssids << QString(network.ssid().toString()).replace(QLatin1Char(','), QStringLiteral("\\,"));
    std::sort(ssids.begin(), ssids.end());
    return ssids.join(QLatin1Char(','));
}

QVariantMap wirelessNetworksMap(const QSet<WirelessNetwork> &networks)
{
    QVariantMap map;
    for (const WirelessNetwork &network : networks)
        map.insert(network.ssid().toString(), network.toMap());
    return map;
}

QSet<WirelessNetwork> wirelessNetworksFromMap(const QVariantMap &map)
{
    QSet<WirelessNetwork> networks;
    for (auto it = map.constBegin(); it != map.constEnd(); ++it) {
        const QVariantMap credentials = NetworkTypes::variantToMap(it.value());
        kivInfo() << "Received wireless network: " << it.key();
        kivDebug() << "Received wireless network: credentials: " << credentials;
        const std::optional<WirelessNetwork> network = WirelessNetwork::fromCredentials(it.key(), credentials);
        if (network)
            networks.insert(*network);
        else
            kivInfo() << "Not adding network: " << it.key();
    }
    return networks;
}

bool isConnected(const QStringList &stateNames)
{
    return std::any_of(stateNames.cbegin(), stateNames.cend(), [](const QString &name) {
        return name.contains(QLatin1String("connected"), Qt::CaseInsensitive);
    });
}

QString modeName(const QStringList &stateNames)
{
    static const QStringList modes{QStringLiteral("OffMode"), QStringLiteral("WiredMode"),
                                   QStringLiteral("WirelessMode"), QStringLiteral("AutomaticMode"),
                                   QStringLiteral("HybridMode")};
    for (const QString &name : stateNames) {
        if (modes.contains(name))
            return name;
    }
    return QString();
}

QVariantMap interfaceDetails(const InterfaceFacts &facts)
{
    QVariantMap details{{QStringLiteral("Interface"), facts.name}};
    if (!facts.present) {
        details.insert(QStringLiteral("Present"), 0);
        return details;
    }
    details.insert(QStringLiteral("Present"), facts.up ? 2 : 1);
    details.insert(QStringLiteral("Mac"), facts.mac);
    details.insert(QStringLiteral("Ips"), addressesText(facts.addresses));
    switch (facts.kind) {
    case InterfaceFacts::Kind::Wired:
        details.insert(QStringLiteral("Connected"), facts.connected);
        details.insert(QStringLiteral("CableStatus"), facts.cablePluggedIn);
        details.insert(QStringLiteral("Dhcp"), facts.dhcp);
        break;
    case InterfaceFacts::Kind::Wireless:
        details.insert(QStringLiteral("Connected"), facts.connected);
        details.insert(QStringLiteral("Dhcp"), facts.dhcp);
        for (auto it = facts.networkDetails.constBegin(); it != facts.networkDetails.constEnd(); ++it)
            details.insert(it.key(), it.value());
        details.insert(QStringLiteral("Configured Networks"), configuredNetworksText(facts.configuredNetworks));
        break;
    case InterfaceFacts::Kind::SoftAp:
        details.insert(QStringLiteral("SoftApUp"), facts.softApUp);
        break;
    case InterfaceFacts::Kind::Other:
        break;
    }
    details.insert(QStringLiteral("Gateway"), facts.gateway);
    details.insert(QStringLiteral("Gateway6"), facts.gateway6);
    details.insert(QStringLiteral("Dns"), facts.nameservers.join(QLatin1Char(' ')));
    return details;
}

} // namespace NetworkManagerMaps
