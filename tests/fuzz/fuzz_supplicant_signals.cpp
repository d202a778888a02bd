// libFuzzer target: WPS credentials come from the registrar (an access point), and the
// interface's PropertiesChanged maps carry what access points sent (disconnect reasons).
#include "SupplicantWpaSupplicant.h"
#include "WrongKeyDetector.h"

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QStringList Words = QStringLiteral("SSID EncrType AuthType Key none open shared wpa2-psk aes State "
        "CurrentNetwork DisconnectReason 4way_handshake disconnected completed "
        "/fi/w1/wpa_supplicant1/Interfaces/1/Networks/0").split(QLatin1Char(' '));
    FuzzInput::Reader input {data, size, Words};
    WrongKeyDetector detector;
    for (int maps = 0; !input.atEnd() && maps < 32; ++maps) {
        const quint8 kind = input.byte();
        const QVariantMap map = input.map();
        if (kind & 1) {
            const WirelessNetwork network = WpaSupplicant::networkFromWpsCredentials(map);
            check(network.ssid().toByteArray().size() <= Ssid::MaxBytes);
            const QVariantMap properties = network.toSupplicantProperties();
            check(properties.isEmpty() == !network.isValid());
            check(properties.isEmpty() || properties.value(QStringLiteral("ssid")).toByteArray() == network.ssid().toByteArray());
            if (network.type() == SecurityType::WpaPsk && network.key().size() == 64 && network.isValid())
                check(properties.value(QStringLiteral("psk")).toByteArray().size() <= 32);
            const QString key = map.value(QStringLiteral("Key")).toString();
            check(!WpaSupplicant::wpsErrorText(key).isNull() || key.isNull());
            continue;
        }
        // A rejected key is reported only when the state drops to "disconnected", naming a network.
        const QString rejected = detector.update(map);
        if (!rejected.isEmpty()) {
            check(map.value(QStringLiteral("State")).toString() == QLatin1String("disconnected"));
            check(rejected != QLatin1String("/"));
            check(detector.update(map).isEmpty());
        }
    }
    return 0;
}
