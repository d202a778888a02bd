#include "NetworkManager.h"

#include "AddressManager.h"
#include "ControlInterface.h"
#include "ControllerCommands.h"
#include "InterfaceWired.h"
#include "InterfaceReports.h"
#include "InterfaceWireless.h"
#include "KivCommon.h"
#include "KivEvents.h"
#include "LogHandler.h"
#include "ModeMachine.h"
#include "NetlinkWatcher.h"
#include "NetworkConfiguration.h"
#include "NetworkDriverIp.h"
#include "NetworkManagerMaps.h"
#include "ResolvConf.h"
#include "SoftApSettings.h"
#include "UDevWatcher.h"

#include <QNetworkInterface>
#include <QStateMachine>

namespace {

void logIpSettings(const char *interface, const InterfaceConfiguration &configuration, const QVariantMap &settings)
{
    kivInfo() << "COMMAND: Setting " << interface << " Ip to " << (configuration.hasAddress() ? "static" : "DHCP")
              << " settings: " << settings;
}

} // namespace

NetworkManager::NetworkManager(const QString &wiredName, const QString &wirelessName, const QStringList &softApNames)
    : m_objectPath(ControlInterface::ObjectPath)
    , m_serviceName(ControlInterface::ServiceName)
    , m_machine(new QStateMachine(this))
    , m_configuration(new NetworkConfiguration(this, wiredName, wirelessName, softApNames))
    , m_driver(new NetworkDriverIp(this))
    , m_netlink(new NetlinkWatcher(this))
    , m_udev(new UDevWatcher(this))
    , m_resolver(ResolvConf::create(this))
{
    findInterfaces();
    createWired();
    createWireless(softApNames);
    routeControllers();

    KivCommon::connect(m_netlink, SIGNAL(addressesChanged()), this, SIGNAL(AddressesChanged()));
    KivCommon::connect(m_netlink, SIGNAL(interfaceStatusChanged(QByteArray, bool, bool)), this,
                       SLOT(on_interfaceNetlinkChanged(QByteArray, bool, bool)));
    KivCommon::connect(m_udev, SIGNAL(interfaceAdded(QByteArray)), this, SLOT(on_interfaceAdded(QByteArray)));
    KivCommon::connect(m_udev, SIGNAL(interfaceRemoved(QByteArray)), this, SLOT(on_interfaceRemoved(QByteArray)));

    ControlInterface::registerOnSystemBus(this, m_objectPath, m_serviceName);
    buildModeMachine();
    emit Started();
}

NetworkManager::~NetworkManager() = default;

void NetworkManager::findInterfaces()
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const QString name = interface.name();
        const bool up = interface.flags().testFlag(QNetworkInterface::IsUp);
        const bool running = interface.flags().testFlag(QNetworkInterface::IsRunning);
        kivInfo() << "Found interface: " << name << (up ? ", status: up" : ", status: down");
        kivInfo() << "Found interface: " << name << (running ? ", status: running" : ", status: not running");
        m_interfaces.addFound(name, up, running);
    }
}

void NetworkManager::createWired()
{
    const InterfaceName name(m_configuration->wiredInterface());
    auto *addresses = new AddressManager(name, m_netlink, m_driver, m_resolver, this);
    m_wired = new InterfaceWired(name, m_driver, addresses, this);
    reportOnBus(new InterfaceReports(name.toString(), m_wired, this));
    KivCommon::connect(m_wired, SIGNAL(cableStatus(bool)), this, SIGNAL(CableStatus(bool)));
    KivCommon::connect(m_wired, SIGNAL(statusChanged(InterfaceStatus)), this,
                       SLOT(on_wiredStatusChanged(InterfaceStatus)));
}

void NetworkManager::createWireless(const QStringList &softApNames)
{
    const InterfaceName name(m_configuration->wirelessInterface());
    auto *addresses = new AddressManager(name, m_netlink, m_driver, m_resolver, this);
    m_wireless = new InterfaceWireless(name, softApNames, m_driver, addresses, this);
    KivCommon::connect(m_wireless, SIGNAL(authError(Ssid, QString)), this, SLOT(on_authError(Ssid, QString)));
    KivCommon::connect(m_wireless, SIGNAL(scanResults(QList<ApDescription>)), this,
                       SLOT(on_scanResults(QList<ApDescription>)));
    KivCommon::connect(m_wireless, SIGNAL(wpsCredentials(WirelessNetwork)), this,
                       SLOT(on_wpsCredentials(WirelessNetwork)));
    KivCommon::connect(m_wireless, SIGNAL(wpsError(QString)), this, SIGNAL(WpsError(QString)));
    reportOnBus(new InterfaceReports(name.toString(), m_wireless, this));
    KivCommon::connect(m_wireless, SIGNAL(statusChanged(InterfaceStatus)), this,
                       SLOT(on_wirelessStatusChanged(InterfaceStatus)));
    KivCommon::connect(m_wireless, SIGNAL(softapReady(InterfaceName)), this, SLOT(on_softapReady(InterfaceName)));
    KivCommon::connect(m_wireless, SIGNAL(softapUnready(InterfaceName)), this,
                       SLOT(on_softapUnready(InterfaceName)));
    KivCommon::connect(m_wireless, SIGNAL(reconnecting()), this, SLOT(on_wirelessReconnecting()));
    KivCommon::connect(m_wireless, SIGNAL(stationConnected(QString)), this, SIGNAL(StationConnected(QString)));
    KivCommon::connect(m_wireless, SIGNAL(stationDisconnected(QString)), this, SIGNAL(StationDisconnected(QString)));
}

