#include "AddressManager.h"
#include "AddressTestSupport.h"
#include "AutoIpD.h"
#include "DhcpClient.h"
#include "LogExpect.h"
#include "NetlinkWatcher.h"
#include "PrivateNamespaceMain.h"

#include <QHostInfo>
#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {

const InterfaceName Kivtest0(QStringLiteral("kivtest0"));

enum State { Stopped, Static, WaitingForLease, WaitingForFallback, Leased, LinkLocal };
enum Event { StartStatic, StartDhcp, GotLease, GotOtherLease, ClientError, FallbackTimeout, Stop };

const InterfaceConfiguration StaticSettings("kivtest0", "192.168.5.20", "255.255.255.0", "192.168.5.1", {"192.168.5.53"}, {"home"});
const InterfaceConfiguration Lease("kivtest0", "10.0.0.5", "255.255.255.0", "10.0.0.1", {"10.0.0.53"}, {"lan"});
const InterfaceConfiguration OtherLease("kivtest0", "10.0.0.5", "255.255.255.0", "10.0.0.1", {"10.0.0.54"}, {"lan"});
const QStringList Release{"flush ipv4 kivtest0"};
// Without a default route in this namespace, a lease or static settings are applied without flushing routes.
const QStringList Applied{"flush ipv4 kivtest0", "add 10.0.0.5/24 kivtest0", "addDefaultRoute 10.0.0.1 kivtest0"};
const QStringList AppliedStatic{"flush ipv4 kivtest0", "add 192.168.5.20/24 kivtest0", "addDefaultRoute 192.168.5.1 kivtest0"};
const QStringList LinkLocalStart{"avahi-autoipd -k kivtest0", "avahi-autoipd -D kivtest0"};
// What the stand-in udhcpc prints before it exits.
const char UdhcpcOutput[] = "printf 'udhcpc: lease obtained\\r\\n\\nKIVD_IP=10.0.0.5\\nKIVD_GATEWAY=10.0.0.1 10.0.0.2\\n"
                            "KIVD_DNS=10.0.0.53 8.8.8.8\\nKIVD_DOMAIN=lan home\\nKIVD_FINISHED\\n\\n'\nexit 3\n";

// Feeds output to the client as if the running udhcpc had printed it.
struct OutputFeed : Udhcpc
{
    OutputFeed() : Udhcpc(Kivtest0) {}
    using Udhcpc::receiveOutput;
};

struct FakeDhcpClient : DhcpClient
{
    using DhcpClient::DhcpClient;
    void start() override { ++starts; }
    bool stop() override { return true; }
    int starts = 0;
};

// A family manager the test drives; its starts and stops go to a shared log.
struct FakeFamily : IpAddressManager
{
    FakeFamily(const QString &name, QStringList *log) : name(name), log(log) {}
    void start(const InterfaceConfiguration &configuration) override { *log << name + " start " + configuration.name(); }
    void stop() override { *log << name + " stop"; }
    using IpAddressManager::setConnected;
    QString name;
    QStringList *log;
};

// An address manager over two fake families (the constructor that takes them is for subclasses).
struct Composed : AddressManager
{
    Composed(FakeFamily *ipv4, FakeFamily *ipv6) : AddressManager(Kivtest0, nullptr, {ipv4, ipv6}, nullptr) {}
};

// One IPv4 manager over a recording driver and fake DHCP clients.
struct Ipv4Fixture
{
    RecordingDriver driver;
    QPointer<FakeDhcpClient> client;
    int made = 0;
    Ipv4AddressManager manager{Kivtest0, &driver, [this](const InterfaceName &name) -> DhcpClient * {
                                   ++made;
                                   return client = new FakeDhcpClient(name);
                               }};
    QSignalSpy connected{&manager, &IpAddressManager::connected};
    QSignalSpy disconnected{&manager, &IpAddressManager::disconnected};

    void fire(Event event)
    {
        switch (event) {
        case StartStatic: manager.start(StaticSettings); break;
        case StartDhcp: manager.start(InterfaceConfiguration()); break;
        case GotLease: emit client->finished(Lease); break;
        case GotOtherLease: emit client->finished(OtherLease); break;
        case ClientError: emit client->error("dhcpc: kivtest0: an error occurred!"); break;
        case FallbackTimeout: {
            // The fallback timer runs out as a precise single-shot timer does: it stops and signals.
            QTimer *timer = manager.findChild<QTimer *>();
            QVERIFY(timer && timer->isActive() && timer->isSingleShot() && timer->timerType() == Qt::PreciseTimer);
            timer->stop();
            QVERIFY(QMetaObject::invokeMethod(timer, "timeout"));
            break;
        }
        case Stop: manager.stop(); break;
        }
    }

