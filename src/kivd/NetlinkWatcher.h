#pragma once

#include "InsertionOrderedMap.h"
#include "RouterAdvertisement.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMap>
#include <QMetaType>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QSocketNotifier;
struct nl_msg;
struct nl_object;

// One IP address of an interface as the kernel reports it (also used for the IPv6 name
// servers learned from router advertisements: IPv4 false, link-local false, prefix 128).
struct NetlinkAddress
{
    QString address;
    QByteArray interfaceName;
    bool ipv4 = false;
    bool linkLocal = false;
    int prefixLength = 0;

    bool operator==(const NetlinkAddress &other) const;
    bool operator!=(const NetlinkAddress &other) const { return !(*this == other); }
};

Q_DECLARE_METATYPE(NetlinkAddress)

// One rtnetlink notification as the watcher uses it, decoded apart from the socket.
struct NetlinkEvent
{
    enum class Kind { None, Link, Address, RouterAdvertisement };

    Kind kind = Kind::None;
    // A link that went away (RTM_DELLINK), or an address that is gone or deprecated.
    bool removed = false;
    int interfaceIndex = 0;
    // Link: the interface's name and flags.
    QByteArray name;
    unsigned int flags = 0;
    // Address: everything but the interface name, which the watcher knows from the index.
    NetlinkAddress address;
    RouterAdvertisementOptions routerAdvertisement;
};

// Follows the kernel's link, address and router-advertisement notifications over rtnetlink
// and keeps the latest addresses, IPv6 name servers and search domains per interface.
class NetlinkWatcher : public QObject
{
    Q_OBJECT
public:
    explicit NetlinkWatcher(QObject *parent = nullptr);
    ~NetlinkWatcher() override;

    // The addresses of one interface, ordered by address text; empty for an unknown name.
    QList<NetlinkAddress> addresses(const QByteArray &interfaceName) const;
    // The name servers of all interfaces, one interface's list after the other.
    QList<NetlinkAddress> nameservers() const;
    // The search domains of all interfaces, one interface's list after the other.
    QStringList searchDomains() const;

    // Running means RUNNING and LOWER_UP without DORMANT.
    static bool isRunning(unsigned int flags);
    // "<name>: +UP -RUNNING ..." as logged for every link update.
    static QString statusText(const QByteArray &name, unsigned int flags);

    // What one received message says; Kind::None for anything the watcher does not follow.
    static NetlinkEvent decode(nl_msg *message);
    // What one link or address object (from a message or the link cache) says.
    static NetlinkEvent decodeObject(nl_object *object);

    // Receive buffer asked for, so that a burst of notifications is not dropped by the kernel.
    static constexpr int ReceiveBufferBytes = 4 * 1024 * 1024;

signals:
    void interfaceStatusChanged(QByteArray name, bool up, bool running);
    void addressesChanged();
    void nameserversChanged();
    void searchDomainsChanged();

private slots:
    void on_socketReady(int socket);

private:
    struct Socket;

    bool setupSocket();
    void walkLinkCache();
    static int onValidMessage(nl_msg *message, void *watcher);
    void handleEvent(const NetlinkEvent &event);
    void handleLink(const NetlinkEvent &event);
    void handleAddress(const NetlinkEvent &event);
    void handleRouterAdvertisement(const RouterAdvertisementOptions &options);
    bool updateAddress(bool add, const NetlinkAddress &address);
    void forgetRouterAdvertisements(const QByteArray &name);

    std::unique_ptr<Socket> m_socket;
    QSocketNotifier *m_notifier = nullptr;
    quint64 m_messagesReceived = 0;
    QHash<int, QByteArray> m_links;
    QHash<QByteArray, QMap<QString, NetlinkAddress>> m_addresses;
    InsertionOrderedMap<QByteArray, QList<NetlinkAddress>> m_nameservers;
    InsertionOrderedMap<QByteArray, QStringList> m_searchDomains;
};
