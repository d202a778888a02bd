#include "InterfaceWireless.h"

#include "AddressManager.h"
#include "InterfaceSoftap.h"
#include "InterfaceWirelessStates.h"
#include "KivCommon.h"
#include "KivEvents.h"
#include "KivProcess.h"
#include "KivStateMachine.h"
#include "LogHandler.h"
#include "NetworkDriver.h"
#include "Supplicant.h"
#include "WirelessSoftApStarted.h"

#include <QFile>
#include <QNetworkInterface>

#include <algorithm>

InterfaceWireless::InterfaceWireless(const InterfaceName &name, const QList<QString> &softApInterfaces,
                                     NetworkDriver *driver, AddressManager *addressManager, QObject *parent,
                                     SupplicantFactory *factory)
    : QObject(parent)
    , m_name(name)
    , m_softApInterfaces(softApInterfaces)
    , m_driver(driver)
    , m_addressManager(addressManager)
    , m_softApMachine(new KivStateMachine(this))
    , m_machine(new KivStateMachine(this))
{
    // Values of these types travel through queued connections and signal transitions.
    qRegisterMetaType<InterfaceStatus>("InterfaceStatus");
    qRegisterMetaType<InterfaceName>("InterfaceName");
    qRegisterMetaType<WirelessNetwork>("WirelessNetwork");
    qRegisterMetaType<Ssid>("Ssid");
    qRegisterMetaType<QList<ApDescription>>("QList<ApDescription>");

    m_multichannel = checkMultichannel();
    kivDebug() << "Creating wireless interface: " << m_name;
    KivCommon::connect(m_addressManager, SIGNAL(connected()), this, SLOT(on_address_connected()));
    KivCommon::connect(m_addressManager, SIGNAL(disconnected()), this, SLOT(on_address_disconnected()));

    if (factory) {
        m_supplicant = factory->create(this, m_name.toString());
    } else {
        SupplicantFactory wpaSupplicant;
        m_supplicant = wpaSupplicant.create(this, m_name.toString());
    }
    KivCommon::connect(m_supplicant.get(), SIGNAL(connected()), this, SLOT(on_supplicant_connected()));
    KivCommon::connect(m_supplicant.get(), SIGNAL(configured()), this, SLOT(on_supplicant_configured()));
    KivCommon::connect(m_supplicant.get(), SIGNAL(authError(Ssid, QString)), this, SIGNAL(authError(Ssid, QString)));
    KivCommon::connect(m_supplicant.get(), SIGNAL(scanResults(QList<ApDescription>)), this,
                       SLOT(on_supplicant_scanResults(QList<ApDescription>)));
    KivCommon::connect(m_supplicant.get(), SIGNAL(wpsFinished(WirelessNetwork)), this,
                       SIGNAL(wpsCredentials(WirelessNetwork)));
    KivCommon::connect(m_supplicant.get(), SIGNAL(wpsError(QString)), this, SIGNAL(wpsError(QString)));

    const QNetworkInterface interface = QNetworkInterface::interfaceFromName(m_name.toString());
    const bool exists = interface.isValid();
    const bool up = exists && interface.flags().testFlag(QNetworkInterface::IsUp);
    buildClientMachine(exists, up);

    m_machine->start();
    m_softApMachine->start();
    kivDebug() << "Finished creating wireless interface: " << m_name;
}

InterfaceWireless::~InterfaceWireless()
{
    disable();
}

template<typename State>
State *InterfaceWireless::addState(QState *parent)
{
    auto *state = new State(parent, this, &m_name);
    m_states.append(state);
    return state;
}

