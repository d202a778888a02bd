// The real daemon in one device sandbox, driven through the bus and by kivctl in the device: first
// in monitor mode, then managing the device in every mode. Functions run in order, each starting
// where the one before left the device.
#include "KivdClient.h"

#include <csignal>

namespace {

const QByteArray Scenario = R"({"interfaces": ["wlan0"],
  "timing": {"stepMs": 50, "scanMs": 200, "rescanMs": 1000, "wpsWalkMs": 4000, "wpsExchangeMs": 200, "tempDisabledUnitMs": 50},
  "accessPoints": [{"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123", "signal": -45,
                    "frequency": 2437, "wps": {"mode": "pbc"}},
                   {"ssid": "Cafe", "bssid": "02:00:00:00:01:02", "signal": -60, "frequency": 2412},
                   {"ssid": "Office", "bssid": "02:00:00:00:01:03", "security": "wep", "key": "abcde", "signal": -72, "frequency": 5180}]})";

const QVariantMap HomeCredentials{{"wpa_psk", "secret123"}, {"priority", 2}};
const int Patience = KivdClient::Patience;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool matches(const QString &pattern, const QByteArray &text)
{
    return QRegularExpression(pattern, QRegularExpression::MultilineOption).match(QString::fromUtf8(text)).hasMatch();
}

