#pragma once

#include "NetworkDriver.h"

#include <QObject>
#include <QStringList>

// Carries out every driver operation with the iproute2 "ip" tool, one synchronous run per command.
class NetworkDriverIp : public NetworkDriver, public QObject
{
public:
    explicit NetworkDriverIp(QObject *parent = nullptr);

    void linkUp(const InterfaceName &interface) override;
    void linkDown(const InterfaceName &interface) override;
    void flushAddresses(AddressFamily family, const InterfaceName &interface, bool globalScopeOnly) override;
    void setMacAddress(const MacAddress &address, const InterfaceName &interface) override;
    void replaceAddress(const QString &address, int prefixLength, const InterfaceName &interface) override;
    void addAddress(const QString &address, int prefixLength, const InterfaceName &interface) override;
    void flushDefaultRoutes(AddressFamily family) override;
    void addDefaultRoute(const QString &gateway, const InterfaceName &interface) override;

private:
    static void ip(const QStringList &arguments);
};
