#include "NetlinkWatcher.h"

#include "KivCommon.h"
#include "LogHandler.h"

#include <QSocketNotifier>

#include <linux/if.h>
#include <netlink/cache.h>
#include <netlink/errno.h>
#include <netlink/msg.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/socket.h>
#include <sys/socket.h>

namespace {

// Datagrams read in one wake-up before the event loop gets a turn again.
constexpr int MaxReceivesPerWakeUp = 256;
constexpr unsigned int RunningMask = IFF_RUNNING | IFF_LOWER_UP | IFF_DORMANT;
constexpr unsigned int RunningValue = IFF_RUNNING | IFF_LOWER_UP;
constexpr int NameserverPrefixLength = 128;

} // namespace

bool NetlinkAddress::operator==(const NetlinkAddress &other) const
{
    return address == other.address && interfaceName == other.interfaceName && ipv4 == other.ipv4
        && linkLocal == other.linkLocal && prefixLength == other.prefixLength;
}

struct NetlinkWatcher::Socket
{
    ~Socket()
    {
        if (linkCache)
            nl_cache_free(linkCache);
        if (socket)
            nl_socket_free(socket);
    }

    bool setUp = false;
    nl_sock *socket = nullptr;
    nl_cache *linkCache = nullptr;
};

NetlinkWatcher::NetlinkWatcher(QObject *parent)
    : QObject(parent)
    , m_socket(new Socket)
{
    m_socket->socket = nl_socket_alloc();
    if (!m_socket->socket)
        kivCritical() << "Couldn't allocate netlink socket!";
    if (!setupSocket()) {
        kivCritical() << "Netlink socket is not setup!";
        return;
    }
    m_notifier = new QSocketNotifier(nl_socket_get_fd(m_socket->socket), QSocketNotifier::Read, this);
    KivCommon::connect(m_notifier, SIGNAL(activated(int)), this, SLOT(on_socketReady(int)));
    kivDebug() << "Finished setting up netlinkWatcher";
    walkLinkCache();
}

NetlinkWatcher::~NetlinkWatcher()
{
    delete m_notifier;
}

