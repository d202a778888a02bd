#include "SoftApSettings.h"

namespace {
const QString SsidKey = QStringLiteral("ssid");
const QString BssidKey = QStringLiteral("bssid");
const QString ApAddressKey = QStringLiteral("apAddress");
const QString ApNetmaskKey = QStringLiteral("apNetmask");
const QString DhcpRangeFromKey = QStringLiteral("dhcpRangeFrom");
const QString DhcpRangeToKey = QStringLiteral("dhcpRangeTo");
const QString CountryCodeKey = QStringLiteral("countryCode");
const QString ChannelKey = QStringLiteral("channel");
const QString VendorSpecificDataKey = QStringLiteral("vendorSpecificData");
const QString ApInterfaceKey = QStringLiteral("apInterface");
const QString DomainNameKey = QStringLiteral("domainName");
} // namespace

SoftApSettings::SoftApSettings(const QVariantMap &map)
{
    apply(map);
}

SoftApSettings::SoftApSettings(const Ssid &ssid)
    : m_ssid(ssid)
{
    apply(QVariantMap());
}

SoftApSettings::SoftApSettings(const Ssid &ssid, const QString &apInterface)
    : m_ssid(ssid)
    , m_apInterface(apInterface)
{
    apply(QVariantMap());
}

void SoftApSettings::apply(const QVariantMap &map)
{
    if (map.contains(SsidKey))
        m_ssid = Ssid::fromString(map.value(SsidKey).toString());
    if (map.contains(BssidKey))
        m_bssid = MacAddress::fromString(map.value(BssidKey).toString());
    const auto address = [&map](const QString &key, const char *fallback) {
        return QHostAddress(map.value(key, QString::fromLatin1(fallback)).toString());
    };
    m_apAddress = address(ApAddressKey, "192.168.200.1");
    m_apNetmask = address(ApNetmaskKey, "255.255.255.0");
    m_dhcpRangeFrom = address(DhcpRangeFromKey, "192.168.200.10");
    m_dhcpRangeTo = address(DhcpRangeToKey, "192.168.200.210");
    m_countryCode = map.value(CountryCodeKey).toString();
    m_channel = map.value(ChannelKey, DefaultChannel).toInt();
    m_vendorSpecificData = map.value(VendorSpecificDataKey).toString();
    m_apInterface = map.value(ApInterfaceKey, m_apInterface).toString();
    m_domainName = map.value(DomainNameKey).toString();
}

bool SoftApSettings::operator==(const SoftApSettings &other) const
{
    return m_ssid == other.m_ssid && m_bssid == other.m_bssid && m_apAddress == other.m_apAddress
           && m_apNetmask == other.m_apNetmask && m_dhcpRangeFrom == other.m_dhcpRangeFrom
           && m_dhcpRangeTo == other.m_dhcpRangeTo && m_countryCode == other.m_countryCode
           && m_channel == other.m_channel && m_vendorSpecificData == other.m_vendorSpecificData
           && m_apInterface == other.m_apInterface;
}

QVariantMap SoftApSettings::toMap() const
{
    QVariantMap map;
    map.insert(SsidKey, m_ssid.toString());
    map.insert(BssidKey, m_bssid.toString());
    map.insert(ApAddressKey, m_apAddress.toString());
    map.insert(ApNetmaskKey, m_apNetmask.toString());
    map.insert(DhcpRangeFromKey, m_dhcpRangeFrom.toString());
    map.insert(DhcpRangeToKey, m_dhcpRangeTo.toString());
    map.insert(CountryCodeKey, m_countryCode);
    map.insert(ChannelKey, m_channel);
    map.insert(VendorSpecificDataKey, m_vendorSpecificData);
    map.insert(ApInterfaceKey, m_apInterface);
    map.insert(DomainNameKey, m_domainName);
    return map;
}