void NetworkManager::reportOnBus(InterfaceReports *reports)
{
    KivCommon::connect(reports, SIGNAL(connected(QString)), this, SIGNAL(Connected(QString)));
    KivCommon::connect(reports, SIGNAL(disconnecting(QString)), this, SIGNAL(Disconnecting(QString)));
    KivCommon::connect(reports, SIGNAL(disconnected(QString)), this, SIGNAL(Disconnected(QString)));
}

void NetworkManager::routeControllers()
{
    m_interfaces.route(m_configuration->wiredInterface(), m_wired, false);
    m_interfaces.route(m_configuration->wirelessInterface(), m_wireless, false);
    for (const QString &softAp : m_wireless->softApInterfaces())
        m_interfaces.route(softAp, m_wireless, true);
}

void NetworkManager::buildModeMachine()
{
    m_commands = std::make_unique<ControllerCommands>(m_wired, m_wireless);
    const ModeStates modes = ModeMachine(m_machine, {m_commands.get(), m_configuration}, m_wired, m_wireless).build();
    m_machine->setInitialState(modes.off);
    kivDebug() << "Starting the NetworkManager state machine...";
    m_machine->start();
}

void NetworkManager::post(QEvent *event)
{
    m_machine->postEvent(event);
}

QStringList NetworkManager::currentStates() const
{
    QStringList names;
    const QSet<QAbstractState *> states = m_machine->configuration();
    for (const QAbstractState *state : states)
        names << state->objectName();
    return names;
}

bool NetworkManager::isConnected() const
{
    return NetworkManagerMaps::isConnected(currentStates());
}

QString NetworkManager::mode() const
{
    return NetworkManagerMaps::modeName(currentStates());
}

QVariantMap NetworkManager::details()
{
    return QVariantMap{
        {QStringLiteral("Connected"), isConnected()},
        {QStringLiteral("Mode"), mode()},
        {QStringLiteral("WiredIp"), wiredIpSettings()},
        {QStringLiteral("WirelessIp"), wirelessIpSettings()},
        {QStringLiteral("WirelessAp"), wirelessNetworks()},
        {QStringLiteral("SoftApSetup"), softApModeSettings()},
        {QStringLiteral("wired"), InterfaceDetails(m_wired->name().toString())},
        {QStringLiteral("wireless"), InterfaceDetails(m_wireless->name().toString())},
    };
}

int NetworkManager::logLevel() const
{
    return ControlInterface::logLevel();
}

void NetworkManager::setLogLevel(int value)
{
    ControlInterface::setLogLevel(value);
}

QVariantMap NetworkManager::softApModeSettings() const
{
    return m_wireless->softApSettings();
}

QVariantMap NetworkManager::wirelessNetworks() const
{
    return NetworkManagerMaps::wirelessNetworksMap(m_configuration->wirelessNetworks());
}

void NetworkManager::setWirelessNetworks(const QVariantMap &networks)
{
    kivInfo() << "COMMAND: Received wireless networks: " << networks.keys();
    if (m_configuration->setWirelessNetworks(NetworkManagerMaps::wirelessNetworksFromMap(networks)))
        post(new ManagerEvent::ReloadAps());
}

QVariantMap NetworkManager::wiredIpSettings() const
{
    return m_configuration->wiredIpConfiguration().toMap();
}

void NetworkManager::setWiredIpSettings(const QVariantMap &settings)
{
    const auto configuration = InterfaceConfiguration::fromMap(m_configuration->wiredInterface(), settings);
    logIpSettings("Wired", configuration, settings);
    if (m_configuration->setWiredIpConfiguration(configuration))
        m_wired->reloadIp(m_configuration->wiredIpConfiguration());
}

QVariantMap NetworkManager::wirelessIpSettings() const
{
    return m_configuration->wirelessIpConfiguration().toMap();
}

void NetworkManager::setWirelessIpSettings(const QVariantMap &settings)
{
    const auto configuration = InterfaceConfiguration::fromMap(m_configuration->wirelessInterface(), settings);
    logIpSettings("Wireless", configuration, settings);
    if (m_configuration->setWirelessIpConfiguration(configuration))
        m_wireless->reloadIp(m_configuration->wirelessIpConfiguration());
}

