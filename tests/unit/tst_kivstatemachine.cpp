#include "KivEvents.h"
#include "KivStateMachine.h"
#include "LogHandler.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QState>
#include <QTest>

namespace {

// A targetless transition that records the events it fires on.
class RecordingTransition : public KivTransition
{
public:
    RecordingTransition(const QEvent &event, QList<int> *log) : KivTransition(event, nullptr), m_log(log) {}

protected:
    void onTransition(QEvent *event) override { m_log->append(event->type()); }

private:
    QList<int> *m_log;
};

// parent { ready (initial) --Leave--> other }, parent records Enable, Disable, Activate, ReloadIp.
struct PausableMachine
{
    KivStateMachine machine;
    QState *parent = new QState(&machine);
    QState *ready = new QState(parent);
    QState *other = new QState(parent);
    QList<int> received;

    PausableMachine()
    {
        parent->setInitialState(ready);
        machine.setInitialState(parent);
        for (QEvent::Type t : {WiredEvent::Enable::type(), WiredEvent::Disable::type(),
                               WiredEvent::Activate::type(), WiredEvent::ReloadIp::type()})
            parent->addTransition(new RecordingTransition(QEvent(t), &received));
        ready->addTransition(new KivTransition(WiredEvent::CableUnplugged(), other));
        machine.addImmediateEventType(WiredEvent::CableUnplugged());
        machine.addImmediateEventType(WiredEvent::ReloadIp());
        machine.addUnpauseEventType(WiredEvent::Activate());
        machine.start();
    }
};

} // namespace

