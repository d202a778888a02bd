#include "AddressManagerFakes.h"
#include "AddressTestSupport.h"
#include "AutoIpD.h"
#include "LogExpect.h"
#include "PrivateNamespaceMain.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

const InterfaceName Kivtest0(QStringLiteral("kivtest0"));

enum class State { Stopped, Static, WaitingForLease, WaitingForFallback, Leased, LinkLocal };
enum class Event { StartStatic, StartDhcp, Lease, SameLease, OtherLease, DhcpError, FallbackTimeout, Stop };

const InterfaceConfiguration StaticSettings("kivtest0", "192.168.5.20", "255.255.255.0", "192.168.5.1",
                                            {"192.168.5.53"}, {"home"});
const InterfaceConfiguration Lease("kivtest0", "10.0.0.5", "255.255.255.0", "10.0.0.1", {"10.0.0.53"}, {"lan"});
const InterfaceConfiguration OtherLease("kivtest0", "10.0.0.5", "255.255.255.0", "10.0.0.1",
                                        {"10.0.0.54", "10.0.0.55"}, {"lan"});

// The driver commands that apply a configuration (the routing table of this namespace decides the flush).
QStringList applyCommands(const InterfaceConfiguration &configuration)
{
    QStringList commands{"flush ipv4 kivtest0",
                         "add " + configuration.address().ip().toString() + "/24 kivtest0"};
    if (!ResolvConf::readIpv4DefaultGateway().isEmpty())
        commands << QStringLiteral("flushDefaultRoutes ipv4");
    commands << "addDefaultRoute " + configuration.gateway().toString() + " kivtest0";
    return commands;
}

const QStringList ReleaseCommands{"flush ipv4 kivtest0"};

} // namespace

Q_DECLARE_METATYPE(State)
Q_DECLARE_METATYPE(Event)

// One IPv4 manager with a recording driver, fake DHCP clients and a recording avahi-autoipd.
struct Ipv4Fixture
{
    explicit Ipv4Fixture(FakePrograms &programs)
        : programs(programs),
          manager(Kivtest0, &driver, clients.factory()),
          connected(&manager, &IpAddressManager::connected),
          disconnected(&manager, &IpAddressManager::disconnected),
          nameserversChanged(&manager, &IpAddressManager::nameserversChanged)
    {
        programs.clear(AutoIpD::Program);
    }

    void fire(Event event)
    {
        switch (event) {
        case Event::StartStatic: manager.start(StaticSettings); break;
        case Event::StartDhcp: manager.start(InterfaceConfiguration()); break;
        case Event::Lease: clients.last()->lease(Lease); break;
        case Event::SameLease: clients.last()->lease(Lease); break;
        case Event::OtherLease: clients.last()->lease(OtherLease); break;
        case Event::DhcpError: clients.last()->fail(); break;
        case Event::FallbackTimeout: expireFallback(); break;
        case Event::Stop: manager.stop(); break;
        }
    }

    // The fallback timer runs out as a single-shot timer does: it stops and signals.
    void expireFallback()
    {
        QTimer *timer = manager.findChild<QTimer *>();
        QVERIFY(timer && timer->isActive() && timer->isSingleShot());
        QCOMPARE(timer->timerType(), Qt::PreciseTimer);
        QCOMPARE(timer->interval(), Ipv4AddressManager::FallbackTimeoutMs);
        timer->stop();
        QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
    }

    void enter(State state)
    {
        switch (state) {
        case State::Stopped: break;
        case State::Static: fire(Event::StartStatic); break;
        case State::WaitingForLease: fire(Event::StartDhcp); break;
        case State::WaitingForFallback: fire(Event::StartDhcp); fire(Event::DhcpError); break;
        case State::Leased: fire(Event::StartDhcp); fire(Event::Lease); break;
        case State::LinkLocal: fire(Event::StartDhcp); fire(Event::FallbackTimeout); break;
        }
        driver.commands.clear();
        connected.clear();
        disconnected.clear();
        nameserversChanged.clear();
        programs.clear(AutoIpD::Program);
    }

    // What every state shows from outside: connection, fallback timer, applied configuration.
    void verifyIn(State state)
    {
        const bool expectConnected = state == State::Static || state == State::Leased || state == State::LinkLocal;
        const bool expectFallback = state == State::WaitingForLease || state == State::WaitingForFallback;
        QCOMPARE(manager.isConnected(), expectConnected);
        QCOMPARE(manager.fallbackRemainingTime() > 0, expectFallback);
        if (state == State::Static)
            QCOMPARE(manager.currentConfiguration(), StaticSettings);
        else if (state == State::Leased)
            QVERIFY(manager.currentConfiguration() == Lease || manager.currentConfiguration() == OtherLease);
        else
            QCOMPARE(manager.currentConfiguration(), InterfaceConfiguration("kivtest0"));
        if (!expectConnected) {
            QCOMPARE(manager.nameservers(), QList<QHostAddress>());
            QCOMPARE(manager.searchDomains(), QStringList());
        }
    }

