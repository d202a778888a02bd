#include "NetworkDriverIp.h"

#include "KivProcess.h"

#include <QHostAddress>

namespace {

const QString Ipv4Option = QStringLiteral("-4");
const QString Ipv6Option = QStringLiteral("-6");

bool includesIpv4(AddressFamily family)
{
    return family == AddressFamily::Ipv4 || family == AddressFamily::Both;
}

bool includesIpv6(AddressFamily family)
{
    return family == AddressFamily::Ipv6 || family == AddressFamily::Both;
}

QAbstractSocket::NetworkLayerProtocol protocolOf(const QString &text)
{
    QHostAddress address;
    if (!address.setAddress(text))
        return QAbstractSocket::UnknownNetworkLayerProtocol;
    return address.protocol();
}

// Anything that is not an IPv4 address is handed to the tool as IPv6.
const QString &familyOption(const QString &text)
{
    return protocolOf(text) == QAbstractSocket::IPv4Protocol ? Ipv4Option : Ipv6Option;
}

QStringList addressFlush(const QString &familyOption, const InterfaceName &interface, bool globalScopeOnly)
{
    QStringList arguments{familyOption, QStringLiteral("addr"), QStringLiteral("flush"), QStringLiteral("dev"),
                          interface.toString()};
    if (globalScopeOnly)
        arguments << QStringLiteral("scope") << QStringLiteral("global");
    return arguments;
}

QStringList defaultRouteFlush(const QString &familyOption)
{
    return {familyOption, QStringLiteral("route"), QStringLiteral("flush"), QStringLiteral("to"),
            QStringLiteral("default")};
}

QStringList linkSet(const InterfaceName &interface, const QStringList &settings)
{
    return QStringList{QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("dev"), interface.toString()}
        + settings;
}

} // namespace

NetworkDriverIp::NetworkDriverIp(QObject *parent)
    : QObject(parent)
{
}

void NetworkDriverIp::ip(const QStringList &arguments)
{
    KivProcess::execute(QStringLiteral("ip"), arguments);
}

void NetworkDriverIp::linkUp(const InterfaceName &interface)
{
    ip(linkSet(interface, {QStringLiteral("up")}));
}

void NetworkDriverIp::linkDown(const InterfaceName &interface)
{
    ip(linkSet(interface, {QStringLiteral("down")}));
}

void NetworkDriverIp::flushAddresses(AddressFamily family, const InterfaceName &interface, bool globalScopeOnly)
{
    if (includesIpv4(family))
        ip(addressFlush(Ipv4Option, interface, globalScopeOnly));
    if (includesIpv6(family))
        ip(addressFlush(Ipv6Option, interface, globalScopeOnly));
}

void NetworkDriverIp::setMacAddress(const MacAddress &address, const InterfaceName &interface)
{
    ip(linkSet(interface, {QStringLiteral("address"), address.toString()}));
}

void NetworkDriverIp::replaceAddress(const QString &address, int prefixLength, const InterfaceName &interface)
{
    switch (protocolOf(address)) {
    case QAbstractSocket::IPv4Protocol:
        ip(addressFlush(Ipv4Option, interface, false));
        break;
    case QAbstractSocket::IPv6Protocol:
        ip(addressFlush(Ipv6Option, interface, true));
        break;
    default:
        return;
    }
    addAddress(address, prefixLength, interface);
}

void NetworkDriverIp::addAddress(const QString &address, int prefixLength, const InterfaceName &interface)
{
    ip({familyOption(address), QStringLiteral("address"), QStringLiteral("add"),
        address + QLatin1Char('/') + QString::number(prefixLength), QStringLiteral("broadcast"), QStringLiteral("+"),
        QStringLiteral("dev"), interface.toString()});
}

void NetworkDriverIp::flushDefaultRoutes(AddressFamily family)
{
    if (includesIpv4(family))
        ip(defaultRouteFlush(Ipv4Option));
    if (includesIpv6(family))
        ip(defaultRouteFlush(Ipv6Option));
}

void NetworkDriverIp::addDefaultRoute(const QString &gateway, const InterfaceName &interface)
{
    ip({familyOption(gateway), QStringLiteral("route"), QStringLiteral("add"), QStringLiteral("default"),
        QStringLiteral("via"), gateway, QStringLiteral("dev"), interface.toString()});
}
