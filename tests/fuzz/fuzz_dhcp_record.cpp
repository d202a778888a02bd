// libFuzzer target: the helper-script stream carries values a DHCP server chose.
#include "DhcpClient.h"

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const DhcpRecord record = DhcpProtocol::parseRecord(QString::fromUtf8(reinterpret_cast<const char *>(data), int(size)));
    for (const QString &value : {record.address, record.netmask, record.gateway})
        check(!value.contains(QLatin1Char('\n')));
    check(!record.gateway.contains(QLatin1Char(' ')));
    for (const QString &part : record.nameservers + record.searchDomains)
        check(!part.isEmpty() && !part.contains(QLatin1Char(' ')) && !part.contains(QLatin1Char('\n')));

    const InterfaceConfiguration configuration = record.toConfiguration(InterfaceName(QStringLiteral("eth0")));
    check(configuration.nameservers().size() <= record.nameservers.size());
    for (const QHostAddress &server : configuration.nameservers())
        check(!server.isNull());
    check(configuration.searchDomains() == record.searchDomains);
    return 0;
}
