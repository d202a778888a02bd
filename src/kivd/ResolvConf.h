#pragma once

#include "InsertionOrderedMap.h"
#include "InterfaceName.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

// Owns /etc/resolv.conf: every interface reports its name servers and search domains, and the
// merged result is written when it changed. Also reads back the resolver and routing state.
class ResolvConf : public QObject
{
    Q_OBJECT
public:
    explicit ResolvConf(QObject *parent = nullptr);

    // The resolver the daemon runs with (a ResolvConfImpl).
    static ResolvConf *create(QObject *parent);

    virtual void setNameservers(const QList<QHostAddress> &nameservers, const InterfaceName &interface) = 0;
    virtual void removeNameservers(const InterfaceName &interface) = 0;
    virtual void setSearchDomains(const QStringList &domains, const InterfaceName &interface) = 0;
    virtual void removeSearchDomains(const InterfaceName &interface) = 0;
    virtual void write() = 0;

    // The name servers listed in /etc/resolv.conf, in file order.
    static QStringList readNameservers();
    // The IPv4 default gateway from /proc/net/route; empty when there is none.
    static QString readIpv4DefaultGateway();
    // The IPv6 default gateway from /proc/net/ipv6_route (routes through "lo" skipped); empty when none.
    static QString readIpv6DefaultGateway();

    static QStringList parseNameservers(const QByteArray &resolvConf);
    static QString parseIpv4DefaultGateway(const QByteArray &routeTable);
    static QString parseIpv6DefaultGateway(const QByteArray &routeTable);

    static const QString ResolvConfPath;
    static const QString Ipv4RoutePath;
    static const QString Ipv6RoutePath;
};

class ResolvConfImpl : public ResolvConf
{
    Q_OBJECT
public:
    explicit ResolvConfImpl(QObject *parent = nullptr);

    void setNameservers(const QList<QHostAddress> &nameservers, const InterfaceName &interface) override;
    void removeNameservers(const InterfaceName &interface) override;
    void setSearchDomains(const QStringList &domains, const InterfaceName &interface) override;
    void removeSearchDomains(const InterfaceName &interface) override;
    void write() override;

    // What the next write puts into the file.
    const QStringList &mergedNameservers() const { return m_mergedNameservers; }
    const QStringList &mergedSearchDomains() const { return m_mergedSearchDomains; }

    static constexpr int MaxNameservers = 3;

    // At most three servers, a fair share per interface (lists given in visiting order).
    static QStringList mergeNameservers(const QList<QList<QHostAddress>> &perInterface);
    // Up to count servers of one interface, IPv4 and IPv6 alternating, IPv4 first.
    static QStringList selectNameservers(const QList<QHostAddress> &nameservers, int count);
    // The file's lines after the header.
    static QString render(const QStringList &nameservers, const QStringList &searchDomains);

private:
    void rebuildNameservers();
    void rebuildSearchDomains();

    InsertionOrderedMap<InterfaceName, QList<QHostAddress>> m_nameservers;
    QStringList m_mergedNameservers;
    InsertionOrderedMap<InterfaceName, QStringList> m_searchDomains;
    QStringList m_mergedSearchDomains;
    bool m_dirty = true;
};