    void enter(State state)
    {
        if (state != Stopped)
            fire(state == Static ? StartStatic : StartDhcp);
        static const QMap<State, Event> second{{WaitingForFallback, ClientError}, {Leased, GotLease}, {LinkLocal, FallbackTimeout}};
        if (second.contains(state))
            fire(second.value(state));
        driver.commands.clear();
        connected.clear();
        disconnected.clear();
    }

    // What every state shows from outside: connection, fallback timer, applied configuration.
    void verifyIn(State state)
    {
        QCOMPARE(manager.isConnected(), state == Static || state == Leased || state == LinkLocal);
        QCOMPARE(manager.fallbackRemainingTime() > 0, state == WaitingForLease || state == WaitingForFallback);
        if (state == Leased)
            QVERIFY(manager.currentConfiguration() == Lease || manager.currentConfiguration() == OtherLease);
        else
            QCOMPARE(manager.currentConfiguration(), state == Static ? StaticSettings : InterfaceConfiguration("kivtest0"));
    }
};

} // namespace

Q_DECLARE_METATYPE(State)
Q_DECLARE_METATYPE(Event)

// The address managers, the DHCP client and its helper script, in network and mount namespaces of
// the test's own, with recording stand-ins for avahi-autoipd and udhcpc.
class TestAddress : public QObject
{
    Q_OBJECT

private:
    FakePrograms m_programs;

private slots:
    void initTestCase()
    {
        if (!inPrivateNamespaces())
            QSKIP("needs private network and mount namespaces (root and unshare)");
        QVERIFY(m_programs.install(AutoIpD::Program) && m_programs.install("udhcpc", UdhcpcOutput));
        m_programs.putFirstOnPath();
        // The stand-ins lie over /sbin, where udhcpc is started from, in this mount namespace only.
        QCOMPARE(run("mount", {"--bind", m_programs.path(), QFileInfo(Udhcpc::Program).path()}), 0);
    }

    // Each record is reported once, when its terminator arrives: key lines start at column 0 with
    // the exact prefix, the last value of a key wins, the gateway is the first router, lists split
    // on blanks, values are not trimmed and unparsable addresses are dropped.
    void clientReportsEachRecordOnce_data()
    {
        QTest::addColumn<QByteArray>("output"); // chunks separated by "|"
        QTest::addColumn<QString>("reported"); // "address;netmask;gateway;servers;domains" per report, separated by "|"
        QTest::newRow("fullRecordSplitAcrossChunks")
            << QByteArray("udhcpc: started\nKIVD_IP=10.0.|0.5\nKIVD_NETMASK=255.255.255.0\nKIVD_GATEWAY=10.0.0.1 10.0.0.2\nKIVD_DN|"
                          "S=10.0.0.53 8.8.8.8\nKIVD_DOMAIN=lan example.com\nKIVD_FINI|SHED\nudhcpc: lease obtained\n")
            << "10.0.0.5;255.255.255.0;10.0.0.1;10.0.0.53 8.8.8.8;lan example.com";
        QTest::newRow("terminatorFoundAnywhere") << QByteArray("udhcpc: xKIVD_FINISHEDx") << ";;;;";
        QTest::newRow("terminatorIsWholeAndCaseSensitive") << QByteArray("KIVD_IP=10.0.0.5\nkivd_finished\nKIVD_FINISH") << "";
        QTest::newRow("keysOnlyAtColumnZeroInCapitals")
            << QByteArray(" KIVD_IP=10.0.0.5\n\tKIVD_NETMASK=255.0.0.0\nkivd_ip=10.0.0.6\nKivd_Gateway=10.0.0.1\nKIVD_FINISHED\n")
            << ";;;;";
        QTest::newRow("carriageReturnStaysInValues")
            << QByteArray("KIVD_IP=10.0.0.5\r\nKIVD_DOMAIN=lan\r\nKIVD_FINISHED\r\n") << "10.0.0.5;;;;lan\r";
        QTest::newRow("twoRecordsInOneChunkLastValuesWin")
            << QByteArray("KIVD_IP=10.0.0.5\nKIVD_DNS=10.0.0.53 10.0.0.54\nKIVD_DOMAIN=lan\nKIVD_FINISHED\n"
                          "KIVD_IP=10.0.0.6\nKIVD_NETMASK=255.255.255.0\nKIVD_DNS=10.0.0.55\nKIVD_FINISHED\n")
            << "10.0.0.6;255.255.255.0;;10.0.0.55;lan";
        QTest::newRow("blanksSplitListsAndEveryPrefixIsRemoved")
            << QByteArray("KIVD_DNS=  10.0.0.53   10.0.0.54 \nKIVD_DOMAIN= aKIVD_DOMAIN=b  lan\nKIVD_FINISHED\n")
            << ";;;10.0.0.53 10.0.0.54;ab lan";
        QTest::newRow("renewalIsReportedAgain")
            << QByteArray("KIVD_IP=10.0.0.5\nKIVD_DNS=10.0.0.53\nKIVD_FINISHED\n|udhcpc: renew\nKIVD_IP=10.0.0.5\n|"
                          "KIVD_DNS=10.0.0.54\n|KIVD_FINISHED\n")
            << "10.0.0.5;;;10.0.0.53;|10.0.0.5;;;10.0.0.54;";
        QTest::newRow("binaryJunkAndOverlongLineBeforeTheRecord")
            << QByteArray("\xff\xfe\x80junk\n\0KIVD_FINISHED\n|KIVD_DOMAIN=", 36) + QByteArray(1 << 20, 'a')
                   + "\n|KIVD_IP=10.0.0.5\nKIVD_DNS=10.0.0.53\nKIVD_DOMAIN=lan\nKIVD_FINISHED\n"
            << "10.0.0.5;;;10.0.0.53;lan";
        QTest::newRow("unparsableAddressesDropped")
            << QByteArray("KIVD_IP=10.0.0.300\nKIVD_NETMASK=mask\nKIVD_GATEWAY=gw 10.0.0.1\n"
                          "KIVD_DNS=10.0.0.53 dns fd00::53 1.2.3.4.5\nKIVD_FINISHED\n")
            << ";;;10.0.0.53 fd00::53;";
    }

