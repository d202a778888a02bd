#include "AddressManager.h"

#include "AutoIpD.h"
#include "DhcpClient.h"
#include "KivCommon.h"
#include "LogHandler.h"
#include "NetlinkWatcher.h"
#include "NetworkDriver.h"
#include "ResolvConf.h"

IpAddressManager::IpAddressManager() : QObject(nullptr) {}

QList<QHostAddress> IpAddressManager::nameservers() const
{
    return m_nameservers;
}

QStringList IpAddressManager::searchDomains() const
{
    return m_searchDomains;
}

bool IpAddressManager::isConnected() const
{
    return m_connected;
}

void IpAddressManager::setNameservers(const QList<QHostAddress> &nameservers)
{
    if (nameservers == m_nameservers)
        return;
    m_nameservers = nameservers;
    emit nameserversChanged();
}

void IpAddressManager::setSearchDomains(const QStringList &searchDomains)
{
    if (searchDomains == m_searchDomains)
        return;
    m_searchDomains = searchDomains;
    emit searchDomainsChanged();
}

void IpAddressManager::setConnected(bool connected)
{
    if (connected == m_connected)
        return;
    m_connected = connected;
    if (connected)
        emit this->connected();
    else
        emit disconnected();
}

Ipv4AddressManager::Ipv4AddressManager(const InterfaceName &interface, NetworkDriver *driver,
                                       DhcpClientFactory dhcpClientFactory)
    : m_interface(interface),
      m_addressSetter(driver),
      m_configuration(interface.toString()),
      m_dhcpClientFactory(std::move(dhcpClientFactory))
{
    if (!m_dhcpClientFactory)
        m_dhcpClientFactory = [](const InterfaceName &name) -> DhcpClient * { return new Udhcpc(name); };
    m_autoipTimer.setParent(this);
    m_autoipTimer.setSingleShot(true);
    // A coarse timer may fire over a second early at this length.
    m_autoipTimer.setTimerType(Qt::PreciseTimer);
    m_autoipTimer.setInterval(FallbackTimeoutMs);
    KivCommon::connect(&m_autoipTimer, SIGNAL(timeout()), this, SLOT(on_autoipTimer_timeout()));
    m_dhcpRestartTimer.setParent(this);
    m_dhcpRestartTimer.setSingleShot(true);
    KivCommon::connect(&m_dhcpRestartTimer, SIGNAL(timeout()), this, SLOT(on_dhcpRestartTimer_timeout()));
}

Ipv4AddressManager::~Ipv4AddressManager()
{
    deleteDhcpClient();
    delete m_autoIpD;
}

void Ipv4AddressManager::start(const InterfaceConfiguration &configuration)
{
    m_dhcpWanted = false;
    m_autoipTimer.start();
    if (configuration.hasAddress()) {
        apply(configuration);
        return;
    }
    deleteDhcpClient();
    m_dhcpClient = m_dhcpClientFactory(m_interface);
    KivCommon::connect(m_dhcpClient, SIGNAL(finished(InterfaceConfiguration)), this,
                       SLOT(on_dhcpClient_finished(InterfaceConfiguration)));
    KivCommon::connect(m_dhcpClient, SIGNAL(error(QString)), this, SLOT(on_dhcpClient_error(QString)));
    KivCommon::connect(m_dhcpClient, SIGNAL(exited()), this, SLOT(on_dhcpClient_exited()));
    m_dhcpWanted = true;
    m_dhcpRestartTimer.stop();
    m_dhcpRestartDelayMs = DhcpRestartFirstMs;
    m_dhcpClient->start();
}

void Ipv4AddressManager::stop()
{
    m_dhcpWanted = false;
    m_dhcpRestartTimer.stop();
    if (m_dhcpClient)
        m_dhcpClient->stop();
    m_autoipTimer.stop();
    release();
}

void Ipv4AddressManager::on_dhcpClient_finished(const InterfaceConfiguration &configuration)
{
    m_dhcpRestartDelayMs = DhcpRestartFirstMs;
    apply(configuration);
}