    FakePrograms &programs;
    RecordingDriver driver;
    FakeDhcpClients clients;
    Ipv4AddressManager manager;
    QSignalSpy connected;
    QSignalSpy disconnected;
    QSignalSpy nameserversChanged;
};

// The IPv4 manager's states and transitions; avahi-autoipd is a recording stand-in first on PATH
// and the test runs in namespaces of its own.
class TestIpv4AddressManager : public QObject
{
    Q_OBJECT

private:
    FakePrograms m_programs;

private slots:
    void initTestCase()
    {
        QVERIFY(m_programs.isValid());
        QVERIFY(m_programs.install(AutoIpD::Program));
        m_programs.putFirstOnPath();
    }

    void stateTable_data()
    {
        QTest::addColumn<State>("from");
        QTest::addColumn<Event>("event");
        QTest::addColumn<State>("to");
        QTest::addColumn<int>("connectedSignals");
        QTest::addColumn<int>("disconnectedSignals");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QStringList>("autoipd");

        const QStringList none;
        QTest::newRow("stoppedStartStaticAppliesAtOnce")
            << State::Stopped << Event::StartStatic << State::Static << 1 << 0 << applyCommands(StaticSettings) << none;
        QTest::newRow("stoppedStartDhcpWaitsForLease")
            << State::Stopped << Event::StartDhcp << State::WaitingForLease << 0 << 0 << none << none;
        QTest::newRow("waitingLeaseApplies")
            << State::WaitingForLease << Event::Lease << State::Leased << 1 << 0 << applyCommands(Lease) << none;
        QTest::newRow("waitingTimeoutStartsLinkLocal")
            << State::WaitingForLease << Event::FallbackTimeout << State::LinkLocal << 1 << 0 << none
            << QStringList{"-k kivtest0", "-D kivtest0"};
        QTest::newRow("waitingErrorWaitsForFallback")
            << State::WaitingForLease << Event::DhcpError << State::WaitingForFallback << 0 << 0 << ReleaseCommands
            << none;
        QTest::newRow("fallbackWaitTimeoutStartsLinkLocal")
            << State::WaitingForFallback << Event::FallbackTimeout << State::LinkLocal << 1 << 0 << none
            << QStringList{"-k kivtest0", "-D kivtest0"};
        QTest::newRow("fallbackWaitLateLeaseApplies")
            << State::WaitingForFallback << Event::Lease << State::Leased << 1 << 0 << applyCommands(Lease) << none;
        QTest::newRow("leasedRenewalChangesNothing")
            << State::Leased << Event::SameLease << State::Leased << 0 << 0 << none << none;
        QTest::newRow("leasedChangedRenewalIsApplied")
            << State::Leased << Event::OtherLease << State::Leased << 0 << 0 << applyCommands(OtherLease) << none;
        QTest::newRow("leasedErrorReleasesAndWaitsForFallback")
            << State::Leased << Event::DhcpError << State::WaitingForFallback << 0 << 1 << ReleaseCommands << none;
        QTest::newRow("leasedStopReleases")
            << State::Leased << Event::Stop << State::Stopped << 0 << 1 << ReleaseCommands << none;
        QTest::newRow("staticStopReleases")
            << State::Static << Event::Stop << State::Stopped << 0 << 1 << ReleaseCommands << none;
        QTest::newRow("linkLocalLateLeaseEndsDaemonWithoutNewConnected")
            << State::LinkLocal << Event::Lease << State::Leased << 0 << 0 << applyCommands(Lease)
            << QStringList{"-k kivtest0"};
        QTest::newRow("linkLocalStopKeepsDaemon")
            << State::LinkLocal << Event::Stop << State::Stopped << 0 << 1 << ReleaseCommands << none;
        QTest::newRow("linkLocalErrorReleasesAndWaitsAgain")
            << State::LinkLocal << Event::DhcpError << State::WaitingForFallback << 0 << 1 << ReleaseCommands << none;
    }

    void stateTable()
    {
        QFETCH(State, from);
        QFETCH(Event, event);
        QFETCH(State, to);

        LogCapture log;
        Ipv4Fixture fixture(m_programs);
        fixture.enter(from);
        fixture.verifyIn(from);
        fixture.fire(event);
        fixture.verifyIn(to);
        QTEST(int(fixture.connected.count()), "connectedSignals");
        QTEST(int(fixture.disconnected.count()), "disconnectedSignals");
        QTEST(fixture.driver.commands, "commands");
        QTEST(m_programs.calls(AutoIpD::Program), "autoipd");
    }

