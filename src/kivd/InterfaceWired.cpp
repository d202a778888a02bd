#include "InterfaceWired.h"

#include "AddressManager.h"
#include "InterfaceWiredStates.h"
#include "KivCommon.h"
#include "KivEvents.h"
#include "KivStateMachine.h"
#include "LogHandler.h"
#include "NetworkDriver.h"

#include <QFile>
#include <QNetworkInterface>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

InterfaceWired::InterfaceWired(const InterfaceName &name, NetworkDriver *driver, AddressManager *addressManager,
                               QObject *parent)
    : QObject(parent)
    , m_name(name)
    , m_driver(driver)
    , m_addressManager(addressManager)
    , m_machine(new KivStateMachine(this))
{
    // The status also travels through queued connections.
    qRegisterMetaType<InterfaceStatus>("InterfaceStatus");
    kivDebug() << "Creating wired interface: " << m_name;
    KivCommon::connect(m_addressManager, SIGNAL(connected()), this, SLOT(on_address_connected()));
    KivCommon::connect(m_addressManager, SIGNAL(disconnected()), this, SLOT(on_address_disconnected()));

    const bool exists = QNetworkInterface::interfaceFromName(m_name.toString()).isValid();
    const bool up = QNetworkInterface::interfaceFromName(m_name.toString()).flags().testFlag(QNetworkInterface::IsUp);
    buildMachine(exists, up);

    m_machine->start();
    kivDebug() << "Finished creating wired interface: " << m_name;
}

InterfaceWired::~InterfaceWired()
{
    disable();
}

template<typename State>
State *InterfaceWired::addState(QState *parent)
{
    auto *state = new State(parent, this, &m_name);
    m_states.append(state);
    return state;
}

