#pragma once

#include "MacAddress.h"
#include "Ssid.h"

#include <QHostAddress>
#include <QMetaType>
#include <QString>
#include <QVariantMap>

// The settings of one soft access point; apInterface names the soft-AP interface.
class SoftApSettings
{
public:
    static constexpr int DefaultChannel = 11;

    // All fields empty.
    SoftApSettings() = default;
    // Fields from the map; a missing key takes its default (ssid and bssid stay empty).
    explicit SoftApSettings(const QVariantMap &map);
    // The SSID with every other field at its default.
    explicit SoftApSettings(const Ssid &ssid);
    SoftApSettings(const Ssid &ssid, const QString &apInterface);

    const Ssid &ssid() const { return m_ssid; }
    const MacAddress &bssid() const { return m_bssid; }
    const QHostAddress &apAddress() const { return m_apAddress; }
    const QHostAddress &apNetmask() const { return m_apNetmask; }
    const QHostAddress &dhcpRangeFrom() const { return m_dhcpRangeFrom; }
    const QHostAddress &dhcpRangeTo() const { return m_dhcpRangeTo; }
    const QString &countryCode() const { return m_countryCode; }
    qint32 channel() const { return m_channel; }
    const QString &vendorSpecificData() const { return m_vendorSpecificData; }
    const QString &apInterface() const { return m_apInterface; }
    const QString &domainName() const { return m_domainName; }

    void setApInterface(const QString &apInterface) { m_apInterface = apInterface; }

    // Every field but domainName: a domain-name change alone is not a change of settings.
    bool operator==(const SoftApSettings &other) const;
    bool operator!=(const SoftApSettings &other) const { return !(*this == other); }

    // Bus form (SoftApModeSettings values): all eleven keys, addresses as text, channel as int.
    QVariantMap toMap() const;

private:
    void apply(const QVariantMap &map);

    Ssid m_ssid;
    MacAddress m_bssid;
    QHostAddress m_apAddress;
    QHostAddress m_apNetmask;
    QHostAddress m_dhcpRangeFrom;
    QHostAddress m_dhcpRangeTo;
    QString m_countryCode;
    qint32 m_channel = 0;
    QString m_vendorSpecificData;
    QString m_apInterface;
    QString m_domainName;
};

Q_DECLARE_METATYPE(SoftApSettings)
