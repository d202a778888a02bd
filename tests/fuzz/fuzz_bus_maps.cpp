// libFuzzer target: any root client on the bus writes these maps (WirelessNetworks,
// StartSoftAp settings, WiredIpSettings/WirelessIpSettings); each is read back from the model.
#include "InterfaceConfiguration.h"
#include "NetworkManagerMaps.h"
#include "SoftApSettings.h"
#include "WirelessNetwork.h"

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QStringList Words = QStringLiteral("unsecured wep_key wpa_psk priority ssid bssid apAddress apNetmask "
        "dhcpRangeFrom dhcpRangeTo countryCode channel vendorSpecificData apInterface domainName Ip Netmask "
        "Gateway Dns SearchDomains 192.168.1.20 255.255.255.0 fd00::1 fe80::1%eth0 "
        "02:00:00:00:00:01 0123456789 passphrase").split(QLatin1Char(' '));
    FuzzInput::Reader input {data, size, Words};
    const QVariantMap map = input.map();

    const QSet<WirelessNetwork> networks = NetworkManagerMaps::wirelessNetworksFromMap(map);
    check(networks.size() <= map.size());
    for (const WirelessNetwork &network : networks) {
        check(network.ssid().toByteArray().size() <= Ssid::MaxBytes);
        // The read form of a keyed network with a priority is accepted back as the same network.
        if (network.type() == SecurityType::Unsecured || !network.isValid() || !network.hasPriority())
            continue;
        const std::optional<WirelessNetwork> again = WirelessNetwork::fromCredentials(network.ssid().toString(), network.toMap());
        check(again && *again == network);
    }
    check(NetworkManagerMaps::wirelessNetworksMap(networks).size() <= networks.size());
    NetworkManagerMaps::configuredNetworksText(networks);

    const SoftApSettings settings(map);
    check(settings.ssid().toByteArray().size() <= Ssid::MaxBytes);
    const SoftApSettings settingsAgain(settings.toMap());
    check(settingsAgain == settings && settingsAgain.domainName() == settings.domainName());

    const InterfaceConfiguration configuration = InterfaceConfiguration::fromMap(QStringLiteral("eth0"), map);
    check(configuration.nameservers().size() <= map.value(QStringLiteral("Dns")).toString().size());
    for (const QString &domain : configuration.searchDomains())
        check(!domain.isEmpty() && !domain.contains(QLatin1Char(' ')));
    check(InterfaceConfiguration::fromMap(QStringLiteral("eth0"), configuration.toMap()) == configuration);
    return 0;
}
