#pragma once

#include "InterfaceName.h"
#include "InterfaceState.h"
#include "SoftApSettings.h"

#include <QObject>

class InterfaceWireless;
class NetworkDriver;
class QState;
class WirelessSoftApStarted;

// One soft-AP interface on the wireless radio: its settings and its subtree of the soft-AP machine.
// The subtree's transitions react only to events carrying this interface's name.
class InterfaceSoftap : public QObject
{
    Q_OBJECT
public:
    // Flushes the interface and sets it down, then builds the subtree under softApRoot; every entry of
    // the client's clientWaitingInterfaceRunning restarts a running soft AP.
    InterfaceSoftap(const InterfaceName &name, QState *softApRoot, QState *clientWaitingInterfaceRunning,
                    InterfaceWireless *controller, NetworkDriver *driver);

    const SoftApSettings &settings() const { return m_settings; }
    void setSettings(const SoftApSettings &settings) { m_settings = settings; }
    NetworkDriver *driver() const { return m_driver; }
    WirelessSoftApStarted *startedState() const { return m_started; }

    // Generated state names: base, "_", interface.
    static QString stateName(const char *base, const InterfaceName &name);

private:
    NetworkDriver *m_driver;
    SoftApSettings m_settings;
    WirelessSoftApStarted *m_started = nullptr;
};

// Root of the soft-AP machine: one subtree per soft-AP interface, side by side.
class WirelessSoftapInterfaceContainer : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessSoftapInterfaceContainer(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName,
                                     const QString &stateName);
};

// The subtree of one soft-AP interface.
class WirelessSoftapContainerPerInterface : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessSoftapContainerPerInterface(QState *parent, InterfaceWireless *interface,
                                        const InterfaceName *interfaceName, const QString &stateName);
};

// The interface does not exist and no soft AP is wanted on it.
class WirelessSoftApNoInterface : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessSoftApNoInterface(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName,
                              const QString &stateName);
};

// A soft AP is wanted; it starts once the interface exists.
class WirelessSoftApNoInterfaceEnabled : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessSoftApNoInterfaceEnabled(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName,
                                     const QString &stateName);
};

// The interface exists and no soft AP is wanted on it.
class WirelessSoftApSopped : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessSoftApSopped(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName,
                         const QString &stateName);
};

// The soft AP runs as started, before the client's first association.
class WirelessSoftApFirstSession : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessSoftApFirstSession(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName,
                               const QString &stateName);
};

// The client associated (again): the soft AP's processes are restarted on each entry.
class WirelessSoftApNextSession : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessSoftApNextSession(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName,
                              const QString &stateName, WirelessSoftApStarted *started);

protected:
    void onEntry(QEvent *event) override;

private:
    WirelessSoftApStarted *m_started;
};