// WirelessStateMachineContainer (parallel)
// |-- WirelessScanContainer: WirelessScanInactive <-> WirelessScanActive, WirelessScanDisabled (down)
// |-- WirelessInterfaceContainer: how far the interface is used
// |     WirelessInterfaceDownDisabled / DownEnabled / DownWps       (interface down or missing)
// |     WirelessDisabled, WirelessWps                               (interface up)
// |     WirelessEnabled { WirelessWaiting -> WirelessWaitingInterfaceRunning -Activate-> WirelessIpRunning
// |                       { WirelessWaitingIpSetup <-> WirelessReady }, WirelessReconnecting }
// `-- WirelessPresentContainer: WirelessNoInterface, WirelessInterfaceDown, WirelessInterfaceUp
void InterfaceWireless::buildClientMachine(bool exists, bool up)
{
    using namespace WirelessEvent;
    const auto on = addKivTransition;
    const auto pick = [](bool condition, QState *yes, QState *no) { return condition ? yes : no; };

    auto *root = addState<WirelessStateMachineContainer>(m_machine);
    root->setChildMode(QState::ParallelStates);
    m_machine->setInitialState(root);
    auto *scanning = addState<WirelessScanContainer>(root);
    auto *used = addState<WirelessInterfaceContainer>(root);
    auto *present = addState<WirelessPresentContainer>(root);

    auto *noInterface = addState<WirelessNoInterface>(present);
    auto *interfaceDown = addState<WirelessInterfaceDown>(present);
    auto *interfaceUp = addState<WirelessInterfaceUp>(present);
    present->setInitialState(pick(!exists, noInterface, pick(up, interfaceUp, interfaceDown)));
    on(noInterface, InterfaceAdded(), interfaceDown);
    on(noInterface, InterfaceStopped(), interfaceDown);
    on(noInterface, InterfaceStarted(), interfaceUp);
    on(interfaceUp, InterfaceRemoved(), noInterface);
    on(interfaceUp, InterfaceStopped(), interfaceDown);
    on(interfaceDown, InterfaceRemoved(), noInterface);
    on(interfaceDown, InterfaceStarted(), interfaceUp);
    KivCommon::connect(interfaceUp, SIGNAL(entered()), this, SLOT(on_interfaceUp()));
    KivCommon::connect(interfaceDown, SIGNAL(entered()), this, SLOT(on_interfaceDown()));
    KivCommon::connect(noInterface, SIGNAL(entered()), this, SLOT(on_interfaceRemoved()));
    KivCommon::connect(noInterface, SIGNAL(entered()), m_supplicant.get(), SLOT(interfaceRemoved()));
    KivCommon::connect(noInterface, SIGNAL(exited()), m_supplicant.get(), SLOT(interfaceAdded()));

    auto *scanInactive = addState<WirelessScanInactive>(scanning);
    auto *scanActive = addState<WirelessScanActive>(scanning);
    auto *scanDisabled = addState<WirelessScanDisabled>(scanning);
    scanning->setInitialState(pick(up, scanInactive, scanDisabled));
    on(scanInactive, Scan(), scanActive);
    on(scanInactive, InterfaceStopped(), scanDisabled);
    on(scanActive, Scan(), scanActive);
    on(scanActive, ScanFinished(), scanInactive);
    scanActive->addTransition(scanActive, &WirelessScanActive::timeout, scanInactive);
    on(scanActive, InterfaceStopped(), scanDisabled);
    on(scanDisabled, InterfaceStarted(), scanInactive);
    on(scanDisabled, Scan(), scanDisabled);
    KivCommon::connect(scanActive, SIGNAL(scanFailed()), this, SLOT(on_scanFailed()));
    KivCommon::connect(scanDisabled, SIGNAL(scanFailed()), this, SLOT(on_scanFailed()));

    auto *downDisabled = addState<WirelessInterfaceDownDisabled>(used);
    auto *downEnabled = addState<WirelessInterfaceDownEnabled>(used);
    auto *downWps = addState<WirelessInterfaceDownWps>(used);
    auto *disabled = addState<WirelessDisabled>(used);
    auto *enabled = addState<WirelessEnabled>(used);
    auto *wps = addState<WirelessWps>(used);
    auto *waiting = addState<WirelessWaiting>(enabled);
    auto *waitingRunning = addState<WirelessWaitingInterfaceRunning>(enabled);
    auto *ipRunning = addState<WirelessIpRunning>(enabled);
    auto *waitingIpSetup = addState<WirelessWaitingIpSetup>(ipRunning);
    auto *ready = addState<WirelessReady>(ipRunning);
    auto *reconnecting = addState<WirelessReconnecting>(enabled);
    enabled->setInitialState(waiting);
    ipRunning->setInitialState(waitingIpSetup);
    used->setInitialState(pick(up, disabled, downDisabled));

    on(downDisabled, Disable(), downDisabled);
    on(downDisabled, Enable(), downEnabled);
    on(downDisabled, Wps(), downWps);
    on(downDisabled, InterfaceStarted(), disabled);
    on(downEnabled, Disable(), downDisabled);
    on(downEnabled, Wps(), downWps);
    on(downEnabled, InterfaceStarted(), enabled);
    on(downWps, Disable(), downDisabled);
    on(downWps, Enable(), downEnabled);
    on(downWps, InterfaceStarted(), wps);
    on(disabled, Disable(), disabled);
    on(disabled, Enable(), enabled);
    on(disabled, Wps(), wps);
    on(disabled, InterfaceRemoved(), downDisabled);
    on(disabled, InterfaceStopped(), downDisabled);
    on(enabled, Enable(), enabled);
    on(enabled, Disable(), disabled);
    on(enabled, Wps(), wps);
    on(enabled, InterfaceRemoved(), downEnabled);
    on(enabled, InterfaceStopped(), downEnabled);
    on(waiting, SupplicantConnected(), waitingRunning);
    on(waitingRunning, Activate(), ipRunning);
    on(waitingRunning, SupplicantConfigured(), reconnecting);
    on(reconnecting, SupplicantConnected(), waitingRunning);
    on(ipRunning, ReloadIp(), ipRunning);
    on(ipRunning, SupplicantConfigured(), reconnecting);
    // A report of an earlier IP set-up may still be queued: only the address manager's latest word counts.
    waitingIpSetup->addTransition(new KivGuardedTransition(IpSetupComplete(), ready, [this] { return m_addressUp; }));
    ready->addTransition(new KivGuardedTransition(IpSetupError(), waitingIpSetup, [this] { return !m_addressUp; }));
    on(wps, Wps(), wps);
    on(wps, Enable(), enabled);
    on(wps, Disable(), disabled);
    on(wps, InterfaceRemoved(), downWps);
    on(wps, InterfaceStopped(), downWps);
    wps->addTransition(this, &InterfaceWireless::wpsCredentials, disabled);
    wps->addTransition(this, &InterfaceWireless::wpsError, disabled);

    buildSoftApMachine(waitingRunning);

    KivCommon::connect(downDisabled, SIGNAL(entered()), this, SIGNAL(disabled()));
    KivCommon::connect(disabled, SIGNAL(entered()), this, SIGNAL(disabled()));
    KivCommon::connect(enabled, SIGNAL(entered()), this, SIGNAL(enabled()));
    // Enabled while the interface is down or missing, as the wired controller reports it.
    KivCommon::connect(downEnabled, SIGNAL(entered()), this, SIGNAL(enabled()));
    KivCommon::connect(waiting, SIGNAL(entered()), this, SIGNAL(waiting()));
    KivCommon::connect(waitingRunning, SIGNAL(entered()), this, SIGNAL(waitingInterfaceRunning()));
    KivCommon::connect(ipRunning, SIGNAL(exited()), this, SIGNAL(unready()));
    KivCommon::connect(waitingIpSetup, SIGNAL(entered()), this, SIGNAL(waitingIpSetup()));
    KivCommon::connect(ready, SIGNAL(entered()), this, SIGNAL(ready()));
    KivCommon::connect(reconnecting, SIGNAL(entered()), this, SIGNAL(reconnecting()));
    KivCommon::connect(m_machine, SIGNAL(paused(QState *, QEvent::Type)), this, SIGNAL(disconnecting()));

    // Interface loss and address loss act at once; supplicant reports and scans pass the ready pause.
    m_machine->addUnpauseEventType(InterfaceRemoved());
    m_machine->addUnpauseEventType(InterfaceStopped());
    m_machine->addUnpauseEventType(IpSetupError());
    m_machine->addImmediateEventType(IpSetupComplete());
    m_machine->addImmediateEventType(Scan());
    m_machine->addImmediateEventType(ScanFinished());
    m_machine->addImmediateEventType(SupplicantConfigured());
    m_machine->addImmediateEventType(SupplicantConnected());
}

