#include "InterfaceConfiguration.h"

InterfaceConfiguration::InterfaceConfiguration(const QString &name)
    : m_name(name)
{
}

InterfaceConfiguration::InterfaceConfiguration(const QString &name, const QString &address, const QString &netmask,
                                               const QString &gateway, const QStringList &nameservers,
                                               const QStringList &searchDomains)
    : m_name(name)
    , m_gateway(gateway)
    , m_searchDomains(searchDomains)
{
    m_address.setIp(QHostAddress(address));
    const QHostAddress mask(netmask);
    if (!mask.isNull())
        m_address.setNetmask(mask);
    for (const QString &text : nameservers) {
        const QHostAddress server(text);
        if (!server.isNull())
            m_nameservers.append(server);
    }
}

bool InterfaceConfiguration::operator==(const InterfaceConfiguration &other) const
{
    return m_name == other.m_name && m_address == other.m_address && m_gateway == other.m_gateway
           && m_nameservers == other.m_nameservers && m_searchDomains == other.m_searchDomains;
}

QVariantMap InterfaceConfiguration::toMap() const
{
    QStringList servers;
    for (const QHostAddress &server : m_nameservers)
        servers.append(server.toString());

    QVariantMap map;
    map.insert(QStringLiteral("Ip"), m_address.ip().toString());
    map.insert(QStringLiteral("Netmask"), m_address.netmask().toString());
    if (hasGateway())
        map.insert(QStringLiteral("Gateway"), m_gateway.toString());
    map.insert(QStringLiteral("Dns"), servers.join(QLatin1Char(' ')));
    map.insert(QStringLiteral("SearchDomains"), m_searchDomains.join(QLatin1Char(' ')));
    return map;
}

InterfaceConfiguration InterfaceConfiguration::fromMap(const QString &name, const QVariantMap &map)
{
    const auto text = [&map](const char *key) { return map.value(QLatin1String(key)).toString(); };
    const auto words = [&text](const char *key) { return text(key).split(QLatin1Char(' '), Qt::SkipEmptyParts); };
    return InterfaceConfiguration(name, text("Ip"), text("Netmask"), text("Gateway"), words("Dns"),
                                  words("SearchDomains"));
}
