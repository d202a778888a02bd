#include "ResolvConf.h"

#include "ConfigFileWriter.h"

#include <QFile>
#include <QRegularExpression>

#include <algorithm>

const QString ResolvConf::ResolvConfPath = QStringLiteral("/etc/resolv.conf");
const QString ResolvConf::Ipv4RoutePath = QStringLiteral("/proc/net/route");
const QString ResolvConf::Ipv6RoutePath = QStringLiteral("/proc/net/ipv6_route");

namespace {

QByteArray readWhole(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

const QString DefaultIpv6Destination(32, QLatin1Char('0'));

} // namespace

ResolvConf::ResolvConf(QObject *parent)
    : QObject(parent)
{
}

ResolvConf *ResolvConf::create(QObject *parent)
{
    return new ResolvConfImpl(parent);
}

QStringList ResolvConf::readNameservers()
{
    return parseNameservers(readWhole(ResolvConfPath));
}

QString ResolvConf::readIpv4DefaultGateway()
{
    return parseIpv4DefaultGateway(readWhole(Ipv4RoutePath));
}

QString ResolvConf::readIpv6DefaultGateway()
{
    return parseIpv6DefaultGateway(readWhole(Ipv6RoutePath));
}

QStringList ResolvConf::parseNameservers(const QByteArray &resolvConf)
{
    const int nul = resolvConf.indexOf('\0');
    const QString text = QString::fromUtf8(nul >= 0 ? resolvConf.left(nul) : resolvConf);
    QStringList nameservers;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        if (!line.startsWith(QLatin1String("nameserver")))
            continue;
        const QStringList parts = line.split(QLatin1Char(' '));
        if (parts.size() == 2)
            nameservers.append(parts.at(1));
    }
    return nameservers;
}

QString ResolvConf::parseIpv4DefaultGateway(const QByteArray &routeTable)
{
    const QString text = QString::fromUtf8(routeTable);
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() != 11 || fields.at(1) != QLatin1String("00000000"))
            continue;
        bool ok = false;
        const quint32 gateway = fields.at(2).toUInt(&ok, 16);
        if (!ok)
            continue;
        // The kernel prints the address in network byte order, so the octets come out reversed.
        QStringList octets = QHostAddress(gateway).toString().split(QLatin1Char('.'));
        std::reverse(octets.begin(), octets.end());
        return octets.join(QLatin1Char('.'));
    }
    return QString();
}

QString ResolvConf::parseIpv6DefaultGateway(const QByteArray &routeTable)
{
    static const QRegularExpression hex128(QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-fA-F]{32}")));
    const QString text = QString::fromUtf8(routeTable);
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() != 10 || fields.at(0) != DefaultIpv6Destination)
            continue;
        if (!hex128.match(fields.at(4)).hasMatch() || fields.at(9) == QLatin1String("lo"))
            continue;
        const QByteArray bytes = QByteArray::fromHex(fields.at(4).toLatin1());
        Q_IPV6ADDR nextHop;
        std::copy(bytes.cbegin(), bytes.cend(), nextHop.c);
        return QHostAddress(nextHop).toString();
    }
    return QString();
}

ResolvConfImpl::ResolvConfImpl(QObject *parent)
    : ResolvConf(parent)
{
}

void ResolvConfImpl::setNameservers(const QList<QHostAddress> &nameservers, const InterfaceName &interface)
{
    QList<QHostAddress> usable;
    for (const QHostAddress &address : nameservers) {
        if (!address.isNull())
            usable.append(address);
    }
    if (usable.isEmpty())
        m_nameservers.remove(interface);
    else
        m_nameservers.insert(interface, usable);
    rebuildNameservers();
}

void ResolvConfImpl::removeNameservers(const InterfaceName &interface)
{
    m_nameservers.remove(interface);
    rebuildNameservers();
}

void ResolvConfImpl::setSearchDomains(const QStringList &domains, const InterfaceName &interface)
{
    if (domains.isEmpty())
        m_searchDomains.remove(interface);
    else
        m_searchDomains.insert(interface, domains);
    rebuildSearchDomains();
}

void ResolvConfImpl::removeSearchDomains(const InterfaceName &interface)
{
    m_searchDomains.remove(interface);
    rebuildSearchDomains();
}

void ResolvConfImpl::write()
{
    if (!m_dirty)
        return;
    m_dirty = false;
    ConfigFileWriter writer(ResolvConfPath);
    writer << render(m_mergedNameservers, m_mergedSearchDomains);
}

QStringList ResolvConfImpl::selectNameservers(const QList<QHostAddress> &nameservers, int count)
{
    QList<QHostAddress> ipv4;
    QList<QHostAddress> ipv6;
    for (const QHostAddress &address : nameservers) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            ipv4.append(address);
        else if (address.protocol() == QAbstractSocket::IPv6Protocol)
            ipv6.append(address);
    }
    QStringList selected;
    for (int turn = 0; selected.size() < count && !(ipv4.isEmpty() && ipv6.isEmpty()); ++turn) {
        QList<QHostAddress> &family = turn % 2 == 0 ? ipv4 : ipv6;
        if (!family.isEmpty())
            selected.append(family.takeFirst().toString());
    }
    return selected;
}

QStringList ResolvConfImpl::mergeNameservers(const QList<QList<QHostAddress>> &perInterface)
{
    const int interfaces = perInterface.size();
    const int quota = interfaces == 1 ? 3 : interfaces == 2 ? 2 : 1;
    QStringList merged;
    for (const QList<QHostAddress> &nameservers : perInterface)
        merged += selectNameservers(nameservers, std::min(MaxNameservers - int(merged.size()), quota));
    return merged;
}

QString ResolvConfImpl::render(const QStringList &nameservers, const QStringList &searchDomains)
{
    QString text;
    for (const QString &nameserver : nameservers)
        text += QStringLiteral("nameserver ") + nameserver + QLatin1Char('\n');
    const QString search = searchDomains.join(QLatin1Char(' '));
    if (!search.isEmpty())
        text += QStringLiteral("search ") + search + QLatin1Char('\n');
    return text;
}

void ResolvConfImpl::rebuildNameservers()
{
    QList<QList<QHostAddress>> perInterface;
    for (const auto &entry : m_nameservers.entries())
        perInterface.append(entry.second);
    const QStringList merged = mergeNameservers(perInterface);
    if (merged == m_mergedNameservers)
        return;
    m_mergedNameservers = merged;
    m_dirty = true;
}

void ResolvConfImpl::rebuildSearchDomains()
{
    QStringList merged;
    for (const auto &entry : m_searchDomains.entries())
        merged += entry.second;
    if (merged == m_mergedSearchDomains)
        return;
    m_mergedSearchDomains = merged;
    m_dirty = true;
}