void InterfaceWireless::buildSoftApMachine(QState *clientWaitingInterfaceRunning)
{
    auto *root =
        new WirelessSoftapInterfaceContainer(m_softApMachine, this, &m_name, QStringLiteral("softApContainer"));
    root->setChildMode(QState::ParallelStates);
    m_softApMachine->setInitialState(root);
    for (const QString &ap : qAsConst(m_softApInterfaces))
        m_softAps.insert(ap,
                         new InterfaceSoftap(InterfaceName(ap), root, clientWaitingInterfaceRunning, this, m_driver));
}

bool InterfaceWireless::checkMultichannel() const
{
    QFile drcs(QStringLiteral("/sys/module/mwifiex/parameters/drcs"));
    if (drcs.exists() && drcs.open(QIODevice::WriteOnly)) {
        drcs.write("1", 1);
        kivInfo() << '"' << m_name << '"' << " has multichannel support (Marvell DRCS)";
        return true;
    }
    for (const char *module : {"sd8xxx", "sdxxx"}) {
        QFile parameter(QStringLiteral("/sys/module/%1/parameters/cfg80211_drcs").arg(QLatin1String(module)));
        char value = 0;
        if (!parameter.exists() || !parameter.open(QIODevice::ReadOnly) || !parameter.getChar(&value))
            continue;
        if (value == '1') {
            kivInfo() << '"' << m_name << '"' << " has multichannel support (Marvell MLAN driver - " << '"' << module
                      << '"' << ")";
            return true;
        }
        kivWarning() << '"' << m_name << '"'
                     << " supports multichannel but is NOT enabled. Please enable support by passing cfg80211_drcs=1"
                        " when modprobe-ing the driver. (Marvell MLAN driver - "
                     << '"' << module << '"' << ")";
    }
    QStringList quoted;
    for (const QString &ap : m_softApInterfaces)
        quoted << '"' + ap + '"';
    kivInfo() << '"' << m_name << '"' << " & (" << quoted.join(QStringLiteral(", ")) << ")"
              << " have no multichannel support, falling back to softap channel following";
    return false;
}

