#include "WpaSupplicantThread.h"

#include "LogHandler.h"
#include "SupplicantMessages.h"
#include "SupplicantWpaSupplicant.h"
#include "fi_w1_wpa_supplicant1_Interface.h"
#include "fi_w1_wpa_supplicant1_Network.h"

#include <QDBusConnection>

using namespace SupplicantMessage;

WpaSupplicantThread::WpaSupplicantThread(WpaSupplicant *owner)
    : QThread(owner)
    , m_owner(owner)
{
}

void WpaSupplicantThread::run()
{
    m_owner->logicLoop();
}

QVariant WpaSupplicant::dequeue()
{
    assertWorkerThread();
    return m_queue.dequeue();
}

QVariant WpaSupplicant::dequeue(qint64 deadlineMs)
{
    assertWorkerThread();
    return m_queue.dequeue(deadlineMs);
}

bool WpaSupplicant::hasSupplicant()
{
    assertWorkerThread();
    std::lock_guard<std::mutex> lock(m_queue.mutex());
    return m_supplicant != nullptr;
}

void WpaSupplicant::flushStaleStateMessages()
{
    assertWorkerThread();
    // Lets the reports of what happened before this point arrive, then forgets them.
    QThread::msleep(StaleStateSettleMs);
    m_queue.removeStateMessages();
}

void WpaSupplicant::logicLoop()
{
    assertWorkerThread();
    QSet<WirelessNetwork> configuredNetworks;
    bool interfacePresent = true;
    emit tryStartSupplicant();
    for (;;) {
        if (hasSupplicant() && !configuredNetworks.isEmpty() && !m_queue.isPending()) {
            kivInfo() << "Have supplicant & configured networks, trying to connect";
            configure(configuredNetworks);
            continue;
        }
        const QVariant message = dequeue();
        kivDebug() << "Got message in main loop";
        if (is<InterfaceAdded>(message)) {
            interfacePresent = true;
            if (!hasSupplicant()) {
                kivInfo() << "Got interface added message, starting supplicant";
                emit tryStartSupplicant();
            }
        } else if (is<InterfaceRemoved>(message)) {
            kivInfo() << "Got interface removed message, stopping supplicant";
            interfacePresent = false;
            shutdownSupplicant();
        } else if (is<Enable>(message)) {
            kivInfo() << "Got new networks";
            configuredNetworks = message.value<Enable>().networks;
            if (hasSupplicant())
                configure(configuredNetworks);
        } else if (is<Disable>(message)) {
            kivInfo() << "Got disable command";
            configuredNetworks.clear();
            emit disabled();
        } else if (is<Quit>(message)) {
            kivInfo() << "Got quit command";
            shutdownSupplicant();
            return;
        } else if (is<StartWpsPbc>(message)) {
            runWpsSession(QString());
        } else if (is<StartWpsPin>(message)) {
            runWpsSession(message.value<StartWpsPin>().pin);
        } else if (is<SupplicantOwnerChanged>(message)) {
            followSupplicantRestart(message.value<SupplicantOwnerChanged>(), interfacePresent, !configuredNetworks.isEmpty());
        } else if (is<SupplicantStarted>(message)) {
            if (hasSupplicant()) {
                waitForDisconnection();
                flushStaleStateMessages();
            }
        }
    }
}

void WpaSupplicant::followSupplicantRestart(const SupplicantOwnerChanged &change, bool interfacePresent,
                                            bool haveNetworks)
{
    assertWorkerThread();
    if (change.lost && hasSupplicant()) {
        kivInfo() << "wpa_supplicant left the bus, dropping its interface";
        dropSupplicant();
        // Any association went with it; the controller waits for the next one.
        if (haveNetworks) {
            kivInfo() << "Association lost with wpa_supplicant, waiting for a new connection";
            emit configured();
        }
    }
    if (change.available && interfacePresent && !hasSupplicant()) {
        kivInfo() << "wpa_supplicant is on the bus, opening its interface again";
        emit tryStartSupplicant();
    }
}

