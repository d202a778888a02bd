#include "NetworkMonitor.h"

#include "ControlInterface.h"
#include "KivCommon.h"
#include "LogHandler.h"
#include "NetlinkWatcher.h"
#include "ResolvConf.h"

#include <QHostAddress>
#include <QNetworkAddressEntry>
#include <QNetworkInterface>
#include <QTimer>

namespace {

bool hasIpv4Address(const QString &name)
{
    const QList<QNetworkAddressEntry> entries = QNetworkInterface::interfaceFromName(name).addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
            return true;
    }
    return false;
}

} // namespace

NetworkMonitor::Recheck NetworkMonitor::recheck(int state, bool hasIpv4)
{
    switch (state) {
    case RunningWithoutIpv4:
        // Reported on every re-check, so a client learns that no address arrived after the link came up.
        return hasIpv4 ? Recheck{RunningWithIpv4, Report::Connected} : Recheck{RunningWithoutIpv4, Report::Disconnected};
    case RunningWithIpv4:
        return hasIpv4 ? Recheck{RunningWithIpv4, Report::Nothing} : Recheck{RunningWithoutIpv4, Report::Disconnected};
    default:
        return Recheck{state, Report::Nothing};
    }
}

NetworkMonitor::NetworkMonitor(const QString &wiredName, const QString &wirelessName, const QStringList &)
    : m_objectPath(ControlInterface::ObjectPath)
    , m_serviceName(ControlInterface::ServiceName)
    , m_wiredName(wiredName)
    , m_wirelessName(wirelessName)
    , m_wiredState(initialState(wiredName))
    , m_wirelessState(initialState(wirelessName))
{
    m_netlink = new NetlinkWatcher(this);
    KivCommon::connect(m_netlink, SIGNAL(interfaceStatusChanged(QByteArray, bool, bool)), this,
                       SLOT(on_interfaceNetlinkChanged(QByteArray, bool, bool)));
    KivCommon::connect(m_netlink, SIGNAL(addressesChanged()), this, SLOT(on_addressesChanged()));

    m_recheckTimer = new QTimer(this);
    m_recheckTimer->setSingleShot(true);
    m_recheckTimer->setInterval(RecheckIntervalMs);
    m_recheckTimer->start();
    KivCommon::connect(m_recheckTimer, SIGNAL(timeout()), this, SLOT(on_addressesChanged()));

    ControlInterface::registerOnSystemBus(this, m_objectPath, m_serviceName);
    emit Started();
}

int NetworkMonitor::initialState(const QString &name)
{
    if (QNetworkInterface::interfaceFromName(name).flags() & QNetworkInterface::IsRunning) {
        kivInfo() << "Interface " << name << " is runnig";
        return RunningWithoutIpv4;
    }
    kivInfo() << "Interface " << name << " is disconnected";
    return NotRunning;
}

bool NetworkMonitor::isConnected() const
{
    return m_wiredState == RunningWithIpv4 || m_wirelessState == RunningWithIpv4;
}

QString NetworkMonitor::mode() const
{
    return QStringLiteral("Passive");
}

QVariantMap NetworkMonitor::details()
{
    return QVariantMap{
        {QStringLiteral("Connected"), isConnected()},
        {QStringLiteral("Mode"), mode()},
        {QStringLiteral("WiredIp"), QVariantMap()},
        {QStringLiteral("WirelessIp"), QVariantMap()},
        {QStringLiteral("WirelessAp"), QVariantMap()},
        {QStringLiteral("SoftApSetup"), QVariantMap()},
        {QStringLiteral("wired"), InterfaceDetails(m_wiredName)},
        {QStringLiteral("wireless"), InterfaceDetails(m_wirelessName)},
    };
}

int NetworkMonitor::logLevel() const
{
    return ControlInterface::logLevel();
}

void NetworkMonitor::setLogLevel(int value)
{
    ControlInterface::setLogLevel(value);
}

QVariantMap NetworkMonitor::softApModeSettings() const
{
    return QVariantMap();
}

QVariantMap NetworkMonitor::wirelessNetworks() const
{
    return QVariantMap();
}

