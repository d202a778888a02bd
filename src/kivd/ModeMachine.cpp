#include "ModeMachine.h"

#include "KivCommon.h"
#include "KivEvents.h"
#include "LogHandler.h"

#include <QSignalTransition>
#include <QStateMachine>

namespace {

constexpr auto on = addKivTransition;

// One relayed signal: its sender, its index in the sender's class and when it was sent.
class RelayedSignal : public QEvent
{
public:
    RelayedSignal(QObject *sender, int index, quint64 serial)
        : QEvent(SignalRelay::eventType()), sender(sender), index(index), serial(serial)
    {
    }
    QObject *const sender;
    const int index;
    const quint64 serial;
};

// Both WPS commands lead to the same place.
void onWps(QState *from, QAbstractState *to)
{
    on(from, ManagerEvent::WpsPbc(), to);
    on(from, ManagerEvent::WpsPin(), to);
}

} // namespace

SignalRelay::SignalRelay(QStateMachine *machine) : QObject(machine), m_machine(machine) {}

QEvent::Type SignalRelay::eventType()
{
    static const QEvent::Type type = kivRegisterEventType("RelayedSignal");
    return type;
}

void SignalRelay::listen(QObject *sender, const char *signal, int index)
{
    if (m_heard.contains({sender, index}))
        return;
    m_heard.insert({sender, index});
    KivCommon::connect(sender, signal, this, SLOT(relay()));
}

RelayedSignalTransition::RelayedSignalTransition(const SignalRelay *relay, QObject *sender, int index)
    : m_relay(relay), m_sender(sender), m_index(index)
{
}

bool RelayedSignalTransition::eventTest(QEvent *event)
{
    if (!event || event->type() != SignalRelay::eventType())
        return false;
    const auto *relayed = static_cast<RelayedSignal *>(event);
    return relayed->sender == m_sender && relayed->index == m_index
           && m_relay->isCurrent(relayed->sender, relayed->index, relayed->serial);
}

void RelayedSignalTransition::onTransition(QEvent *)
{
}

void SignalRelay::followStates(QObject *sender, const QList<const char *> &stateSignals)
{
    for (const char *signal : stateSignals) {
        const int index = sender->metaObject()->indexOfSignal(QMetaObject::normalizedSignature(signal + 1).constData());
        if (index < 0)
            continue;
        m_stateSignals.insert({sender, index});
        listen(sender, signal, index);
    }
}

bool SignalRelay::isCurrent(QObject *sender, int index, quint64 serial) const
{
    return !m_stateSignals.contains({sender, index}) || m_latestState.value(sender) == serial;
}

void SignalRelay::relay()
{
    const int index = senderSignalIndex();
    ++m_serial;
    if (m_stateSignals.contains({sender(), index}))
        m_latestState.insert(sender(), m_serial);
    m_machine->postEvent(new RelayedSignal(sender(), index, m_serial));
}

ModeMachine::ModeMachine(QStateMachine *machine, const KivStateContext &context, QObject *wired, QObject *wireless)
    : m_machine(machine)
    , m_relay(new SignalRelay(machine))
    , m_context(context)
    , m_wired(wired)
    , m_wireless(wireless)
{
}

template<typename State>
State *ModeMachine::add(QState *parent)
{
    return new State(parent, m_context);
}

QAbstractTransition *ModeMachine::onSignal(QState *from, QObject *sender, const char *signal, QAbstractState *to) const
{
    // The machine's own states signal while it runs, and are heard at once; controllers are relayed.
    if (!qobject_cast<QAbstractState *>(sender))
        return onRelayed(from, sender, signal, to);
    auto *transition = new QSignalTransition(sender, signal);
    transition->setTargetState(to);
    from->addTransition(transition);
    return transition;
}

QAbstractTransition *ModeMachine::onRelayed(QState *from, QObject *sender, const char *signal, QAbstractState *to) const
{
    const int index = sender->metaObject()->indexOfSignal(QMetaObject::normalizedSignature(signal + 1).constData());
    if (index < 0) {
        kivCritical() << "Cannot add a transition on " << signal + 1 << " of " << sender->metaObject()->className();
        kivAbort();
    }
    m_relay->listen(sender, signal, index);
    auto *transition = new RelayedSignalTransition(m_relay, sender, index);
    if (to)
        transition->setTargetState(to);
    from->addTransition(transition);
    return transition;
}

