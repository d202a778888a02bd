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
        QCOMPARE(WiredEvent::Enable::type(), QEvent::Type(enable));
        QCOMPARE(KivEvents::eventName(enable), QStringLiteral("Enable"));
        QCOMPARE(KivEvents::eventName(WirelessEvent::StartSoftAp::type()), QStringLiteral("StartSoftAp"));
        QCOMPARE(KivEvents::eventName(ManagerEvent::WpsPin::type()), QStringLiteral("WpsPin"));
        QVERIFY(enable >= QEvent::User && enable <= QEvent::MaxUser);
        const int later = ManagerEvent::ReloadAps::type();
        QVERIFY2(later < enable, "later registrations take lower numbers");
        QCOMPARE(WiredEvent::Enable().type(), QEvent::Type(enable));
    }

    void sameNameInTwoNamespacesIsTwoTypes()
    {
        QVERIFY(WiredEvent::InterfaceAdded::type() != WirelessEvent::InterfaceAdded::type());
        QCOMPARE(KivEvents::eventName(WiredEvent::InterfaceAdded::type()),
                 KivEvents::eventName(WirelessEvent::InterfaceAdded::type()));
    }

    void unknownTypeHasPlaceholderName()
    {
        QCOMPARE(KivEvents::eventName(1234), QStringLiteral("Unknown event 1234"));
        KivEvents::registerEvent(1234, QStringLiteral("First"));
        KivEvents::registerEvent(1234, QStringLiteral("Second"));
        QCOMPARE(KivEvents::eventName(1234), QStringLiteral("Second"));
    }

    void eventWithValueCarriesItsValue()
    {
        const WirelessEvent::StopSoftAp stop(InterfaceName(QStringLiteral("uap0")));
        QCOMPARE(stop.value(), InterfaceName(QStringLiteral("uap0")));
        QCOMPARE(stop.type(), WirelessEvent::StopSoftAp::type());
        const QSet<WirelessNetwork> networks{WirelessNetwork(Ssid::fromString(QStringLiteral("home")), SecurityType::WpaPsk,
                                                             QStringLiteral("secret123"), 2)};
        const WirelessEvent::Enable enable(networks);
        QCOMPARE(enable.value(), networks);
        QCOMPARE(KivEvents::eventName(WirelessEvent::Enable::type()), QStringLiteral("Enable"));
        const ManagerEvent::WpsPin pin(QStringLiteral("12345670"));
        QCOMPARE(pin.value(), QStringLiteral("12345670"));
    }

    void transitionFiresOnlyOnItsType()
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
    }

    void interfaceTransitionIgnoresOtherInterfaces()
    {
        struct Probe : KivInterfaceTransition
        {
            using KivInterfaceTransition::KivInterfaceTransition;
            using KivInterfaceTransition::eventTest;
        } transition(InterfaceName(QStringLiteral("uap0")), WirelessEvent::StartSoftAp(), nullptr);

        WirelessEvent::StartSoftAp mine(InterfaceName(QStringLiteral("uap0")));
        WirelessEvent::StartSoftAp other(InterfaceName(QStringLiteral("uap1")));
        WirelessEvent::StopSoftAp wrongType(InterfaceName(QStringLiteral("uap0")));
        QEvent bare(WirelessEvent::StartSoftAp::type());
        QVERIFY(transition.eventTest(&mine));
        QVERIFY(!transition.eventTest(&other));
        QVERIFY(!transition.eventTest(&wrongType));
        QVERIFY2(!transition.eventTest(&bare), "an event without an interface name never matches");
        QVERIFY(!transition.eventTest(nullptr));
    }

    void interfaceTransitionDrivesMachinePerInterface()
    {
        QStateMachine machine;
        auto *idle = new QState(&machine);
        auto *started = new QState(&machine);
        idle->addTransition(new KivInterfaceTransition(InterfaceName(QStringLiteral("uap0")),
                                                       WirelessEvent::StartSoftAp(), started));
        machine.setInitialState(idle);
        machine.start();
        QTRY_VERIFY(machine.configuration().contains(idle));
        machine.postEvent(new WirelessEvent::StartSoftAp(InterfaceName(QStringLiteral("uap1"))));
        QTest::qWait(20);
        QVERIFY(machine.configuration().contains(idle));
        machine.postEvent(new WirelessEvent::StartSoftAp(InterfaceName(QStringLiteral("uap0"))));
        QTRY_VERIFY(machine.configuration().contains(started));
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
        QTest::qWait(100);
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
