#include "SupplicantWpaSupplicant.h"

#include "BssMonitor.h"
#include "KivCommon.h"
#include "KivProcess.h"
#include "LogHandler.h"
#include "SupplicantMessages.h"
#include "SupplicantTypes.h"
#include "WpaSupplicantThread.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_Interface.h"
#include "fi_w1_wpa_supplicant1_WPS.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QThread>
#include <QTimer>

namespace {

const QString supplicantPath = QStringLiteral("/fi/w1/wpa_supplicant1");

} // namespace

WpaSupplicant::WpaSupplicant(QObject *parent, const QString &interfaceName)
    : Supplicant(parent, interfaceName)
    , m_logicThread(new WpaSupplicantThread(this))
    , scanTimer(new QTimer(this))
    , m_serviceWatcher(new QDBusServiceWatcher(WpaSupplicantTypes::service, QDBusConnection::systemBus(),
                                               QDBusServiceWatcher::WatchForOwnerChange, this))
{
    registerSupplicantMetaTypes();
    SupplicantMessage::registerTypes();
    scanTimer->setSingleShot(true);
    scanTimer->setInterval(ScanTimeoutMs);
    // A coarse timer may fire 5% early.
    scanTimer->setTimerType(Qt::PreciseTimer);
    KivCommon::connect(scanTimer, SIGNAL(timeout()), this, SLOT(on_scanTimer_timeout()));
    KivCommon::connect(this, SIGNAL(tryStartSupplicant()), this, SLOT(startSupplicant()));
    KivCommon::connect(m_logicThread, SIGNAL(finished()), this, SLOT(on_logicThread_finished()));
    KivCommon::connect(m_serviceWatcher, SIGNAL(serviceOwnerChanged(QString, QString, QString)), this,
                       SLOT(on_serviceOwnerChanged(QString, QString, QString)));
    m_logicThread->start(QThread::InheritPriority);
}

WpaSupplicant::~WpaSupplicant()
{
    KivCommon::disconnect(m_logicThread, SIGNAL(finished()), this, SLOT(on_logicThread_finished()));
    enqueue(SupplicantMessage::make<SupplicantMessage::Quit>());
    if (!m_logicThread->wait(ThreadStopMs)) {
        kivCritical() << "Supplicant logic worker thread did not finish when requested!";
        kivAbort();
    }
    m_destroying = true;
    m_retiredMonitors.clear();
    m_bssTable.clear();
}

void WpaSupplicant::assertMainThread() const
{
    Q_ASSERT(QThread::currentThread() == thread());
}

void WpaSupplicant::assertWorkerThread() const
{
    Q_ASSERT(QThread::currentThread() == m_logicThread);
}

void WpaSupplicant::enqueue(const QVariant &message)
{
    assertMainThread();
    m_queue.enqueue(message);
}

bool WpaSupplicant::enable(const QSet<WirelessNetwork> &networks)
{
    assertMainThread();
    if (networks.isEmpty()) {
        kivDebug() << "Disabling supplicant as the list of networks to use is empty";
        enqueue(SupplicantMessage::make<SupplicantMessage::Disable>());
        return true;
    }
    kivDebug() << "Adding list of " << networks.size() << " network(s)";
    enqueue(SupplicantMessage::make(SupplicantMessage::Enable {networks}));
    return true;
}

bool WpaSupplicant::disable()
{
    assertMainThread();
    kivInfo() << "Disabling supplicant";
    enqueue(SupplicantMessage::make<SupplicantMessage::Disable>());
    return true;
}

bool WpaSupplicant::wpsPbc()
{
    assertMainThread();
    kivInfo() << "Starting WPS PBC request";
    enqueue(SupplicantMessage::make<SupplicantMessage::StartWpsPbc>());
    return true;
}

bool WpaSupplicant::wpsPin(const QString &pin)
{
    assertMainThread();
    kivInfo() << "Starting WPS PIN request with PIN " << pin;
    enqueue(SupplicantMessage::make(SupplicantMessage::StartWpsPin {pin}));
    return true;
}

void WpaSupplicant::interfaceAdded()
{
    assertMainThread();
    kivInfo() << "Interface added...";
    enqueue(SupplicantMessage::make<SupplicantMessage::InterfaceAdded>());
}