    void staticStartNeverStartsDhcpOrFallback()
    {
        LogCapture log;
        Ipv4Fixture fixture(m_programs);
        fixture.fire(Event::StartStatic);
        QVERIFY(fixture.clients.made.isEmpty());
        QCOMPARE(fixture.manager.nameservers(), QList<QHostAddress>{QHostAddress("192.168.5.53")});
        QCOMPARE(fixture.manager.searchDomains(), QStringList{"home"});
        QCOMPARE(fixture.nameserversChanged.count(), 1);
        QCOMPARE(fixture.manager.fallbackRemainingTime(), -1);
    }

    void eachDhcpStartReplacesTheClientAndStopStopsIt()
    {
        LogCapture log;
        Ipv4Fixture fixture(m_programs);
        fixture.fire(Event::StartDhcp);
        QCOMPARE(fixture.clients.made.size(), 1);
        QCOMPARE(fixture.clients.last()->interfaceName(), Kivtest0);
        QVERIFY(fixture.manager.fallbackRemainingTime() > Ipv4AddressManager::FallbackTimeoutMs - 1000);
        QVERIFY(fixture.manager.fallbackRemainingTime() <= Ipv4AddressManager::FallbackTimeoutMs);
        fixture.fire(Event::StartDhcp);
        QCOMPARE(fixture.clients.made.size(), 2);
        QVERIFY(fixture.clients.made.at(0).isNull());
        QCOMPARE(fixture.clients.last()->starts, 1);
        fixture.fire(Event::Stop);
        QCOMPARE(fixture.clients.last()->stops, 1);
        QVERIFY(!fixture.clients.made.constLast().isNull());
    }

    void dhcpErrorIsLoggedAndTheClientIsRestartedLater()
    {
        Ipv4Fixture fixture(m_programs);
        fixture.enter(State::Leased);
        expectLog(QtInfoMsg, QStringLiteral("dhcp client error: \"dhcpc: kivtest0: an error occurred!\""));
        fixture.fire(Event::DhcpError);
        QCOMPARE(fixture.clients.made.size(), 1);
        QCOMPARE(fixture.clients.last()->starts, 1);
        QCOMPARE(fixture.nameserversChanged.count(), 1);
        QVERIFY(fixture.manager.dhcpRestartRemainingTime() > 0);
    }

    // A client that ends on its own while the manager runs is started again after 1, 2, 4 ... 60 s,
    // changing nothing the manager reports; a lease resets the delay, stop() ends the restarts.
    void endedClientIsRestartedWithBackOff_data()
    {
        QTest::addColumn<State>("state");
        QTest::newRow("leased") << State::Leased;
        QTest::newRow("waitingForLease") << State::WaitingForLease;
        QTest::newRow("linkLocal") << State::LinkLocal;
    }

    void endedClientIsRestartedWithBackOff()
    {
        QFETCH(State, state);
        LogCapture log;
        Ipv4Fixture fixture(m_programs);
        fixture.enter(state);
        FakeDhcpClient *client = fixture.clients.last();
        QTimer *restart = fixture.manager.findChildren<QTimer *>().value(1);
        QVERIFY(restart);
        const auto endAndRestart = [&] {
            client->end();
            const int delay = restart->isActive() ? restart->interval() : -1;
            restart->stop();
            QMetaObject::invokeMethod(restart, "timeout");
            return delay;
        };
        QList<int> delays;
        for (int i = 0; i < 8; ++i)
            delays << endAndRestart();
        QCOMPARE(delays, (QList<int>{1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000}));
        QCOMPARE(client->starts, 9);
        QCOMPARE(fixture.clients.made.size(), 1);
        fixture.verifyIn(state);
        QCOMPARE(fixture.connected.count() + fixture.disconnected.count(), 0);

        client->lease(Lease);
        QCOMPARE(endAndRestart(), 1000);
        fixture.fire(Event::Stop);
        client->end();
        QCOMPARE(fixture.manager.dhcpRestartRemainingTime(), -1);
    }

    void dhcpErrorWhileTheFallbackRunsDoesNotRestartIt()
    {
        LogCapture log;
        Ipv4Fixture fixture(m_programs);
        fixture.fire(Event::StartDhcp);
        const int limit = Ipv4AddressManager::FallbackTimeoutMs - 300;
        QTRY_VERIFY(fixture.manager.fallbackRemainingTime() < limit);
        fixture.fire(Event::DhcpError);
        QVERIFY(fixture.manager.fallbackRemainingTime() > 0);
        QVERIFY(fixture.manager.fallbackRemainingTime() < limit);
    }

    void destructionEndsTheLinkLocalDaemon()
    {
        LogCapture log;
        {
            Ipv4Fixture fixture(m_programs);
            fixture.enter(State::LinkLocal);
            fixture.fire(Event::Stop);
        }
        QCOMPARE(m_programs.calls(AutoIpD::Program), QStringList{"-k kivtest0"});
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestIpv4AddressManager)
#include "tst_ipv4addressmanager.moc"
