#include "RouterAdvertisement.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <resolv.h>
#include <sys/socket.h>

#include <cstring>

namespace {

constexpr std::size_t OptionHeaderSize = 8;
constexpr std::size_t OptionUnit = 8;
constexpr std::size_t Ipv6AddressSize = 16;

void readRdnss(const unsigned char *option, std::size_t units, QStringList &nameservers)
{
    if (units < 3 || units % 2 == 0)
        return;
    const std::size_t count = (units - 1) / 2;
    for (std::size_t i = 0; i < count; ++i) {
        char text[INET6_ADDRSTRLEN];
        const unsigned char *address = option + OptionHeaderSize + i * Ipv6AddressSize;
        if (inet_ntop(AF_INET6, address, text, sizeof text))
            nameservers.append(QString::fromLatin1(text));
    }
}

void readDnssl(const unsigned char *option, std::size_t units, QStringList &searchDomains)
{
    if (units < 3)
        return;
    const unsigned char *end = option + units * OptionUnit;
    const unsigned char *name = option + OptionHeaderSize;
    while (name < end) {
        char text[NS_MAXDNAME];
        const int used = dn_expand(option, end, name, text, sizeof text);
        if (used <= 0)
            return;
        // The zero padding after the last name expands to the root name.
        if (text[0] == '\0' || std::strcmp(text, ".") == 0)
            return;
        searchDomains.append(QString::fromLatin1(text));
        name += used;
    }
}

} // namespace

namespace RouterAdvertisement {

RouterAdvertisementOptions parse(const unsigned char *data, std::size_t size)
{
    RouterAdvertisementOptions result;
    nduseroptmsg header;
    if (!data || size < sizeof header)
        return result;
    std::memcpy(&header, data, sizeof header);
    if (header.nduseropt_family != AF_INET6 || header.nduseropt_icmp_type != IcmpRouterAdvertisement
        || header.nduseropt_opts_len == 0)
        return result;

    result.valid = true;
    result.interfaceIndex = header.nduseropt_ifindex;

    const unsigned char *options = data + sizeof header;
    const std::size_t available = size - sizeof header;
    const std::size_t length = header.nduseropt_opts_len < available ? header.nduseropt_opts_len : available;
    std::size_t offset = 0;
    while (length - offset >= 2) {
        const unsigned char *option = options + offset;
        const std::size_t units = option[1];
        if (units == 0 || units * OptionUnit > length - offset)
            break;
        if (option[0] == OptionRdnss)
            readRdnss(option, units, result.nameservers);
        else if (option[0] == OptionDnssl)
            readDnssl(option, units, result.searchDomains);
        offset += units * OptionUnit;
    }
    return result;
}

} // namespace RouterAdvertisement