void ModeMachine::onAlreadyReady(QState *ipsetup, QAbstractState *connected) const
{
    onRelayed(ipsetup, ipsetup, SIGNAL(alreadyReady()), connected);
}

QAbstractTransition *ModeMachine::onWired(QState *from, const char *signal, QAbstractState *to) const
{
    return onSignal(from, m_wired, signal, to);
}

QAbstractTransition *ModeMachine::onWireless(QState *from, const char *signal, QAbstractState *to) const
{
    return onSignal(from, m_wireless, signal, to);
}

// OffMode
// WiredMode:      WirelessDisabledState --wireless disabled()--> WiredModeState (parallel)
//                   |-- WiredStateContainer: wired block
//                   `-- WirelessStateContainer: WirelessDisabledState <--> WirelessWpsState
// WirelessMode:   WiredDisabledState --wired disabled()--> WirelessModeState: wireless block
// AutomaticMode (parallel)
//   |-- WiredStateContainer: WiredWaitingState -> WirelessDisabledState -> WiredIpsetupState -> WiredConnectedState
//   `-- WirelessStateContainer: AutomaticWirelessEnabledContainer { wireless waiting, IP set-up, connected }
//                               <--> AutomaticWirelessDisabledState, both --WPS--> WirelessWpsState
//                               { AutomaticWpsTargetEnabledState, AutomaticWpsTargetDisabledState }
// HybridMode (parallel): WiredStateContainer: wired block | WirelessStateContainer: wireless block
// Each mode's manager event leads to it from every other mode.
ModeStates ModeMachine::build()
{
    m_relay->followStates(m_wired, {SIGNAL(enabled()), SIGNAL(disabled()), SIGNAL(waiting()),
                                    SIGNAL(waitingInterfaceRunning()), SIGNAL(waitingIpSetup()), SIGNAL(ready()),
                                    SIGNAL(disconnected())});
    m_relay->followStates(m_wireless, {SIGNAL(enabled()), SIGNAL(disabled()), SIGNAL(waiting()),
                                       SIGNAL(waitingInterfaceRunning()), SIGNAL(waitingIpSetup()), SIGNAL(ready()),
                                       SIGNAL(reconnecting())});
    ModeStates modes;
    modes.off = add<OffMode>(m_machine);
    modes.wired = add<WiredMode>(m_machine);
    modes.wireless = add<WirelessMode>(m_machine);
    modes.automatic = add<AutomaticMode>(m_machine);
    modes.hybrid = add<HybridMode>(m_machine);

    buildWiredMode(modes.wired);
    buildWirelessMode(modes.wireless);
    buildAutomaticMode(modes.automatic);
    buildHybridMode(modes.hybrid);

    const QList<QPair<KivState *, QEvent::Type>> entries{
        {modes.off, ManagerEvent::Off::type()},
        {modes.wired, ManagerEvent::Wired::type()},
        {modes.wireless, ManagerEvent::Wireless::type()},
        {modes.automatic, ManagerEvent::Automatic::type()},
        {modes.hybrid, ManagerEvent::Hybrid::type()},
    };
    for (const auto &from : entries) {
        for (const auto &to : entries) {
            if (from.first != to.first)
                on(from.first, QEvent(to.second), to.first);
        }
    }
    return modes;
}

// WiredWaitingState -> WiredIpsetupState -> WiredConnectedState, back to waiting when disconnected
// or when the controller waits for its link again.
void ModeMachine::addWiredBlock(QState *container)
{
    kivDebug() << "Adding wired states to KivState...";
    auto *waiting = add<WiredWaitingState>(container);
    auto *ipsetup = add<WiredIpsetupState>(container);
    auto *connected = add<WiredConnectedState>(container);
    container->setInitialState(waiting);

    onWired(waiting, SIGNAL(waitingInterfaceRunning()), ipsetup);
    onWired(waiting, SIGNAL(waitingIpSetup()), ipsetup);
    onWired(waiting, SIGNAL(ready()), connected);
    onWired(ipsetup, SIGNAL(ready()), connected);
    onAlreadyReady(ipsetup, connected);
    onWired(ipsetup, SIGNAL(disconnected()), waiting);
    onWired(connected, SIGNAL(disconnected()), waiting);
    // The controller dropped the activation or fell back: wait for the link again, or activate again.
    for (QState *state : {static_cast<QState *>(ipsetup), static_cast<QState *>(connected)}) {
        onWired(state, SIGNAL(waiting()), waiting);
        onWired(state, SIGNAL(enabled()), waiting);
        onWired(state, SIGNAL(waitingInterfaceRunning()), ipsetup);
    }
}

