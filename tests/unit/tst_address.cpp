#include "AddressManager.h"
#include "AddressTestSupport.h"
#include "AutoIpD.h"
#include "DhcpClient.h"
#include "IpAddressSetter.h"
#include "LogExpect.h"
#include "NetlinkWatcher.h"
#include "PrivateNamespaceMain.h"
#include "ResolvConf.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

using Chunks = QList<QByteArray>;
Q_DECLARE_METATYPE(Chunks)

namespace {

const InterfaceName Kivtest0(QStringLiteral("kivtest0"));

enum class State { Stopped, Static, WaitingForLease, WaitingForFallback, Leased, LinkLocal };
enum class Event { StartStatic, StartDhcp, Lease, OtherLease, DhcpError, FallbackTimeout, Stop };

const InterfaceConfiguration StaticSettings("kivtest0", "192.168.5.20", "255.255.255.0", "192.168.5.1",
                                            {"192.168.5.53"}, {"home"});
const InterfaceConfiguration Lease("kivtest0", "10.0.0.5", "255.255.255.0", "10.0.0.1", {"10.0.0.53"}, {"lan"});
const InterfaceConfiguration OtherLease("kivtest0", "10.0.0.5", "255.255.255.0", "10.0.0.1", {"10.0.0.54"}, {"lan"});
const QStringList Release{"flush ipv4 kivtest0"};
const QStringList LinkLocalStart{"-k kivtest0", "-D kivtest0"};

// The driver commands that apply a configuration (the routing table of this namespace decides the flush).
QStringList applied(const InterfaceConfiguration &configuration)
{
    QStringList commands{"flush ipv4 kivtest0", "add " + configuration.address().ip().toString() + "/24 kivtest0"};
    if (!ResolvConf::readIpv4DefaultGateway().isEmpty())
        commands << QStringLiteral("flushDefaultRoutes ipv4");
    return commands << "addDefaultRoute " + configuration.gateway().toString() + " kivtest0";
}

// Stands in for /sbin/udhcpc, which ends at once; the real one runs in the system test.
const char FakeUdhcpc[] = "#!/bin/sh\nexit 3\n";

// Feeds output to the client as if the running udhcpc had printed it.
class OutputFeed : public Udhcpc
{
public:
    OutputFeed() : Udhcpc(Kivtest0) {}
    using Udhcpc::receiveOutput;
};

class FakeDhcpClient : public DhcpClient
{
public:
    using DhcpClient::DhcpClient;
    void start() override { ++starts; }
    bool stop() override { return true; }
    int starts = 0;
};

// A family manager the test drives; its starts and stops go to a shared log.
class FakeFamily : public IpAddressManager
{
public:
    FakeFamily(const QString &name, QStringList *log) : m_name(name), m_log(log) {}
    void start(const InterfaceConfiguration &configuration) override { *m_log << m_name + " start " + configuration.name(); }
    void stop() override { *m_log << m_name + " stop"; }
    using IpAddressManager::setConnected;
    using IpAddressManager::setNameservers;
    using IpAddressManager::setSearchDomains;

private:
    QString m_name;
    QStringList *m_log;
};

// An address manager over two fake families.
struct Composed : AddressManager
{
    explicit Composed(QStringList *log) : Composed(new FakeFamily("ipv4", log), new FakeFamily("ipv6", log)) {}
    Composed(FakeFamily *v4, FakeFamily *v6) : AddressManager(Kivtest0, nullptr, {v4, v6}, nullptr), ipv4(v4), ipv6(v6) {}
    FakeFamily *ipv4;
    FakeFamily *ipv6;
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
        case Event::StartStatic: manager.start(StaticSettings); break;
        case Event::StartDhcp: manager.start(InterfaceConfiguration()); break;
        case Event::Lease: emit client->finished(Lease); break;
        case Event::OtherLease: emit client->finished(OtherLease); break;
        case Event::DhcpError: emit client->error("dhcpc: kivtest0: an error occurred!"); break;
        case Event::FallbackTimeout: expireFallback(); break;
        case Event::Stop: manager.stop(); break;
        }
    }

    // The fallback timer runs out as a precise single-shot timer does: it stops and signals.
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
        if (state != State::Stopped)
            fire(state == State::Static ? Event::StartStatic : Event::StartDhcp);
        if (state == State::WaitingForFallback)
            fire(Event::DhcpError);
        if (state == State::Leased)
            fire(Event::Lease);
        if (state == State::LinkLocal)
            fire(Event::FallbackTimeout);
        driver.commands.clear();
        connected.clear();
        disconnected.clear();
    }

    // What every state shows from outside: connection, fallback timer, applied configuration.
    void verifyIn(State state)
    {
        const bool up = state == State::Static || state == State::Leased || state == State::LinkLocal;
        QCOMPARE(manager.isConnected(), up);
        QCOMPARE(manager.fallbackRemainingTime() > 0, state == State::WaitingForLease || state == State::WaitingForFallback);
        if (state == State::Static)
            QCOMPARE(manager.currentConfiguration(), StaticSettings);
        else if (state == State::Leased)
            QVERIFY(manager.currentConfiguration() == Lease || manager.currentConfiguration() == OtherLease);
        else
            QCOMPARE(manager.currentConfiguration(), InterfaceConfiguration("kivtest0"));
        if (state == State::Static || !up)
            QCOMPARE(manager.nameservers(), state == State::Static ? StaticSettings.nameservers() : QList<QHostAddress>());
    }
};