    void clientReportsEachRecordOnce()
    {
        QFETCH(QByteArray, output);
        LogCapture log;
        OutputFeed client;
        QStringList reported;
        connect(&client, &DhcpClient::finished, this, [&](const InterfaceConfiguration &configuration) {
            QStringList fields;
            for (const char *key : {"Ip", "Netmask", "Gateway", "Dns", "SearchDomains"})
                fields << configuration.toMap().value(key).toString();
            reported << fields.join(';');
        });
        for (const QByteArray &chunk : output.split('|'))
            client.receiveOutput(chunk);
        QTEST(reported.join('|'), "reported");
    }

    // The helper script prints one record for bound and for renew and nothing for other events; it runs
    // no program (so configures nothing) and keeps a line feed in a value from starting a key line, in sh and busybox.
    void helperScriptPrintsOneRecordPerLease()
    {
        QProcess script;
        // No program can be found: any the script tried to run would complain on stderr.
        script.setEnvironment({"PATH=/nonexistent", "interface=eth0", "ip=10.0.0.5", "subnet=255.255.255.0", "router=10.0.0.1 10.0.0.2",
                               "dns=10.0.0.53 8.8.8.8", "domain=lan\nKIVD_IP=192.0.2.66\n\nhome", "lease=3600"});
        const QString events = "for shell in sh 'busybox sh'; do for event in deconfig bound leasefail renew nak; do "
                               "/bin/$shell \"$0\" $event || exit 1; done; done";
        script.start("/bin/sh", {"-c", events, QStringLiteral(KIV_HELPER_SCRIPT)});
        QVERIFY(script.waitForFinished(10000));
        QCOMPARE(script.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(script.readAllStandardError()), QString());
        const QString record = QStringLiteral("KIVD_IP=10.0.0.5\nKIVD_NETMASK=255.255.255.0\nKIVD_GATEWAY=10.0.0.1 10.0.0.2\n"
                                              "KIVD_DNS=10.0.0.53 8.8.8.8\nKIVD_DOMAIN=lan KIVD_IP=192.0.2.66 home\nKIVD_FINISHED\n");
        QCOMPARE(QString::fromUtf8(script.readAllStandardOutput()), record.repeated(4));
    }