class TestKivStateMachine : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { KivLog::debugLevel = 0; }

    void eventTypesAreNamedAndReservedFromTheTop()
    {
        const int enable = WiredEvent::Enable::type();
        QCOMPARE(WiredEvent::Enable().type(), QEvent::Type(enable));
        QCOMPARE(KivEvents::eventName(enable), QStringLiteral("Enable"));
        QCOMPARE(KivEvents::eventName(WirelessEvent::StartSoftAp::type()), QStringLiteral("StartSoftAp"));
        QVERIFY(enable >= QEvent::User && enable <= QEvent::MaxUser);
        QVERIFY2(ManagerEvent::ReloadAps::type() < enable, "later registrations take lower numbers");
        // The same name in two namespaces is two types.
        QVERIFY(WiredEvent::InterfaceAdded::type() != WirelessEvent::InterfaceAdded::type());
        QCOMPARE(KivEvents::eventName(WirelessEvent::InterfaceAdded::type()), QStringLiteral("InterfaceAdded"));
        QCOMPARE(KivEvents::eventName(1234), QStringLiteral("Unknown event 1234"));
        KivEvents::registerEvent(1234, QStringLiteral("First"));
        KivEvents::registerEvent(1234, QStringLiteral("Second"));
        QCOMPARE(KivEvents::eventName(1234), QStringLiteral("Second"));
    }

    void transitionsFireOnlyOnTheirTypeAndInterface()
    {
        struct Probe : KivTransition
        {
            using KivTransition::KivTransition;
            using KivTransition::eventTest;
        } transition(WiredEvent::Enable(), nullptr);
        WiredEvent::Enable enable;
        WiredEvent::Disable disable;
        QVERIFY(transition.eventTest(&enable));
        QVERIFY(!transition.eventTest(&disable));
        QVERIFY(!transition.eventTest(nullptr));

        struct InterfaceProbe : KivInterfaceTransition
        {
            using KivInterfaceTransition::KivInterfaceTransition;
            using KivInterfaceTransition::eventTest;
        } forUap0(InterfaceName(QStringLiteral("uap0")), WirelessEvent::StartSoftAp(), nullptr);
        WirelessEvent::StartSoftAp mine(InterfaceName(QStringLiteral("uap0")));
        WirelessEvent::StartSoftAp other(InterfaceName(QStringLiteral("uap1")));
        WirelessEvent::StopSoftAp wrongType(InterfaceName(QStringLiteral("uap0")));
        QEvent bare(WirelessEvent::StartSoftAp::type());
        QVERIFY(forUap0.eventTest(&mine));
        QCOMPARE(mine.value(), InterfaceName(QStringLiteral("uap0")));
        QVERIFY(!forUap0.eventTest(&other));
        QVERIFY(!forUap0.eventTest(&wrongType));
        QVERIFY2(!forUap0.eventTest(&bare), "an event without an interface name never matches");
        QVERIFY(!forUap0.eventTest(nullptr));
    }

    void eventsPostedWhileStartingAreKept()
    {
        PausableMachine m;
        m.machine.postEvent(new WiredEvent::Enable);
        m.machine.postEvent(new WiredEvent::Disable);
        QTRY_COMPARE(m.received, (QList<int>{WiredEvent::Enable::type(), WiredEvent::Disable::type()}));
    }

    void eventsPassStraightThroughWhenNotPaused()
    {
        PausableMachine m;
        QTRY_VERIFY(m.machine.configuration().contains(m.ready));
        m.machine.postEvent(new WiredEvent::Enable);
        m.machine.postEvent(new WiredEvent::Disable);
        QTRY_COMPARE(m.received.size(), 2);
        QCOMPARE(m.received, (QList<int>{WiredEvent::Enable::type(), WiredEvent::Disable::type()}));
    }

    void immediateEventPassesPauseWithoutStartingWait()
    {
        PausableMachine m;
        QTRY_VERIFY(m.machine.configuration().contains(m.ready));
        QSignalSpy pausedSpy(&m.machine, &KivStateMachine::paused);
        m.machine.pause(200, m.ready);
        m.machine.postEvent(new WiredEvent::ReloadIp);
        QTRY_COMPARE(m.received, QList<int>{WiredEvent::ReloadIp::type()});
        QVERIFY(m.machine.isPaused());
        QVERIFY(!m.machine.isWaiting());
        QCOMPARE(pausedSpy.count(), 0);
    }

    void heldEventsAreReleasedInOrderAfterInterval()
    {
        KivLog::debugLevel = 1;
        PausableMachine m;
        QTRY_VERIFY(m.machine.configuration().contains(m.ready));
        QSignalSpy pausedSpy(&m.machine, &KivStateMachine::paused);
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("Will wait on next event!$")));
        m.machine.pause(300, m.ready);

        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("Starting wait period...$")));
        for (const char *name : {"Disable", "Enable", "Disable"})
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("Queuing event: %1$").arg(QLatin1String(name))));
        QElapsedTimer clock;
        clock.start();
        m.machine.postEvent(new WiredEvent::Disable);
        m.machine.postEvent(new WiredEvent::Enable);
        m.machine.postEvent(new WiredEvent::Disable);
        QCOMPARE(pausedSpy.count(), 1);
        QCOMPARE(pausedSpy.at(0).at(0).value<QState *>(), m.ready);
        QCOMPARE(pausedSpy.at(0).at(1).value<QEvent::Type>(), WiredEvent::Disable::type());
        QCOMPARE(m.machine.heldEventCount(), 3);

        for (const char *name : {"Disable", "Enable", "Disable"})
            QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("Posting delayed event: %1$").arg(QLatin1String(name))));
        QCoreApplication::processEvents();
        QVERIFY2(m.received.isEmpty(), "nothing is released before the interval");
        QTRY_COMPARE(m.received.size(), 3);
        QVERIFY(clock.elapsed() >= 290);
        QCOMPARE(m.received, (QList<int>{WiredEvent::Disable::type(), WiredEvent::Enable::type(),
                                         WiredEvent::Disable::type()}));
        QVERIFY(!m.machine.isPaused());
        QCOMPARE(pausedSpy.count(), 1);
    }

    void unpauseTypeReleasesHeldEventsFirst()
    {
        PausableMachine m;
        QTRY_VERIFY(m.machine.configuration().contains(m.ready));
        m.machine.pause(5000, m.ready);
        m.machine.postEvent(new WiredEvent::Disable);
        m.machine.postEvent(new WiredEvent::Activate);
        QVERIFY(!m.machine.isPaused());
        QVERIFY(!m.machine.isWaiting());
        QTRY_COMPARE(m.received.size(), 2);
        QCOMPARE(m.received, (QList<int>{WiredEvent::Disable::type(), WiredEvent::Activate::type()}));
    }

    void leavingPausedStateReleasesAtOnceAndStopsTimer()
    {
        PausableMachine m;
        QTRY_VERIFY(m.machine.configuration().contains(m.ready));
        m.machine.pause(5000, m.ready);
        m.machine.postEvent(new WiredEvent::Enable);
        m.machine.postEvent(new WiredEvent::Disable);
        QVERIFY(m.machine.isWaiting());
        m.machine.postEvent(new WiredEvent::CableUnplugged);
        QTRY_VERIFY(m.machine.configuration().contains(m.other));
        QVERIFY(!m.machine.isPaused());
        QVERIFY(!m.machine.isWaiting());
        QTRY_COMPARE(m.received, (QList<int>{WiredEvent::Enable::type(), WiredEvent::Disable::type()}));
    }

    void pauseWithoutEventsNeverStartsTheWait()
    {
        PausableMachine m;
        QTRY_VERIFY(m.machine.configuration().contains(m.ready));
        m.machine.pause(50, m.ready);
        QTest::qWait(150);
        QVERIFY(m.machine.isPaused());
        QVERIFY(!m.machine.isWaiting());
        m.machine.postEvent(new WiredEvent::Enable);
        QVERIFY(m.machine.isWaiting());
        QTRY_COMPARE(m.received, QList<int>{WiredEvent::Enable::type()});
    }

    void machineCanPauseAgainAfterRelease()
    {
        PausableMachine m;
        QTRY_VERIFY(m.machine.configuration().contains(m.ready));
        m.machine.pause(50, m.ready);
        m.machine.postEvent(new WiredEvent::Enable);
        QTRY_COMPARE(m.received.size(), 1);
        m.machine.pause(50, m.ready);
        m.machine.postEvent(new WiredEvent::Disable);
        QVERIFY(m.machine.isPaused());
        QTRY_COMPARE(m.received.size(), 2);
        m.machine.postEvent(new WiredEvent::CableUnplugged);
        QTRY_VERIFY(m.machine.configuration().contains(m.other));
    }

    void unpostedEventsAreFreedWithTheMachine()
    {
        auto *m = new PausableMachine;
        QTRY_VERIFY(m->machine.configuration().contains(m->ready));
        m->machine.pause(5000, m->ready);
        m->machine.postEvent(new WiredEvent::Enable);
        QCOMPARE(m->machine.heldEventCount(), 1);
        delete m; // leak checkers flag the held event otherwise
    }
};

QTEST_MAIN(TestKivStateMachine)
#include "tst_kivstatemachine.moc"
