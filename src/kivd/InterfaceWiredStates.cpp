#include "InterfaceWiredStates.h"

#include "InterfaceWired.h"

#define KIV_WIRED_STATE_CONSTRUCTOR(Name)                                                       \
    Name::Name(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName)   \
        : InterfaceWiredState(parent, interface, interfaceName, QStringLiteral(#Name))           \
    {                                                                                           \
    }

KIV_WIRED_STATE_CONSTRUCTOR(WiredStateMachineContainer)
KIV_WIRED_STATE_CONSTRUCTOR(WiredPresentContainer)
KIV_WIRED_STATE_CONSTRUCTOR(WiredNoInterface)
KIV_WIRED_STATE_CONSTRUCTOR(WiredInterfaceDown)
KIV_WIRED_STATE_CONSTRUCTOR(WiredInterfaceUp)
KIV_WIRED_STATE_CONSTRUCTOR(WiredInterfaceContainer)
KIV_WIRED_STATE_CONSTRUCTOR(WiredNoInterfaceDisabled)
KIV_WIRED_STATE_CONSTRUCTOR(WiredNoInterfaceEnabled)
KIV_WIRED_STATE_CONSTRUCTOR(WiredDisabled)
KIV_WIRED_STATE_CONSTRUCTOR(WiredDisabledInterfaceRunning)
KIV_WIRED_STATE_CONSTRUCTOR(WiredWaiting)
KIV_WIRED_STATE_CONSTRUCTOR(WiredWaitingInterfaceRunning)
KIV_WIRED_STATE_CONSTRUCTOR(WiredIpRunning)
KIV_WIRED_STATE_CONSTRUCTOR(WiredWaitingIpSetup)
KIV_WIRED_STATE_CONSTRUCTOR(WiredReady)
KIV_WIRED_STATE_CONSTRUCTOR(WiredDisconnected)

void WiredDisabled::onEntry(QEvent *event)
{
    InterfaceWiredState::onEntry(event);
    interface()->linkDown();
}

void WiredDisabledInterfaceRunning::onEntry(QEvent *event)
{
    InterfaceWiredState::onEntry(event);
    interface()->linkDown();
}

void WiredWaiting::onEntry(QEvent *event)
{
    InterfaceWiredState::onEntry(event);
    interface()->linkUp();
}

void WiredWaitingInterfaceRunning::onEntry(QEvent *event)
{
    InterfaceWiredState::onEntry(event);
    interface()->linkUp();
}

void WiredIpRunning::onEntry(QEvent *event)
{
    InterfaceWiredState::onEntry(event);
    interface()->startIpSetup();
}

void WiredIpRunning::onExit(QEvent *event)
{
    InterfaceWiredState::onExit(event);
    interface()->stopIpSetup();
}

void WiredReady::onEntry(QEvent *event)
{
    InterfaceWiredState::onEntry(event);
    interface()->startReadyPause(this);
}