// A configuration as "address/prefix gateway servers", for comparing what a client reported.
QString text(const InterfaceConfiguration &configuration)
{
    QStringList servers;
    for (const QHostAddress &server : configuration.nameservers())
        servers << server.toString();
    return configuration.address().ip().toString() + '/' + QString::number(configuration.address().prefixLength())
           + ' ' + configuration.gateway().toString() + ' ' + servers.join(',');
}

QStringList texts(const LogCapture &log)
{
    QStringList lines;
    for (const QString &line : log.texts())
        lines << withoutLocation(line);
    return lines;
}

} // namespace

Q_DECLARE_METATYPE(State)
Q_DECLARE_METATYPE(Event)

// The address managers, the DHCP client and its helper script, in network and mount namespaces of
// the test's own: avahi-autoipd is a recording stand-in first on PATH, a stand-in udhcpc lies over /sbin.
class TestAddress : public QObject
{
    Q_OBJECT

private:
    FakePrograms m_programs;
    QTemporaryDir m_dir;

private slots:
    void initTestCase()
    {
        if (!inPrivateNamespaces())
            QSKIP("needs private network and mount namespaces (root and unshare)");
        QVERIFY(m_programs.isValid() && m_programs.install(AutoIpD::Program));
        m_programs.putFirstOnPath();

        // A writable layer over /sbin, in this mount namespace only, takes the stand-in udhcpc.
        const QString sbin = QFileInfo(QStringLiteral("/sbin")).canonicalFilePath();
        QVERIFY(m_dir.isValid() && QDir().mkpath(m_dir.filePath("upper")) && QDir().mkpath(m_dir.filePath("work")));
        const QString layers = QStringLiteral("lowerdir=%1,upperdir=%2,workdir=%3").arg(sbin, m_dir.filePath("upper"), m_dir.filePath("work"));
        QCOMPARE(run("mount", {"-t", "overlay", "overlay", "-o", layers, sbin}), 0);
        QFile::remove(Udhcpc::Program);
        QFile fake(Udhcpc::Program);
        QVERIFY(fake.open(QIODevice::WriteOnly) && fake.write(FakeUdhcpc) > 0);
        fake.close();
    }

