#include "IpAddressSetter.h"

#include "LogHandler.h"
#include "NetworkDriver.h"
#include "ResolvConf.h"

IpAddressSetter::IpAddressSetter(NetworkDriver *driver, GatewayReader currentGateway)
    : m_driver(driver), m_currentGateway(std::move(currentGateway))
{
    if (!m_currentGateway)
        m_currentGateway = &ResolvConf::readIpv4DefaultGateway;
}

void IpAddressSetter::setAddress(const InterfaceConfiguration &configuration)
{
    const InterfaceName interface(configuration.name());
    kivDebug() << "Setting Ip address: " << '"' << configuration.address().ip().toString() << '"'
               << " to interface: " << '"' << configuration.name() << '"';
    if (interface.isEmpty())
        return;
    m_driver->flushAddresses(AddressFamily::Ipv4, interface, false);
    const QNetworkAddressEntry &entry = configuration.address();
    if (entry.ip().isNull())
        return;
    if (!entry.netmask().isNull()) {
        m_driver->addAddress(entry.ip().toString(), entry.prefixLength(), interface);
        return;
    }
    kivWarning() << "No netmask defined, assuming /24 network";
    m_driver->addAddress(entry.ip().toString(), DefaultPrefixLength, interface);
}

void IpAddressSetter::setGateway(const InterfaceConfiguration &configuration)
{
    const InterfaceName interface(configuration.name());
    kivDebug() << "Setting gateway address: " << '"' << configuration.gateway().toString() << '"'
               << " to interface: " << '"' << configuration.name() << '"';
    if (interface.isEmpty() || configuration.gateway().isNull())
        return;
    if (!m_currentGateway().isEmpty())
        m_driver->flushDefaultRoutes(AddressFamily::Ipv4);
    m_driver->addDefaultRoute(configuration.gateway().toString(), interface);
}