void WpaSupplicant::interfaceRemoved()
{
    assertMainThread();
    kivInfo() << "Interface removed...";
    enqueue(SupplicantMessage::make<SupplicantMessage::InterfaceRemoved>());
}

void WpaSupplicant::startSupplicant()
{
    assertMainThread();
    std::unique_lock<std::mutex> lock(m_queue.mutex());
    // Two start requests can cross (the first start and an interface added right after it).
    if (m_supplicant) {
        kivDebug() << "wpa_supplicant is already open";
        return;
    }
    Q_ASSERT(!m_supplicantInterface);
    Q_ASSERT(!m_supplicantWPS);

    kivInfo() << "Initialising wpa_supplicant";
    const QDBusConnection bus = QDBusConnection::systemBus();
    m_supplicant = new FiW1WpaSupplicant1(WpaSupplicantTypes::service, supplicantPath, bus, this);

    kivDebug() << "Adding interface to wpa_supplicant";
    const QVariantMap args {{QStringLiteral("Ifname"), interfaceName()}, {QStringLiteral("Driver"), QStringLiteral("nl80211")}};
    QDBusPendingReply<QDBusObjectPath> reply = m_supplicant->CreateInterface(args);
    reply.waitForFinished();
    if (reply.isError() && reply.error().name() == QLatin1String("fi.w1.wpa_supplicant1.InterfaceExists")) {
        reply = m_supplicant->GetInterface(interfaceName());
        reply.waitForFinished();
        if (reply.isError()) {
            kivCritical() << "Couldn't get interface " << interfaceName() << " due to error: " << reply.error().name();
            m_supplicant->deleteLater();
            m_supplicant = nullptr;
            return;
        }
    } else if (reply.isError()) {
        kivCritical() << "Couldn't create interface " << interfaceName() << " due to error: " << reply.error().name();
        m_supplicant->deleteLater();
        m_supplicant = nullptr;
        return;
    }
    const QString path = reply.value().path();

    m_supplicantInterface = new FiW1WpaSupplicant1Interface(WpaSupplicantTypes::service, path, bus, this);
    KivCommon::connect(m_supplicantInterface, SIGNAL(PropertiesChanged(QVariantMap)), this,
                       SLOT(on_propertiesChanged(QVariantMap)));
    KivCommon::connect(m_supplicantInterface, SIGNAL(BSSAdded(QDBusObjectPath, QVariantMap)), this,
                       SLOT(on_bssAdded(QDBusObjectPath, QVariantMap)));
    KivCommon::connect(m_supplicantInterface, SIGNAL(BSSRemoved(QDBusObjectPath)), this,
                       SLOT(on_bssRemoved(QDBusObjectPath)));
    KivCommon::connect(m_supplicantInterface, SIGNAL(ScanDone(bool)), this, SLOT(on_scanDone(bool)));
    KivCommon::connect(m_supplicantInterface, SIGNAL(NetworkTempDisabled(QVariantMap)), this,
                       SLOT(on_networkTempDisabled(QVariantMap)));
    const QDBusMessage introspection = bus.call(QDBusMessage::createMethodCall(
        WpaSupplicantTypes::service, path, QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect")));
    m_derivesWrongKey = introspection.type() == QDBusMessage::ReplyMessage
                        && !introspection.arguments().value(0).toString().contains(QLatin1String("\"NetworkTempDisabled\""));
    m_wrongKeyDetector = WrongKeyDetector();
    if (m_derivesWrongKey)
        kivInfo() << "wpa_supplicant has no NetworkTempDisabled signal, rejected keys are told from its states";
    kivDebug() << "Opened wpa_supplicant interface to " << m_supplicantInterface->ifname();

    m_supplicantWPS = new FiW1WpaSupplicant1Wps(WpaSupplicantTypes::service, path, bus, this);
    KivCommon::connect(m_supplicantWPS, SIGNAL(Event(QString, QVariantMap)), this, SLOT(on_wpsEvent(QString, QVariantMap)));
    KivCommon::connect(m_supplicantWPS, SIGNAL(Credentials(QVariantMap)), this, SLOT(on_wpsCredentials(QVariantMap)));

    lock.unlock();
    enqueue(SupplicantMessage::make<SupplicantMessage::SupplicantStarted>());
}

void WpaSupplicant::on_serviceOwnerChanged(const QString &, const QString &oldOwner, const QString &newOwner)
{
    kivInfo() << "wpa_supplicant bus name owner changed from " << oldOwner << " to " << newOwner;
    enqueue(SupplicantMessage::make(SupplicantMessage::SupplicantOwnerChanged {!oldOwner.isEmpty(), !newOwner.isEmpty()}));
}

void WpaSupplicant::shutdownSupplicant()
{
    assertWorkerThread();
    kivInfo() << "Shutdown wpa_supplicant";
    dropSupplicant();
    KivProcess::execute(QStringLiteral("killall"), {QStringLiteral("wpa_supplicant")});
}

void WpaSupplicant::dropSupplicant()
{
    assertWorkerThread();
    {
        std::lock_guard<std::mutex> lock(m_queue.mutex());
        const QList<QObject *> proxies {m_supplicant, m_supplicantInterface, m_supplicantWPS};
        for (QObject *proxy : proxies) {
            if (proxy) {
                proxy->disconnect(this);
                proxy->deleteLater();
            }
        }
        for (const QSharedPointer<BssMonitor> &monitor : qAsConst(m_bssTable)) {
            monitor->disconnect(this);
            m_retiredMonitors.insert(monitor->path().path(), monitor);
        }
        m_bssTable.clear();
        m_currentAps.clear();
        m_supplicant = nullptr;
        m_supplicantInterface = nullptr;
        m_supplicantWPS = nullptr;
    }
    // The monitors belong to the main thread; they are released there.
    QMetaObject::invokeMethod(this, &WpaSupplicant::releaseRetiredMonitors, Qt::QueuedConnection);
    emit scanResults(QList<ApDescription>());
}

void WpaSupplicant::releaseRetiredMonitors()
{
    assertMainThread();
    QHash<QString, QSharedPointer<BssMonitor>> retired;
    {
        std::lock_guard<std::mutex> lock(m_queue.mutex());
        retired.swap(m_retiredMonitors);
    }
}

QSharedPointer<BssMonitor> WpaSupplicant::makeMonitor(const QDBusObjectPath &path)
{
    // A monitor may be dropped while it emits (a reread), so it normally goes through the event loop.
    return QSharedPointer<BssMonitor>(new BssMonitor(path), [this](BssMonitor *monitor) {
        if (m_destroying)
            delete monitor;
        else
            monitor->deleteLater();
    });
}

void WpaSupplicant::on_logicThread_finished()
{
    assertMainThread();
    kivCritical() << "Logic thread finished unexpectedly!";
    kivAbort();
}

void WpaSupplicant::on_propertiesChanged(const QVariantMap &properties)
{
    kivDebug() << "Got " << properties.size() << " properties from supplicant";
    const QString rejected = m_derivesWrongKey ? m_wrongKeyDetector.update(properties) : QString();
    if (!rejected.isEmpty()) {
        kivInfo() << "The access point broke off the 4-way handshake of " << rejected << ", reporting WRONG_KEY";
        enqueue(SupplicantMessage::make(SupplicantMessage::NetworkTempDisabled {QDBusObjectPath(rejected), QStringLiteral("WRONG_KEY")}));
    }
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        kivDebug() << "Received property update: " << it.key() << "=" << it.value().toString();
        if (it.key() != QLatin1String("State"))
            continue;
        const QString state = it.value().toString();
        if (state == QLatin1String("completed"))
            enqueue(SupplicantMessage::make<SupplicantMessage::Connected>());
        else if (state == QLatin1String("inactive"))
            enqueue(SupplicantMessage::make<SupplicantMessage::Inactive>());
        else if (state == QLatin1String("disconnected"))
            enqueue(SupplicantMessage::make<SupplicantMessage::Disconnected>());
    }
}

void WpaSupplicant::on_networkTempDisabled(const QVariantMap &args)
{
    kivInfo() << "Got network temporarily disabled: " << args;
    const QDBusObjectPath network = args.value(QStringLiteral("network")).value<QDBusObjectPath>();
    const QString reason = args.value(QStringLiteral("reason")).toString();
    if (network.path().isEmpty() || reason.isEmpty()) {
        kivCritical() << "Couldn't extract network data from NetworkTempDisabled signal!";
        return;
    }
    enqueue(SupplicantMessage::make(SupplicantMessage::NetworkTempDisabled {network, reason}));
}