bool NetlinkWatcher::setupSocket()
{
    if (m_socket->setUp) {
        kivDebug() << "Socket is already setup, closing and reopening the connection!";
        nl_socket_free(m_socket->socket);
        m_socket->setUp = false;
        m_socket->socket = nl_socket_alloc();
    }
    nl_sock *socket = m_socket->socket;
    if (!socket)
        return false;

    nl_socket_disable_seq_check(socket);
    if (nl_socket_modify_cb(socket, NL_CB_VALID, NL_CB_CUSTOM, &NetlinkWatcher::onValidMessage, this) < 0) {
        kivCritical() << "Couldn't setup callback on netlink socket!";
        return false;
    }
    if (nl_connect(socket, NETLINK_ROUTE) < 0) {
        kivCritical() << "Couldn't connect netlink socket!";
        return false;
    }
    if (nl_socket_add_memberships(socket, RTNLGRP_LINK, RTNLGRP_IPV4_IFADDR, RTNLGRP_IPV4_ROUTE,
                                  RTNLGRP_IPV6_IFADDR, RTNLGRP_IPV6_ROUTE, RTNLGRP_ND_USEROPT, 0)
        < 0) {
        kivCritical() << "Couldn't add memberships to netlink socket!";
        return false;
    }
    // As root the size is forced past net.core.rmem_max; otherwise the kernel caps it there.
    int size = ReceiveBufferBytes;
    if (setsockopt(nl_socket_get_fd(socket), SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0)
        nl_socket_set_buffer_size(socket, size, 0);

    if (m_socket->linkCache) {
        nl_cache_free(m_socket->linkCache);
        m_socket->linkCache = nullptr;
    }
    if (rtnl_link_alloc_cache(socket, AF_UNSPEC, &m_socket->linkCache) < 0) {
        m_socket->linkCache = nullptr;
        kivCritical() << "Couldn't allocate netlink link cache!";
    } else {
        kivDebug() << "Finished setting up netlink cache";
    }
    // Each wake-up drains the socket, so reads must not block once it is empty.
    nl_socket_set_nonblocking(socket);
    m_socket->setUp = true;
    kivDebug() << "Finished setting up netlink socket";
    return true;
}

void NetlinkWatcher::walkLinkCache()
{
    if (!m_socket->linkCache)
        return;
    for (nl_object *link = nl_cache_get_first(m_socket->linkCache); link; link = nl_cache_get_next(link))
        handleEvent(decodeObject(link));
}

void NetlinkWatcher::on_socketReady(int)
{
    for (int i = 0; i < MaxReceivesPerWakeUp; ++i) {
        const quint64 before = m_messagesReceived;
        const int error = nl_recvmsgs_default(m_socket->socket);
        if (error == -NLE_AGAIN)
            return;
        if (error < 0) {
            kivCritical() << "Netlink receive message returned an error!";
            kivWarning() << "Netlink receive error: " << nl_geterror(error);
            return;
        }
        if (m_messagesReceived == before)
            return;
    }
}

int NetlinkWatcher::onValidMessage(nl_msg *message, void *watcher)
{
    auto *self = static_cast<NetlinkWatcher *>(watcher);
    ++self->m_messagesReceived;
    self->handleEvent(decode(message));
    return NL_OK;
}

NetlinkEvent NetlinkWatcher::decode(nl_msg *message)
{
    NetlinkEvent event;
    nlmsghdr *header = nlmsg_hdr(message);
    if (header->nlmsg_type == RTM_NEWNDUSEROPT) {
        const int length = nlmsg_datalen(header);
        if (length <= 0)
            return event;
        event.routerAdvertisement =
            RouterAdvertisement::parse(static_cast<const unsigned char *>(nlmsg_data(header)), std::size_t(length));
        if (event.routerAdvertisement.valid) {
            event.kind = NetlinkEvent::Kind::RouterAdvertisement;
            event.interfaceIndex = event.routerAdvertisement.interfaceIndex;
        }
        return event;
    }
    const auto parsed = [](nl_object *object, void *result) { *static_cast<NetlinkEvent *>(result) = decodeObject(object); };
    nl_msg_parse(message, parsed, &event);
    return event;
}

NetlinkEvent NetlinkWatcher::decodeObject(nl_object *object)
{
    NetlinkEvent event;
    const int type = nl_object_get_msgtype(object);
    if (type == RTM_NEWLINK || type == RTM_DELLINK) {
        auto *link = reinterpret_cast<rtnl_link *>(object);
        const int index = rtnl_link_get_ifindex(link);
        const char *rawName = rtnl_link_get_name(link);
        if (index <= 0 || !rawName)
            return event;
        event.kind = NetlinkEvent::Kind::Link;
        event.removed = type == RTM_DELLINK;
        event.interfaceIndex = index;
        event.name = QByteArray(rawName);
        event.flags = rtnl_link_get_flags(link);
    } else if (type == RTM_NEWADDR || type == RTM_DELADDR) {
        auto *address = reinterpret_cast<rtnl_addr *>(object);
        nl_addr *local = rtnl_addr_get_local(address);
        const int scope = rtnl_addr_get_scope(address);
        const int family = rtnl_addr_get_family(address);
        if (!local || (scope != RT_SCOPE_UNIVERSE && scope != RT_SCOPE_LINK) || (family != AF_INET && family != AF_INET6))
            return event;
        // libnl prints a full address of the family, even from a shorter attribute.
        if (nl_addr_get_len(local) != (family == AF_INET ? 4u : 16u))
            return event;
        char text[512];
        nl_addr2str(local, text, sizeof text);
        event.kind = NetlinkEvent::Kind::Address;
        event.removed = type != RTM_NEWADDR || (rtnl_addr_get_flags(address) & IFA_F_DEPRECATED);
        event.interfaceIndex = rtnl_addr_get_ifindex(address);
        event.address.address = QString::fromLatin1(text).section(QLatin1Char('/'), 0, 0);
        event.address.ipv4 = family == AF_INET;
        event.address.linkLocal = scope == RT_SCOPE_LINK;
        event.address.prefixLength = rtnl_addr_get_prefixlen(address);
    }
    return event;
}

void NetlinkWatcher::handleEvent(const NetlinkEvent &event)
{
    switch (event.kind) {
    case NetlinkEvent::Kind::Link:
        handleLink(event);
        break;
    case NetlinkEvent::Kind::Address:
        handleAddress(event);
        break;
    case NetlinkEvent::Kind::RouterAdvertisement:
        handleRouterAdvertisement(event.routerAdvertisement);
        break;
    case NetlinkEvent::Kind::None:
        break;
    }
}

bool NetlinkWatcher::isRunning(unsigned int flags)
{
    return (flags & RunningMask) == RunningValue;
}

QString NetlinkWatcher::statusText(const QByteArray &name, unsigned int flags)
{
    static const struct
    {
        unsigned int flag;
        const char *name;
    } reported[] = {{IFF_UP, "UP "}, {IFF_RUNNING, "RUNNING "}, {IFF_LOWER_UP, "LOWER_UP "}, {IFF_DORMANT, "DORMANT "}};
    QString text = QString::fromUtf8(name) + QStringLiteral(": ");
    for (const auto &entry : reported) {
        text += QLatin1Char((flags & entry.flag) ? '+' : '-');
        text += QLatin1String(entry.name);
    }
    return text;
}

void NetlinkWatcher::handleLink(const NetlinkEvent &event)
{
    const QByteArray &name = event.name;
    if (event.removed)
        m_links.remove(event.interfaceIndex);
    else
        m_links.insert(event.interfaceIndex, name);

    const bool up = event.flags & IFF_UP;
    const bool running = isRunning(event.flags);
    kivInfo() << "Netlink received interface status update: " << statusText(name, event.flags);
    if (!running)
        forgetRouterAdvertisements(name);
    emit interfaceStatusChanged(name, up, running);
}

void NetlinkWatcher::forgetRouterAdvertisements(const QByteArray &name)
{
    const bool nameserversDropped = m_nameservers.remove(name);
    const bool searchDomainsDropped = m_searchDomains.remove(name);
    if (nameserversDropped)
        emit nameserversChanged();
    if (searchDomainsDropped)
        emit searchDomainsChanged();
}

void NetlinkWatcher::handleAddress(const NetlinkEvent &event)
{
    const auto link = m_links.constFind(event.interfaceIndex);
    if (link == m_links.constEnd()) {
        kivWarning() << "Got address update for non-existent interface: " << event.interfaceIndex;
        return;
    }
    NetlinkAddress entry = event.address;
    entry.interfaceName = link.value();
    if (updateAddress(!event.removed, entry))
        emit addressesChanged();
}

bool NetlinkWatcher::updateAddress(bool add, const NetlinkAddress &address)
{
    QMap<QString, NetlinkAddress> &table = m_addresses[address.interfaceName];
    bool changed = false;
    if (add) {
        const auto existing = table.constFind(address.address);
        changed = existing == table.constEnd() || existing.value() != address;
        if (changed)
            table.insert(address.address, address);
    } else {
        changed = table.remove(address.address) > 0;
    }
    if (table.isEmpty())
        m_addresses.remove(address.interfaceName);
    if (changed) {
        kivDebug() << (add ? "Added " : "Removed ") << (address.linkLocal ? "local " : "") << address.address << '/'
                   << address.prefixLength << ", ifc: " << address.interfaceName;
    }
    return changed;
}

void NetlinkWatcher::handleRouterAdvertisement(const RouterAdvertisementOptions &options)
{
    const auto link = m_links.constFind(options.interfaceIndex);
    if (link == m_links.constEnd())
        return;
    const QByteArray &name = link.value();

    const auto nameserversBefore = m_nameservers;
    const auto searchDomainsBefore = m_searchDomains;
    for (const QString &text : options.nameservers) {
        NetlinkAddress server;
        server.address = text;
        server.interfaceName = name;
        server.prefixLength = NameserverPrefixLength;
        QList<NetlinkAddress> &servers = m_nameservers[name];
        if (!servers.contains(server))
            servers.append(server);
    }
    for (const QString &domain : options.searchDomains) {
        QStringList &domains = m_searchDomains[name];
        if (!domains.contains(domain))
            domains.append(domain);
    }
    if (m_nameservers != nameserversBefore)
        emit nameserversChanged();
    if (m_searchDomains != searchDomainsBefore)
        emit searchDomainsChanged();
}

QList<NetlinkAddress> NetlinkWatcher::addresses(const QByteArray &interfaceName) const
{
    return m_addresses.value(interfaceName).values();
}

QList<NetlinkAddress> NetlinkWatcher::nameservers() const
{
    QList<NetlinkAddress> all;
    for (const auto &entry : m_nameservers.entries())
        all += entry.second;
    return all;
}

QStringList NetlinkWatcher::searchDomains() const
{
    QStringList all;
    for (const auto &entry : m_searchDomains.entries())
        all += entry.second;
    return all;
}