    void init()
    {
        m_programs.clear(AutoIpD::Program);
        QVERIFY(QFile::setPermissions(Udhcpc::Program, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    }

    // Expected: "address;netmask;gateway;servers;domains", or nothing when the output holds no record.
    void dhcpRecordRules_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("record");
        QTest::newRow("fullRecordAmongClientMessages")
            << "udhcpc: started\nKIVD_IP=10.0.0.5\nKIVD_NETMASK=255.255.255.0\nKIVD_GATEWAY=10.0.0.1\n"
               "KIVD_DNS=10.0.0.53 8.8.8.8\nKIVD_DOMAIN=lan example.com\nKIVD_FINISHED\nudhcpc: lease obtained\n"
            << "10.0.0.5;255.255.255.0;10.0.0.1;10.0.0.53,8.8.8.8;lan,example.com";
        QTest::newRow("terminatorFoundAnywhere") << "udhcpc: xKIVD_FINISHEDx" << ";;;;";
        QTest::newRow("terminatorIsCaseSensitive") << "KIVD_IP=10.0.0.5\nkivd_finished\n" << "";
        QTest::newRow("truncatedTerminator") << "KIVD_IP=10.0.0.5\nKIVD_FINISH" << "";
        QTest::newRow("carriageReturnStaysInValues") << "KIVD_IP=10.0.0.5\r\nKIVD_DOMAIN=lan\r\nKIVD_FINISHED\r\n"
                                                     << "10.0.0.5\r;;;;lan\r";
        QTest::newRow("keyLineAfterBlankIsIgnored") << " KIVD_IP=10.0.0.5\n\tKIVD_NETMASK=255.0.0.0\nKIVD_FINISHED\n" << ";;;;";
        QTest::newRow("prefixIsCaseSensitive") << "kivd_ip=10.0.0.5\nKivd_Gateway=10.0.0.1\nKIVD_FINISHED\n" << ";;;;";
        QTest::newRow("twoRoutersGiveTheFirstAsGateway") << "KIVD_GATEWAY=10.0.0.1 10.0.0.2\nKIVD_FINISHED\n" << ";;10.0.0.1;;";
        QTest::newRow("lastValueWinsAndListsAreReplaced")
            << "KIVD_IP=10.0.0.5\nKIVD_DNS=10.0.0.53 10.0.0.54\nKIVD_IP=10.0.0.6\nKIVD_DNS=10.0.0.55\nKIVD_FINISHED\n"
            << "10.0.0.6;;;10.0.0.55;";
        QTest::newRow("repeatedBlanksDropEmptyListParts")
            << "KIVD_DNS=  10.0.0.53   10.0.0.54 \nKIVD_DOMAIN= lan  \nKIVD_FINISHED\n"
            << ";;;10.0.0.53,10.0.0.54;lan";
        QTest::newRow("everyOccurrenceOfThePrefixIsRemoved") << "KIVD_DOMAIN=aKIVD_DOMAIN=b\nKIVD_FINISHED\n" << ";;;;ab";
    }

    void dhcpRecordRules()
    {
        QFETCH(QString, output);
        const DhcpRecord r = DhcpProtocol::parseRecord(output);
        const QStringList parts{r.address, r.netmask, r.gateway, r.nameservers.join(','), r.searchDomains.join(',')};
        QTEST(DhcpProtocol::hasRecord(output) ? parts.join(';') : QString(), "record");
    }

    // Each record is reported once, when its terminator arrives; unparsable addresses are dropped.
    void clientOutputIsReportedOncePerRecord_data()
    {
        QTest::addColumn<Chunks>("chunks");
        QTest::addColumn<QStringList>("reported");
        QTest::newRow("linesSplitAcrossChunks")
            << Chunks{"udhcpc: lease obtained\nKIVD_IP=10.0.", "0.5\nKIVD_NETMASK=255.255.255.0\nKIVD_DN",
                      "S=10.0.0.53\nKIVD_FINI", "SHED\n"}
            << QStringList{"10.0.0.5/24  10.0.0.53"};
        QTest::newRow("twoRecordsInOneChunkLaterValuesWin")
            << Chunks{"KIVD_IP=10.0.0.5\nKIVD_DNS=10.0.0.53\nKIVD_FINISHED\n"
                      "KIVD_IP=10.0.0.6\nKIVD_NETMASK=255.255.255.0\nKIVD_FINISHED\n"}
            << QStringList{"10.0.0.6/24  10.0.0.53"};
        QTest::newRow("renewalIsReportedAgain")
            << Chunks{"KIVD_IP=10.0.0.5\nKIVD_DNS=10.0.0.53\nKIVD_FINISHED\n", "udhcpc: renew\nKIVD_IP=10.0.0.5\n", "KIVD_DNS=10.0.0.54\n",
                      "KIVD_FINISHED\n"}
            << QStringList{"10.0.0.5/-1  10.0.0.53", "10.0.0.5/-1  10.0.0.54"};
        QTest::newRow("binaryJunkAndOverlongLineBeforeTheRecord")
            << Chunks{QByteArray("\xff\xfe\x80junk\n\0KIVD_FINISHED\n", 23), "KIVD_DOMAIN=" + QByteArray(1 << 20, 'a') + '\n',
                      "KIVD_IP=10.0.0.5\nKIVD_NETMASK=255.255.255.0\nKIVD_DNS=10.0.0.53\nKIVD_FINISHED\n"}
            << QStringList{"10.0.0.5/24  10.0.0.53"};
        QTest::newRow("unparsableAddressesDropped")
            << Chunks{"KIVD_IP=10.0.0.300\nKIVD_NETMASK=mask\nKIVD_GATEWAY=gw 10.0.0.1\n"
                      "KIVD_DNS=10.0.0.53 dns fd00::53 1.2.3.4.5\nKIVD_FINISHED\n"}
            << QStringList{"/-1  10.0.0.53,fd00::53"};
    }

    void clientOutputIsReportedOncePerRecord()
    {
        QFETCH(Chunks, chunks);
        LogCapture log;
        OutputFeed client;
        QStringList reported;
        connect(&client, &DhcpClient::finished, this,
                [&](const InterfaceConfiguration &configuration) { reported << text(configuration); });
        for (const QByteArray &chunk : chunks)
            client.receiveOutput(chunk);
        QTEST(reported, "reported");
    }

    void clientOutputIsLoggedLineByLineThenAsSettings()
    {
        LogCapture log;
        OutputFeed client;
        client.receiveOutput("udhcpc: lease obtained\r\n\nKIVD_IP=10.0.0.5\nKIVD_GATEWAY=10.0.0.1 10.0.0.2\n"
                             "KIVD_DNS=10.0.0.53 8.8.8.8\nKIVD_DOMAIN=lan home\nKIVD_FINISHED\n\n");
        QCOMPARE(texts(log), (QStringList{"kivtest0 Finished setup, parsing dhcp data from output:",
                                         "Dhcp output: \"udhcpc: lease obtained\"", "Dhcp output: \"\"",
                                         "Dhcp output: \"KIVD_IP=10.0.0.5\"", "Dhcp output: \"KIVD_GATEWAY=10.0.0.1 10.0.0.2\"",
                                         "Dhcp output: \"KIVD_DNS=10.0.0.53 8.8.8.8\"", "Dhcp output: \"KIVD_DOMAIN=lan home\"",
                                         "Dhcp output: \"KIVD_FINISHED\"",
                                         "kivtest0 Dhcp settings: \"10.0.0.5\" \"\" \"10.0.0.1\" 10.0.0.53 8.8.8.8 lan home"}));
        for (const auto &message : log.messages())
            QCOMPARE(message.first, QtInfoMsg);
    }

    // The helper script prints for bound and renew only, never configures anything itself, and keeps
    // a line feed in a value from starting a key line of its own.
    void helperScriptPrintsOneRecordPerLease_data()
    {
        QTest::addColumn<QString>("shell");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("output");
        const QString record = QStringLiteral("KIVD_IP=10.0.0.5\nKIVD_NETMASK=255.255.255.0\nKIVD_GATEWAY=10.0.0.1 10.0.0.2\n"
                                              "KIVD_DNS=10.0.0.53 8.8.8.8\nKIVD_DOMAIN=lan KIVD_IP=192.0.2.66 home\nKIVD_FINISHED\n");
        for (const QString &shell : {QStringLiteral("/bin/sh"), QStringLiteral("/bin/busybox")}) {
            const QByteArray name = QFileInfo(shell).fileName().toUtf8();
            QTest::newRow(name + "Bound") << shell << "bound" << record;
            QTest::newRow(name + "Renew") << shell << "renew" << record;
            for (const char *silent : {"deconfig", "leasefail", "nak"})
                QTest::newRow(name + silent) << shell << silent << "";
        }
    }

    void helperScriptPrintsOneRecordPerLease()
    {
        QFETCH(QString, shell);
        QFETCH(QString, event);
        FakePrograms configurators;
        for (const char *name : {"ip", "ifconfig", "route", "resolvconf"})
            QVERIFY(configurators.install(name));
        QProcessEnvironment environment;
        environment.insert("PATH", configurators.path() + QStringLiteral(":/usr/bin:/bin"));
        const QStringList variables{"interface=eth0", "ip=10.0.0.5", "subnet=255.255.255.0", "router=10.0.0.1 10.0.0.2",
                                    "dns=10.0.0.53 8.8.8.8", "domain=lan\nKIVD_IP=192.0.2.66\n\nhome", "lease=3600"};
        for (const QString &variable : variables)
            environment.insert(variable.section('=', 0, 0), variable.section('=', 1));
        QProcess script;
        script.setProcessEnvironment(environment);
        const QString helper = QStringLiteral(KIV_HELPER_SCRIPT);
        script.start(shell, shell.endsWith("busybox") ? QStringList{"sh", helper, event} : QStringList{helper, event});
        QVERIFY(script.waitForFinished(10000));
        QCOMPARE(script.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(script.readAllStandardError()), QString());
        QTEST(QString::fromUtf8(script.readAllStandardOutput()), "output");
        for (const char *name : {"ip", "ifconfig", "route", "resolvconf"})
            QCOMPARE(configurators.calls(name), QStringList());
    }

    // An exit or a kill is the client's own end (exited()); only a client that cannot run is an error.
    void udhcpcEndsAreReported_data()
    {
        QTest::addColumn<bool>("isError");
        QTest::addColumn<QString>("logged");
        QTest::newRow("exit") << false << "kivtest0: dhcp client process finished, exit code: 3";
        QTest::newRow("cannotStart") << true << "kivtest0: An error occurred in the dhcp client QProcess::FailedToStart";
    }

    void udhcpcEndsAreReported()
    {
        QFETCH(bool, isError);
        QFETCH(QString, logged);
        if (isError)
            QVERIFY(QFile::setPermissions(Udhcpc::Program, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        LogCapture log;
        Udhcpc client(Kivtest0);
        QSignalSpy error(&client, &DhcpClient::error);
        QSignalSpy exited(&client, &DhcpClient::exited);
        client.start();
        QTRY_COMPARE(error.count() + exited.count(), 1);
        QCOMPARE(error.count(), int(isError));
        if (isError)
            QCOMPARE(error.at(0).at(0).toString(), QStringLiteral("dhcpc: kivtest0: an error occurred!"));
        QVERIFY(texts(log).contains(logged));
    }

    void ipv4StateTable_data()
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
            << State::Stopped << Event::StartStatic << State::Static << 1 << 0 << applied(StaticSettings) << none;
        QTest::newRow("stoppedStartDhcpWaitsForLease") << State::Stopped << Event::StartDhcp << State::WaitingForLease << 0 << 0 << none << none;
        QTest::newRow("waitingLeaseApplies") << State::WaitingForLease << Event::Lease << State::Leased << 1 << 0 << applied(Lease) << none;
        QTest::newRow("waitingTimeoutStartsLinkLocal")
            << State::WaitingForLease << Event::FallbackTimeout << State::LinkLocal << 1 << 0 << none << LinkLocalStart;
        QTest::newRow("waitingErrorWaitsForFallback")
            << State::WaitingForLease << Event::DhcpError << State::WaitingForFallback << 0 << 0 << Release << none;
        QTest::newRow("fallbackWaitTimeoutStartsLinkLocal")
            << State::WaitingForFallback << Event::FallbackTimeout << State::LinkLocal << 1 << 0 << none << LinkLocalStart;
        QTest::newRow("fallbackWaitLateLeaseApplies")
            << State::WaitingForFallback << Event::Lease << State::Leased << 1 << 0 << applied(Lease) << none;
        QTest::newRow("leasedRenewalChangesNothing") << State::Leased << Event::Lease << State::Leased << 0 << 0 << none << none;
        QTest::newRow("leasedChangedRenewalIsApplied")
            << State::Leased << Event::OtherLease << State::Leased << 0 << 0 << applied(OtherLease) << none;
        QTest::newRow("leasedErrorReleasesAndWaitsForFallback")
            << State::Leased << Event::DhcpError << State::WaitingForFallback << 0 << 1 << Release << none;
        QTest::newRow("leasedStopReleases") << State::Leased << Event::Stop << State::Stopped << 0 << 1 << Release << none;
        QTest::newRow("staticStopReleases") << State::Static << Event::Stop << State::Stopped << 0 << 1 << Release << none;
        QTest::newRow("linkLocalLateLeaseEndsDaemonWithoutNewConnected")
            << State::LinkLocal << Event::Lease << State::Leased << 0 << 0 << applied(Lease) << QStringList{"-k kivtest0"};
        QTest::newRow("linkLocalStopKeepsDaemon") << State::LinkLocal << Event::Stop << State::Stopped << 0 << 1 << Release << none;
        QTest::newRow("linkLocalErrorReleasesAndWaitsAgain")
            << State::LinkLocal << Event::DhcpError << State::WaitingForFallback << 0 << 1 << Release << none;
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
        QTEST(int(fixture->connected.count()), "connectedSignals");
        QTEST(int(fixture->disconnected.count()), "disconnectedSignals");
        QTEST(fixture->driver.commands, "commands");
        QTEST(m_programs.calls(AutoIpD::Program), "autoipd");
        // A client error is logged and restarts the client later.
        if (event == Event::DhcpError) {
            QVERIFY(texts(log).contains(QStringLiteral("dhcp client error: \"dhcpc: kivtest0: an error occurred!\"")));
            QVERIFY(fixture->manager.dhcpRestartRemainingTime() > 0);
        }
        // Static settings never start a DHCP client; nothing but a start replaces it.
        QCOMPARE(fixture->made, int(event == Event::StartDhcp || (from != State::Stopped && from != State::Static)));
        // Only the manager's end stops a link-local daemon it left running.
        fixture.reset();
        if (from == State::LinkLocal && to == State::Stopped)
            QCOMPARE(m_programs.calls(AutoIpD::Program).constLast(), QStringLiteral("-k kivtest0"));
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
        Ipv4Fixture fixture;
        fixture.enter(state);
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
        QCOMPARE(fixture.made, 1);
        fixture.verifyIn(state);
        QCOMPARE(fixture.connected.count() + fixture.disconnected.count(), 0);

        emit client->finished(Lease);
        QCOMPARE(endAndRestart(), 1000);
        fixture.fire(Event::Stop);
        emit client->exited();
        QCOMPARE(fixture.manager.dhcpRestartRemainingTime(), -1);
    }

    // IPv4 starts and stops first; connected with the first family, disconnected with the last;
    // start() clears the flag silently so that the next connection is reported again.
    void familiesShareOneConnection()
    {
        QStringList log;
        Composed manager(&log);
        QSignalSpy connected(&manager, &AddressManager::connected);
        QSignalSpy disconnected(&manager, &AddressManager::disconnected);
        manager.ipv6->setConnected(true);
        manager.ipv4->setConnected(true);
        manager.ipv4->setConnected(false);
        QVERIFY(manager.isConnected());
        manager.ipv6->setConnected(false);
        QVERIFY(!manager.isConnected());
        QCOMPARE(connected.count(), 1);
        QCOMPARE(disconnected.count(), 1);

        manager.ipv4->setConnected(true);
        manager.start(InterfaceConfiguration("kivtest0"));
        QVERIFY(!manager.isConnected());
        manager.ipv4->setConnected(false);
        manager.ipv4->setConnected(true);
        QCOMPARE(connected.count(), 3);
        QCOMPARE(disconnected.count(), 1);
        manager.stop();
        QCOMPARE(log, (QStringList{"ipv4 start kivtest0", "ipv6 start kivtest0", "ipv4 stop", "ipv6 stop"}));
    }

    // Only a global or unique-local IPv6 address connects; flushing them on stop is the system test's.
    void ipv6ConnectsWithAGlobalAddress()
    {
        const auto address = [](const char *text, bool ipv4, bool linkLocal) {
            return NetlinkAddress{QString::fromLatin1(text), QByteArray("eth0"), ipv4, linkLocal, 64};
        };
        QVERIFY(!Ipv6AddressManager::hasGlobalAddress({}));
        QVERIFY(!Ipv6AddressManager::hasGlobalAddress({address("fe80::1", false, true), address("10.0.0.5", true, false),
                                                        address("169.254.3.4", true, true)}));
        QVERIFY(Ipv6AddressManager::hasGlobalAddress({address("fe80::1", false, true), address("fd00::5", false, false)}));
        QVERIFY(Ipv6AddressManager::hasGlobalAddress({address("2001:db8::5", false, false)}));
    }

    void addressSetterCommands_data()
    {
        QTest::addColumn<InterfaceConfiguration>("configuration");
        QTest::addColumn<QString>("currentGateway");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<bool>("warned");
        QTest::newRow("noNetmaskAssumesSlash24WithoutDefaultRoute")
            << InterfaceConfiguration("eth0", "192.168.7.9", "", "192.168.7.1", {}, {}) << ""
            << QStringList{"flush ipv4 eth0", "add 192.168.7.9/24 eth0", "addDefaultRoute 192.168.7.1 eth0"} << true;
        QTest::newRow("unparsableAddressOnlyFlushes") << InterfaceConfiguration("eth0", "10.0.0.256", "255.255.255.0", "", {}, {})
                                                      << "" << QStringList{"flush ipv4 eth0"} << false;
        QTest::newRow("emptyNameChangesNothing") << InterfaceConfiguration("", "10.0.0.5", "255.255.255.0", "10.0.0.1", {}, {})
                                                 << "192.168.1.1" << QStringList() << false;
    }

    void addressSetterCommands()
    {
        QFETCH(InterfaceConfiguration, configuration);
        QFETCH(QString, currentGateway);
        QFETCH(bool, warned);
        RecordingDriver driver;
        IpAddressSetter setter(&driver, [&] { return currentGateway; });
        if (warned)
            expectLog(QtWarningMsg, QStringLiteral("No netmask defined, assuming /24 network"));
        setter.setAddress(configuration);
        setter.setGateway(configuration);
        QTEST(driver.commands, "commands");
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestAddress)
#include "tst_address.moc"
