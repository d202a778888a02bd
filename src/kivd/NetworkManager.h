#pragma once

#include "ApDescription.h"
#include "InterfaceName.h"
#include "InterfaceTracker.h"
#include "NetworkTypes.h"
#include "Ssid.h"
#include "WirelessNetwork.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>

class InterfaceReports;
class InterfaceWired;
class InterfaceWireless;
class ModeCommands;
class NetlinkWatcher;
class NetworkConfiguration;
class NetworkDriverIp;
class QStateMachine;
class ResolvConf;
class UDevWatcher;

// The top-level object of normal operation: owns the configuration, the kernel watchers and both
// interface controllers, serves the control interface and runs the mode machine (off, wired,
// wireless, automatic, hybrid) that decides which controller is used.
class NetworkManager : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool Connected READ isConnected)
    Q_PROPERTY(QString Mode READ mode)
    Q_PROPERTY(QVariantMap Details READ details)
    Q_PROPERTY(int LogLevel READ logLevel WRITE setLogLevel)
    Q_PROPERTY(QVariantMap SoftApModeSettings READ softApModeSettings)
    Q_PROPERTY(QVariantMap WirelessNetworks READ wirelessNetworks WRITE setWirelessNetworks)
    Q_PROPERTY(QVariantMap WiredIpSettings READ wiredIpSettings WRITE setWiredIpSettings)
    Q_PROPERTY(QVariantMap WirelessIpSettings READ wirelessIpSettings WRITE setWirelessIpSettings)

public:
    // Builds everything, registers on the system bus (fatal when taken) and starts in off mode.
    NetworkManager(const QString &wiredName, const QString &wirelessName, const QStringList &softApNames);
    ~NetworkManager() override;

    bool isConnected() const;
    QString mode() const;
    QVariantMap details();
    int logLevel() const;
    void setLogLevel(int value);
    QVariantMap softApModeSettings() const;
    QVariantMap wirelessNetworks() const;
    void setWirelessNetworks(const QVariantMap &networks);
    QVariantMap wiredIpSettings() const;
    void setWiredIpSettings(const QVariantMap &settings);
    QVariantMap wirelessIpSettings() const;
    void setWirelessIpSettings(const QVariantMap &settings);

    // The names of the mode machine's active states.
    QStringList currentStates() const;

signals:
    void Started();
    void Connected(QString interface);
    void Disconnected(QString interface);
    void Disconnecting(QString interface);
    void InterfaceStatusChanged(QString interface, int status);
    void Error(QString description);
    void AuthError(QString ssid, QString description);
    void CableStatus(bool pluggedIn);
    void WpsCredentials(QVariantMap credentials);
    void WpsError(QString message);
    void ScanResults(QVariantMap results);
    void AddressesChanged();
    void StationConnected(QString mac);
    void StationDisconnected(QString mac);

public slots:
    QVariantMap InterfaceDetails(QString name);
    void SetOffMode();
    void SetNormalMode(QString mode);
    void ForceWifiReconnect();
    void StartSoftAp(QString interface, QVariantMap map);
    void StopSoftAp(QString interface);
    void WpsPbc();
    void WpsPin(QString pin);
    void Scan();

private slots:
    void on_softapReady(InterfaceName name);
    void on_softapUnready(InterfaceName name);
    void on_wiredStatusChanged(InterfaceStatus status);
    void on_wirelessStatusChanged(InterfaceStatus status);
    void on_wirelessReconnecting();
    void on_authError(Ssid ssid, QString message);
    void on_wpsCredentials(WirelessNetwork network);
    void on_scanResults(QList<ApDescription> list);
    void on_interfaceNetlinkChanged(QByteArray name, bool up, bool running);
    void on_interfaceAdded(QByteArray name);
    void on_interfaceRemoved(QByteArray name);

private:
    void findInterfaces();
    void createWired();
    void createWireless(const QStringList &softApNames);
    void reportOnBus(InterfaceReports *reports);
    void routeControllers();
    void buildModeMachine();
    void post(QEvent *event);

    const QString m_objectPath;
    const QString m_serviceName;
    QStateMachine *m_machine;
    NetworkConfiguration *m_configuration;
    InterfaceWired *m_wired = nullptr;
    InterfaceWireless *m_wireless = nullptr;
    NetworkDriverIp *m_driver;
    NetlinkWatcher *m_netlink;
    UDevWatcher *m_udev;
    ResolvConf *m_resolver;
    InterfaceTracker m_interfaces;
    std::unique_ptr<ModeCommands> m_commands;
};