// WiredStateMachineContainer (parallel)
// |-- WiredInterfaceContainer: how far the interface is used
// |     WiredNoInterfaceDisabled <-> WiredNoInterfaceEnabled         (no interface)
// |     WiredDisabled <-> WiredDisabledInterfaceRunning              (cable out / in)
// |     WiredWaiting <-> WiredWaitingInterfaceRunning --Activate--> WiredIpRunning
// |     WiredIpRunning { WiredWaitingIpSetup <-> WiredReady }
// |     WiredDisconnected (unplugged) <-> WiredDisconnected (replugged)
// `-- WiredPresentContainer: WiredNoInterface, WiredInterfaceDown, WiredInterfaceUp
void InterfaceWired::buildMachine(bool exists, bool up)
{
    using namespace WiredEvent;
    const auto on = addKivTransition;

    auto *root = addState<WiredStateMachineContainer>(m_machine);
    root->setChildMode(QState::ParallelStates);
    m_machine->setInitialState(root);
    auto *used = addState<WiredInterfaceContainer>(root);
    auto *present = addState<WiredPresentContainer>(root);

    auto *noInterface = addState<WiredNoInterface>(present);
    auto *interfaceDown = addState<WiredInterfaceDown>(present);
    auto *interfaceUp = addState<WiredInterfaceUp>(present);
    present->setInitialState(!exists ? static_cast<QState *>(noInterface)
                             : up    ? static_cast<QState *>(interfaceUp)
                                     : static_cast<QState *>(interfaceDown));

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

    auto *noInterfaceDisabled = addState<WiredNoInterfaceDisabled>(used);
    auto *noInterfaceEnabled = addState<WiredNoInterfaceEnabled>(used);
    auto *disabled = addState<WiredDisabled>(used);
    auto *disabledRunning = addState<WiredDisabledInterfaceRunning>(used);
    auto *waiting = addState<WiredWaiting>(used);
    auto *waitingRunning = addState<WiredWaitingInterfaceRunning>(used);
    auto *ipRunning = addState<WiredIpRunning>(used);
    auto *waitingIpSetup = addState<WiredWaitingIpSetup>(ipRunning);
    auto *ready = addState<WiredReady>(ipRunning);
    ipRunning->setInitialState(waitingIpSetup);
    auto *unplugged = addState<WiredDisconnected>(used);
    auto *replugged = addState<WiredDisconnected>(used);

    on(noInterfaceDisabled, Disable(), noInterfaceDisabled);
    on(noInterfaceDisabled, Enable(), noInterfaceEnabled);
    on(noInterfaceDisabled, InterfaceAdded(), disabled);
    on(noInterfaceEnabled, Disable(), noInterfaceDisabled);
    on(noInterfaceEnabled, InterfaceAdded(), waiting);
    on(disabled, Disable(), disabled);
    on(disabled, Enable(), waiting);
    on(disabled, CablePluggedIn(), disabledRunning);
    on(disabled, InterfaceRemoved(), noInterfaceDisabled);
    on(disabledRunning, Disable(), disabledRunning);
    on(disabledRunning, Enable(), waitingRunning);
    on(disabledRunning, CableUnplugged(), disabled);
    on(disabledRunning, InterfaceRemoved(), noInterfaceDisabled);
    on(waiting, Enable(), waiting);
    on(waiting, CablePluggedIn(), waitingRunning);
    on(waiting, Disable(), disabled);
    on(waiting, InterfaceRemoved(), noInterfaceEnabled);
    on(waitingRunning, Enable(), waitingRunning);
    on(waitingRunning, CableUnplugged(), waiting);
    on(waitingRunning, Activate(), ipRunning);
    on(waitingRunning, Disable(), disabledRunning);
    on(waitingRunning, InterfaceRemoved(), noInterfaceEnabled);
    on(ipRunning, Enable(), waitingRunning);
    on(ipRunning, CableUnplugged(), unplugged);
    on(ipRunning, ReloadIp(), ipRunning);
    on(ipRunning, Disable(), disabledRunning);
    on(ipRunning, InterfaceRemoved(), noInterfaceEnabled);
    // A report of an earlier IP set-up may still be queued: only the address manager's latest word counts.
    waitingIpSetup->addTransition(new KivGuardedTransition(IpSetupComplete(), ready, [this] { return m_addressUp; }));
    ready->addTransition(new KivGuardedTransition(IpSetupError(), waitingIpSetup, [this] { return !m_addressUp; }));
    on(unplugged, CablePluggedIn(), replugged);
    on(unplugged, Disable(), disabled);
    on(unplugged, Enable(), waiting);
    on(unplugged, InterfaceRemoved(), noInterfaceEnabled);
    on(replugged, CableUnplugged(), unplugged);
    on(replugged, Disable(), disabledRunning);
    on(replugged, Enable(), waitingRunning);
    on(replugged, InterfaceRemoved(), noInterfaceEnabled);

    KivCommon::connect(noInterfaceDisabled, SIGNAL(entered()), this, SIGNAL(disabled()));
    KivCommon::connect(noInterfaceEnabled, SIGNAL(entered()), this, SIGNAL(enabled()));
    KivCommon::connect(disabled, SIGNAL(entered()), this, SIGNAL(disabled()));
    KivCommon::connect(disabledRunning, SIGNAL(entered()), this, SIGNAL(disabled()));
    KivCommon::connect(waiting, SIGNAL(entered()), this, SIGNAL(waiting()));
    KivCommon::connect(waitingRunning, SIGNAL(entered()), this, SIGNAL(waitingInterfaceRunning()));
    KivCommon::connect(ipRunning, SIGNAL(exited()), this, SIGNAL(unready()));
    KivCommon::connect(waitingIpSetup, SIGNAL(entered()), this, SIGNAL(waitingIpSetup()));
    KivCommon::connect(ready, SIGNAL(entered()), this, SIGNAL(ready()));
    KivCommon::connect(unplugged, SIGNAL(entered()), this, SIGNAL(disconnected()));
    KivCommon::connect(replugged, SIGNAL(entered()), this, SIGNAL(disconnected()));
    KivCommon::connect(m_machine, SIGNAL(paused(QState *, QEvent::Type)), this,
                       SLOT(on_stateMachinePaused(QState *)));

    // Cable and address changes act at once even during the ready pause.
    m_machine->addUnpauseEventType(CablePluggedIn());
    m_machine->addUnpauseEventType(CableUnplugged());
    m_machine->addUnpauseEventType(IpSetupError());
    m_machine->addImmediateEventType(IpSetupComplete());

    used->setInitialState(!exists             ? static_cast<QState *>(noInterfaceDisabled)
                          : isCablePluggedIn() ? static_cast<QState *>(disabledRunning)
                                               : static_cast<QState *>(disabled));
}

