#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

class NetlinkWatcher;
class QTimer;

// The passive top-level object of "-m": serves the control interface, reports cable, IPv4
// connectivity and address changes of the wired and wireless interfaces, and ignores commands.
class NetworkMonitor : public QObject
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
    // Per interface: not running, running without an IPv4 address, running with one.
    enum State { NotRunning = 0, RunningWithoutIpv4 = 1, RunningWithIpv4 = 2 };
    enum class Report { Nothing, Connected, Disconnected };
    Q_ENUM(Report)
    struct Recheck
    {
        int state;
        Report report;
    };

    // An address re-check of an interface in state: the new state and the signal it reports.
    static Recheck recheck(int state, bool hasIpv4);

    static constexpr int RecheckIntervalMs = 10000;

    NetworkMonitor(const QString &wiredName, const QString &wirelessName, const QStringList &softApNames);

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

signals:
    void Started();
    void Connected(QString interface);
    void Disconnected(QString interface);
    void CableStatus(bool pluggedIn);
    void AddressesChanged();
    void Disconnecting(QString interface);
    void Error(QString description);
    void AuthError(QString description);
    void WpsCredentials(QVariantMap credentials);
    void WpsError(QString message);
    void ScanResults(QVariantMap results);

public slots:
    QVariantMap InterfaceDetails(QString name);
    void SetOffMode();
    void SetNormalMode(QString mode);
    void SetSoftApMode(QString mode);
    void WpsPbc();
    void WpsPin(QString pin);
    void Scan();

private slots:
    void on_addressesChanged();
    void on_interfaceNetlinkChanged(QByteArray name, bool up, bool running);

private:
    static int initialState(const QString &name);
    void recheckInterface(const QString &name, int &state);
    void linkChanged(const QString &name, bool running, int &state);

    const QString m_objectPath;
    const QString m_serviceName;
    const QString m_wiredName;
    const QString m_wirelessName;
    int m_wiredState = NotRunning;
    int m_wirelessState = NotRunning;
    NetlinkWatcher *m_netlink = nullptr;
    QTimer *m_recheckTimer = nullptr;
};