// WirelessWaitingState -> WirelessIpsetupState -> WirelessConnectedState, and WirelessWpsState.
void ModeMachine::addWirelessBlock(QState *container)
{
    kivDebug() << "Adding wireless states to KivState...";
    auto *waiting = add<WirelessWaitingState>(container);
    auto *ipsetup = add<WirelessIpsetupState>(container);
    auto *connected = add<WirelessConnectedState>(container);
    auto *wps = add<WirelessWpsState>(container);
    container->setInitialState(waiting);

    onWireless(waiting, SIGNAL(waitingInterfaceRunning()), ipsetup);
    onWireless(waiting, SIGNAL(waitingIpSetup()), ipsetup);
    onWireless(waiting, SIGNAL(ready()), connected);
    onWireless(ipsetup, SIGNAL(ready()), connected);
    onAlreadyReady(ipsetup, connected);
    onWireless(ipsetup, SIGNAL(waiting()), waiting);
    onWireless(connected, SIGNAL(waiting()), waiting);
    onWireless(connected, SIGNAL(waitingInterfaceRunning()), ipsetup);
    // The interface went down or away: wait for it again.
    onWireless(ipsetup, SIGNAL(enabled()), waiting);
    onWireless(connected, SIGNAL(enabled()), waiting);
    for (QState *state : {static_cast<QState *>(waiting), static_cast<QState *>(ipsetup),
                          static_cast<QState *>(connected)}) {
        on(state, ManagerEvent::Reconnecting(), waiting);
        onWps(state, wps);
        on(state, ManagerEvent::ReloadAps(), waiting);
    }
    onWireless(wps, SIGNAL(wpsCredentials(WirelessNetwork)), waiting);
    onWireless(wps, SIGNAL(wpsError(QString)), waiting);
    onWps(wps, wps);
    on(wps, ManagerEvent::ReloadAps(), waiting);
}

void ModeMachine::buildWiredMode(QState *mode)
{
    auto *disablingWireless = add<WirelessDisabledState>(mode);
    auto *running = add<WiredModeState>(mode);
    mode->setInitialState(disablingWireless);
    running->setChildMode(QState::ParallelStates);
    onWireless(disablingWireless, SIGNAL(disabled()), running);

    addWiredBlock(add<WiredStateContainer>(running));

    auto *wirelessRegion = add<WirelessStateContainer>(running);
    auto *wirelessOff = add<WirelessDisabledState>(wirelessRegion);
    auto *wps = add<WirelessWpsState>(wirelessRegion);
    wirelessRegion->setInitialState(wirelessOff);
    onWps(wirelessOff, wps);
    onWps(wps, wps);
    onWireless(wps, SIGNAL(wpsCredentials(WirelessNetwork)), wirelessOff);
    onWireless(wps, SIGNAL(wpsError(QString)), wirelessOff);
}

void ModeMachine::buildWirelessMode(QState *mode)
{
    auto *disablingWired = add<WiredDisabledState>(mode);
    auto *running = add<WirelessModeState>(mode);
    mode->setInitialState(disablingWired);
    onWired(disablingWired, SIGNAL(disabled()), running);
    addWirelessBlock(running);
}