void InterfaceWireless::enable(const QSet<WirelessNetwork> &networks)
{
    kivInfo() << m_name << " enabling with a list of " << networks.size() << " networks";
    m_machine->postEvent(new WirelessEvent::Enable(networks));
}

void InterfaceWireless::disable()
{
    kivInfo() << m_name << " disabling...";
    m_machine->postEvent(new WirelessEvent::Disable());
}

void InterfaceWireless::activate(const InterfaceConfiguration &config)
{
    kivInfo() << m_name << " activating...";
    m_configuration = config;
    m_machine->postEvent(new WirelessEvent::Activate());
}

void InterfaceWireless::reloadIp(const InterfaceConfiguration &config)
{
    kivInfo() << m_name << " reloading IP...";
    m_configuration = config;
    m_machine->postEvent(new WirelessEvent::ReloadIp());
}

void InterfaceWireless::scan()
{
    kivInfo() << m_name << " scanning...";
    m_machine->postEvent(new WirelessEvent::Scan());
}

void InterfaceWireless::wpsPbc()
{
    kivInfo() << m_name << " starting wps";
    m_wpsRequest = WpsRequest(WpsRequest::PushButton, QString());
    m_machine->postEvent(new WirelessEvent::Wps());
}

void InterfaceWireless::wpsPin(const QString &pin)
{
    kivInfo() << m_name << " starting wps with PIN " << '"' << pin << '"';
    m_wpsRequest = WpsRequest(WpsRequest::Pin, pin);
    m_machine->postEvent(new WirelessEvent::Wps());
}

void InterfaceWireless::startSoftAp(const InterfaceName &ap)
{
    kivInfo() << m_name << " starting softAp: " << ap;
    m_softApMachine->postEvent(new WirelessEvent::StartSoftAp(ap));
}

void InterfaceWireless::stopSoftAp(const InterfaceName &ap)
{
    kivInfo() << m_name << " stopping softAp: " << ap;
    m_softApMachine->postEvent(new WirelessEvent::StopSoftAp(ap));
}

void InterfaceWireless::updateSoftApSettings(const SoftApSettings &settings)
{
    kivDebug() << "Saving updated softap settings";
    InterfaceSoftap *softap = m_softAps.value(settings.apInterface());
    if (!softap) {
        kivCritical() << "Interface '" << settings.apInterface() << "' does not exist";
        return;
    }
    if (softap->settings() == settings)
        return;
    softap->setSettings(settings);
    reloadSoftAp(InterfaceName(settings.apInterface()));
}

void InterfaceWireless::reloadSoftAp(const InterfaceName &ap)
{
    m_softApMachine->postEvent(new WirelessEvent::SoftApReload(ap));
}

void InterfaceWireless::interfaceAdded(const InterfaceName &name)
{
    kivInfo() << "Interface " << name << " added";
    if (name == m_name)
        m_machine->postEvent(new WirelessEvent::InterfaceAdded());
    else if (m_softApInterfaces.contains(name.toString()))
        m_softApMachine->postEvent(new WirelessEvent::InterfaceAdded(name));
    else
        kivCritical() << "Invalid interface name: " << name;
}

void InterfaceWireless::interfaceRemoved(const InterfaceName &name)
{
    kivInfo() << "Interface " << name << " removed";
    if (name == m_name)
        m_machine->postEvent(new WirelessEvent::InterfaceRemoved());
    else if (m_softApInterfaces.contains(name.toString()))
        m_softApMachine->postEvent(new WirelessEvent::InterfaceRemoved(name));
    else
        kivCritical() << "Invalid interface name: " << name;
}

void InterfaceWireless::setUpState(const InterfaceName &name, bool up)
{
    QEvent *event = up ? static_cast<QEvent *>(new WirelessEvent::InterfaceStarted())
                       : static_cast<QEvent *>(new WirelessEvent::InterfaceStopped());
    if (name == m_name) {
        m_machine->postEvent(event);
    } else if (m_softApInterfaces.contains(name.toString())) {
        m_softApMachine->postEvent(event);
    } else {
        delete event;
        kivWarning() << "InterfaceWireless::setUpState called with unknown interface name: " << name
                     << ", status = " << (up ? "true" : "false");
    }
}

