// libFuzzer target: every BSS property is what an access point chose to broadcast.
#include "BssMonitor.h"
#include "NetworkManagerMaps.h"

#include "FuzzInput.h"

#include <QSet>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QStringList Words = QStringLiteral("SSID BSSID WPA RSN Privacy Signal Frequency IEs KeyMgmt wpa-psk "
        "wpa-psk-sha256 wpa-eap wpa-eap-sha256 Pairwise ccmp Mode").split(QLatin1Char(' '));
    FuzzInput::Reader input {data, size, Words};
    QList<ApDescription> valid;
    while (!input.atEnd() && valid.size() < 16) {
        const QVariantMap properties = input.map();
        const ApDescription ap = BssMonitor::describe(properties);
        check(ap.ssid().toByteArray().size() <= Ssid::MaxBytes);
        BssMonitor::frequencyToChannel(ap.frequency());
        if (!ap.isValid())
            continue;
        check(ap.ies() == properties.value(QStringLiteral("IEs")).toByteArray());
        check(!properties.value(QStringLiteral("Privacy")).toBool() || ap.type() != SecurityType::Unsecured);
        const QVariantMap map = ap.toMap();
        check(map.size() == 7 && map.value(QStringLiteral("ssid")).toString() == ap.ssid().toString());
        valid << ap;
    }

    // One entry per SSID, with the strongest signal seen for it.
    const QVariantMap results = NetworkManagerMaps::scanResults(valid);
    QSet<QString> ssids;
    for (const ApDescription &ap : valid) {
        ssids.insert(ap.ssid().toString());
        check(results.value(ap.ssid().toString()).toMap().value(QStringLiteral("signal")).toInt() >= ap.signal());
    }
    check(results.size() == ssids.size());
    return 0;
}
