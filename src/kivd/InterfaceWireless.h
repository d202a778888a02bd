#pragma once

#include "ApDescription.h"
#include "InterfaceBase.h"
#include "InterfaceConfiguration.h"
#include "InterfaceName.h"
#include "NetworkTypes.h"
#include "SoftApSettings.h"
#include "Ssid.h"
#include "WirelessNetwork.h"
#include "WpsRequest.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <memory>

class AddressManager;
class InterfaceSoftap;
class InterfaceWirelessState;
class KivStateMachine;
class NetworkDriver;
class QEvent;
class QState;
class Supplicant;
class SupplicantFactory;

// Controls the wireless client interface and the soft access points on the same radio. The client
// machine tracks presence, scanning and the way from disabled through WPS or association to an IP
// address; the soft-AP machine holds one subtree per soft-AP interface. Commands and kernel
// reports only post events; the states do the work.
class InterfaceWireless : public QObject, public InterfaceBase
{
    Q_OBJECT
public:
    // Builds and starts both machines, disabled. The supplicant comes from the factory given, or
    // from a temporary SupplicantFactory (wpa_supplicant) when there is none.
    InterfaceWireless(const InterfaceName &name, const QList<QString> &softApInterfaces, NetworkDriver *driver,
                      AddressManager *addressManager, QObject *parent = nullptr, SupplicantFactory *factory = nullptr);
    ~InterfaceWireless() override;

    void enable(const QSet<WirelessNetwork> &networks);
    void disable();
    // The configuration is kept even when the machine drops the event.
    void activate(const InterfaceConfiguration &config);
    void reloadIp(const InterfaceConfiguration &config);
    void scan();
    void wpsPbc();
    void wpsPin(const QString &pin);

    void startSoftAp(const InterfaceName &ap);
    void stopSoftAp(const InterfaceName &ap);
    // Stores and applies settings that differ (a domain-name change alone is not a difference).
    void updateSoftApSettings(const SoftApSettings &settings);

    void interfaceAdded(const InterfaceName &name) override;
    void interfaceRemoved(const InterfaceName &name) override;
    void setUpState(const InterfaceName &name, bool up) override;
    void setRunningState(bool running) override;

    const InterfaceName &name() const { return m_name; }
    QList<QString> softApInterfaces() const { return m_softApInterfaces; }
    // Whether WirelessReady is active.
    bool isConnected() const;
    QVariantMap getNetworkDetails() const;
    // Soft-AP interface name to the map form of its settings.
    QVariantMap softApSettings() const;
    bool isSoftApStarted(const InterfaceName &ap) const;
    // The first soft AP's channel, or the client's while associated when the radio cannot serve two.
    int softApChannel() const;

    bool hasMultichannel() const { return m_multichannel; }
    const InterfaceConfiguration &configuration() const { return m_configuration; }
    const QSet<WirelessNetwork> &networks() const { return m_networks; }
    const KivStateMachine *stateMachine() const { return m_machine; }
    const KivStateMachine *softApStateMachine() const { return m_softApMachine; }
    // The client states in creation order.
    const QList<InterfaceWirelessState *> &states() const { return m_states; }

    // How long a command is held back after WirelessReady was reached.
    static constexpr int ReadyPauseMs = 5000;

signals:
    void disabled();
    void enabled();
    void waiting();
    void waitingInterfaceRunning();
    void waitingIpSetup();
    void ready();
    void softapReady(const InterfaceName &ap);
    void disconnecting();
    void reconnecting();
    void unready();
    void softapUnready(const InterfaceName &ap);
    void authError(const Ssid &ssid, const QString &reason);
    void wpsCredentials(const WirelessNetwork &network);
    void wpsError(const QString &error);
    void scanResults(const QList<ApDescription> &results);
    void statusChanged(InterfaceStatus status);
    void stationConnected(const QString &mac);
    void stationDisconnected(const QString &mac);

private slots:
    void on_address_connected();
    void on_address_disconnected();
    void on_supplicant_connected();
    void on_supplicant_configured();
    void on_supplicant_scanResults(const QList<ApDescription> &results);
    void on_scanFailed();
    void on_interfaceUp();
    void on_interfaceDown();
    void on_interfaceRemoved();

private:
    friend class WirelessInterfaceUp;
    friend class WirelessScanActive;
    friend class WirelessInterfaceDownEnabled;
    friend class WirelessDisabled;
    friend class WirelessEnabled;
    friend class WirelessWaiting;
    friend class WirelessIpRunning;
    friend class WirelessReady;
    friend class WirelessWps;
    friend class WirelessSoftApStarted;

    bool checkMultichannel() const;
    void buildClientMachine(bool exists, bool up);
    void buildSoftApMachine(QState *clientWaitingInterfaceRunning);
    template<typename State>
    State *addState(QState *parent);

    // Entry and exit actions of the states.
    void createMissingSoftApInterfaces();
    void requestScan();
    void takeNetworks(QEvent *event);
    void disableSupplicant();
    void enableSupplicant();
    void startIpSetup();
    void stopIpSetup();
    void startReadyPause(QState *ready);
    void startWps();
    void reloadSoftAp(const InterfaceName &ap);

    InterfaceName m_name;
    QList<QString> m_softApInterfaces;
    NetworkDriver *m_driver;
    AddressManager *m_addressManager;
    QHash<QString, InterfaceSoftap *> m_softAps;
    KivStateMachine *m_softApMachine;
    KivStateMachine *m_machine;
    InterfaceConfiguration m_configuration;
    // Whether the address manager last said connected.
    bool m_addressUp = false;
    std::unique_ptr<Supplicant> m_supplicant;
    QSet<WirelessNetwork> m_networks;
    WpsRequest m_wpsRequest;
    bool m_multichannel = false;
    QList<InterfaceWirelessState *> m_states;
};
