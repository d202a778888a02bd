// The supplicant's message queue: names and kinds of the messages, order, deadlines, the
// stale-state flush and deferral. The hand-over between threads is tsan_supplicantmessagequeue.
#include "SupplicantMessageQueue.h"
#include "SupplicantMessages.h"

#include <QtTest>

using namespace SupplicantMessage;

namespace {

QString nameOf(const QVariant &message)
{
    return QString::fromLatin1(message.typeName());
}

// Everything queued, front first, without waiting.
QStringList drain(SupplicantMessageQueue &queue)
{
    QStringList names;
    for (QVariant message = queue.dequeue(0); message.isValid(); message = queue.dequeue(0))
        names.append(nameOf(message));
    return names;
}

QVariant messageNamed(const QString &name)
{
    const QHash<QString, QVariant> all {
        {"Enable", make(Enable {{WirelessNetwork(Ssid::fromString("Home"), SecurityType::Unsecured)}})},
        {"Disable", make<Disable>()},
        {"StartWpsPbc", make<StartWpsPbc>()},
        {"StartWpsPin", make(StartWpsPin {"12345670"})},
        {"Quit", make<Quit>()},
        {"InterfaceAdded", make<InterfaceAdded>()},
        {"InterfaceRemoved", make<InterfaceRemoved>()},
        {"SupplicantOwnerChanged", make(SupplicantOwnerChanged {true, false})},
        {"Connected", make<Connected>()},
        {"Disconnected", make<Disconnected>()},
        {"Inactive", make<Inactive>()},
        {"NetworkTempDisabled", make(NetworkTempDisabled {QDBusObjectPath("/n/0"), "WRONG_KEY"})},
        {"WpsCredentials", make(WpsCredentials {WirelessNetwork(Ssid::fromString("Home"), SecurityType::Unsecured)})},
        {"WpsFinished", make<WpsFinished>()},
        {"WpsErrored", make(WpsErrored {"18"})},
        {"SupplicantStarted", make<SupplicantStarted>()},
    };
    return all.value(name);
}

} // namespace

class TestSupplicantMessageQueue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { registerTypes(); }

    void messagesLeaveInArrivalOrderWithTheirPayloads()
    {
        SupplicantMessageQueue queue;
        QVERIFY(!queue.isPending());
        const WirelessNetwork home(Ssid::fromString("Home"), SecurityType::WpaPsk, "secret123", 3);
        queue.enqueue(make(Enable {{home}}));
        for (const char *name : {"Connected", "Quit", "Disable"})
            queue.enqueue(messageNamed(name));
        QVERIFY(queue.isPending());
        const QVariant enable = queue.dequeue();
        QVERIFY(is<Enable>(enable) && !is<Disable>(enable));
        QCOMPARE(enable.value<Enable>().networks, QSet<WirelessNetwork> {home});
        QCOMPARE(drain(queue), QStringList({"WpaSupplicant::Connected", "WpaSupplicant::Quit", "WpaSupplicant::Disable"}));
        QVERIFY(!queue.isPending());
    }

    void pastDeadlineGivesInvalidOnlyWhenEmpty()
    {
        SupplicantMessageQueue queue;
        const qint64 past = SupplicantMessageQueue::monotonicMs() - 5000;
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!queue.dequeue(past).isValid());
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));

        queue.enqueue(make<Inactive>());
        QVERIFY(is<Inactive>(queue.dequeue(past)));
        QVERIFY(!queue.dequeue(past).isValid());
    }

    void deadlineWaitGivesUpAtTheDeadline()
    {
        SupplicantMessageQueue queue;
        QElapsedTimer timer;
        timer.start();
        const qint64 deadline = SupplicantMessageQueue::monotonicMs() + 150;
        QVERIFY(!queue.dequeue(deadline).isValid());
        QVERIFY(SupplicantMessageQueue::monotonicMs() >= deadline - 1);
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
    }

    void newNetworkListReplacesThoseQueuedSinceTheLastOtherCommand()
    {
        SupplicantMessageQueue queue;
        const WirelessNetwork cafe(Ssid::fromString("Cafe"), SecurityType::Unsecured);
        for (const char *name : {"Enable", "StartWpsPbc", "Enable", "Connected", "Disable"})
            queue.enqueue(messageNamed(name));
        queue.enqueue(make(Enable {{cafe}}));
        QCOMPARE(queue.dequeue().typeName(), "WpaSupplicant::Enable");
        QCOMPARE(queue.dequeue().typeName(), "WpaSupplicant::StartWpsPbc");
        QCOMPARE(queue.dequeue().typeName(), "WpaSupplicant::Connected");
        QCOMPARE(queue.dequeue().value<Enable>().networks, QSet<WirelessNetwork> {cafe});
        QVERIFY(!queue.isPending());
    }

    void flushDropsTheEightStateMessagesAndKeepsCommandsInOrder()
    {
        SupplicantMessageQueue queue;
        const QStringList sent {"Connected", "Enable", "Disconnected", "Inactive", "StartWpsPin", "NetworkTempDisabled",
                                "WpsCredentials", "Quit", "WpsFinished", "WpsErrored", "InterfaceAdded",
                                "SupplicantStarted", "Disable", "StartWpsPbc", "InterfaceRemoved", "SupplicantOwnerChanged"};
        for (const QString &name : sent)
            queue.enqueue(messageNamed(name));
        queue.removeStateMessages();
        QCOMPARE(drain(queue), QStringList({"WpaSupplicant::Enable", "WpaSupplicant::StartWpsPin", "WpaSupplicant::Quit",
                                            "WpaSupplicant::InterfaceAdded", "WpaSupplicant::Disable",
                                            "WpaSupplicant::StartWpsPbc", "WpaSupplicant::InterfaceRemoved",
                                            "WpaSupplicant::SupplicantOwnerChanged"}));
    }

    void deferredMessagesReturnToTheFrontInDeferredOrder()
    {
        SupplicantMessageQueue queue;
        queue.enqueue(make<Connected>());
        queue.defer(make<Enable>());
        queue.defer(make<Quit>());
        QVERIFY(queue.isPending());
        QCOMPARE(nameOf(queue.dequeue()), QStringLiteral("WpaSupplicant::Connected"));
        QVERIFY(!queue.isPending());

        queue.enqueue(make<Disable>());
        queue.enqueue(make<Inactive>());
        queue.requeueDeferred();
        QCOMPARE(drain(queue), QStringList({"WpaSupplicant::Enable", "WpaSupplicant::Quit", "WpaSupplicant::Disable",
                                            "WpaSupplicant::Inactive"}));

        queue.enqueue(make<Disable>());
        queue.requeueDeferred();
        QCOMPARE(drain(queue), QStringList({"WpaSupplicant::Disable"}));
    }
};

QTEST_GUILESS_MAIN(TestSupplicantMessageQueue)
#include "tst_supplicantmessagequeue.moc"
