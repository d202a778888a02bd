#include "SoftApFiles.h"

namespace {

// Line breaks of any kind, and every other control character, would split or corrupt a line.
bool breaksLine(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Separator_Line
            || c.category() == QChar::Separator_Paragraph)
            return true;
    }
    return false;
}

} // namespace

namespace SoftApFiles {

QString hostapdPath(const QString &apInterface)
{
    return QStringLiteral("/tmp/hostapd_%1.conf").arg(apInterface);
}

QString udhcpdPath(const QString &apInterface)
{
    return QStringLiteral("/tmp/udhcpd_%1.conf").arg(apInterface);
}

QString dnsdPath(const QString &apInterface)
{
    return QStringLiteral("/tmp/dnsd_%1.conf").arg(apInterface);
}

QString hostapdConfig(const SoftApSettings &settings, int channel)
{
    QString text;
    text += QStringLiteral("interface=") + settings.apInterface() + QLatin1Char('\n');
    text += QStringLiteral("ssid=") + settings.ssid().toString() + QLatin1Char('\n');
    text += QStringLiteral("hw_mode=") + QLatin1Char(channel < 15 ? 'g' : 'a') + QLatin1Char('\n');
    text += QStringLiteral("channel=") + QString::number(channel) + QLatin1Char('\n');
    text += QStringLiteral("macaddr_acl=0\n");
    text += QStringLiteral("ieee80211n=1\n");
    if (!settings.countryCode().isEmpty())
        text += QStringLiteral("country_code=") + settings.countryCode() + QLatin1Char('\n');
    if (!settings.vendorSpecificData().isEmpty())
        text += QStringLiteral("vendor_elements=") + settings.vendorSpecificData() + QLatin1Char('\n');
    return text;
}

QString udhcpdConfig(const SoftApSettings &settings)
{
    const QString apAddress = settings.apAddress().toString();
    QString text;
    text += QStringLiteral("start\t\t") + settings.dhcpRangeFrom().toString() + QLatin1Char('\n');
    text += QStringLiteral("end\t\t") + settings.dhcpRangeTo().toString() + QLatin1Char('\n');
    text += QStringLiteral("interface\t") + settings.apInterface() + QLatin1Char('\n');
    text += QStringLiteral("option\tsubnet\t") + settings.apNetmask().toString() + QLatin1Char('\n');
    text += QStringLiteral("option\tdomain\tlocal\n");
    text += QStringLiteral("option\trouter\t") + apAddress + QLatin1Char('\n');
    text += QStringLiteral("option\tlease\t600\t\t# 10 minutes\n");
    if (!settings.domainName().isEmpty())
        text += QStringLiteral("option\tdns\t") + apAddress + QLatin1Char('\n');
    return text;
}

QString dnsdConfig(const SoftApSettings &settings)
{
    return settings.domainName() + QLatin1Char('\t') + settings.apAddress().toString() + QLatin1Char('\n');
}

QString unwritableField(const SoftApSettings &settings)
{
    if (settings.ssid().isEmpty() || breaksLine(settings.ssid().toString()))
        return QStringLiteral("ssid");
    if (breaksLine(settings.countryCode()))
        return QStringLiteral("countryCode");
    if (breaksLine(settings.vendorSpecificData()))
        return QStringLiteral("vendorSpecificData");
    if (breaksLine(settings.domainName()))
        return QStringLiteral("domainName");
    return QString();
}

} // namespace SoftApFiles