void ModeMachine::buildAutomaticMode(QState *mode)
{
    mode->setChildMode(QState::ParallelStates);

    auto *wiredRegion = add<WiredStateContainer>(mode);
    auto *wiredWaiting = add<WiredWaitingState>(wiredRegion);
    auto *disablingWireless = add<WirelessDisabledState>(wiredRegion);
    auto *wiredIpsetup = add<WiredIpsetupState>(wiredRegion);
    auto *wiredConnected = add<WiredConnectedState>(wiredRegion);
    wiredRegion->setInitialState(wiredWaiting);

    onWired(wiredWaiting, SIGNAL(waitingInterfaceRunning()), disablingWireless);
    // Only the controller's latest report counts: one that got further still hands over first.
    onWired(wiredWaiting, SIGNAL(waitingIpSetup()), disablingWireless);
    onWired(wiredWaiting, SIGNAL(ready()), disablingWireless);
    // Enables again without leaving the state: an exit and entry in one step would be seen by the
    // wireless region as the wired link's loss only, leaving wireless disabled while wired waits.
    QAbstractTransition *reenable = onWired(wiredWaiting, SIGNAL(disconnected()), nullptr);
    QObject::connect(reenable, &QAbstractTransition::triggered, [commands = m_context.controllers] {
        kivInfo() << "Enabling wired again after its disconnection";
        commands->enableWired();
    });
    onWired(disablingWireless, SIGNAL(waiting()), wiredWaiting);
    onWired(disablingWireless, SIGNAL(disconnected()), wiredWaiting);
    onWired(disablingWireless, SIGNAL(enabled()), wiredWaiting);
    onWireless(disablingWireless, SIGNAL(disabled()), wiredIpsetup);
    onWired(wiredIpsetup, SIGNAL(ready()), wiredConnected);
    onAlreadyReady(wiredIpsetup, wiredConnected);
    for (QState *state : {static_cast<QState *>(wiredIpsetup), static_cast<QState *>(wiredConnected)}) {
        onWired(state, SIGNAL(waiting()), wiredWaiting);
        onWired(state, SIGNAL(disconnected()), wiredWaiting);
        onWired(state, SIGNAL(enabled()), wiredWaiting);
        onWired(state, SIGNAL(waitingInterfaceRunning()), disablingWireless);
    }

    auto *wirelessRegion = add<WirelessStateContainer>(mode);
    auto *enabled = add<AutomaticWirelessEnabledContainer>(wirelessRegion);
    auto *disabled = add<AutomaticWirelessDisabledState>(wirelessRegion);
    auto *wps = add<WirelessWpsState>(wirelessRegion);
    wirelessRegion->setInitialState(enabled);
    auto *waiting = add<WirelessWaitingState>(enabled);
    auto *ipsetup = add<WirelessIpsetupState>(enabled);
    auto *connected = add<WirelessConnectedState>(enabled);
    enabled->setInitialState(waiting);
    auto *wpsThenEnabled = add<AutomaticWpsTargetEnabledState>(wps);
    auto *wpsThenDisabled = add<AutomaticWpsTargetDisabledState>(wps);
    wps->setInitialState(wpsThenEnabled);

    onSignal(enabled, wiredWaiting, SIGNAL(exited()), disabled);
    onWps(enabled, wpsThenEnabled);
    on(enabled, ManagerEvent::ReloadAps(), waiting);
    onSignal(disabled, wiredWaiting, SIGNAL(entered()), enabled);
    onWps(disabled, wpsThenDisabled);

    onWireless(waiting, SIGNAL(waitingInterfaceRunning()), ipsetup);
    onWireless(waiting, SIGNAL(waitingIpSetup()), ipsetup);
    onWireless(waiting, SIGNAL(ready()), connected);
    on(waiting, ManagerEvent::Reconnecting(), waiting);
    onWireless(ipsetup, SIGNAL(ready()), connected);
    onAlreadyReady(ipsetup, connected);
    for (QState *state : {static_cast<QState *>(ipsetup), static_cast<QState *>(connected)}) {
        onWireless(state, SIGNAL(waiting()), waiting);
        onWireless(state, SIGNAL(enabled()), waiting);
        on(state, ManagerEvent::Reconnecting(), waiting);
    }
    onWireless(connected, SIGNAL(waitingInterfaceRunning()), ipsetup);

    onWireless(wpsThenEnabled, SIGNAL(wpsCredentials(WirelessNetwork)), enabled);
    onWireless(wpsThenEnabled, SIGNAL(wpsError(QString)), enabled);
    onSignal(wpsThenEnabled, wiredWaiting, SIGNAL(exited()), wpsThenDisabled);
    onWps(wpsThenEnabled, wpsThenEnabled);
    onWireless(wpsThenDisabled, SIGNAL(wpsCredentials(WirelessNetwork)), disabled);
    onWireless(wpsThenDisabled, SIGNAL(wpsError(QString)), disabled);
    onSignal(wpsThenDisabled, wiredWaiting, SIGNAL(entered()), wpsThenEnabled);
    onWps(wpsThenDisabled, wpsThenDisabled);
}

void ModeMachine::buildHybridMode(QState *mode)
{
    mode->setChildMode(QState::ParallelStates);
    addWiredBlock(add<WiredStateContainer>(mode));
    addWirelessBlock(add<WirelessStateContainer>(mode));
}
