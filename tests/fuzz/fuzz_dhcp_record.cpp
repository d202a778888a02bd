// libFuzzer target: the helper-script stream carries values a DHCP server chose.
#include "DhcpClient.h"

#include "FuzzInput.h"

using FuzzInput::check;

namespace {

void checkList(const QStringList &list)
{
    for (const QString &part : list)
        check(!part.isEmpty() && !part.contains(QLatin1Char(' ')) && !part.contains(QLatin1Char('\n')));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString output = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const DhcpRecord record = DhcpProtocol::parseRecord(output);
    for (const QString &value : {record.address, record.netmask, record.gateway})
        check(!value.contains(QLatin1Char('\n')));
    check(!record.gateway.contains(QLatin1Char(' ')));
    checkList(record.nameservers);
    checkList(record.searchDomains);

    const InterfaceConfiguration configuration = record.toConfiguration(InterfaceName(QStringLiteral("eth0")));
    check(configuration.nameservers().size() <= record.nameservers.size());
    for (const QHostAddress &server : configuration.nameservers())
        check(!server.isNull());
    check(configuration.searchDomains() == record.searchDomains);
    return 0;
}
