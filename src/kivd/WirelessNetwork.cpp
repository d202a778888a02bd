#include "WirelessNetwork.h"

#include "LogHandler.h"

#include <QHash>

WirelessNetwork::WirelessNetwork(const Ssid &ssid, SecurityType type, const QString &key, qint32 priority)
    : m_ssid(ssid)
    , m_key(key)
    , m_priority(priority)
    , m_type(type)
{
}

bool WirelessNetwork::isValid() const
{
    switch (m_type) {
    case SecurityType::Unsecured:
        return true;
    case SecurityType::Wep:
        return m_key.size() == 5 || m_key.size() == 10 || m_key.size() == 13 || m_key.size() == 26;
    case SecurityType::WpaPsk:
        return m_key.size() >= 8;
    }
    return false;
}

bool WirelessNetwork::operator==(const WirelessNetwork &other) const
{
    return m_ssid == other.m_ssid && m_key == other.m_key && m_priority == other.m_priority && m_type == other.m_type;
}

QVariantMap WirelessNetwork::toMap() const
{
    QVariantMap map;
    if (!isValid())
        return map;
    map.insert(QStringLiteral("ssid"), m_ssid.toString());
    switch (m_type) {
    case SecurityType::Wep:
        map.insert(QStringLiteral("wep_key"), m_key);
        map.insert(QStringLiteral("type"), QStringLiteral("wep"));
        break;
    case SecurityType::WpaPsk:
        map.insert(QStringLiteral("wpa_psk"), m_key);
        map.insert(QStringLiteral("type"), QStringLiteral("wpa-psk"));
        break;
    case SecurityType::Unsecured:
        map.insert(QStringLiteral("type"), QStringLiteral("unsecured"));
        break;
    }
    if (hasPriority())
        map.insert(QStringLiteral("priority"), m_priority);
    return map;
}

QVariantMap WirelessNetwork::toSupplicantProperties() const
{
    QVariantMap map;
    if (!isValid())
        return map;
    map.insert(QStringLiteral("ssid"), m_ssid.toByteArray());
    map.insert(QStringLiteral("scan_ssid"), 1);
    switch (m_type) {
    case SecurityType::Wep:
        // 10 and 26 characters are the hexadecimal forms of 40 and 104 bit keys.
        if (m_key.size() == 10 || m_key.size() == 26)
            map.insert(QStringLiteral("wep_key0"), QByteArray::fromHex(m_key.toLatin1()));
        else
            map.insert(QStringLiteral("wep_key0"), m_key);
        map.insert(QStringLiteral("key_mgmt"), QStringLiteral("NONE"));
        map.insert(QStringLiteral("auth_alg"), QStringLiteral("OPEN SHARED"));
        break;
    case SecurityType::WpaPsk:
        // 64 characters are a raw 256 bit PSK in hexadecimal, anything shorter a passphrase.
        if (m_key.size() == 64)
            map.insert(QStringLiteral("psk"), QByteArray::fromHex(m_key.toLatin1()));
        else
            map.insert(QStringLiteral("psk"), m_key);
        map.insert(QStringLiteral("key_mgmt"), QStringLiteral("WPA-PSK WPA-PSK-SHA256"));
        map.insert(QStringLiteral("ieee80211w"), 1);
        break;
    case SecurityType::Unsecured:
        map.insert(QStringLiteral("key_mgmt"), QStringLiteral("NONE"));
        break;
    }
    if (hasPriority())
        map.insert(QStringLiteral("priority"), m_priority);
    else
        kivWarning() << "Network " << m_ssid << " has illegal priority: " << m_priority;
    return map;
}

std::optional<WirelessNetwork> WirelessNetwork::fromCredentials(const QString &ssidText, const QVariantMap &credentials)
{
    const Ssid ssid = Ssid::fromString(ssidText);
    const qint32 priority = credentials.value(QStringLiteral("priority")).toInt();
    if (credentials.isEmpty() || credentials.value(QStringLiteral("unsecured")).toBool())
        return WirelessNetwork(ssid, SecurityType::Unsecured, QString(), priority);
    if (credentials.contains(QStringLiteral("wep_key")))
        return WirelessNetwork(ssid, SecurityType::Wep, credentials.value(QStringLiteral("wep_key")).toString(), priority);
    if (credentials.contains(QStringLiteral("wpa_psk")))
        return WirelessNetwork(ssid, SecurityType::WpaPsk, credentials.value(QStringLiteral("wpa_psk")).toString(),
                               priority);
    return std::nullopt;
}

uint qHash(const WirelessNetwork &network, uint seed)
{
    return qHash(network.ssid().toString(), seed) + qHash(network.key(), seed) + uint(network.priority())
           + uint(network.type());
}
