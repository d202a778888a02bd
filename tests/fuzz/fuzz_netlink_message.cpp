// libFuzzer target: one rtnetlink datagram (link, address and router-advertisement messages)
// through libnl's message parsing into the watcher's decoder, as the socket delivers it.
#include "NetlinkWatcher.h"

#include "FuzzInput.h"

#include <QHostAddress>

#include <linux/if.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The socket's receive buffer is aligned for the headers.
    std::vector<std::uint32_t> buffer((size + 3) / 4);
    std::copy(data, data + size, reinterpret_cast<std::uint8_t *>(buffer.data()));
    auto *header = reinterpret_cast<nlmsghdr *>(buffer.data());
    for (int remaining = int(size); nlmsg_ok(header, remaining); header = nlmsg_next(header, &remaining)) {
        nl_msg *message = nlmsg_convert(header);
        check(message != nullptr);
        nlmsg_set_proto(message, NETLINK_ROUTE);
        const NetlinkEvent event = NetlinkWatcher::decode(message);
        nlmsg_free(message);
        if (event.kind == NetlinkEvent::Kind::Link) {
            check(event.interfaceIndex > 0 && event.name.size() < IFNAMSIZ);
            NetlinkWatcher::statusText(event.name, event.flags);
        } else if (event.kind == NetlinkEvent::Kind::Address) {
            const QHostAddress address(event.address.address);
            check(!event.address.address.contains(QLatin1Char('/')) && event.address.prefixLength >= 0
                  && event.address.prefixLength <= 255);
            check(address.isNull() || (address.protocol() == QAbstractSocket::IPv4Protocol) == event.address.ipv4);
        } else if (event.kind == NetlinkEvent::Kind::RouterAdvertisement) {
            check(event.routerAdvertisement.valid && event.interfaceIndex == event.routerAdvertisement.interfaceIndex);
        }
    }
    return 0;
}
