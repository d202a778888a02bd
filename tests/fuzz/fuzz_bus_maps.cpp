// libFuzzer target: any root client on the bus writes these maps (WirelessNetworks,
// StartSoftAp settings, WiredIpSettings/WirelessIpSettings); each is read back from the model.
#include "InterfaceConfiguration.h"
#include "NetworkManagerMaps.h"
#include "SoftApSettings.h"
#include "WirelessNetwork.h"

#include "FuzzInput.h"

using FuzzInput::check;

namespace {

const QStringList Words {
    QStringLiteral("unsecured"), QStringLiteral("wep_key"), QStringLiteral("wpa_psk"), QStringLiteral("priority"),
    QStringLiteral("ssid"), QStringLiteral("bssid"), QStringLiteral("apAddress"), QStringLiteral("apNetmask"),
    QStringLiteral("dhcpRangeFrom"), QStringLiteral("dhcpRangeTo"), QStringLiteral("countryCode"),
    QStringLiteral("channel"), QStringLiteral("vendorSpecificData"), QStringLiteral("apInterface"),
    QStringLiteral("domainName"), QStringLiteral("Ip"), QStringLiteral("Netmask"), QStringLiteral("Gateway"),
    QStringLiteral("Dns"), QStringLiteral("SearchDomains"), QStringLiteral("192.168.1.20"),
    QStringLiteral("255.255.255.0"), QStringLiteral("fd00::1"), QStringLiteral("fe80::1%eth0"),
    QStringLiteral("02:00:00:00:00:01"), QStringLiteral("0123456789"), QStringLiteral("passphrase"),
};

void checkWirelessNetworks(const QVariantMap &map)
{
    const QSet<WirelessNetwork> networks = NetworkManagerMaps::wirelessNetworksFromMap(map);
    check(networks.size() <= map.size());
    for (const WirelessNetwork &network : networks) {
        check(network.ssid().toByteArray().size() <= Ssid::MaxBytes);
        // The read form of a keyed network with a priority is accepted back as the same network.
        if (network.type() == SecurityType::Unsecured || !network.isValid() || !network.hasPriority())
            continue;
        const std::optional<WirelessNetwork> again =
            WirelessNetwork::fromCredentials(network.ssid().toString(), network.toMap());
        check(again && *again == network);
    }
    check(NetworkManagerMaps::wirelessNetworksMap(networks).size() <= networks.size());
    NetworkManagerMaps::configuredNetworksText(networks);
}

void checkSoftApSettings(const QVariantMap &map)
{
    const SoftApSettings settings(map);
    check(settings.ssid().toByteArray().size() <= Ssid::MaxBytes);
    const SoftApSettings again(settings.toMap());
    check(again == settings && again.domainName() == settings.domainName());
}

void checkIpSettings(const QVariantMap &map)
{
    const InterfaceConfiguration configuration = InterfaceConfiguration::fromMap(QStringLiteral("eth0"), map);
    check(configuration.nameservers().size() <= map.value(QStringLiteral("Dns")).toString().size());
    for (const QString &domain : configuration.searchDomains())
        check(!domain.isEmpty() && !domain.contains(QLatin1Char(' ')));
    check(InterfaceConfiguration::fromMap(QStringLiteral("eth0"), configuration.toMap()) == configuration);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    FuzzInput::silenceLogs();
    FuzzInput::Reader input(data, size, Words);
    const QVariantMap map = input.map();
    checkWirelessNetworks(map);
    checkSoftApSettings(map);
    checkIpSettings(map);
    return 0;
}
