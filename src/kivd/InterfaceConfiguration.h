#pragma once

#include <QHostAddress>
#include <QList>
#include <QMetaType>
#include <QNetworkAddressEntry>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The IP configuration of one interface. Without an address the address comes from DHCP;
// with one it is a static configuration.
class InterfaceConfiguration
{
public:
    InterfaceConfiguration() = default;
    explicit InterfaceConfiguration(const QString &name);
    // Unparsable address texts give null addresses; unparsable name servers are dropped.
    InterfaceConfiguration(const QString &name, const QString &address, const QString &netmask, const QString &gateway,
                           const QStringList &nameservers, const QStringList &searchDomains);

    const QString &name() const { return m_name; }
    const QNetworkAddressEntry &address() const { return m_address; }
    const QHostAddress &gateway() const { return m_gateway; }
    const QList<QHostAddress> &nameservers() const { return m_nameservers; }
    const QStringList &searchDomains() const { return m_searchDomains; }

    bool hasAddress() const { return !m_address.ip().isNull(); }
    bool hasGateway() const { return !m_gateway.isNull(); }

    bool operator==(const InterfaceConfiguration &other) const;
    bool operator!=(const InterfaceConfiguration &other) const { return !(*this == other); }

    // Bus form (IpSettingsMap): Ip, Netmask, Gateway (only when set), Dns, SearchDomains.
    QVariantMap toMap() const;
    // The configuration of interface name from its bus form; a missing or empty "Ip" means DHCP.
    static InterfaceConfiguration fromMap(const QString &name, const QVariantMap &map);

private:
    QString m_name;
    QNetworkAddressEntry m_address;
    QHostAddress m_gateway;
    QList<QHostAddress> m_nameservers;
    QStringList m_searchDomains;
};

Q_DECLARE_METATYPE(InterfaceConfiguration)
