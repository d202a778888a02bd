// libFuzzer target: /etc/resolv.conf and the kernel's route tables as the daemon reads them back,
// and the resolver file it writes from the name servers it learned.
#include "ResolvConf.h"

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray text(reinterpret_cast<const char *>(data), int(size));

    const QStringList nameservers = ResolvConf::parseNameservers(text);
    check(nameservers.size() <= text.count('\n') + 1);
    for (const QString &server : nameservers)
        check(!server.contains(QLatin1Char(' ')) && !server.contains(QLatin1Char('\n')));

    const QString gateway = ResolvConf::parseIpv4DefaultGateway(text);
    check(gateway.isEmpty() || QHostAddress(gateway).protocol() == QAbstractSocket::IPv4Protocol);
    const QString gateway6 = ResolvConf::parseIpv6DefaultGateway(text);
    check(gateway6.isEmpty() || QHostAddress(gateway6).protocol() == QAbstractSocket::IPv6Protocol);

    // The servers that parse as addresses, one interface per line, merged and written: the file
    // names at most three of them, and reading it back gives exactly those.
    QList<QList<QHostAddress>> perInterface;
    for (const QByteArray &line : text.split('\n')) {
        QList<QHostAddress> servers;
        for (const QByteArray &word : line.split(' ')) {
            const QHostAddress address(QString::fromUtf8(word));
            if (!address.isNull())
                servers << address;
        }
        if (!servers.isEmpty())
            perInterface << servers;
    }
    const QStringList merged = ResolvConfImpl::mergeNameservers(perInterface);
    check(merged.size() <= ResolvConfImpl::MaxNameservers);
    check(ResolvConf::parseNameservers(ResolvConfImpl::render(merged, QStringList()).toUtf8()) == merged);
    return 0;
}
