#pragma once

#include "InterfaceBase.h"
#include "InterfaceConfiguration.h"
#include "InterfaceName.h"
#include "NetworkTypes.h"

#include <QList>
#include <QObject>

class AddressManager;
class InterfaceWiredState;
class KivStateMachine;
class NetworkDriver;
class QState;

// Controls the wired Ethernet interface: whether it exists and is up, and how far its use has got
// (disabled, waiting for a cable, waiting to be activated, setting up IP, ready, disconnected).
// Commands and kernel reports only post events; the work is done by the states of its machine.
class InterfaceWired : public QObject, public InterfaceBase
{
    Q_OBJECT
public:
    // Builds and starts the machine; it starts disabled, with initial states from the interface's
    // current existence, flags and carrier.
    InterfaceWired(const InterfaceName &name, NetworkDriver *driver, AddressManager *addressManager,
                   QObject *parent = nullptr);
    ~InterfaceWired() override;

    void enable();
    void disable();
    // The configuration is kept even when the machine drops the event.
    void activate(const InterfaceConfiguration &config);
    void reloadIp(const InterfaceConfiguration &config);

    void interfaceAdded(const InterfaceName &name) override;
    void interfaceRemoved(const InterfaceName &name) override;
    void setUpState(const InterfaceName &name, bool up) override;
    void setRunningState(bool running) override;

    // Whether WiredReady is active.
    bool isConnected() const;
    // Reads "/sys/class/net/<name>/carrier"; any problem reads as no carrier.
    bool isCablePluggedIn() const;

    const InterfaceName &name() const { return m_name; }
    const InterfaceConfiguration &configuration() const { return m_configuration; }
    const KivStateMachine *stateMachine() const { return m_machine; }
    // Every state in creation order; the unplugged WiredDisconnected comes before the replugged one.
    const QList<InterfaceWiredState *> &states() const { return m_states; }

    // How long a command is held back after WiredReady was reached.
    static constexpr int ReadyPauseMs = 5000;

signals:
    void enabled();
    void disabled();
    void waiting();
    void waitingInterfaceRunning();
    void waitingIpSetup();
    void ready();
    void disconnecting();
    void disconnected();
    void unready();
    void cableStatus(bool pluggedIn);
    void statusChanged(InterfaceStatus status);

private slots:
    void on_address_connected();
    void on_address_disconnected();
    void on_stateMachinePaused(QState *pausedState);
    void on_interfaceUp();
    void on_interfaceDown();
    void on_interfaceRemoved();

private:
    friend class WiredDisabled;
    friend class WiredDisabledInterfaceRunning;
    friend class WiredWaiting;
    friend class WiredWaitingInterfaceRunning;
    friend class WiredIpRunning;
    friend class WiredReady;

    void buildMachine(bool exists, bool up);
    template<typename State>
    State *addState(QState *parent);

    // Entry and exit actions of the states.
    void linkUp();
    void linkDown();
    void startIpSetup();
    void stopIpSetup();
    void startReadyPause(QState *ready);

    InterfaceName m_name;
    NetworkDriver *m_driver;
    AddressManager *m_addressManager;
    KivStateMachine *m_machine;
    InterfaceConfiguration m_configuration;
    // Whether the address manager last said connected.
    bool m_addressUp = false;
    QList<InterfaceWiredState *> m_states;
};