void Ipv4AddressManager::on_dhcpClient_error(const QString &message)
{
    kivInfo() << "dhcp client error: " << '"' << message << '"';
    if (!m_autoipTimer.isActive())
        m_autoipTimer.start();
    release();
    scheduleDhcpRestart();
}

void Ipv4AddressManager::on_dhcpClient_exited()
{
    // A lease already applied stays valid on the interface; a restarted client renews or replaces it.
    kivInfo() << m_interface << ": dhcp client ended unexpectedly";
    scheduleDhcpRestart();
}

void Ipv4AddressManager::scheduleDhcpRestart()
{
    if (!m_dhcpWanted || m_dhcpRestartTimer.isActive())
        return;
    kivInfo() << m_interface << ": restarting the dhcp client in " << m_dhcpRestartDelayMs << " ms";
    m_dhcpRestartTimer.start(m_dhcpRestartDelayMs);
    m_dhcpRestartDelayMs = qMin(2 * m_dhcpRestartDelayMs, DhcpRestartMaxMs);
}

void Ipv4AddressManager::on_dhcpRestartTimer_timeout()
{
    if (!m_dhcpWanted || !m_dhcpClient)
        return;
    kivInfo() << m_interface << ": restarting the dhcp client";
    m_dhcpClient->start();
}

void Ipv4AddressManager::on_autoipTimer_timeout()
{
    delete m_autoIpD;
    m_autoIpD = nullptr;
    m_autoIpD = new AutoIpD(this, m_interface);
    m_autoIpD->start();
    setConnected(true);
}

void Ipv4AddressManager::apply(const InterfaceConfiguration &configuration)
{
    m_autoipTimer.stop();
    delete m_autoIpD;
    m_autoIpD = nullptr;
    if (configuration == m_configuration)
        return;
    m_configuration = configuration;
    m_addressSetter.setAddress(m_configuration);
    m_addressSetter.setGateway(m_configuration);
    setNameservers(m_configuration.nameservers());
    setSearchDomains(m_configuration.searchDomains());
    setConnected(true);
}

void Ipv4AddressManager::release()
{
    m_configuration = InterfaceConfiguration(m_interface.toString());
    m_addressSetter.setAddress(m_configuration);
    setNameservers({});
    setSearchDomains({});
    setConnected(false);
}

void Ipv4AddressManager::deleteDhcpClient()
{
    if (!m_dhcpClient)
        return;
    // A client that reports its own termination must not reach this manager any more.
    m_dhcpClient->disconnect(this);
    delete m_dhcpClient;
    m_dhcpClient = nullptr;
}

Ipv6AddressManager::Ipv6AddressManager(const InterfaceName &interface, NetlinkWatcher *netlink, NetworkDriver *driver)
    : m_interface(interface), m_netlink(netlink), m_driver(driver)
{
    KivCommon::connect(m_netlink, SIGNAL(addressesChanged()), this, SLOT(on_netlink_addressesChanged()));
    KivCommon::connect(m_netlink, SIGNAL(nameserversChanged()), this, SLOT(on_netlink_nameserversChanged()));
    KivCommon::connect(m_netlink, SIGNAL(searchDomainsChanged()), this, SLOT(on_netlink_searchDomainsChanged()));
}

void Ipv6AddressManager::start(const InterfaceConfiguration &)
{
    m_started = true;
}

void Ipv6AddressManager::stop()
{
    m_driver->flushAddresses(AddressFamily::Ipv6, m_interface, true);
    setNameservers({});
    setSearchDomains({});
    setConnected(false);
    m_started = false;
}

bool Ipv6AddressManager::hasGlobalAddress(const QList<NetlinkAddress> &addresses)
{
    for (const NetlinkAddress &address : addresses) {
        if (!address.ipv4 && !address.linkLocal)
            return true;
    }
    return false;
}

