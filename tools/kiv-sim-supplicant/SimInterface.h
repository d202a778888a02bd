#pragma once

#include "SimBus.h"
#include "SimNetworkConfig.h"
#include "SimWorld.h"

#include <QElapsedTimer>
#include <QMap>
#include <QObject>
#include <QTimer>

class SimPlan;

// One interface object of the simulated supplicant with its networks, BSS objects, WPS facet
// and the association logic: scan, pick the best usable network, walk the states, report.
class SimInterface : public QObject
{
    Q_OBJECT

public:
    enum class ObjectKind { None, Interface, Bss, Network };

    SimInterface(int index, const QString &ifname, const QString &driver, const SimWorld *world,
                 SimBusEmitter *bus, QObject *parent = nullptr);
    ~SimInterface() override;

    QString path() const { return m_path; }
    QString ifname() const { return m_ifname; }

    // Moves from the initial "disconnected" to "inactive" (no networks yet), as after start-up.
    void start();
    // Announces the removal of every network and BSS object before the interface goes away.
    void shutdown();

    ObjectKind objectKind(const QString &path, int *id) const;
    QStringList objectPaths() const;

    QVariantMap interfaceProperties() const;
    QVariantMap wpsProperties() const;
    QVariantMap bssProperties(int id) const;
    QVariantMap networkProperties(int id) const;
    SimResult setInterfaceProperty(const QString &name, const QVariant &value);
    SimResult setWpsProperty(const QString &name, const QVariant &value);
    SimResult setNetworkProperty(int id, const QString &name, const QVariant &value);

    SimResult scan(const QVariantMap &args);
    SimResult signalPoll() const;
    SimResult disconnect();
    SimResult addNetwork(const QVariantMap &args);
    SimResult removeNetwork(const QString &path);
    SimResult removeAllNetworks();
    SimResult selectNetwork(const QString &path);
    SimResult reassociate();
    SimResult reconnect();
    SimResult addBlob(const QString &name, const QByteArray &data);
    SimResult getBlob(const QString &name) const;
    SimResult removeBlob(const QString &name);
    SimResult flushBss(uint age);
    SimResult abortScan();

    SimResult wpsStart(const QVariantMap &args);
    SimResult wpsCancel();

    // Changes of the radio environment.
    void apRemoved(const QByteArray &bssid);
    void linkDropped();
    void linkRestored();

private:
    // Reason codes as DisconnectReason reports them; negative when the station itself left.
    static constexpr int ReasonLocallyLeaving = -3;
    static constexpr int ReasonDeauthenticated = 3;
    static constexpr int ReasonLinkLost = 4;
    static constexpr int ReasonHandshakeTimeout = 15;

    struct Bss
    {
        int id = -1;
        QString path;
        QByteArray bssid;
        QByteArray ssid;
        int missedScans = 0;
        qint64 lastSeenMs = 0;
        QVariantMap published;
    };

    struct Network
    {
        int id = -1;
        QString path;
        SimNetworkConfig config;
        bool enabled = false;
        int authFailures = 0;
        qint64 disabledUntilMs = 0;
        QVariantMap published;
    };

    struct WpsSession
    {
        bool active = false;
        bool pushButton = true;
        QString pin;
        QByteArray bssid;
        int networkId = -1;
    };

    void setState(const QString &state);
    void publish();
    void publishNetwork(int id);
    QString idleState() const;
    bool busy() const;
    bool hasEnabledNetworks() const;
    bool tempDisabled(const Network &network) const;
    void markDisconnected(int reason);
    int addNetworkObject(const SimNetworkConfig &config, bool enabled);
    void removeNetworkObject(int id);
    void removeBss(int id);
    int networkId(const QString &path) const;

    void reconsider();
    void startScan();
    void finishScan();
    void afterScan();
    void updateBssTable();
    bool revealed(const QByteArray &ssid) const;
    bool selectCandidate(int *bssId, int *netId) const;
    void startAttempt(int bssId, int netId);
    void attemptFailed(int netId, const QString &reason);

    void wpsAfterScan();
    void finishRegistration(const QByteArray &bssid);
    void endWps();
    void wpsTimedOut();
    void abandonWps();

    const QString m_path;
    const QString m_ifname;
    const QString m_driver;
    const SimWorld *m_world;
    SimBusEmitter *m_bus;
    SimPlan *m_plan;
    QElapsedTimer m_clock;
    QTimer m_scanTimer;
    QTimer m_rescanTimer;
    QTimer m_wpsWalkTimer;

    QString m_state = QStringLiteral("disconnected");
    bool m_scanning = false;
    bool m_disconnectedFlag = false;
    QString m_currentBss = QStringLiteral("/");
    QString m_currentNetwork = QStringLiteral("/");
    QString m_authMode;
    int m_disconnectReason = 0;
    uint m_apScan = 1;
    uint m_bssExpireAge;
    uint m_bssExpireCount;
    QList<QByteArray> m_probeSsids;

    QMap<int, Bss> m_bss;
    int m_nextBssId = 0;
    QMap<int, Network> m_networks;
    QMap<QString, QByteArray> m_blobs;
    QVariantMap m_published;

    bool m_processCredentials = true;
    QString m_wpsConfigMethods;
    QString m_wpsDeviceName;
    QByteArray m_wpsDeviceType = QByteArray(8, '\0');
    WpsSession m_wps;
};
