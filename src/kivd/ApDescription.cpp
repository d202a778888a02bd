#include "ApDescription.h"

ApDescription::ApDescription(const Ssid &ssid, SecurityType type, const MacAddress &bssid, qint16 signal,
                             quint16 frequency, const QByteArray &ies)
    : m_ssid(ssid)
    , m_type(type)
    , m_bssid(bssid)
    , m_signal(signal)
    , m_frequency(frequency)
    , m_ies(ies)
{
}

QVariantMap ApDescription::toMap() const
{
    QVariantMap map;
    map.insert(QStringLiteral("ssid"), m_ssid.toString());
    map.insert(QStringLiteral("type"), NetworkTypes::securityTypeToString(m_type));
    map.insert(QStringLiteral("bssid"), m_bssid.toString());
    map.insert(QStringLiteral("signal"), int(m_signal));
    map.insert(QStringLiteral("frequency"), int(m_frequency));
    map.insert(QStringLiteral("channel"), NetworkTypes::frequencyToScanChannel(m_frequency));
    map.insert(QStringLiteral("ies"), m_ies);
    return map;
}

QDebug operator<<(QDebug debug, const ApDescription &ap)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote();
    if (!ap.isValid())
        debug << "Invalid Ap";
    else
        debug << "Ap ssid: " << ap.ssid() << " bssid: " << ap.bssid() << " freq: " << ap.frequency();
    return debug;
}