// One kivctl run: exit status, standard output and standard error apart.
struct KivctlRun { int exitCode; QByteArray out, err; };

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

    QString resolvConf() const { return QString::fromUtf8(readFile(m_sandbox.hostPath(QStringLiteral("/etc/resolv.conf")))); }
    bool connected() { return m_client.property(QStringLiteral("Connected")).toBool(); }

    // One kivctl run; the daemon's output so far is collected after it, so its pipe never fills.
    KivctlRun kivctl(const QStringList &arguments, const QStringList &prefix = {})
    {
        const QStringList command = QStringList{"sh", "-c", "\"$@\" 2>/tmp/kivctl.err", "sh"} + prefix + QStringList{KIVCTL_BINARY} + arguments;
        const KivSandbox::Result result = m_sandbox.exec(command, 2 * Patience);
        QCoreApplication::processEvents();
        m_client.log();
        return {result.exitCode, result.output, readFile(m_sandbox.hostPath(QStringLiteral("/tmp/kivctl.err")))};
    }
    // kivctl in the background, its output read by the returned process, once it wrote ready to standard error.
    QProcess *startKivctl(const QStringList &arguments, const QByteArray &ready = "kivctl: listening for kivd's signals\n")
    {
        const QString err = m_sandbox.hostPath(QStringLiteral("/tmp/background.err"));
        QFile::remove(err);
        QProcess *process = m_sandbox.start("sh", QStringList{"-c", "\"$@\" 2>/tmp/background.err", "sh", KIVCTL_BINARY} + arguments);
        return QTest::qWaitFor([&] { return readFile(err).contains(ready); }, Patience) ? process : nullptr;
    }
    // Takes the events so far, plugs or unplugs the cable or sets the mode, and waits for the event the change brings.
    bool change(const QString &what, const QString &event)
    {
        m_client.takeEvents();
        const bool done = what == "plug" ? m_sandbox.plug("eth0") : what == "unplug" ? m_sandbox.unplug("eth0") : m_client.setMode(what);
        return done && m_client.awaitEvent(event, 2 * Patience);
    }
    // A failure is one line on standard error and nothing else; a success writes the text to standard output alone.
    static void expect(const KivctlRun &run, int exitCode, const QByteArray &text = {})
    {
        QVERIFY2(run.exitCode == exitCode, run.err.constData());
        QCOMPARE(exitCode ? run.err : run.out, exitCode ? "kivctl: " + text + '\n' : text);
        QCOMPARE(exitCode ? run.out : run.err, QByteArray());
    }
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
        QTRY_COMPARE_WITH_TIMEOUT(m_sandbox.exec({"pidof", "udhcpc"}).exitCode, 0, Patience);

        // No servers, cable or kernel-made addresses: every address notification is one the test asked for.
        QVERIFY(m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--dhcp", "off", "--ra", "off"}));
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(m_sandbox.exec({"sh", "-c", "ip link set eth0 addrgenmode none && ip link set wlan0 addrgenmode none && ip link set eth0 up"}).ok());
        m_deviceResolver = resolvConf().toUtf8();
        QVERIFY(m_client.startKivd({QStringLiteral("-m")}));
        QVERIFY(m_client.awaitLog("Finished setting up, starting main loop..."));
        QVERIFY(m_client.log().contains("Interface eth0 is disconnected") && m_client.log().contains("Interface wlan0 is disconnected"));
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

    void monitorLogsAndIgnoresCommands()
    {
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("Passive"));
        const QList<QPair<QString, QVariantList>> commands = {
            {"SetNormalMode", {"wired"}}, {"SetOffMode", {}}, {"WpsPbc", {}}, {"WpsPin", {"12345670"}}, {"Scan", {}},
            {"ForceWifiReconnect", {}}, {"StartSoftAp", {"uap0", QVariantMap{{"ssid", "Setup"}}}}, {"StopSoftAp", {"uap0"}}};
        for (const auto &command : commands)
            QVERIFY2(m_client.command(command.first, command.second), qPrintable(command.first));
        // Settings are taken and forgotten; only the log level can be set.
        for (const char *name : {"WirelessNetworks", "WiredIpSettings", "WirelessIpSettings"})
            QVERIFY2(m_client.setProperty(name, QVariantMap{{"dhcp", false}}), name);
        for (const char *name : {"WirelessNetworks", "WiredIpSettings", "WirelessIpSettings", "SoftApModeSettings"})
            QVERIFY2(m_client.property(name).isValid() && qdbus_cast<QVariantMap>(m_client.property(name)).isEmpty(), name);
        QVERIFY(m_client.setProperty(QStringLiteral("LogLevel"), m_client.property(QStringLiteral("LogLevel"))));
        QVERIFY(m_client.awaitLog("COMMAND: Ignoring Wireless Ip settings: "));
        for (const char *line :
             {"normal mode request: wired\n", "off mode request!\n", "scan request!\n", "WPS request\n", "WPS PIN request\n", "Wired Ip settings: "})
            QVERIFY2(m_client.log().contains(QByteArray("COMMAND: Ignoring ") + line), line);
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
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("events");
        QTest::newRow("IPv6 alone") << "ip -6 addr add fd00:50::7/64 dev eth0 nodad" << "Disconnected eth0,AddressesChanged";
        QTest::newRow("IPv4 added") << "ip addr add 192.168.50.7/24 dev eth0" << "Connected eth0,AddressesChanged";
        QTest::newRow("IPv4 removed") << "ip addr del 192.168.50.7/24 dev eth0" << "Disconnected eth0,AddressesChanged";
        QTest::newRow("IPv4 again") << "ip addr add 192.168.50.8/24 dev eth0" << "Connected eth0,AddressesChanged";
        QTest::newRow("unplugged") << "" << "CableStatus false,Disconnected eth0";
        QTest::newRow("wireless IPv4 without cable status") << "ip addr add 192.168.60.7/24 dev wlan0" << "Connected wlan0,AddressesChanged";
    }

    void monitorFollowsAddressesAndCable()
    {
        QFETCH(QString, command);
        QFETCH(QString, events);
        if (command.endsWith(QLatin1String("wlan0"))) {
            QVERIFY(m_sandbox.exec({"ip", "link", "set", "wlan0", "up"}).ok());
            QVERIFY(m_client.awaitLog("interface status update: wlan0: +UP +RUNNING"));
            QVERIFY(!m_client.takeEvents().join(' ').contains(QLatin1String("CableStatus")));
        }
        QVERIFY(command.isEmpty() ? m_sandbox.unplug(QStringLiteral("eth0")) : m_sandbox.exec(command.split(' ')).ok());
        QVERIFY(m_client.awaitEvent(events.section(',', -1)));
        QCOMPARE(m_client.takeEvents(), events.split(','));
        // The Connected property follows the last connection event.
        QCOMPARE(connected(), events.contains(QLatin1String("Connected ")));
    }

    void monitorDetailsDescribeBothInterfacesAndNothingChanged()
    {
        const QVariantMap details = qdbus_cast<QVariantMap>(m_client.property(QStringLiteral("Details")));
        const QVariantMap wired = qdbus_cast<QVariantMap>(details.value(QStringLiteral("wired")));
        const QVariantMap wireless = qdbus_cast<QVariantMap>(details.value(QStringLiteral("wireless")));
        QCOMPARE((QVariantList{wired.value("CableStatus"), wired.value("Connected"), wireless.value("Ip"), wireless.value("Connected"),
                               wireless.value("CableStatus")}),
                 (QVariantList{false, false, "192.168.60.7", true, QVariant()}));
        QCOMPARE(m_client.details(QStringLiteral("kivabsent0")), QVariantMap());

        // The daemon left processes, files and links alone.
        QCOMPARE(m_staleDhcp->state(), QProcess::Running);
        QCOMPARE(resolvConf().toUtf8(), m_deviceResolver);
        QVERIFY(m_client.ipv4("eth0").contains("192.168.50.8/24"));
        QVERIFY(!m_sandbox.exec({"ip", "link", "show", "uap0"}).ok());
    }

    void managerStartsInOffModeAfterCleaningUp()
    {
        m_client.stopKivd();
        QVERIFY(m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--reset"}));
        QVERIFY(m_sandbox.exec({"sh", "-ec", "for l in eth0 wlan0; do ip link set $l down addrgenmode eui64; ip link set $l up; done"}).ok());
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(m_client.startKivd());
        // wpa_supplicant sets its interface up when it opens it; the simulated one leaves links alone.
        QVERIFY(m_sandbox.exec({"ip", "link", "set", "wlan0", "up"}).ok());
        expect(kivctl({"mode"}), 0, "Mode: OffMode\n");
        expect(kivctl({"scan"}), 1, "kivd is in off mode; scanning needs wireless, automatic or hybrid mode");
        QVERIFY(m_client.awaitLog("eth0 disabling...\n"));

        // The clean-up ran in the device only: the stale client is gone, the link is down without address.
        QTRY_COMPARE_WITH_TIMEOUT(m_staleDhcp->state(), QProcess::NotRunning, Patience);
        const QByteArray link = m_sandbox.exec({"ip", "-br", "addr", "show", "dev", "eth0"}).output;
        QVERIFY2(matches("^eth0\\S* +DOWN +$", link), link.constData());
    }

    void wiredModeConnectsWithLeaseRouteAndResolver()
    {
        m_client.takeEvents();
        expect(kivctl({"mode", "wired"}), 0);
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0")));
        QVERIFY(m_client.events().contains(QStringLiteral("CableStatus true")));
        QVERIFY(m_client.events().contains(QStringLiteral("InterfaceStatusChanged eth0 2")));
        QCOMPARE(m_client.count(QStringLiteral("Connected eth0")), 1);

        // The IPv6 half may report the connection before the lease has arrived.
        const QString lease = QStringLiteral("192\\.168\\.50\\.1\\d\\d/24");
        QTRY_VERIFY_WITH_TIMEOUT(matches("inet " + lease + ' ', m_client.ipv4("eth0")), Patience);
        QTRY_VERIFY_WITH_TIMEOUT(resolvConf().contains(QLatin1String("nameserver 192.168.50.53\n")), Patience);
        QVERIFY(m_sandbox.exec({"ip", "-4", "route", "show", "default"}).output.contains("default via 192.168.50.1 dev eth0"));
        const KivctlRun status = kivctl({"status"});
        QVERIFY2(status.exitCode == 0 && matches("^eth0 +wired +up +yes +in +dhcp +" + lease, status.out),
                 status.out.constData());
        expect(kivctl({"details", "nope0"}), 1, "kivd knows no interface 'nope0'");

        QCOMPARE(kivctl({"loglevel", "7"}).out, QByteArray("Log level: 2 (kivd capped 7)\n"));
        // Back to the level of -d: later checks read the daemon's debug lines.
        QCOMPARE(kivctl({"loglevel", "1"}).out, QByteArray("Log level: 1\n"));
    }

    void staticSettingsWrittenTwiceReloadOnceAndDhcpReturns()
    {
        const QStringList settings{"ip", "wired", "static", "192.168.50.9/24", "gw", "192.168.50.1", "dns", "192.168.50.99"};
        const int reloads = m_client.logCount("eth0 reloading IP...\n");
        m_client.takeEvents();
        expect(kivctl(settings), 0);
        expect(kivctl(settings), 0);
        QCOMPARE(kivctl({"ip", "wired"}).out, QByteArray("wired: static 192.168.50.9/24, gw 192.168.50.1, dns 192.168.50.99\n"));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0")));
        QCOMPARE(m_client.logCount("COMMAND: Setting Wired Ip to static settings: "), 2);
        QCOMPARE(m_client.logCount("eth0 reloading IP...\n"), reloads + 1);
        QCOMPARE(m_client.count(QStringLiteral("Connected eth0")), 1);
        QTRY_VERIFY_WITH_TIMEOUT(m_client.ipv4("eth0").contains("inet 192.168.50.9/24"), Patience);
        QTRY_VERIFY_WITH_TIMEOUT(resolvConf().contains(QLatin1String("nameserver 192.168.50.99\n")), Patience);
        QTRY_COMPARE_WITH_TIMEOUT(m_sandbox.exec({"pidof", "udhcpc"}).exitCode, 1, Patience);

        expect(kivctl({"ip", "wired", "dhcp"}), 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_client.ipv4("eth0").contains("inet 192.168.50.1"), Patience);
        QCOMPARE(m_client.logCount("eth0 reloading IP...\n"), reloads + 2);
    }

    void offModeAnnouncesTearDownAndRefusesScans()
    {
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("SetOffMode")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected eth0"), 2 * Patience));
        QCOMPARE(m_client.events().filter(QStringLiteral(" eth0")).mid(0, 2), (QStringList{"Disconnecting eth0", "Disconnected eth0"}));
        QTRY_VERIFY_WITH_TIMEOUT(!m_client.ipv4("eth0").contains("inet "), Patience);
        QVERIFY(m_client.command(QStringLiteral("Scan")));
        m_client.sync();
        QVERIFY(!m_client.log().contains("COMMAND: Starting Scan..."));
    }

    void wirelessModeConnectsToTheUsableConfiguredNetworks()
    {
        // kivctl's adding and removing rewrite the whole list read from kivd.
        expect(kivctl({"networks", "set", "Home", "wpa_psk=secret123", "priority=2", "Office", "wep_key=abcde"}), 0);
        expect(kivctl({"networks", "add", "Cafe", "unsecured"}), 0);
        expect(kivctl({"networks", "remove", "Office"}), 0);
        QCOMPARE(kivctl({"networks", "list"}).out, QByteArray("SSID  SECURITY   PRIORITY\nCafe  unsecured  0\nHome  wpa-psk    2\n"));

        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(m_client.setProperty(QStringLiteral("WirelessNetworks"),
                                     QVariantMap{{"Home", HomeCredentials}, {"Cafe", QVariantMap()}, {"Broken", QVariantMap{{"priority", 3}}}}));
        QVERIFY(m_client.awaitLog("Not adding network: Broken\n"));
        QVERIFY(!m_client.log().contains("wlan0 enabling with"));

        m_client.takeEvents();
        expect(kivctl({"mode", "wireless"}), 0);
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
        QVERIFY(m_client.log().contains("wlan0 enabling with a list of 2 networks"));
        QCOMPARE(m_client.details(QStringLiteral("wlan0")).value("Bssid").toString().toLower(), QStringLiteral("02:00:00:00:01:01"));
        QTRY_VERIFY_WITH_TIMEOUT(m_client.ipv4("wlan0").contains("inet 192.168.60.1"), Patience);
    }

    void scanListsTheStrongestFirst()
    {
        expect(kivctl({"scan"}), 0, "SSID    SECURITY   SIGNAL  CHANNEL\n"
                                    "Home    wpa_psk    -45     6\n"
                                    "Cafe    unsecured  -60     1\n"
                                    "Office  wep        -72     36\n");
        // A new signal shows at the next scan; a vanished access point after bssExpireCount (2) scans.
        QCOMPARE(m_client.simulator("SetSignal", {"02:00:00:00:01:02", -30}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(m_client.simulator("RemoveAp", {"02:00:00:00:01:03"}).type(), QDBusMessage::ReplyMessage);
        QVERIFY(matches("^Cafe +unsecured +-30 +1\nHome ", kivctl({"scan"}).out));
        QCOMPARE(kivctl({"scan"}).out, QByteArray("SSID  SECURITY   SIGNAL  CHANNEL\n"
                                                  "Cafe  unsecured  -30     1\n"
                                                  "Home  wpa_psk    -45     6\n"));
    }

    void forceWifiReconnectAnnouncesTearDown()
    {
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("ForceWifiReconnect")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
        QCOMPARE(m_client.events().filter(QRegularExpression(QStringLiteral("onnect\\w* wlan0$"))),
                 (QStringList{"Disconnecting wlan0", "Disconnected wlan0", "Connected wlan0"}));
    }

    void wpsPinSessionsEndInErrors()
    {
        QCOMPARE(m_client.simulator(QStringLiteral("SetWpsOutcome"), {"02:00:00:00:01:01", "pin", 18}).type(), QDBusMessage::ReplyMessage);
        // A second PIN asked for while the first session waits out the ready pause ends that session.
        m_client.takeEvents();
        QProcess *first = startKivctl({"wps", "pin", "12345670"}, "");
        QVERIFY(first);
        QVERIFY(m_client.awaitLog("wlan0 starting wps with PIN \"12345670\""));
        QVERIFY(m_client.command(QStringLiteral("WpsPin"), {QStringLiteral("87654321")}));
        QVERIFY(first->waitForFinished(Patience));
        QCOMPARE(first->exitCode(), 1);
        QCOMPARE(first->readAll() + readFile(m_sandbox.hostPath(QStringLiteral("/tmp/background.err"))),
                 QByteArray("kivctl: WPS failed: Another command requested, exiting WPS session\n"));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), 2 * Patience));
        QVERIFY(m_client.log().contains("wlan0 starting wps with PIN \"87654321\""));
        QCOMPARE(m_client.events().filter(QRegularExpression(QStringLiteral("^Wps"))).size(), 2);

        m_client.takeEvents();
        expect(kivctl({"wps", "pin", "12345670"}), 1, "WPS failed: Device Password Auth Failure");
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), 2 * Patience));
    }

    void softApServesStationsAndRestartsOnlyForNewSettings()
    {
        QProcess *counted = startKivctl({"monitor", "Connected", "StationConnected", "--count", "2", "--json"});
        QVERIFY(counted);
        // A program that cannot be started is retried like one that quit.
        QVERIFY(m_sandbox.exec({"mount", "--bind", "/dev/null", "/usr/sbin/udhcpd"}).ok());
        const QStringList start{"softap", "start", "uap0", "ssid=KivSetup", "countryCode=DE"};
        expect(kivctl(start), 0);
        QVERIFY(matches("^  ssid: +KivSetup$", kivctl({"softap", "settings"}).out));
        QVERIFY(m_client.awaitLog("/usr/sbin/udhcpd could not be started"));
        QVERIFY(m_sandbox.exec({"umount", "/usr/sbin/udhcpd"}).ok());
        QTRY_VERIFY_WITH_TIMEOUT(!m_sandbox.exec({"pidof", "udhcpd"}).output.isEmpty(), 2 * Patience);
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0"), 2 * Patience));
        // One radio without multichannel support: the access point takes the client's channel 6.
        QVERIFY(readFile(m_sandbox.hostPath(QStringLiteral("/tmp/hostapd_uap0.conf"))).contains("\nchannel=6\n"));

        const KivSandbox::Result lease = m_sandbox.tool("station", {"dhcp"});
        QVERIFY2(matches("KIVD_IP=192\\.168\\.200\\.\\d+", lease.output), lease.output.constData());
        const QString mac = m_sandbox.stationJoin();
        QVERIFY(!mac.isEmpty());
        QVERIFY(counted->waitForFinished(Patience));
        QCOMPARE(counted->exitCode(), 0);
        const QByteArray monitored = counted->readAll();
        const QString line = QStringLiteral("\\{\"args\":\\[\"%1\"[^]]*\\],\"signal\":\"%2\",\"time\":\"[^\"]+\"\\}\n");
        QVERIFY2(matches('^' + line.arg("uap0", "Connected") + line.arg(mac, "StationConnected") + "\\z", monitored), monitored.constData());
        QVERIFY(!m_sandbox.stationLeave().isEmpty());
        QVERIFY(m_client.awaitEvent(QStringLiteral("StationDisconnected ") + mac));

        m_client.takeEvents();
        expect(kivctl(start), 0);
        m_client.sync();
        expect(kivctl(QStringList(start).replaceInStrings("=KivSetup", "=KivSetup2")), 0);
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0")));
        QCOMPARE(m_client.takeEvents().filter(QRegularExpression(QStringLiteral("^(Dis)?[Cc]onnected uap0$"))),
                 (QStringList{"Disconnected uap0", "Connected uap0"}));
        expect(kivctl({"softap", "stop", "uap0"}), 0);
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected uap0")));
        QCOMPARE(m_client.details(QStringLiteral("uap0")).value("SoftApUp").toBool(), false);
    }

    void automaticModeFollowsTheCable()
    {
        // Any word but the three others selects automatic mode, letter case included.
        QVERIFY(change("Wired", "Connected wlan0"));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("AutomaticMode"));

        QVERIFY(change("plug", "Connected eth0"));
        QCOMPARE(m_client.events().filter(QRegularExpression(QStringLiteral("^(Disconnected wlan0|Connected eth0)$"))),
                 (QStringList{"Disconnected wlan0", "Connected eth0"}));

        // Unplugged: wireless again, with the network list configured by now.
        QVERIFY(m_client.setProperty(QStringLiteral("WirelessNetworks"),
                                     QVariantMap{{"Home", HomeCredentials}, {"Cafe", QVariantMap()}, {"Office", QVariantMap()}}));
        QVERIFY(change("unplug", "Connected wlan0"));
        QVERIFY(m_client.events().contains(QStringLiteral("Disconnected eth0")));
        QVERIFY(m_client.log().contains("wlan0 enabling with a list of 3 networks"));
    }

    void hybridModeKeepsWirelessWhenTheCableGoes()
    {
        QVERIFY(change("plug", "Connected eth0"));
        QVERIFY(change("hybrid", "Connected wlan0"));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("HybridMode"));
        QVERIFY(m_client.details(QStringLiteral("eth0")).value("Connected").toBool());
        QVERIFY(change("unplug", "Disconnected eth0"));
        // Cable loss leaves at once, without announcing the ready pause.
        QCOMPARE(m_client.takeEvents().filter(QRegularExpression(QStringLiteral("(eth0|wlan0|false)$"))),
                 (QStringList{"CableStatus false", "Disconnected eth0"}));
    }

    void wpsInWiredModeLeavesWirelessDisabled()
    {
        // The cable's own connection completes first, so the mode change alone decides about eth0.
        QVERIFY(change("plug", "Connected eth0"));
        QCOMPARE(m_client.simulator(QStringLiteral("SetWpsOutcome"), {"02:00:00:00:01:01", "pbc", 0}).type(), QDBusMessage::ReplyMessage);
        QVERIFY(change("wired", "Disconnected wlan0"));
        QTRY_VERIFY_WITH_TIMEOUT(connected(), 2 * Patience);

        const int disables = m_client.logCount("wlan0 disabling...\n");
        m_client.takeEvents();
        expect(kivctl({"wps", "pbc"}), 0, "priority: 0\nssid:     Home\ntype:     wpa-psk\nwpa_psk:  (hidden)\n");
        // The session's end disables wireless again while the wired connection stays.
        QVERIFY(QTest::qWaitFor([&] { return m_client.logCount("wlan0 disabling...\n") > disables; }, Patience));
        m_client.sync();
        QCOMPARE(m_client.events().filter(QRegularExpression(QStringLiteral("^(Connected wlan0|Disconnected eth0)$"))), QStringList());
    }

    void kivctlFailuresAreOneLineWithTheirStatus()
    {
        // Ctrl-C ends a monitor by the signal, as the shell reports with status 130.
        QProcess *endless = startKivctl({"monitor"});
        QVERIFY(endless);
        QVERIFY(m_sandbox.exec({"sh", "-c", "kill -INT $(pidof kivctl)"}).ok());
        QVERIFY(endless->waitForFinished(Patience));
        QCOMPARE(endless->exitCode(), 128 + SIGINT);

        expect(kivctl({"mode", "off"}, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}), 1,
               "access denied: only root may control kivd");
        QVERIFY(m_sandbox.exec({"sh", "-c", "kill -STOP $(pidof kivd)"}).ok());
        const KivctlRun stalled = kivctl({"--timeout", "1.5", "status"});
        QVERIFY(m_sandbox.exec({"sh", "-c", "kill -CONT $(pidof kivd)"}).ok());
        expect(stalled, 124, "kivd did not answer within 1.5 s");
        expect(kivctl({"mode"}), 0, "Mode: WiredMode\n");
        m_client.stopKivd();
        expect(kivctl({"status"}), 1, "kivd is not running");
    }
};

QTEST_GUILESS_MAIN(TestManagerSystem)
#include "tst_manager_system.moc"