QList<QHostAddress> Ipv6AddressManager::nameserversOf(const QList<NetlinkAddress> &nameservers,
                                                      const InterfaceName &interface)
{
    QList<QHostAddress> result;
    for (const NetlinkAddress &nameserver : nameservers) {
        if (QString::fromUtf8(nameserver.interfaceName) == interface.toString())
            result.append(QHostAddress(nameserver.address));
    }
    return result;
}

void Ipv6AddressManager::on_netlink_addressesChanged()
{
    if (!m_started)
        return;
    setConnected(hasGlobalAddress(m_netlink->addresses(m_interface.toString().toUtf8())));
}

void Ipv6AddressManager::on_netlink_nameserversChanged()
{
    if (!m_started)
        return;
    setNameservers(nameserversOf(m_netlink->nameservers(), m_interface));
}

void Ipv6AddressManager::on_netlink_searchDomainsChanged()
{
    if (!m_started)
        return;
    setSearchDomains(m_netlink->searchDomains());
}

AddressManager::AddressManager(const InterfaceName &interface, NetlinkWatcher *netlink, NetworkDriver *driver,
                               ResolvConf *resolvConf, QObject *parent)
    : AddressManager(interface, resolvConf,
                     {new Ipv4AddressManager(interface, driver), new Ipv6AddressManager(interface, netlink, driver)},
                     parent)
{
}

AddressManager::AddressManager(const InterfaceName &interface, ResolvConf *resolvConf,
                               const QList<IpAddressManager *> &managers, QObject *parent)
    : QObject(parent), m_interface(interface), m_resolvConf(resolvConf), m_ipAddrMngrs(managers)
{
    for (IpAddressManager *manager : qAsConst(m_ipAddrMngrs)) {
        KivCommon::connect(manager, SIGNAL(connected()), this, SLOT(on_ipAddrMngr_connected()));
        KivCommon::connect(manager, SIGNAL(disconnected()), this, SLOT(on_ipAddrMngr_disconnected()));
        KivCommon::connect(manager, SIGNAL(nameserversChanged()), this, SLOT(on_ipAddrMngr_nameserversChanged()));
        KivCommon::connect(manager, SIGNAL(searchDomainsChanged()), this, SLOT(on_ipAddrMngr_searchDomainsChanged()));
    }
}

AddressManager::~AddressManager()
{
    // Ending a family manager ends its DHCP client and link-local daemon; keep the resolver out of it.
    for (IpAddressManager *manager : qAsConst(m_ipAddrMngrs))
        manager->disconnect(this);
    qDeleteAll(m_ipAddrMngrs);
}

void AddressManager::start(const InterfaceConfiguration &configuration)
{
    m_connected = false;
    for (IpAddressManager *manager : qAsConst(m_ipAddrMngrs))
        manager->start(configuration);
}

void AddressManager::stop()
{
    for (IpAddressManager *manager : qAsConst(m_ipAddrMngrs))
        manager->stop();
}

void AddressManager::on_ipAddrMngr_connected()
{
    if (m_connected)
        return;
    m_connected = true;
    emit connected();
}

void AddressManager::on_ipAddrMngr_disconnected()
{
    for (IpAddressManager *manager : qAsConst(m_ipAddrMngrs)) {
        if (manager->isConnected())
            return;
    }
    if (!m_connected)
        return;
    m_connected = false;
    emit disconnected();
}

void AddressManager::on_ipAddrMngr_nameserversChanged()
{
    updateResolver();
}

void AddressManager::on_ipAddrMngr_searchDomainsChanged()
{
    updateResolver();
}

void AddressManager::updateResolver()
{
    QList<QHostAddress> nameservers;
    QStringList searchDomains;
    for (IpAddressManager *manager : qAsConst(m_ipAddrMngrs)) {
        nameservers += manager->nameservers();
        searchDomains += manager->searchDomains();
    }
    m_resolvConf->setNameservers(nameservers, m_interface);
    m_resolvConf->setSearchDomains(searchDomains, m_interface);
    m_resolvConf->write();
}
