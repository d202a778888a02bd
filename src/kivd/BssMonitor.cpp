#include "BssMonitor.h"

#include "KivCommon.h"
#include "LogHandler.h"
#include "NetworkTypes.h"
#include "fi_w1_wpa_supplicant1_BSS.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QStringList>

namespace {

QStringList keyManagement(const QVariant &element)
{
    return NetworkTypes::variantToMap(element).value(QStringLiteral("KeyMgmt")).toStringList();
}

} // namespace

BssMonitor::BssMonitor(const QDBusObjectPath &path)
    : m_path(path)
    , m_bss(new FiW1WpaSupplicant1Bss(WpaSupplicantTypes::service, path.path(), QDBusConnection::systemBus(), this))
{
    // One GetAll instead of a round trip per property.
    QDBusMessage call = QDBusMessage::createMethodCall(WpaSupplicantTypes::service, path.path(),
                                                       QStringLiteral("org.freedesktop.DBus.Properties"),
                                                       QStringLiteral("GetAll"));
    call << QString::fromLatin1(FiW1WpaSupplicant1Bss::staticInterfaceName());
    const QDBusReply<QVariantMap> reply = QDBusConnection::systemBus().call(call);
    if (!reply.isValid())
        kivWarning() << "Couldn't read BSS " << path.path() << ": " << reply.error().message();
    m_description = describe(reply.isValid() ? reply.value() : QVariantMap());
    KivCommon::connect(m_bss, SIGNAL(PropertiesChanged(QVariantMap)), this, SLOT(on_propertiesChanged(QVariantMap)));
}

qint16 BssMonitor::liveSignal() const
{
    return m_bss->signal();
}

quint16 BssMonitor::liveFrequency() const
{
    return m_bss->frequency();
}

bool BssMonitor::livePrivacy() const
{
    return m_bss->privacy();
}

ApDescription BssMonitor::describe(const QVariantMap &properties)
{
    const Ssid ssid = Ssid::fromBytes(properties.value(QStringLiteral("SSID")).toByteArray());
    const QStringList keyMgmt = keyManagement(properties.value(QStringLiteral("WPA")))
        + keyManagement(properties.value(QStringLiteral("RSN")));

    SecurityType type = SecurityType::Wep;
    if (!properties.value(QStringLiteral("Privacy")).toBool()) {
        kivDebug() << "Found unsecured network: " << ssid;
        type = SecurityType::Unsecured;
    } else if (keyMgmt.contains(QStringLiteral("wpa-psk")) || keyMgmt.contains(QStringLiteral("wpa-psk-sha256"))) {
        kivDebug() << "Found WPA-PSK network: " << ssid;
        type = SecurityType::WpaPsk;
    } else if (keyMgmt.contains(QStringLiteral("wpa-eap")) || keyMgmt.contains(QStringLiteral("wpa-eap-sha256"))) {
        kivDebug() << "Found (ignored) WPA-EPA network: " << ssid;
        return ApDescription();
    } else {
        kivDebug() << "Found WEP network: " << ssid;
    }

    return ApDescription(ssid, type, MacAddress::fromBytes(properties.value(QStringLiteral("BSSID")).toByteArray()),
                         qint16(properties.value(QStringLiteral("Signal")).toInt()),
                         quint16(properties.value(QStringLiteral("Frequency")).toUInt()),
                         properties.value(QStringLiteral("IEs")).toByteArray());
}

int BssMonitor::frequencyToChannel(int frequency)
{
    if (frequency == 2484)
        return 14;
    if (frequency < 2484)
        return (frequency - 2407) / 5;
    if (frequency >= 4910 && frequency <= 4980)
        return (frequency - 4000) / 5;
    if (frequency <= 45000)
        return (frequency - 5000) / 5;
    if (frequency >= 58320 && frequency <= 64800)
        return (frequency - 56160) / 2160;
    kivWarning() << "No such frequency: " << frequency;
    return 0;
}

void BssMonitor::on_propertiesChanged(const QVariantMap &properties)
{
    kivDebug() << m_path.path() << " changed properties: " << properties.keys().join(QStringLiteral(", "));
    for (const char *vital : {"SSID", "WPA", "RSN", "Privacy", "Frequency"}) {
        if (properties.contains(QLatin1String(vital))) {
            kivInfo() << m_path.path() << " has changed vital property, repropagate!";
            emit bssReread(m_path);
            return;
        }
    }
    if (properties.contains(QStringLiteral("Signal"))) {
        m_description.setSignal(liveSignal());
        emit bssSignalUpdated(m_path);
    }
}
