// libFuzzer target: WPS credentials come from the registrar (an access point), and the
// interface's PropertiesChanged maps carry what access points sent (disconnect reasons).
#include "SupplicantWpaSupplicant.h"
#include "WrongKeyDetector.h"

#include "FuzzInput.h"

using FuzzInput::check;

namespace {

const QStringList Words {
    QStringLiteral("SSID"), QStringLiteral("EncrType"), QStringLiteral("AuthType"), QStringLiteral("Key"),
    QStringLiteral("none"), QStringLiteral("open"), QStringLiteral("shared"), QStringLiteral("wpa2-psk"),
    QStringLiteral("aes"), QStringLiteral("State"), QStringLiteral("CurrentNetwork"),
    QStringLiteral("DisconnectReason"), QStringLiteral("4way_handshake"), QStringLiteral("disconnected"),
    QStringLiteral("completed"), QStringLiteral("/fi/w1/wpa_supplicant1/Interfaces/1/Networks/0"),
};

void checkCredentials(const QVariantMap &credentials)
{
    const WirelessNetwork network = WpaSupplicant::networkFromWpsCredentials(credentials);
    check(network.ssid().toByteArray().size() <= Ssid::MaxBytes);
    const QVariantMap properties = network.toSupplicantProperties();
    check(properties.isEmpty() == !network.isValid());
    if (!properties.isEmpty())
        check(properties.value(QStringLiteral("ssid")).toByteArray() == network.ssid().toByteArray());
    if (network.type() == SecurityType::WpaPsk && network.key().size() == 64 && network.isValid())
        check(properties.value(QStringLiteral("psk")).toByteArray().size() <= 32);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput::silenceLogs();
    FuzzInput::Reader input(data, size, Words);
    WrongKeyDetector detector;
    for (int maps = 0; !input.atEnd() && maps < 32; ++maps) {
        const quint8 kind = input.byte();
        const QVariantMap map = input.map();
        if (kind & 1) {
            checkCredentials(map);
            check(!WpaSupplicant::wpsErrorText(map.value(QStringLiteral("Key")).toString()).isNull()
                  || map.value(QStringLiteral("Key")).toString().isNull());
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