void InterfaceWireless::setRunningState(bool)
{
}

bool InterfaceWireless::isConnected() const
{
    const QSet<QAbstractState *> active = m_machine->configuration();
    return std::any_of(active.begin(), active.end(),
                       [](QAbstractState *state) { return qobject_cast<WirelessReady *>(state) != nullptr; });
}

QVariantMap InterfaceWireless::getNetworkDetails() const
{
    return m_supplicant->getNetworkDetails();
}

QVariantMap InterfaceWireless::softApSettings() const
{
    QVariantMap settings;
    for (auto it = m_softAps.constBegin(); it != m_softAps.constEnd(); ++it)
        settings.insert(it.key(), it.value()->settings().toMap());
    return settings;
}

bool InterfaceWireless::isSoftApStarted(const InterfaceName &ap) const
{
    const InterfaceSoftap *softap = m_softAps.value(ap.toString());
    return softap && m_softApMachine->configuration().contains(softap->startedState());
}

int InterfaceWireless::softApChannel() const
{
    if (m_softApInterfaces.isEmpty())
        return 0;
    int channel = m_softAps.value(m_softApInterfaces.first())->settings().channel();
    if (!m_multichannel) {
        const int clientChannel = m_supplicant->getCurrentChannel();
        if (clientChannel != 0)
            channel = clientChannel;
    }
    return channel;
}

void InterfaceWireless::on_address_connected()
{
    kivInfo() << m_name << " address connected";
    m_addressUp = true;
    m_machine->postEvent(new WirelessEvent::IpSetupComplete());
}

void InterfaceWireless::on_address_disconnected()
{
    kivInfo() << m_name << " address disconnected";
    m_addressUp = false;
    m_machine->postEvent(new WirelessEvent::IpSetupError());
}

void InterfaceWireless::on_supplicant_connected()
{
    m_machine->postEvent(new WirelessEvent::SupplicantConnected());
}

void InterfaceWireless::on_supplicant_configured()
{
    m_machine->postEvent(new WirelessEvent::SupplicantConfigured());
}

void InterfaceWireless::on_supplicant_scanResults(const QList<ApDescription> &results)
{
    emit scanResults(results);
    m_machine->postEvent(new WirelessEvent::ScanFinished());
}

void InterfaceWireless::on_scanFailed()
{
    emit scanResults(QList<ApDescription>());
}

void InterfaceWireless::on_interfaceUp()
{
    emit statusChanged(InterfaceStatus::Up);
}

void InterfaceWireless::on_interfaceDown()
{
    emit statusChanged(InterfaceStatus::Down);
}

void InterfaceWireless::on_interfaceRemoved()
{
    emit statusChanged(InterfaceStatus::Absent);
}

void InterfaceWireless::createMissingSoftApInterfaces()
{
    for (const QString &ap : qAsConst(m_softApInterfaces)) {
        if (QNetworkInterface::interfaceFromName(ap).isValid())
            continue;
        kivInfo() << "Creating " << '"' << ap << '"' << " interface";
        KivProcess::execute(QStringLiteral("iw"), {QStringLiteral("phy"), QStringLiteral("phy0"),
                                                   QStringLiteral("interface"), QStringLiteral("add"), ap,
                                                   QStringLiteral("type"), QStringLiteral("__ap")});
    }
}

void InterfaceWireless::requestScan()
{
    m_supplicant->scan();
}

void InterfaceWireless::takeNetworks(QEvent *event)
{
    if (event && event->type() == WirelessEvent::Enable::type())
        m_networks = static_cast<WirelessEvent::Enable *>(event)->value();
}

void InterfaceWireless::disableSupplicant()
{
    m_supplicant->disable();
}

void InterfaceWireless::enableSupplicant()
{
    kivDebug() << "Adding list of networks";
    m_supplicant->enable(m_networks);
}

void InterfaceWireless::startIpSetup()
{
    m_addressManager->start(m_configuration);
}

void InterfaceWireless::stopIpSetup()
{
    m_addressManager->stop();
}

void InterfaceWireless::startReadyPause(QState *ready)
{
    m_machine->pause(ReadyPauseMs, ready);
}

void InterfaceWireless::startWps()
{
    if (m_wpsRequest.method() == WpsRequest::Pin)
        m_supplicant->wpsPin(m_wpsRequest.pin());
    else
        m_supplicant->wpsPbc();
}
