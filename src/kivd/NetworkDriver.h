#pragma once

#include "InterfaceName.h"
#include "MacAddress.h"

#include <QString>

enum class AddressFamily { Ipv4 = 0, Ipv6 = 1, Both = 2 };

// The daemon's only way to change links, addresses and routes. Operations report nothing:
// the outcome of each change is only logged.
class NetworkDriver
{
public:
    virtual ~NetworkDriver() = default;

    virtual void linkUp(const InterfaceName &interface) = 0;
    virtual void linkDown(const InterfaceName &interface) = 0;
    virtual void flushAddresses(AddressFamily family, const InterfaceName &interface, bool globalScopeOnly) = 0;
    virtual void setMacAddress(const MacAddress &address, const InterfaceName &interface) = 0;
    // Removes the interface's addresses of the address's family (IPv6: global scope only), then adds it.
    virtual void replaceAddress(const QString &address, int prefixLength, const InterfaceName &interface) = 0;
    virtual void addAddress(const QString &address, int prefixLength, const InterfaceName &interface) = 0;
    virtual void flushDefaultRoutes(AddressFamily family) = 0;
    virtual void addDefaultRoute(const QString &gateway, const InterfaceName &interface) = 0;
};