    // The client logs how it starts udhcpc, each line of a record's output and the settings it read;
    // an exit is the client's own end (exited()), only a client that cannot run is an error.
    void udhcpcIsLoggedAndItsEndsReported()
    {
        LogCapture log;
        Udhcpc client(Kivtest0);
        QSignalSpy finished(&client, &DhcpClient::finished);
        QSignalSpy error(&client, &DhcpClient::error);
        QSignalSpy exited(&client, &DhcpClient::exited);
        client.start();
        QTRY_COMPARE(exited.count(), 1);
        QCOMPARE(finished.count(), 1);
        QVERIFY(QFile::setPermissions(Udhcpc::Program, QFileDevice::ReadOwner));
        client.start();
        QTRY_COMPARE(error.count(), 1);
        QCOMPARE(error.at(0).at(0).toString(), QStringLiteral("dhcpc: kivtest0: an error occurred!"));
        QCOMPARE(exited.count(), 1);
        const QString started = "Starting dhcp client \"/sbin/udhcpc\" w/args: (\"-f\", \"-x\", \"hostname:" + QHostInfo::localHostName()
                                + "\", \"-t\", \"7\", \"-T\", \"3\", \"-i\", \"kivtest0\", \"-s\", \"/usr/share/kivd/kivd_udhcpc.sh\")";
        QStringList expected{started, "kivtest0 Finished setup, parsing dhcp data from output:", "Dhcp output: \"udhcpc: lease obtained\"",
                             "Dhcp output: \"\"", "Dhcp output: \"KIVD_IP=10.0.0.5\"", "Dhcp output: \"KIVD_GATEWAY=10.0.0.1 10.0.0.2\"",
                             "Dhcp output: \"KIVD_DNS=10.0.0.53 8.8.8.8\"", "Dhcp output: \"KIVD_DOMAIN=lan home\"", "Dhcp output: \"KIVD_FINISHED\"",
                             "kivtest0 Dhcp settings: \"10.0.0.5\" \"\" \"10.0.0.1\" 10.0.0.53 8.8.8.8 lan home",
                             "kivtest0: dhcp client process finished, exit code: 3", started};
        expected.replaceInStrings(QRegularExpression("^"), "INFO DhcpClient.cpp ");
        QCOMPARE(log.lines(), expected << "ERROR DhcpClient.cpp kivtest0: An error occurred in the dhcp client QProcess::FailedToStart");
    }

    void ipv4StateTable_data()
    {
        QTest::addColumn<State>("from");
        QTest::addColumn<Event>("event");
        QTest::addColumn<State>("to");
        QTest::addColumn<QString>("reports"); // "+" per connected(), "-" per disconnected()
        QTest::addColumn<QStringList>("effects"); // driver commands, then avahi-autoipd calls
        QTest::newRow("stoppedStartStaticAppliesAtOnce") << Stopped << StartStatic << Static << "+" << AppliedStatic;
        QTest::newRow("stoppedStartDhcpWaitsForLease") << Stopped << StartDhcp << WaitingForLease << "" << QStringList();
        QTest::newRow("waitingLeaseApplies") << WaitingForLease << GotLease << Leased << "+" << Applied;
        QTest::newRow("waitingTimeoutStartsLinkLocal") << WaitingForLease << FallbackTimeout << LinkLocal << "+" << LinkLocalStart;
        QTest::newRow("waitingErrorWaitsForFallback") << WaitingForLease << ClientError << WaitingForFallback << "" << Release;
        QTest::newRow("fallbackWaitTimeoutStartsLinkLocal") << WaitingForFallback << FallbackTimeout << LinkLocal << "+" << LinkLocalStart;
        QTest::newRow("leasedRenewalChangesNothing") << Leased << GotLease << Leased << "" << QStringList();
        QTest::newRow("leasedChangedRenewalIsApplied") << Leased << GotOtherLease << Leased << "" << Applied;
        QTest::newRow("leasedErrorReleasesAndWaitsForFallback") << Leased << ClientError << WaitingForFallback << "-" << Release;
        QTest::newRow("staticStopReleases") << Static << Stop << Stopped << "-" << Release;
        QTest::newRow("linkLocalLateLeaseEndsDaemonWithoutNewConnected")
            << LinkLocal << GotLease << Leased << "" << Applied + QStringList{"avahi-autoipd -k kivtest0"};
        QTest::newRow("linkLocalStopKeepsDaemon") << LinkLocal << Stop << Stopped << "-" << Release;
        QTest::newRow("linkLocalErrorReleasesAndWaitsAgain") << LinkLocal << ClientError << WaitingForFallback << "-" << Release;
    }

    void ipv4StateTable()
    {
        QFETCH(State, from);
        QFETCH(Event, event);
        QFETCH(State, to);
        LogCapture log;
        auto fixture = std::make_unique<Ipv4Fixture>();
        fixture->enter(from);
        m_programs.clear(AutoIpD::Program);
        fixture->verifyIn(from);
        fixture->fire(event);
        fixture->verifyIn(to);
        QTEST(QString("+").repeated(fixture->connected.count()) + QString("-").repeated(fixture->disconnected.count()), "reports");
        QTEST(fixture->driver.commands + m_programs.calls(AutoIpD::Program).replaceInStrings(QRegularExpression("^"), "avahi-autoipd "),
              "effects");
        // A client error is logged and restarts the client later.
        if (event == ClientError) {
            QVERIFY(log.lines().contains("INFO AddressManager.cpp dhcp client error: \"dhcpc: kivtest0: an error occurred!\""));
            QVERIFY(fixture->manager.dhcpRestartRemainingTime() > 0);
        }
        // Static settings never start a DHCP client; nothing but a start replaces it.
        QCOMPARE(fixture->made, int(event == StartDhcp || (from != Stopped && from != Static)));
        // Only the manager's end stops a link-local daemon it left running.
        fixture.reset();
        if (from == LinkLocal && to == Stopped)
            QCOMPARE(m_programs.calls(AutoIpD::Program), QStringList{"-k kivtest0"});
    }

