#pragma once

#include "InterfaceConfiguration.h"
#include "InterfaceName.h"
#include "IpAddressSetter.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <functional>

class AutoIpD;
class DhcpClient;
class NetlinkWatcher;
struct NetlinkAddress;
class NetworkDriver;
class ResolvConf;

// The addressing of one interface in one address family.
class IpAddressManager : public QObject
{
    Q_OBJECT
public:
    IpAddressManager();

    virtual void start(const InterfaceConfiguration &configuration) = 0;
    virtual void stop() = 0;
    virtual QList<QHostAddress> nameservers() const;
    virtual QStringList searchDomains() const;
    virtual bool isConnected() const;

signals:
    void connected();
    void disconnected();
    void nameserversChanged();
    void searchDomainsChanged();

protected:
    void setNameservers(const QList<QHostAddress> &nameservers);
    void setSearchDomains(const QStringList &searchDomains);
    void setConnected(bool connected);

private:
    QList<QHostAddress> m_nameservers;
    QStringList m_searchDomains;
    bool m_connected = false;
};

// IPv4 by DHCP or static settings, with a link-local fallback when no lease arrives in time.
class Ipv4AddressManager : public IpAddressManager
{
    Q_OBJECT
public:
    // Makes the DHCP client for an interface; the manager owns what it returns.
    using DhcpClientFactory = std::function<DhcpClient *(const InterfaceName &)>;

    // Without a factory the manager runs Udhcpc.
    Ipv4AddressManager(const InterfaceName &interface, NetworkDriver *driver,
                       DhcpClientFactory dhcpClientFactory = DhcpClientFactory());
    ~Ipv4AddressManager() override;

    void start(const InterfaceConfiguration &configuration) override;
    void stop() override;

    // The configuration last applied; only the interface name while nothing is applied.
    const InterfaceConfiguration &currentConfiguration() const { return m_configuration; }
    // Milliseconds until the link-local fallback starts; -1 while none is pending.
    int fallbackRemainingTime() const { return m_autoipTimer.remainingTime(); }

    // Milliseconds until the DHCP client is started again; -1 while no restart is pending.
    int dhcpRestartRemainingTime() const { return m_dhcpRestartTimer.remainingTime(); }

    static constexpr int FallbackTimeoutMs = 24000;
    // A DHCP client that ends while the manager runs is started again after this delay, doubled
    // on every further end up to the cap and reset by a lease.
    static constexpr int DhcpRestartFirstMs = 1000;
    static constexpr int DhcpRestartMaxMs = 60000;

private slots:
    void on_dhcpClient_finished(const InterfaceConfiguration &configuration);
    void on_dhcpClient_error(const QString &message);
    void on_dhcpClient_exited();
    void on_autoipTimer_timeout();
    void on_dhcpRestartTimer_timeout();

private:
    void apply(const InterfaceConfiguration &configuration);
    void release();
    void deleteDhcpClient();
    void scheduleDhcpRestart();

    InterfaceName m_interface;
    QTimer m_autoipTimer;
    QTimer m_dhcpRestartTimer;
    int m_dhcpRestartDelayMs = DhcpRestartFirstMs;
    // Started for DHCP and not stopped since.
    bool m_dhcpWanted = false;
    IpAddressSetter m_addressSetter;
    DhcpClient *m_dhcpClient = nullptr;
    AutoIpD *m_autoIpD = nullptr;
    InterfaceConfiguration m_configuration;
    DhcpClientFactory m_dhcpClientFactory;
};

// IPv6 as the kernel configures it from router advertisements, followed through the watcher.
class Ipv6AddressManager : public IpAddressManager
{
    Q_OBJECT
public:
    Ipv6AddressManager(const InterfaceName &interface, NetlinkWatcher *netlink, NetworkDriver *driver);

    void start(const InterfaceConfiguration &configuration) override;
    void stop() override;

    // Whether the interface has an IPv6 address beyond link scope.
    static bool hasGlobalAddress(const QList<NetlinkAddress> &addresses);
    // The router-advertised name servers learned on the interface, in the watcher's order.
    static QList<QHostAddress> nameserversOf(const QList<NetlinkAddress> &nameservers, const InterfaceName &interface);

private slots:
    void on_netlink_addressesChanged();
    void on_netlink_nameserversChanged();
    void on_netlink_searchDomainsChanged();

private:
    InterfaceName m_interface;
    NetlinkWatcher *m_netlink;
    NetworkDriver *m_driver;
    bool m_started = false;
};

// Brings one interface's IPv4 and IPv6 addressing up and down; connected while either family is.
class AddressManager : public QObject
{
    Q_OBJECT
public:
    AddressManager(const InterfaceName &interface, NetlinkWatcher *netlink, NetworkDriver *driver,
                   ResolvConf *resolvConf, QObject *parent = nullptr);
    ~AddressManager() override;

    virtual void start(const InterfaceConfiguration &configuration);
    virtual void stop();
    bool isConnected() const { return m_connected; }

signals:
    void connected();
    void disconnected();

protected:
    // For a manager whose family managers are made elsewhere; it takes them over.
    AddressManager(const InterfaceName &interface, ResolvConf *resolvConf, const QList<IpAddressManager *> &managers,
                   QObject *parent);

private slots:
    void on_ipAddrMngr_connected();
    void on_ipAddrMngr_disconnected();
    void on_ipAddrMngr_nameserversChanged();
    void on_ipAddrMngr_searchDomainsChanged();

private:
    // Hands the union of both families' name servers and search domains to the resolver.
    void updateResolver();

    InterfaceName m_interface;
    ResolvConf *m_resolvConf;
    QList<IpAddressManager *> m_ipAddrMngrs;
    bool m_connected = false;
};