void InterfaceWired::enable()
{
    kivInfo() << m_name << " enabling...";
    m_machine->postEvent(new WiredEvent::Enable());
}

void InterfaceWired::disable()
{
    kivInfo() << m_name << " disabling...";
    m_machine->postEvent(new WiredEvent::Disable());
}

void InterfaceWired::activate(const InterfaceConfiguration &config)
{
    kivInfo() << m_name << " activating...";
    m_configuration = config;
    m_machine->postEvent(new WiredEvent::Activate());
}

void InterfaceWired::reloadIp(const InterfaceConfiguration &config)
{
    kivInfo() << m_name << " reloading IP...";
    m_configuration = config;
    m_machine->postEvent(new WiredEvent::ReloadIp());
}

void InterfaceWired::interfaceAdded(const InterfaceName &)
{
    kivInfo() << "Interface " << m_name << " added";
    m_machine->postEvent(new WiredEvent::InterfaceAdded());
}

void InterfaceWired::interfaceRemoved(const InterfaceName &)
{
    kivInfo() << "Interface " << m_name << " removed";
    m_machine->postEvent(new WiredEvent::InterfaceRemoved());
}

void InterfaceWired::setUpState(const InterfaceName &, bool up)
{
    if (up)
        m_machine->postEvent(new WiredEvent::InterfaceStarted());
    else
        m_machine->postEvent(new WiredEvent::InterfaceStopped());
}

void InterfaceWired::setRunningState(bool running)
{
    kivInfo() << m_name << " is now " << (running ? "up" : "down");
    if (running)
        m_machine->postEvent(new WiredEvent::CablePluggedIn());
    else
        m_machine->postEvent(new WiredEvent::CableUnplugged());
    emit cableStatus(running);
}

bool InterfaceWired::isConnected() const
{
    const QSet<QAbstractState *> active = m_machine->configuration();
    for (QAbstractState *state : active) {
        if (qobject_cast<WiredReady *>(state))
            return true;
    }
    return false;
}

bool InterfaceWired::isCablePluggedIn() const
{
    const QString path = QStringLiteral("/sys/class/net/") + m_name.toString() + QStringLiteral("/carrier");
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kivCritical() << "Couldn't open wired interface carrier file: " << path;
        return false;
    }
    char carrier = '0';
    const ssize_t result = ::read(fd, &carrier, 1);
    const int readError = errno;
    ::close(fd);
    if (result == 1) {
        kivDebug() << "Read " << carrier << " from " << path;
        return carrier == '1';
    }
    if (result < 0) {
        // A link that is down has no carrier to report.
        if (readError != EINVAL)
            kivWarning() << "Couldn't read status from wired interface carrier file: " << path << ": "
                         << std::strerror(readError) << ", assuming down";
        return false;
    }
    kivCritical() << "Couldn't read status from wired interface carrier file: " << path
                  << ", got EOF!? assuming down";
    return false;
}

void InterfaceWired::on_address_connected()
{
    kivInfo() << m_name << " address connected";
    m_addressUp = true;
    m_machine->postEvent(new WiredEvent::IpSetupComplete());
}

void InterfaceWired::on_address_disconnected()
{
    kivInfo() << m_name << " address disconnected";
    m_addressUp = false;
    m_machine->postEvent(new WiredEvent::IpSetupError());
}

void InterfaceWired::on_stateMachinePaused(QState *)
{
    emit disconnecting();
}

void InterfaceWired::on_interfaceUp()
{
    emit statusChanged(InterfaceStatus::Up);
}

void InterfaceWired::on_interfaceDown()
{
    emit statusChanged(InterfaceStatus::Down);
}

void InterfaceWired::on_interfaceRemoved()
{
    emit statusChanged(InterfaceStatus::Absent);
}

void InterfaceWired::linkUp()
{
    m_driver->linkUp(m_name);
}

void InterfaceWired::linkDown()
{
    m_driver->linkDown(m_name);
}

void InterfaceWired::startIpSetup()
{
    m_addressManager->start(m_configuration);
}

void InterfaceWired::stopIpSetup()
{
    m_addressManager->stop();
}

void InterfaceWired::startReadyPause(QState *ready)
{
    m_machine->pause(ReadyPauseMs, ready);
}