QVariantMap NetworkManager::InterfaceDetails(QString name)
{
    kivInfo() << "COMMAND: Getting interface details for " << name;
    using Facts = NetworkManagerMaps::InterfaceFacts;
    Facts facts;
    facts.name = name;
    facts.present = m_interfaces.exists(name);
    if (facts.present) {
        const QNetworkInterface interface = QNetworkInterface::interfaceFromName(name);
        facts.up = interface.flags().testFlag(QNetworkInterface::IsUp);
        facts.mac = interface.hardwareAddress();
        facts.addresses = interface.addressEntries();
        if (name == m_wired->name().toString()) {
            facts.kind = Facts::Kind::Wired;
            facts.connected = m_wired->isConnected();
            facts.cablePluggedIn = m_wired->isCablePluggedIn();
            facts.dhcp = !m_configuration->wiredIpConfiguration().hasAddress();
        } else if (name == m_wireless->name().toString()) {
            facts.kind = Facts::Kind::Wireless;
            facts.connected = m_wireless->isConnected();
            facts.dhcp = !m_configuration->wirelessIpConfiguration().hasAddress();
            facts.networkDetails = m_wireless->getNetworkDetails();
            facts.configuredNetworks = m_configuration->wirelessNetworks();
        } else if (m_wireless->softApInterfaces().contains(name)) {
            facts.kind = Facts::Kind::SoftAp;
            facts.softApUp = m_wireless->isSoftApStarted(InterfaceName(name));
        }
        facts.gateway = ResolvConf::readIpv4DefaultGateway();
        facts.gateway6 = ResolvConf::readIpv6DefaultGateway();
        facts.nameservers = ResolvConf::readNameservers();
    }
    return NetworkManagerMaps::interfaceDetails(facts);
}

void NetworkManager::SetOffMode()
{
    kivInfo() << "COMMAND: Setting off mode";
    post(new ManagerEvent::Off());
}

void NetworkManager::SetNormalMode(QString mode)
{
    kivInfo() << "COMMAND: Setting normal mode: " << mode;
    if (mode == QLatin1String("hybrid"))
        post(new ManagerEvent::Hybrid());
    else if (mode == QLatin1String("wired"))
        post(new ManagerEvent::Wired());
    else if (mode == QLatin1String("wireless"))
        post(new ManagerEvent::Wireless());
    else
        post(new ManagerEvent::Automatic());
}

void NetworkManager::ForceWifiReconnect()
{
    kivInfo() << "COMMAND: Force Wifi Reconnect";
    post(new ManagerEvent::ReloadAps());
}

void NetworkManager::StartSoftAp(QString interface, QVariantMap map)
{
    kivInfo() << "COMMAND: Starting softap with settings: " << map;
    SoftApSettings settings(map);
    settings.setApInterface(interface);
    if (m_configuration->setSoftApSettings(InterfaceName(interface), settings))
        m_wireless->updateSoftApSettings(settings);
    m_wireless->startSoftAp(InterfaceName(interface));
}

void NetworkManager::StopSoftAp(QString interface)
{
    kivInfo() << "COMMAND: Stopping softap";
    m_wireless->stopSoftAp(InterfaceName(interface));
}

void NetworkManager::WpsPbc()
{
    kivInfo() << "COMMAND: Starting Wps...";
    post(new ManagerEvent::WpsPbc());
}

void NetworkManager::WpsPin(QString pin)
{
    kivInfo() << "COMMAND: Starting Wps with PIN " << pin;
    post(new ManagerEvent::WpsPin(pin));
}

void NetworkManager::Scan()
{
    if (currentStates().contains(QStringLiteral("OffMode")) || !m_wireless)
        return;
    kivInfo() << "COMMAND: Starting Scan...";
    m_wireless->scan();
    post(new ManagerEvent::Scan());
}

void NetworkManager::on_softapReady(InterfaceName name)
{
    emit Connected(name.toString());
}

void NetworkManager::on_softapUnready(InterfaceName name)
{
    emit Disconnected(name.toString());
}

void NetworkManager::on_wiredStatusChanged(InterfaceStatus status)
{
    emit InterfaceStatusChanged(m_wired->name().toString(), int(status));
}

void NetworkManager::on_wirelessStatusChanged(InterfaceStatus status)
{
    emit InterfaceStatusChanged(m_wireless->name().toString(), int(status));
}

void NetworkManager::on_wirelessReconnecting()
{
    post(new ManagerEvent::Reconnecting());
}

void NetworkManager::on_authError(Ssid ssid, QString message)
{
    kivInfo() << "Emitting auth error: " << ssid.toString() << " : " << message;
    emit AuthError(ssid.toString(), message);
}

void NetworkManager::on_wpsCredentials(WirelessNetwork network)
{
    kivDebug() << "Emitting WPS credentials: " << network.toMap();
    emit WpsCredentials(network.toMap());
}

void NetworkManager::on_scanResults(QList<ApDescription> list)
{
    emit ScanResults(NetworkManagerMaps::scanResults(list));
}

void NetworkManager::on_interfaceNetlinkChanged(QByteArray name, bool up, bool running)
{
    m_interfaces.linkChanged(QString::fromUtf8(name), up, running);
}

void NetworkManager::on_interfaceAdded(QByteArray name)
{
    m_interfaces.added(QString::fromUtf8(name));
}

void NetworkManager::on_interfaceRemoved(QByteArray name)
{
    m_interfaces.removed(QString::fromUtf8(name));
}
