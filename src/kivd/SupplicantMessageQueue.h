#pragma once

#include <QVariant>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

// The locked FIFO between the main thread (the only producer) and the supplicant worker (the only
// consumer), with a side list where the worker puts messages aside and later returns them to the
// front. The lock is a standard mutex so that thread checkers see every hand-over.
class SupplicantMessageQueue
{
public:
    // The queue's lock; the supplicant also guards its proxies, BSS table and scan flags with it.
    std::mutex &mutex() { return m_mutex; }

    // Appends at the back and wakes the consumer.
    void enqueue(const QVariant &message);

    // Takes the front message, waiting as long as the queue is empty.
    QVariant dequeue();

    // Takes the front message, waiting at most until the deadline (milliseconds on the monotonic
    // clock); the invalid QVariant when nothing came in time. A queued message is returned even
    // when the deadline has passed.
    QVariant dequeue(qint64 deadlineMs);

    bool isPending();

    // Drops every state message; commands stay in their order.
    void removeStateMessages();

    // Puts a message aside (consumer only, no lock).
    void defer(const QVariant &message);

    // Returns the messages put aside to the front, in the order they were deferred.
    void requeueDeferred();

    // Milliseconds on the monotonic clock.
    static qint64 monotonicMs();

private:
    std::mutex m_mutex;
    std::condition_variable m_messageAvailable;
    std::deque<QVariant> m_messages;
    std::vector<QVariant> m_deferred;
};
