#pragma once

#include "InterfaceState.h"

#include <QTimer>

// The states of the wireless client machine; each carries its class name as state name.

// Root: presence, scan and usage regions side by side.
class WirelessStateMachineContainer : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessStateMachineContainer(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// Whether the interface exists and is up.
class WirelessPresentContainer : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessPresentContainer(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// The interface does not exist.
class WirelessNoInterface : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessNoInterface(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// The interface exists and is down.
class WirelessInterfaceDown : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessInterfaceDown(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// The interface exists and is up: missing soft-AP interfaces are created.
class WirelessInterfaceUp : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessInterfaceUp(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// Scanning.
class WirelessScanContainer : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessScanContainer(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// No scan running.
class WirelessScanInactive : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessScanInactive(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// A scan runs: answered by ScanFinished, or failed after 15 s, by a new scan or interface down.
class WirelessScanActive : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessScanActive(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

    static constexpr int ScanTimeoutMs = 15000;

signals:
    void timeout();
    void scanFailed();

protected:
    void onEntry(QEvent *event) override;
    void onExit(QEvent *event) override;

private:
    QTimer *m_timer;
};

// The interface is down: a scan fails at once.
class WirelessScanDisabled : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessScanDisabled(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

signals:
    void scanFailed();

protected:
    void onEntry(QEvent *event) override;
};

// How far the controller has got in using the interface.
class WirelessInterfaceContainer : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessInterfaceContainer(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// Disabled while the interface is down or missing.
class WirelessInterfaceDownDisabled : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessInterfaceDownDisabled(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// Enabled while the interface is down or missing; keeps the networks of an Enable.
class WirelessInterfaceDownEnabled : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessInterfaceDownEnabled(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// WPS wanted while the interface is down or missing.
class WirelessInterfaceDownWps : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessInterfaceDownWps(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// Disabled: the supplicant is disabled.
class WirelessDisabled : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessDisabled(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// Enabled; takes the networks of an Enable.
class WirelessEnabled : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessEnabled(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// The supplicant is enabled with the networks and associates.
class WirelessWaiting : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessWaiting(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// Associated, waiting to be activated.
class WirelessWaitingInterfaceRunning : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessWaitingInterfaceRunning(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// IP set-up runs while this is active: the address manager is started on entry and stopped on exit.
class WirelessIpRunning : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessIpRunning(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
    void onExit(QEvent *event) override;
};

// IP set-up is running, no address yet.
class WirelessWaitingIpSetup : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessWaitingIpSetup(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// The interface has an address; held events announce a tear-down before it happens.
class WirelessReady : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessReady(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};

// The association was lost; the supplicant reconnects.
class WirelessReconnecting : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessReconnecting(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);
};

// A WPS session runs.
class WirelessWps : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessWps(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName);

protected:
    void onEntry(QEvent *event) override;
};
