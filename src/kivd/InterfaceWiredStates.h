#pragma once

#include "InterfaceState.h"

// The states of the wired controller; each carries its class name as state name.

// Root: the presence region and the usage region side by side.
class WiredStateMachineContainer : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredStateMachineContainer(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};

// Whether the interface exists and is up.
class WiredPresentContainer : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredPresentContainer(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};

// The interface does not exist.
class WiredNoInterface : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredNoInterface(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};

// The interface exists and is down.
class WiredInterfaceDown : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredInterfaceDown(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};

// The interface exists and is up.
class WiredInterfaceUp : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredInterfaceUp(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};

// How far the controller has got in using the interface.
class WiredInterfaceContainer : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredInterfaceContainer(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};

// Disabled while the interface is missing.
class WiredNoInterfaceDisabled : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredNoInterfaceDisabled(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};

// Enabled, waiting for the interface to appear.
class WiredNoInterfaceEnabled : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredNoInterfaceEnabled(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};

// Disabled, no cable: the link is set down.
class WiredDisabled : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredDisabled(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// Disabled with the cable in: the link is set down.
class WiredDisabledInterfaceRunning : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredDisabledInterfaceRunning(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// Enabled, waiting for the cable: the link is set up.
class WiredWaiting : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredWaiting(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// Enabled with the cable in, waiting to be activated: the link is set up.
class WiredWaitingInterfaceRunning : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredWaitingInterfaceRunning(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// IP set-up runs while this is active: the address manager is started on entry and stopped on exit.
class WiredIpRunning : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredIpRunning(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
    void onExit(QEvent *event) override;
};

// IP set-up is running, no address yet.
class WiredWaitingIpSetup : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredWaitingIpSetup(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};

// The interface has an address; held events announce a tear-down before it happens.
class WiredReady : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredReady(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// The cable was lost while IP was running; waits for the manager to enable again.
class WiredDisconnected : public InterfaceWiredState
{
    Q_OBJECT
public:
    WiredDisconnected(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName);
};
