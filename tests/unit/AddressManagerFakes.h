#pragma once

#include "AddressManager.h"
#include "DhcpClient.h"
#include "ResolvConf.h"

#include <QPointer>
#include <QStringList>

// A DHCP client whose leases and failures the test hands out.
class FakeDhcpClient : public DhcpClient
{
    Q_OBJECT
public:
    explicit FakeDhcpClient(const InterfaceName &interface) : DhcpClient(interface) {}

    void start() override { ++starts; }
    bool stop() override
    {
        ++stops;
        return true;
    }

    void lease(const InterfaceConfiguration &configuration) { emit finished(configuration); }
    void fail() { emit error("dhcpc: " + interfaceName().toString() + ": an error occurred!"); }
    void end() { emit exited(); }

    int starts = 0;
    int stops = 0;
};

// Hands the manager fake DHCP clients and keeps track of them.
struct FakeDhcpClients
{
    QList<QPointer<FakeDhcpClient>> made;

    Ipv4AddressManager::DhcpClientFactory factory()
    {
        return [this](const InterfaceName &interface) -> DhcpClient * {
            auto *client = new FakeDhcpClient(interface);
            made.append(client);
            return client;
        };
    }
    FakeDhcpClient *last() const { return made.isEmpty() ? nullptr : made.constLast().data(); }
};

// Records what the address managers hand to the resolver, one call per line.
class RecordingResolvConf : public ResolvConf
{
    Q_OBJECT
public:
    QStringList calls;

    void setNameservers(const QList<QHostAddress> &nameservers, const InterfaceName &interface) override
    {
        QStringList texts;
        for (const QHostAddress &address : nameservers)
            texts << address.toString();
        calls << "nameservers " + interface.toString() + ' ' + texts.join(QLatin1Char(','));
    }
    void removeNameservers(const InterfaceName &interface) override
    {
        calls << "removeNameservers " + interface.toString();
    }
    void setSearchDomains(const QStringList &domains, const InterfaceName &interface) override
    {
        calls << "domains " + interface.toString() + ' ' + domains.join(QLatin1Char(','));
    }
    void removeSearchDomains(const InterfaceName &interface) override
    {
        calls << "removeSearchDomains " + interface.toString();
    }
    void write() override { calls << QStringLiteral("write"); }
};