    // A leased client that ends on its own is started again after 1, 2, 4 ... 60 s, changing nothing
    // the manager reports; a lease resets the delay, stop() ends the restarts (the first restart in
    // each state is the child-recovery system test's).
    void endedClientIsRestartedWithBackOff()
    {
        LogCapture log;
        Ipv4Fixture fixture;
        fixture.enter(Leased);
        FakeDhcpClient *client = fixture.client;
        QTimer *restart = fixture.manager.findChildren<QTimer *>().value(1);
        QVERIFY(restart);
        const auto endAndRestart = [&] {
            emit client->exited();
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
        fixture.verifyIn(Leased);
        QCOMPARE(fixture.connected.count() + fixture.disconnected.count(), 0);

        emit client->finished(Lease);
        QCOMPARE(endAndRestart(), 1000);
        fixture.fire(Stop);
        emit client->exited();
        QCOMPARE(fixture.manager.dhcpRestartRemainingTime(), -1);
    }

    // IPv4 starts and stops first; connected with the first family, disconnected with the last;
    // start() clears the flag silently so that the next connection is reported again.
    void familiesShareOneConnection()
    {
        QStringList log;
        auto *ipv4 = new FakeFamily("ipv4", &log);
        auto *ipv6 = new FakeFamily("ipv6", &log);
        Composed manager(ipv4, ipv6);
        QString reports;
        connect(&manager, &AddressManager::connected, this, [&] { reports += '+'; });
        connect(&manager, &AddressManager::disconnected, this, [&] { reports += '-'; });
        for (const auto &[family, up] : {std::pair{ipv6, true}, {ipv4, true}, {ipv4, false}, {ipv6, false}, {ipv4, true}})
            family->setConnected(up);
        manager.start(InterfaceConfiguration("kivtest0"));
        ipv4->setConnected(false);
        ipv4->setConnected(true);
        QCOMPARE(reports, QStringLiteral("+-++"));
        manager.stop();
        QCOMPARE(log, (QStringList{"ipv4 start kivtest0", "ipv6 start kivtest0", "ipv4 stop", "ipv6 stop"}));
    }

    // Only a global or unique-local IPv6 address connects; flushing them on stop is the system test's.
    void ipv6ConnectsWithAGlobalAddress()
    {
        const auto address = [](const char *text, bool ipv4, bool linkLocal) { return NetlinkAddress{text, "eth0", ipv4, linkLocal, 64}; };
        QList<NetlinkAddress> addresses{address("fe80::1", false, true), address("10.0.0.5", true, false), address("169.254.3.4", true, true)};
        QVERIFY(!Ipv6AddressManager::hasGlobalAddress(addresses));
        QVERIFY(Ipv6AddressManager::hasGlobalAddress(addresses << address("fd00::5", false, false)));
    }

    // Without a netmask /24 is assumed; an unparsable address only flushes; no name changes nothing.
    void addressSetterFallbacks()
    {
        RecordingDriver driver;
        IpAddressSetter setter(&driver, [] { return QStringLiteral("192.168.1.1"); });
        expectLog(QtWarningMsg, QStringLiteral("No netmask defined, assuming /24 network"));
        for (const InterfaceConfiguration &configuration : {InterfaceConfiguration("eth0", "192.168.7.9", "", "192.168.7.1", {}, {}),
                                                            InterfaceConfiguration("eth0", "10.0.0.256", "255.255.255.0", "", {}, {}),
                                                            InterfaceConfiguration("", "10.0.0.5", "255.255.255.0", "10.0.0.1", {}, {})}) {
            setter.setAddress(configuration);
            setter.setGateway(configuration);
        }
        QCOMPARE(driver.commands, (QStringList{"flush ipv4 eth0", "add 192.168.7.9/24 eth0", "flushDefaultRoutes ipv4",
                                               "addDefaultRoute 192.168.7.1 eth0", "flush ipv4 eth0"}));
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestAddress)
#include "tst_address.moc"