void NetworkMonitor::setWirelessNetworks(const QVariantMap &networks)
{
    kivInfo() << "COMMAND: Ignoring wireless networks: " << networks;
}

QVariantMap NetworkMonitor::wiredIpSettings() const
{
    return QVariantMap();
}

void NetworkMonitor::setWiredIpSettings(const QVariantMap &settings)
{
    kivInfo() << "COMMAND: Ignoring Wired Ip settings: " << settings;
}

QVariantMap NetworkMonitor::wirelessIpSettings() const
{
    return QVariantMap();
}

void NetworkMonitor::setWirelessIpSettings(const QVariantMap &settings)
{
    kivInfo() << "COMMAND: Ignoring Wireless Ip settings: " << settings;
}

QVariantMap NetworkMonitor::InterfaceDetails(QString name)
{
    kivInfo() << "COMMAND: Getting interface details for " << name;
    const QNetworkInterface interface = QNetworkInterface::interfaceFromName(name);
    if (!interface.isValid()) {
        kivWarning() << "No such interface: " << name;
        return QVariantMap();
    }

    QString ip;
    QString netmask;
    const QList<QNetworkAddressEntry> entries = interface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
            ip = entry.ip().toString();
            netmask = entry.netmask().toString();
            break;
        }
    }
    QVariantMap details{
        {QStringLiteral("Interface"), name},
        {QStringLiteral("Mac"), interface.hardwareAddress()},
        {QStringLiteral("Ip"), ip},
        {QStringLiteral("Netmask"), netmask},
    };
    if (name == m_wiredName) {
        details.insert(QStringLiteral("Connected"), m_wiredState == RunningWithIpv4);
        details.insert(QStringLiteral("CableStatus"), m_wiredState != NotRunning);
    } else if (name == m_wirelessName) {
        details.insert(QStringLiteral("Connected"), m_wirelessState == RunningWithIpv4);
    }
    details.insert(QStringLiteral("Gateway"), ResolvConf::readIpv4DefaultGateway());
    details.insert(QStringLiteral("Dns"), ResolvConf::readNameservers().join(QLatin1Char(' ')));
    return details;
}

void NetworkMonitor::SetOffMode()
{
    kivInfo() << "COMMAND: Ignoring off mode request!";
}

void NetworkMonitor::SetNormalMode(QString mode)
{
    kivInfo() << "COMMAND: Ignoring normal mode request: " << mode;
}

void NetworkMonitor::SetSoftApMode(QString mode)
{
    kivInfo() << "COMMAND: Ignoring soft-AP mode request: " << mode;
}

void NetworkMonitor::WpsPbc()
{
    kivInfo() << "COMMAND: Ignoring WPS request";
}

void NetworkMonitor::WpsPin(QString)
{
    kivInfo() << "COMMAND: Ignoring WPS PIN request";
}

void NetworkMonitor::Scan()
{
    kivInfo() << "COMMAND: Ignoring scan request!";
}

void NetworkMonitor::on_addressesChanged()
{
    recheckInterface(m_wiredName, m_wiredState);
    recheckInterface(m_wirelessName, m_wirelessState);
    emit AddressesChanged();
}

void NetworkMonitor::recheckInterface(const QString &name, int &state)
{
    if (state == NotRunning)
        return;
    const Recheck result = recheck(state, hasIpv4Address(name));
    state = result.state;
    if (result.report == Report::Connected)
        emit Connected(name);
    else if (result.report == Report::Disconnected)
        emit Disconnected(name);
}

void NetworkMonitor::on_interfaceNetlinkChanged(QByteArray name, bool, bool running)
{
    const QString interface = QString::fromUtf8(name);
    if (interface == m_wiredName) {
        emit CableStatus(running);
        linkChanged(interface, running, m_wiredState);
    } else if (interface == m_wirelessName) {
        linkChanged(interface, running, m_wirelessState);
    }
}

void NetworkMonitor::linkChanged(const QString &name, bool running, int &state)
{
    if (running) {
        state = RunningWithoutIpv4;
        m_recheckTimer->start();
    } else {
        emit Disconnected(name);
        state = NotRunning;
    }
}
