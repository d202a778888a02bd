#include "SupplicantWpaSupplicant.h"

#include "BssMonitor.h"
#include "KivCommon.h"
#include "LogHandler.h"
#include "fi_w1_wpa_supplicant1_Interface.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QStringList>
#include <QTimer>

namespace {

// wpa_supplicant answers SignalPoll with its a{sv} wrapped in a variant, although its interface
// description promises a plain a{sv}: both forms are accepted.
QVariantMap signalPollValues(const QDBusMessage &reply)
{
    if (reply.arguments().isEmpty())
        return QVariantMap();
    QVariant value = reply.arguments().constFirst();
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value.toMap();
}

} // namespace

void WpaSupplicant::scan()
{
    assertMainThread();
    std::unique_lock<std::mutex> lock(m_queue.mutex());
    if (!m_supplicantInterface) {
        lock.unlock();
        kivWarning() << "Scan requested, but the supplicant is not available, emitting empty results";
        emit scanResults(QList<ApDescription>());
        return;
    }
    if (waitingForDisconnect) {
        kivInfo() << "Scan is currently inhibited, setting scan requested flag";
        scanRequested = true;
        return;
    }
    if (scanInProgress)
        return;

    const QVariantMap args {{QStringLiteral("Type"), QStringLiteral("active")}, {QStringLiteral("AllowRoam"), true}};
    kivInfo() << "Starting scan";
    QDBusPendingReply<> reply = m_supplicantInterface->Scan(args);
    reply.waitForFinished();
    if (reply.isError()) {
        kivCritical() << "Scan request failed: " << reply.error().message();
        QMetaObject::invokeMethod(this, "on_scanDone", Qt::QueuedConnection, Q_ARG(bool, false));
        return;
    }
    scanInProgress = true;
    scanTimer->start();
}

void WpaSupplicant::on_scanDone(bool success)
{
    assertMainThread();
    QList<ApDescription> results;
    {
        std::lock_guard<std::mutex> lock(m_queue.mutex());
        if (!success) {
            QStringList current;
            for (const ApDescription &ap : qAsConst(m_currentAps)) {
                QString text;
                QDebug(&text) << ap;
                current.append(text);
            }
            kivWarning() << "on_scanDone: scan failed, emitting current scan results anyway: "
                         << current.join(QStringLiteral(", "));
        }
        scanInProgress = false;
        scanTimer->stop();
        for (const ApDescription &ap : qAsConst(m_currentAps)) {
            if (ap.isValid())
                results.append(ap);
        }
    }
    kivInfo() << "Scan finished, emitting " << results.size() << " results";
    emit scanResults(results);
}

void WpaSupplicant::on_scanTimer_timeout()
{
    kivWarning() << "Scan timer timeout exceeded, emitting previous results";
    on_scanDone(false);
}

void WpaSupplicant::on_bssAdded(const QDBusObjectPath &path, const QVariantMap &)
{
    assertMainThread();
    const QSharedPointer<BssMonitor> monitor = makeMonitor(path);
    const ApDescription description = monitor->description();
    if (!description.isValid())
        return;
    kivDebug() << "Adding BSS path: " << path.path();
    KivCommon::connect(monitor.data(), SIGNAL(bssReread(QDBusObjectPath)), this, SLOT(on_bssReread(QDBusObjectPath)));
    KivCommon::connect(monitor.data(), SIGNAL(bssSignalUpdated(QDBusObjectPath)), this,
                       SLOT(on_bssSignalUpdated(QDBusObjectPath)));
    std::lock_guard<std::mutex> lock(m_queue.mutex());
    m_bssTable.insert(path.path(), monitor);
    m_currentAps.append(description);
}

void WpaSupplicant::on_bssRemoved(const QDBusObjectPath &path)
{
    assertMainThread();
    kivDebug() << "Removing BSS path: " << path.path();
    QSharedPointer<BssMonitor> monitor;
    {
        std::lock_guard<std::mutex> lock(m_queue.mutex());
        monitor = m_bssTable.take(path.path());
        if (monitor)
            m_currentAps.removeAll(monitor->description());
    }
}

void WpaSupplicant::on_bssReread(const QDBusObjectPath &path)
{
    kivDebug() << "Rereading BSS path: " << path.path();
    on_bssRemoved(path);
    on_bssAdded(path, QVariantMap());
}

void WpaSupplicant::on_bssSignalUpdated(const QDBusObjectPath &path)
{
    assertMainThread();
    kivDebug() << "Updating signal for: " << path.path();
    std::lock_guard<std::mutex> lock(m_queue.mutex());
    const QSharedPointer<BssMonitor> monitor = m_bssTable.value(path.path());
    if (!monitor)
        return;
    const ApDescription description = monitor->description();
    const int index = m_currentAps.indexOf(description);
    if (index >= 0)
        m_currentAps.replace(index, description);
}

int WpaSupplicant::getCurrentChannel()
{
    assertMainThread();
    QSharedPointer<BssMonitor> monitor;
    {
        std::lock_guard<std::mutex> lock(m_queue.mutex());
        if (m_supplicantInterface && !m_bssTable.isEmpty())
            monitor = m_bssTable.value(m_supplicantInterface->currentBSS().path());
    }
    return monitor ? BssMonitor::frequencyToChannel(monitor->liveFrequency()) : 0;
}

QVariantMap WpaSupplicant::getNetworkDetails()
{
    assertMainThread();
    QVariantMap details;
    std::lock_guard<std::mutex> lock(m_queue.mutex());
    if (!m_supplicantInterface)
        return details;
    const QString path = m_supplicantInterface->currentBSS().path();
    if (path.isEmpty() || path == QLatin1String("/")) {
        kivDebug() << "Not connected, can't return any network details yet";
        return details;
    }
    const QDBusMessage pollReply = m_supplicantInterface->call(QStringLiteral("SignalPoll"));
    QVariantMap poll;
    if (pollReply.type() == QDBusMessage::ErrorMessage)
        kivCritical() << "SignalPoll method call to wpa_supplicant failed: " << pollReply.errorMessage();
    else
        poll = signalPollValues(pollReply);

    const QSharedPointer<BssMonitor> monitor = m_bssTable.value(path);
    if (!monitor) {
        kivCritical() << "Tried to retrive details from current network, but it's not an active BSS!";
        return details;
    }
    const ApDescription description = monitor->description();
    QString encryption = m_supplicantInterface->currentAuthMode();
    if (encryption == QLatin1String("NONE") && monitor->livePrivacy())
        encryption = QStringLiteral("wep");
    const uint frequency = poll.value(QStringLiteral("frequency")).toUInt();
    details.insert(QStringLiteral("Ssid"), description.ssid().toString());
    details.insert(QStringLiteral("Bssid"), description.bssid().toString());
    details.insert(QStringLiteral("Encryption"), encryption);
    details.insert(QStringLiteral("Signal"), poll.value(QStringLiteral("rssi")).toInt());
    details.insert(QStringLiteral("Frequency"), frequency);
    details.insert(QStringLiteral("Channel"), BssMonitor::frequencyToChannel(int(frequency)));
    return details;
}
