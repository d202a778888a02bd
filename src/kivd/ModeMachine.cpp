#include "ModeMachine.h"

#include "KivEvents.h"
#include "LogHandler.h"

#include <QStateMachine>

namespace {

constexpr auto on = addKivTransition;

// Both WPS commands lead to the same place.
void onWps(QState *from, QAbstractState *to)
{
    on(from, ManagerEvent::WpsPbc(), to);
    on(from, ManagerEvent::WpsPin(), to);
}

} // namespace

ModeMachine::ModeMachine(QStateMachine *machine, const KivStateContext &context, QObject *wired, QObject *wireless)
    : m_machine(machine)
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

void ModeMachine::onSignal(QState *from, QObject *sender, const char *signal, QAbstractState *to)
{
    if (!from->addTransition(sender, signal, to)) {
        kivCritical() << "Cannot add a transition on " << signal + 1 << " of " << sender->metaObject()->className();
        kivAbort();
    }
}

void ModeMachine::onWired(QState *from, const char *signal, QAbstractState *to) const
{
    onSignal(from, m_wired, signal, to);
}

void ModeMachine::onWireless(QState *from, const char *signal, QAbstractState *to) const
{
    onSignal(from, m_wireless, signal, to);
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

// WiredWaitingState -> WiredIpsetupState -> WiredConnectedState, back to waiting when disconnected.
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
    onWired(ipsetup, SIGNAL(disconnected()), waiting);
    onWired(connected, SIGNAL(disconnected()), waiting);
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
    onWireless(ipsetup, SIGNAL(waiting()), waiting);
    onWireless(connected, SIGNAL(waiting()), waiting);
    onWireless(connected, SIGNAL(waitingInterfaceRunning()), ipsetup);
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
    onWired(wiredWaiting, SIGNAL(disconnected()), wiredWaiting);
    onWired(disablingWireless, SIGNAL(waiting()), wiredWaiting);
    onWired(disablingWireless, SIGNAL(disconnected()), wiredWaiting);
    onWireless(disablingWireless, SIGNAL(disabled()), wiredIpsetup);
    onWired(wiredIpsetup, SIGNAL(ready()), wiredConnected);
    for (QState *state : {static_cast<QState *>(wiredIpsetup), static_cast<QState *>(wiredConnected)}) {
        onWired(state, SIGNAL(waiting()), wiredWaiting);
        onWired(state, SIGNAL(disconnected()), wiredWaiting);
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
    on(waiting, ManagerEvent::Reconnecting(), waiting);
    onWireless(ipsetup, SIGNAL(ready()), connected);
    for (QState *state : {static_cast<QState *>(ipsetup), static_cast<QState *>(connected)}) {
        onWireless(state, SIGNAL(waiting()), waiting);
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