void WpaSupplicant::configure(const QSet<WirelessNetwork> &networks)
{
    assertWorkerThread();
    Q_ASSERT(networks.size() > 0);
    flushStaleStateMessages();
    kivInfo() << "Configuring supplicant with " << networks.size() << " network(s)";

    QDBusPendingReply<> removed = m_supplicantInterface->RemoveAllNetworks();
    removed.waitForFinished();
    if (removed.isError()) {
        kivCritical() << "Remove networks request failed: " << removed.error().message();
        return;
    }

    QHash<QString, Ssid> networkPaths;
    for (const WirelessNetwork &network : networks) {
        QDBusPendingReply<QDBusObjectPath> added = m_supplicantInterface->AddNetwork(network.toSupplicantProperties());
        added.waitForFinished();
        if (added.isError()) {
            kivCritical() << "Add networks request failed: " << added.error().message();
            waitForDisconnection();
            return;
        }
        const QString path = added.value().path();
        networkPaths.insert(path, network.ssid());
        FiW1WpaSupplicant1Network networkObject(WpaSupplicantTypes::service, path, QDBusConnection::systemBus());
        networkObject.setEnabled(true);
        kivInfo() << "Added network: ssid: " << network.ssid() << " dbus path: " << path;
    }

    for (;;) {
        emit configured();
        if (!waitForConnection(networkPaths))
            return;
        kivInfo() << "Got connected from supplicant";
        emit connected();
        if (!stayConnected())
            return;
    }
}

bool WpaSupplicant::waitForConnection(const QHash<QString, Ssid> &networkPaths)
{
    for (;;) {
        const QVariant message = dequeue();
        kivDebug() << "Got message in waiting for connection loop";
        if (is<Connected>(message))
            return true;
        if (is<NetworkTempDisabled>(message)) {
            kivInfo() << "Got NetworkTempDisabled message";
            const NetworkTempDisabled disabledNetwork = message.value<NetworkTempDisabled>();
            const auto found = networkPaths.constFind(disabledNetwork.network.path());
            if (found == networkPaths.cend())
                kivCritical() << "Object path in NetworkTempDisabled isn't a configured network, ignoring!";
            else
                emit authError(found.value(), disabledNetwork.reason);
            continue;
        }
        if (isStateMessage(message))
            continue;
        m_queue.defer(message);
        waitForDisconnection();
        return false;
    }
}

bool WpaSupplicant::stayConnected()
{
    for (;;) {
        const QVariant message = dequeue();
        kivDebug() << "Got message in connected loop";
        if (is<Disconnected>(message)) {
            kivInfo() << "Got disconnected from supplicant";
            return true;
        }
        if (isStateMessage(message))
            continue;
        kivInfo() << "Got command, disconnecting and returning to main supplicant loop";
        m_queue.defer(message);
        waitForDisconnection();
        return false;
    }
}

void WpaSupplicant::disconnectSupplicant()
{
    QDBusPendingReply<> reply = m_supplicantInterface->Disconnect();
    reply.waitForFinished();
    if (reply.isError())
        kivWarning() << "Couldn't disconnect while waiting for disconnection: " << reply.error().message();
}

void WpaSupplicant::removeNetworksAndDisconnect()
{
    // Networks go first: wpa_supplicant refuses to reconnect after a Disconnect while associated.
    QDBusPendingReply<> reply = m_supplicantInterface->RemoveAllNetworks();
    reply.waitForFinished();
    if (reply.isError())
        kivWarning() << "Couldn't remove networks while waiting for disconnection: " << reply.error().message();
    disconnectSupplicant();
}

void WpaSupplicant::waitForDisconnection()
{
    assertWorkerThread();
    {
        std::lock_guard<std::mutex> lock(m_queue.mutex());
        waitingForDisconnect = true;
    }
    const qint64 deadline = SupplicantMessageQueue::monotonicMs() + DisconnectWaitMs;
    kivInfo() << "Waiting for supplicant to become inactive/disconnected";
    removeNetworksAndDisconnect();

    QString state = m_supplicantInterface->state();
    while (state != QLatin1String("disconnected") && state != QLatin1String("inactive") && !state.isEmpty()) {
        kivInfo() << "Supplicant is not disconnected or inactive, waiting for a state update";
        const QVariant message = dequeue(deadline);
        if (!message.isValid()) {
            kivWarning() << "Gave up waiting for supplicant to disconnect/become inactive, continuing anyway...";
            break;
        }
        kivDebug() << "Got message while waiting for disconnected/inactive loop";
        if (is<Disconnected>(message) || is<Inactive>(message)) {
            kivInfo() << "Supplicant has reached disconnected/inactive state";
            break;
        }
        if (!isStateMessage(message))
            m_queue.defer(message);
        disconnectSupplicant();
        state = m_supplicantInterface->state();
    }

    {
        std::lock_guard<std::mutex> lock(m_queue.mutex());
        waitingForDisconnect = false;
        if (scanRequested && !scanInProgress) {
            scanRequested = false;
            kivInfo() << "Queuing scan after it was inhibited during disconnect wait";
            QMetaObject::invokeMethod(this, "scan", Qt::QueuedConnection);
        }
    }
    m_queue.requeueDeferred();
}
