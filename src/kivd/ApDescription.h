#pragma once

#include "MacAddress.h"
#include "NetworkTypes.h"
#include "Ssid.h"

#include <QByteArray>
#include <QDebug>
#include <QList>
#include <QMetaType>
#include <QVariantMap>

// One access point seen in a scan; valid when it has an SSID. Two descriptions are the same
// access point when their BSSIDs are equal.
class ApDescription
{
public:
    ApDescription() = default;
    ApDescription(const Ssid &ssid, SecurityType type, const MacAddress &bssid, qint16 signal, quint16 frequency,
                  const QByteArray &ies);

    const Ssid &ssid() const { return m_ssid; }
    SecurityType type() const { return m_type; }
    const MacAddress &bssid() const { return m_bssid; }
    qint16 signal() const { return m_signal; }
    quint16 frequency() const { return m_frequency; }
    const QByteArray &ies() const { return m_ies; }

    void setSignal(qint16 signal) { m_signal = signal; }

    bool isValid() const { return !m_ssid.isEmpty(); }

    bool operator==(const ApDescription &other) const { return m_bssid == other.m_bssid; }
    bool operator!=(const ApDescription &other) const { return m_bssid != other.m_bssid; }

    // One element of the ScanResults bus signal: ssid, type, bssid, signal, frequency, channel, ies.
    QVariantMap toMap() const;

private:
    Ssid m_ssid;
    SecurityType m_type = SecurityType::Unsecured;
    MacAddress m_bssid;
    qint16 m_signal = 0;
    quint16 m_frequency = 0;
    QByteArray m_ies;
};

QDebug operator<<(QDebug debug, const ApDescription &ap);

Q_DECLARE_METATYPE(ApDescription)
