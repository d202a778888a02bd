#include "SupplicantMessageQueue.h"

#include "LogHandler.h"
#include "SupplicantMessages.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>

void SupplicantMessageQueue::enqueue(const QVariant &message)
{
    kivDebug() << "Enqueuing a message...";
    std::lock_guard<std::mutex> lock(m_mutex);
    // A new network list replaces those queued since the last other command: a burst of mode
    // changes then costs one configuration, not one per change.
    if (SupplicantMessage::isNetworkCommand(message)) {
        for (auto it = m_messages.end(); it != m_messages.begin();) {
            --it;
            if (SupplicantMessage::isNetworkCommand(*it))
                it = m_messages.erase(it);
            else if (!SupplicantMessage::isStateMessage(*it))
                break;
        }
    }
    m_messages.push_back(message);
    m_messageAvailable.notify_one();
    kivDebug() << "Message enqueued";
}

QVariant SupplicantMessageQueue::dequeue()
{
    kivDebug() << "Waiting to dequeue a message...";
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_messages.empty())
        m_messageAvailable.wait(lock);
    QVariant message = m_messages.front();
    m_messages.pop_front();
    kivDebug() << "Message dequeued";
    return message;
}

QVariant SupplicantMessageQueue::dequeue(qint64 deadlineMs)
{
    kivDebug() << "Waiting to dequeue a message...";
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_messages.empty()) {
        const qint64 remainingMs = deadlineMs - monotonicMs();
        if (remainingMs < 1) {
            kivDebug() << "Timed out waiting to dequeue a message";
            return QVariant();
        }
        Q_ASSERT(remainingMs < INT_MAX);
        m_messageAvailable.wait_for(lock, std::chrono::milliseconds(remainingMs));
    }
    QVariant message = m_messages.front();
    m_messages.pop_front();
    kivDebug() << "Message dequeued";
    return message;
}

bool SupplicantMessageQueue::isPending()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_messages.empty();
}

void SupplicantMessageQueue::removeStateMessages()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.erase(std::remove_if(m_messages.begin(), m_messages.end(), &SupplicantMessage::isStateMessage),
                     m_messages.end());
}

void SupplicantMessageQueue::defer(const QVariant &message)
{
    m_deferred.push_back(message);
}

void SupplicantMessageQueue::requeueDeferred()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_messages.insert(m_messages.begin(), m_deferred.begin(), m_deferred.end());
    m_deferred.clear();
}

qint64 SupplicantMessageQueue::monotonicMs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
