// The real daemon in one device sandbox, driven only through the bus as a client would: first in
// monitor mode, then managing the device with the simulated supplicant in every mode. The test
// functions run in order, each starting where the one before left the device.
#include "KivdClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QByteArray Scenario = R"({
  "interfaces": ["wlan0"],
  "timing": {"stepMs": 50, "scanMs": 200, "rescanMs": 1000, "wpsWalkMs": 4000, "wpsExchangeMs": 200,
             "tempDisabledUnitMs": 50},
  "accessPoints": [
    {"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123", "signal": -45,
     "frequency": 2437, "wps": {"mode": "pbc"}},
    {"ssid": "Cafe", "bssid": "02:00:00:00:01:03", "signal": -60}
  ]
})";

const QVariantMap HomeCredentials{{"wpa_psk", "secret123"}, {"priority", 2}};

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestManagerSystem : public QObject
{
    Q_OBJECT

    KivSandbox m_sandbox;
    KivdClient m_client{&m_sandbox};
    QProcess *m_staleDhcp = nullptr;
    QProcess m_machineDhcp;
    QByteArray m_machineResolver;
    QByteArray m_deviceResolver;

    void device(const QStringList &command)
    {
        const KivSandbox::Result result = m_sandbox.exec(command);
        QVERIFY2(result.ok(), qPrintable(command.join(' ') + ": " + result.output));
    }
    QByteArray output(const QStringList &command) { return m_sandbox.exec(command).output; }
    QString resolvConf() const { return QString::fromUtf8(readFile(m_sandbox.hostPath(QStringLiteral("/etc/resolv.conf")))); }
    bool connected() { return m_client.property(QStringLiteral("Connected")).toBool(); }
    bool setNetworks(const QVariantMap &networks) { return m_client.setProperty(QStringLiteral("WirelessNetworks"), networks); }

private slots:
    void initTestCase()
    {
        m_machineResolver = readFile(QStringLiteral("/etc/resolv.conf"));
        QVERIFY2(m_sandbox.up(), qPrintable(m_sandbox.lastError()));
        QVERIFY(m_client.startSimulatedSupplicant(QStringLiteral(KIV_SIM_SUPPLICANT), Scenario));
        QVERIFY(m_client.subscribe());

        // What an earlier run could have left: a DHCP client, on the machine too, where it must survive.
        const QString staleClient = m_sandbox.hostPath(QStringLiteral("/tmp/udhcpc"));
        QVERIFY(QFile::link(QStringLiteral("/bin/sleep"), staleClient));
        m_staleDhcp = m_sandbox.start(QStringLiteral("/tmp/udhcpc"), {QStringLiteral("600")});
        m_machineDhcp.start(staleClient, {QStringLiteral("600")});
        QVERIFY(m_staleDhcp && m_machineDhcp.waitForStarted());
        QTRY_COMPARE_WITH_TIMEOUT(m_sandbox.exec({"pidof", "udhcpc"}).exitCode, 0, KivdClient::Patience);

        // For the monitor: no servers, no cable, no addresses of the kernel's own making, so every
        // address notification is one the test asked for.
        QVERIFY(m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--dhcp", "off", "--ra", "off"}));
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        for (const QString &link : {QStringLiteral("eth0"), QStringLiteral("wlan0")})
            device({"ip", "link", "set", link, "addrgenmode", "none"});
        device({"ip", "link", "set", "eth0", "up"});
        m_deviceResolver = resolvConf().toUtf8();
        QVERIFY(m_client.startKivd({QStringLiteral("-m")}));
        QVERIFY(m_client.awaitLog("Finished setting up, starting main loop..."));
        QVERIFY(m_client.log().contains("Interface eth0 is disconnected"));
        QVERIFY(m_client.log().contains("Interface wlan0 is disconnected"));
        m_client.takeEvents();
    }

    void cleanupTestCase()
    {
        m_client.stopKivd();
        QCOMPARE(m_machineDhcp.state(), QProcess::Running);
        QCOMPARE(readFile(QStringLiteral("/etc/resolv.conf")), m_machineResolver);
        m_machineDhcp.kill();
        m_machineDhcp.waitForFinished();
    }
    void cleanup() { m_client.showLogAfterFailure(); }

    // Property writes, details of one interface and refused callers are proven through kivctl.
    void monitorLogsAndIgnoresCommands()
    {
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("Passive"));
        const QList<QPair<QString, QVariantList>> commands = {
            {"SetNormalMode", {QStringLiteral("wired")}},
            {"SetOffMode", {}},
            {"WpsPbc", {}},
            {"WpsPin", {QStringLiteral("12345670")}},
            {"Scan", {}},
            {"ForceWifiReconnect", {}},
            {"StartSoftAp", {QStringLiteral("uap0"), QVariantMap{{QStringLiteral("ssid"), QStringLiteral("Setup")}}}},
            {"StopSoftAp", {QStringLiteral("uap0")}},
        };
        for (const auto &command : commands) {
            const QDBusMessage reply = m_client.call(command.first, command.second);
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(command.first + ": " + reply.errorMessage()));
            QCOMPARE(reply.arguments(), QVariantList());
        }
        QVERIFY(m_client.awaitLog("COMMAND: Ignoring scan request!\n"));
        for (const char *line : {"COMMAND: Ignoring normal mode request: wired\n", "COMMAND: Ignoring off mode request!\n",
                                 "COMMAND: Ignoring WPS request\n", "COMMAND: Ignoring WPS PIN request\n"})
            QVERIFY2(m_client.log().contains(line), line);
        QVERIFY(!m_client.log().contains("12345670"));
        QCOMPARE(m_client.takeEvents(), QStringList());
    }

    void monitorRechecksPluggedCableWithoutAddressAfterTenSeconds()
    {
        QElapsedTimer sincePlug;
        sincePlug.start();
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("CableStatus true")));
        QCOMPARE(m_client.takeEvents(), QStringList{QStringLiteral("CableStatus true")});
        QVERIFY(m_client.awaitEvent(QStringLiteral("AddressesChanged")));
        // The re-check timer is coarse: it may fire up to 5 % early.
        QVERIFY2(sincePlug.elapsed() >= 9500, qPrintable(QString::number(sincePlug.elapsed())));
        QCOMPARE(m_client.takeEvents(), (QStringList{"Disconnected eth0", "AddressesChanged"}));
        QVERIFY(!connected());
    }

    void monitorFollowsAddressesAndCable_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<bool>("connected");
        QTest::newRow("IPv6 alone") << QStringList{"ip", "-6", "addr", "add", "fd00:50::7/64", "dev", "eth0", "nodad"}
                                    << QStringList{"Disconnected eth0", "AddressesChanged"} << false;
        QTest::newRow("IPv4 added") << QStringList{"ip", "addr", "add", "192.168.50.7/24", "dev", "eth0"}
                                    << QStringList{"Connected eth0", "AddressesChanged"} << true;
        QTest::newRow("IPv4 removed") << QStringList{"ip", "addr", "del", "192.168.50.7/24", "dev", "eth0"}
                                      << QStringList{"Disconnected eth0", "AddressesChanged"} << false;
        QTest::newRow("IPv4 again") << QStringList{"ip", "addr", "add", "192.168.50.8/24", "dev", "eth0"}
                                    << QStringList{"Connected eth0", "AddressesChanged"} << true;
        QTest::newRow("unplugged") << QStringList()
                                   << QStringList{"CableStatus false", "Disconnected eth0"} << false;
        QTest::newRow("wireless IPv4 without cable status") << QStringList{"ip", "addr", "add", "192.168.60.7/24", "dev", "wlan0"}
                                                            << QStringList{"Connected wlan0", "AddressesChanged"} << true;
    }

    void monitorFollowsAddressesAndCable()
    {
        QFETCH(QStringList, command);
        QFETCH(QStringList, events);
        QFETCH(bool, connected);
        if (command.contains(QStringLiteral("wlan0"))) {
            device({"ip", "link", "set", "wlan0", "up"});
            QVERIFY(m_client.awaitLog("interface status update: wlan0: +UP +RUNNING"));
            QVERIFY(!m_client.takeEvents().join(' ').contains(QLatin1String("CableStatus")));
        }
        if (command.isEmpty())
            QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        else
            device(command);
        QVERIFY(m_client.awaitEvent(events.constLast()));
        QCOMPARE(m_client.takeEvents(), events);
        QCOMPARE(this->connected(), connected);
    }

    void monitorDetailsDescribeBothInterfacesAndNothingChanged()
    {
        const QVariantMap details = m_client.mapProperty(QStringLiteral("Details"));
        QCOMPARE(details.value(QStringLiteral("Mode")).toString(), QStringLiteral("Passive"));
        QCOMPARE(KivdClient::toMap(details.value(QStringLiteral("WirelessAp"))), QVariantMap());
        const QVariantMap wired = KivdClient::toMap(details.value(QStringLiteral("wired")));
        QCOMPARE(wired.value(QStringLiteral("CableStatus")).toBool(), false);
        QCOMPARE(wired.value(QStringLiteral("Connected")).toBool(), false);
        const QVariantMap wireless = KivdClient::toMap(details.value(QStringLiteral("wireless")));
        QCOMPARE(wireless.value(QStringLiteral("Ip")).toString(), QStringLiteral("192.168.60.7"));
        QCOMPARE(wireless.value(QStringLiteral("Connected")).toBool(), true);
        QVERIFY(!wireless.contains(QStringLiteral("CableStatus")));
        QCOMPARE(m_client.details(QStringLiteral("kivabsent0")), QVariantMap());
        QVERIFY(m_client.awaitLog("No such interface: kivabsent0"));

        // The daemon left processes, files and links alone.
        QCOMPARE(m_staleDhcp->state(), QProcess::Running);
        QCOMPARE(resolvConf().toUtf8(), m_deviceResolver);
        QVERIFY(m_client.ipv4(QStringLiteral("eth0")).contains("192.168.50.8/24"));
        QVERIFY(!m_sandbox.exec({"ip", "link", "show", "uap0"}).ok());
    }

    void managerStartsInOffModeAfterCleaningUp()
    {
        m_client.stopKivd();
        QVERIFY(m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--reset"}));
        for (const QString &link : {QStringLiteral("eth0"), QStringLiteral("wlan0")})
            device({"sh", "-c", QStringLiteral("ip link set %1 down && ip link set %1 addrgenmode eui64 && ip link set %1 up").arg(link)});
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(m_client.startKivd());
        // wpa_supplicant sets its interface up when it opens it; the simulated one leaves links alone.
        device({"ip", "link", "set", "wlan0", "up"});
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("OffMode"));
        QVERIFY(!connected());
        QVERIFY(m_client.awaitLog("Entering state: OffMode\n"));
        QVERIFY(m_client.awaitLog("eth0 disabling...\n"));

        // The clean-up ran in the device only: the stale client is gone, the link is down without address.
        QTRY_COMPARE_WITH_TIMEOUT(m_staleDhcp->state(), QProcess::NotRunning, KivdClient::Patience);
        QCOMPARE(m_machineDhcp.state(), QProcess::Running);
        const QByteArray link = m_client.ipv4(QStringLiteral("eth0"));
        QVERIFY2(!link.contains("192.168.50.8") && !link.contains(",UP"), link.constData());
    }

    void wiredModeConnectsWithLeaseRouteAndResolver()
    {
        m_client.takeEvents();
        QVERIFY(m_client.setMode(QStringLiteral("wired")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0")));
        QVERIFY(m_client.events().contains(QStringLiteral("CableStatus true")));
        QVERIFY(m_client.events().contains(QStringLiteral("InterfaceStatusChanged eth0 2")));
        QCOMPARE(m_client.count(QStringLiteral("Connected eth0")), 1);

        // The IPv6 half may report the connection before the lease has arrived.
        const QRegularExpression lease(QStringLiteral("inet 192\\.168\\.50\\.1\\d\\d/24"));
        QTRY_VERIFY_WITH_TIMEOUT(lease.match(QString::fromLatin1(m_client.ipv4(QStringLiteral("eth0")))).hasMatch(), KivdClient::Patience);
        QTRY_VERIFY_WITH_TIMEOUT(resolvConf().contains(QLatin1String("nameserver 192.168.50.53\n")), KivdClient::Patience);
        QVERIFY(output({"ip", "-4", "route", "show", "default"}).contains("default via 192.168.50.1 dev eth0"));
    }

    void cableLossDisconnectsAtOnceAndReplugReconnects()
    {
        m_client.takeEvents();
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected eth0")));
        QVERIFY(m_client.events().contains(QStringLiteral("CableStatus false")));
        // Cable loss leaves at once, without announcing the ready pause.
        QCOMPARE(m_client.count(QStringLiteral("Disconnecting eth0")), 0);
        QVERIFY(!connected());

        m_client.takeEvents();
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0")));
        QVERIFY(m_client.events().contains(QStringLiteral("CableStatus true")));
        QVERIFY(connected());
    }

    void staticSettingsWrittenTwiceReloadOnceAndDhcpReturns()
    {
        const QVariantMap settings{{"Ip", "192.168.50.9"}, {"Netmask", "255.255.255.0"}, {"Gateway", "192.168.50.1"},
                                   {"Dns", QStringList{"192.168.50.99"}}};
        const int reloads = m_client.logCount("eth0 reloading IP...\n");
        m_client.takeEvents();
        QVERIFY(m_client.setProperty(QStringLiteral("WiredIpSettings"), settings));
        QVERIFY(m_client.setProperty(QStringLiteral("WiredIpSettings"), settings));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0")));
        QCOMPARE(m_client.logCount("COMMAND: Setting Wired Ip to static settings: "), 2);
        QCOMPARE(m_client.logCount("eth0 reloading IP...\n"), reloads + 1);
        QCOMPARE(m_client.count(QStringLiteral("Connected eth0")), 1);
        QTRY_VERIFY_WITH_TIMEOUT(m_client.ipv4(QStringLiteral("eth0")).contains("inet 192.168.50.9/24"), KivdClient::Patience);
        QTRY_VERIFY_WITH_TIMEOUT(resolvConf().contains(QLatin1String("nameserver 192.168.50.99\n")), KivdClient::Patience);
        QTRY_COMPARE_WITH_TIMEOUT(m_sandbox.exec({"pidof", "udhcpc"}).exitCode, 1, KivdClient::Patience);

        QVERIFY(m_client.setProperty(QStringLiteral("WiredIpSettings"), QVariantMap()));
        QTRY_VERIFY_WITH_TIMEOUT(m_client.ipv4(QStringLiteral("eth0")).contains("inet 192.168.50.1"), KivdClient::Patience);
        QCOMPARE(m_client.logCount("eth0 reloading IP...\n"), reloads + 2);
    }

    void offModeAnnouncesTearDownAndRefusesScans()
    {
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("SetOffMode")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected eth0"), 2 * KivdClient::Patience));
        QCOMPARE(m_client.events().filter(QStringLiteral(" eth0")).mid(0, 2), (QStringList{"Disconnecting eth0", "Disconnected eth0"}));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("OffMode"));
        QTRY_VERIFY_WITH_TIMEOUT(!m_client.ipv4(QStringLiteral("eth0")).contains("inet "), KivdClient::Patience);
        QVERIFY(m_client.command(QStringLiteral("Scan")));
        m_client.sync();
        QVERIFY(!m_client.log().contains("COMMAND: Starting Scan..."));
    }

    void wirelessModeConnectsToTheUsableConfiguredNetworks()
    {
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(setNetworks({{"Home", HomeCredentials}, {"Cafe", QVariantMap()}, {"Broken", QVariantMap{{"priority", 3}}}}));
        QVERIFY(m_client.awaitLog("Not adding network: Broken\n"));
        QVERIFY(!m_client.log().contains("wlan0 enabling with"));

        m_client.takeEvents();
        QVERIFY(m_client.setMode(QStringLiteral("wireless")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
        QVERIFY(m_client.log().contains("wlan0 enabling with a list of 2 networks"));
        QCOMPARE(m_client.details(QStringLiteral("wlan0")).value("Bssid").toString().toLower(), QStringLiteral("02:00:00:00:01:01"));
        QTRY_VERIFY_WITH_TIMEOUT(m_client.ipv4(QStringLiteral("wlan0")).contains("inet 192.168.60.1"), KivdClient::Patience);
    }

    void forceWifiReconnectAnnouncesTearDown()
    {
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("ForceWifiReconnect")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
        QCOMPARE(m_client.events().filter(QRegularExpression(QStringLiteral("onnect\\w* wlan0$"))),
                 (QStringList{"Disconnecting wlan0", "Disconnected wlan0", "Connected wlan0"}));
    }

    void secondWpsPinEndsTheFirstSession()
    {
        QCOMPARE(m_client.simulator(QStringLiteral("SetWpsOutcome"), {"02:00:00:00:01:01", "pin", 18}).type(), QDBusMessage::ReplyMessage);
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("WpsPin"), {QStringLiteral("12345670")}));
        QVERIFY(m_client.command(QStringLiteral("WpsPin"), {QStringLiteral("87654321")}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), 2 * KivdClient::Patience));
        QCOMPARE(m_client.logCount("wlan0 starting wps with PIN "), 2);
        QVERIFY(m_client.log().contains("wlan0 starting wps with PIN \"87654321\""));
        // The first session ends when the second is asked for; the second fails at the registrar.
        const QStringList errors = m_client.events().filter(QRegularExpression(QStringLiteral("^WpsError ")));
        QVERIFY2(errors.size() == 2, qPrintable(m_client.events().join('\n')));
        QCOMPARE(errors.first(), QStringLiteral("WpsError Another command requested, exiting WPS session"));
        QCOMPARE(m_client.count(QStringLiteral("WpsCredentials")), 0);
    }

    void softApReportsStationsAndRestartsOnlyForNewSettings()
    {
        const QVariantMap settings{{"ssid", "KivSetup"}, {"channel", 6}};
        QVERIFY(m_client.command(QStringLiteral("StartSoftAp"), {QStringLiteral("uap0"), settings}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0")));
        const QString mac = m_sandbox.stationJoin();
        QVERIFY(!mac.isEmpty());
        QVERIFY(m_client.awaitEvent(QStringLiteral("StationConnected ") + mac));
        QVERIFY(!m_sandbox.stationLeave().isEmpty());
        QVERIFY(m_client.awaitEvent(QStringLiteral("StationDisconnected ") + mac));

        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("StartSoftAp"), {QStringLiteral("uap0"), settings}));
        m_client.sync();
        QVERIFY(m_client.command(QStringLiteral("StartSoftAp"), {QStringLiteral("uap0"), QVariantMap{{"ssid", "KivSetup2"}, {"channel", 6}}}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0")));
        QCOMPARE(m_client.takeEvents().filter(QRegularExpression(QStringLiteral("^(Dis)?[Cc]onnected uap0$"))),
                 (QStringList{"Disconnected uap0", "Connected uap0"}));
        QVERIFY(m_client.command(QStringLiteral("StopSoftAp"), {QStringLiteral("uap0")}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected uap0")));
        QCOMPARE(m_client.details(QStringLiteral("uap0")).value("SoftApUp").toBool(), false);
    }

    void automaticModeFollowsTheCable()
    {
        m_client.takeEvents();
        // Any word but the three others selects automatic mode, letter case included.
        QVERIFY(m_client.setMode(QStringLiteral("Wired")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("AutomaticMode"));

        m_client.takeEvents();
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0"), 2 * KivdClient::Patience));
        QVERIFY(m_client.events().contains(QStringLiteral("Disconnected wlan0")));
        QVERIFY(m_client.events().indexOf(QStringLiteral("Disconnected wlan0")) < m_client.events().indexOf(QStringLiteral("Connected eth0")));

        // Unplugged: wireless again, with the network list configured by now.
        QVERIFY(setNetworks({{"Home", HomeCredentials}, {"Cafe", QVariantMap()}, {"Office", QVariantMap()}}));
        m_client.takeEvents();
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), 2 * KivdClient::Patience));
        QVERIFY(m_client.events().contains(QStringLiteral("Disconnected eth0")));
        QVERIFY(m_client.log().contains("wlan0 enabling with a list of 3 networks"));
    }

    void hybridModeKeepsWirelessWhenTheCableGoes()
    {
        m_client.takeEvents();
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0"), 2 * KivdClient::Patience));
        m_client.takeEvents();
        QVERIFY(m_client.setMode(QStringLiteral("hybrid")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), 2 * KivdClient::Patience));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("HybridMode"));
        QVERIFY(m_client.details(QStringLiteral("eth0")).value("Connected").toBool());
        m_client.takeEvents();
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected eth0")));
        QVERIFY(connected());
        QCOMPARE(m_client.count(QStringLiteral("Disconnected wlan0")), 0);
    }

    void wpsInWiredModeLeavesWirelessDisabled()
    {
        // The cable's own connection completes first, so the mode change alone decides about eth0.
        m_client.takeEvents();
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0"), 2 * KivdClient::Patience));
        QCOMPARE(m_client.simulator(QStringLiteral("SetWpsOutcome"), {"02:00:00:00:01:01", "pbc", 0}).type(), QDBusMessage::ReplyMessage);
        m_client.takeEvents();
        QVERIFY(m_client.setMode(QStringLiteral("wired")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected wlan0"), 2 * KivdClient::Patience));
        QTRY_VERIFY_WITH_TIMEOUT(connected(), 2 * KivdClient::Patience);

        const int disables = m_client.logCount("wlan0 disabling...\n");
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("WpsPbc")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("WpsCredentials"), 2 * KivdClient::Patience));
        // The session's end disables wireless again while the wired connection stays.
        QVERIFY(QTest::qWaitFor([&] { return m_client.logCount("wlan0 disabling...\n") > disables; }, KivdClient::Patience));
        m_client.sync();
        QCOMPARE(m_client.count(QStringLiteral("Connected wlan0")), 0);
        QCOMPARE(m_client.count(QStringLiteral("Disconnected eth0")), 0);
        QVERIFY(connected());
    }
};

QTEST_GUILESS_MAIN(TestManagerSystem)
#include "tst_manager_system.moc"
