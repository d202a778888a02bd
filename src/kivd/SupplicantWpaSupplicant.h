#pragma once

#include "Supplicant.h"
#include "SupplicantMessageQueue.h"
#include "SupplicantMessages.h"
#include "WrongKeyDetector.h"

#include <QDBusObjectPath>
#include <QHash>
#include <QSharedPointer>

class BssMonitor;
class FiW1WpaSupplicant1;
class FiW1WpaSupplicant1Interface;
class FiW1WpaSupplicant1Wps;
class QDBusServiceWatcher;
class QTimer;
class WpaSupplicantThread;

// The supplicant over wpa_supplicant's bus interface. Public operations run on the main thread
// and only queue messages; the connection logic, WPS sessions and disconnection waits run on the
// worker thread, which consumes the queue. Scans and BSS tracking stay on the main thread.
class WpaSupplicant : public Supplicant
{
    Q_OBJECT

public:
    static constexpr int ScanTimeoutMs = 15000;
    static constexpr int DisconnectWaitMs = 10000;
    static constexpr int WpsSessionMs = 200000;
    static constexpr int ThreadStopMs = 30000;
    static constexpr unsigned long StaleStateSettleMs = 250;

    WpaSupplicant(QObject *parent, const QString &interfaceName);
    ~WpaSupplicant() override;

    // Text of a WPS "fail" message: a configuration-error code 0 to 18 gives its description,
    // anything else is passed through.
    static QString wpsErrorText(const QString &message);
    // The network carried by a WPS Credentials signal.
    static WirelessNetwork networkFromWpsCredentials(const QVariantMap &credentials);

public slots:
    bool enable(const QSet<WirelessNetwork> &networks) override;
    bool disable() override;
    bool wpsPbc() override;
    bool wpsPin(const QString &pin) override;
    void scan() override;
    QVariantMap getNetworkDetails() override;
    int getCurrentChannel() override;
    void interfaceAdded() override;
    void interfaceRemoved() override;

signals:
    // Emitted by the worker when the supplicant should be opened (on the main thread).
    void tryStartSupplicant();

private slots:
    void on_propertiesChanged(const QVariantMap &properties);
    void on_scanDone(bool success);
    void on_wpsEvent(const QString &name, const QVariantMap &args);
    void on_wpsCredentials(const QVariantMap &credentials);
    void on_bssAdded(const QDBusObjectPath &path, const QVariantMap &properties);
    void on_bssRemoved(const QDBusObjectPath &path);
    void on_bssSignalUpdated(const QDBusObjectPath &path);
    void on_bssReread(const QDBusObjectPath &path);
    void on_logicThread_finished();
    void on_networkTempDisabled(const QVariantMap &args);
    void on_scanTimer_timeout();
    void on_serviceOwnerChanged(const QString &service, const QString &oldOwner, const QString &newOwner);
    void startSupplicant();

private:
    friend class WpaSupplicantThread;

    void enqueue(const QVariant &message);
    void assertMainThread() const;
    void assertWorkerThread() const;

    // Worker thread.
    void logicLoop();
    QVariant dequeue();
    QVariant dequeue(qint64 deadlineMs);
    bool hasSupplicant();
    void flushStaleStateMessages();
    void shutdownSupplicant();
    void dropSupplicant();
    void followSupplicantRestart(const SupplicantMessage::SupplicantOwnerChanged &change, bool interfacePresent,
                                 bool haveNetworks);
    void configure(const QSet<WirelessNetwork> &networks);
    bool waitForConnection(const QHash<QString, Ssid> &networkPaths);
    bool stayConnected();
    void waitForDisconnection();
    void removeNetworksAndDisconnect();
    void disconnectSupplicant();
    void runWpsSession(const QString &pin);

    // Main thread: BSS monitors are released through the event loop, except while this object dies.
    QSharedPointer<BssMonitor> makeMonitor(const QDBusObjectPath &path);
    void releaseRetiredMonitors();

    QHash<QString, QSharedPointer<BssMonitor>> m_bssTable;
    QList<ApDescription> m_currentAps;
    SupplicantMessageQueue m_queue;
    WpaSupplicantThread *m_logicThread;
    FiW1WpaSupplicant1 *m_supplicant = nullptr;
    FiW1WpaSupplicant1Interface *m_supplicantInterface = nullptr;
    FiW1WpaSupplicant1Wps *m_supplicantWPS = nullptr;
    bool waitingForDisconnect = false;
    bool scanRequested = false;
    bool scanInProgress = false;
    QTimer *scanTimer;
    // Tells the worker when wpa_supplicant leaves the bus or comes back (a restart).
    QDBusServiceWatcher *m_serviceWatcher;
    // Monitors dropped by a shutdown on the worker, released later on the main thread.
    QHash<QString, QSharedPointer<BssMonitor>> m_retiredMonitors;
    bool m_destroying = false;
    // Main thread: WRONG_KEY derived from state updates when the supplicant lacks NetworkTempDisabled.
    WrongKeyDetector m_wrongKeyDetector;
    bool m_derivesWrongKey = false;
};
