#pragma once

#include "InterfaceConfiguration.h"

#include <QString>

#include <functional>

class NetworkDriver;

// Puts an IPv4 configuration onto its interface: the address, then the default route.
class IpAddressSetterInterface
{
public:
    virtual ~IpAddressSetterInterface() = default;

    // Replaces the interface's IPv4 addresses; a configuration without address only removes them.
    virtual void setAddress(const InterfaceConfiguration &configuration) = 0;
    // Makes the configured gateway the only IPv4 default route; no gateway leaves the routes alone.
    virtual void setGateway(const InterfaceConfiguration &configuration) = 0;
};

class IpAddressSetter : public IpAddressSetterInterface
{
public:
    // Reads the system's current IPv4 default gateway; empty text when there is none.
    using GatewayReader = std::function<QString()>;

    // By default the gateway in use is read from the kernel's routing table.
    explicit IpAddressSetter(NetworkDriver *driver, GatewayReader currentGateway = GatewayReader());

    void setAddress(const InterfaceConfiguration &configuration) override;
    void setGateway(const InterfaceConfiguration &configuration) override;

    static constexpr int DefaultPrefixLength = 24;

private:
    NetworkDriver *m_driver;
    GatewayReader m_currentGateway;
};
