#pragma once

#include "NetworkTypes.h"
#include "Ssid.h"

#include <QMetaType>
#include <QString>
#include <QVariantMap>

#include <optional>

// One configured wireless network. A negative priority means the network has no priority.
class WirelessNetwork
{
public:
    WirelessNetwork() = default;
    WirelessNetwork(const Ssid &ssid, SecurityType type, const QString &key = QString(), qint32 priority = 0);

    const Ssid &ssid() const { return m_ssid; }
    const QString &key() const { return m_key; }
    qint32 priority() const { return m_priority; }
    SecurityType type() const { return m_type; }

    bool hasPriority() const { return m_priority >= 0; }
    // Unsecured always; WEP with a 5, 10, 13 or 26 character key; WPA-PSK with at least 8 characters.
    bool isValid() const;

    bool operator==(const WirelessNetwork &other) const;
    bool operator!=(const WirelessNetwork &other) const { return !(*this == other); }

    // Bus form (WpsCredentials, WirelessNetworks read): ssid, wep_key/wpa_psk, type, priority.
    // An invalid network gives the empty map.
    QVariantMap toMap() const;

    // Properties for the supplicant's AddNetwork; an invalid network gives the empty map.
    QVariantMap toSupplicantProperties() const;

    // A network from one WirelessNetworks entry: the SSID text and its credentials map
    // (unsecured, wep_key, wpa_psk, priority). No value when the map names no usable key.
    static std::optional<WirelessNetwork> fromCredentials(const QString &ssidText, const QVariantMap &credentials);

private:
    Ssid m_ssid;
    QString m_key;
    qint32 m_priority = 0;
    SecurityType m_type = SecurityType::Unsecured;
};

uint qHash(const WirelessNetwork &network, uint seed = 0);

Q_DECLARE_METATYPE(WirelessNetwork)
