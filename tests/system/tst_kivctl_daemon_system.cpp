// kivctl inside the device sandbox against the full daemon, with the wired LAN, the simulated
// supplicant and the soft-AP doubles: every command, its text and JSON output, and what kivd did.
#include "KivctlDriver.h"
#include "KivdClient.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>

namespace {

const int Patience = 2 * KivdClient::Patience;

const QByteArray Scenario = R"({
  "interfaces": ["wlan0"],
  "timing": {"stepMs": 50, "scanMs": 200, "rescanMs": 1000, "wpsWalkMs": 4000, "wpsExchangeMs": 200,
             "tempDisabledUnitMs": 50},
  "accessPoints": [
    {"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123", "signal": -45,
     "frequency": 2437, "wps": {"mode": "pbc"}},
    {"ssid": "Cafe", "bssid": "02:00:00:00:01:02", "signal": -60, "frequency": 2412},
    {"ssid": "Office", "bssid": "02:00:00:00:01:03", "security": "wep", "key": "abcde", "signal": -72,
     "frequency": 5180},
    {"ssid": "Neighbour", "bssid": "02:00:00:00:01:04", "security": "wpa-psk", "key": "elsewhere1", "signal": -81,
     "frequency": 2462}
  ]
})";

const QByteArray NetworksFile = R"({"Home": {"wpa_psk": "secret123", "priority": 2}, "Office": {"wep_key": "abcde"}})";

bool matches(const QString &pattern, const QByteArray &text)
{
    return QRegularExpression(pattern, QRegularExpression::MultilineOption).match(QString::fromUtf8(text)).hasMatch();
}

#define VERIFY_MATCHES(pattern, text) QVERIFY2(matches(pattern, text), (text).constData())

const QByteArray HomeCredentials("priority: 0\nssid:     Home\ntype:     wpa-psk\nwpa_psk:  (hidden)\n");

} // namespace

class TestKivctlDaemonSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Without router advertisements the name servers and addresses are the DHCP ones only.
        QVERIFY2(m_sandbox.up({"--no-ra"}), qPrintable(m_sandbox.lastError()));
        QVERIFY(m_client.startSimulatedSupplicant(QStringLiteral(KIV_SIM_SUPPLICANT), Scenario));
        QVERIFY(m_client.subscribe());
        QVERIFY(m_client.startKivd({}));
        // wpa_supplicant sets its interface up when it opens it; the simulated one leaves links alone.
        QVERIFY(m_sandbox.exec({"ip", "link", "set", "wlan0", "up"}).ok());
    }

    void cleanupTestCase() { m_client.stopKivd(); }
    void cleanup() { m_client.showLogAfterFailure(); }

    void wiredModeConnectsAndStatusShowsTheLease()
    {
        QCOMPARE(kivctl({"mode"}).out, QByteArray("Mode: OffMode\n"));
        const KivctlRun scan = kivctl({"scan"});
        QCOMPARE(scan.exitCode, 1);
        QCOMPARE(scan.err, QByteArray("kivctl: kivd is in off mode; scanning needs wireless, automatic or hybrid mode\n"));
        expectQuietSuccess(kivctl({"mode", "wired"}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0"), Patience));
        QCOMPARE(json({"mode"}), QJsonObject({{"Mode", "WiredMode"}}));

        const KivctlRun text = kivctl({"status"});
        QCOMPARE(text.exitCode, 0);
        QVERIFY2(text.out.startsWith("Mode:      WiredMode\nConnected: yes\nLog level: 0\nNetworks:  none\n"
                                     "Soft AP:   softap_uap0 on uap0, channel 11\nGateway:   192.168.50.1\n"
                                     "DNS:       192.168.50.53 192.168.50.54\n"),
                 text.out.constData());
        VERIFY_MATCHES("^eth0 +wired +up +yes +in +dhcp +192\\.168\\.50\\.1\\d\\d/24 .* +-$", text.out);
        VERIFY_MATCHES("^wlan0 +wireless +up +no +- +dhcp +\\S", text.out);

        const QJsonObject status = json({"status"});
        QCOMPARE(pick(status, {"Mode", "Connected"}), R"({"Connected":true,"Mode":"WiredMode"})");
        QCOMPARE(status.value("WiredIpSettings").toObject().value("Ip").toString(), QString());
        const QJsonObject wired = status.value("Details").toObject().value("wired").toObject();
        QCOMPARE(pick(wired, {"Connected", "Dhcp"}), R"({"Connected":true,"Dhcp":true})");
        QCOMPARE(wired.value("Ips").toString().section(' ', 0, 0), leasedAddress());
    }

    void detailsReportTheDeviceInterfaces()
    {
        const QJsonObject eth0 = json({"details", "eth0"});
        QCOMPARE(pick(eth0, {"Interface", "Present", "CableStatus", "Gateway", "Dns"}),
                 R"({"CableStatus":true,"Dns":"192.168.50.53 192.168.50.54","Gateway":"192.168.50.1","Interface":"eth0","Present":2})");
        QVERIFY(device({"ip", "link", "show", "eth0"}).contains(eth0.value("Mac").toString().toLower().toUtf8()));

        const KivctlRun text = kivctl({"details", "eth0"});
        for (const QByteArray &line : {QByteArray("CableStatus: yes\n"), QByteArray("Connected:   yes\n"),
                                       QByteArray("Dhcp:        yes\n"), "Ips:         " + leasedAddress().toUtf8()})
            QVERIFY2(text.out.contains(line), text.out.constData());

        const QJsonObject wlan0 = json({"details", "wlan0"});
        QCOMPARE(pick(wlan0, {"Connected", "Configured Networks", "Ssid"}), R"({"Configured Networks":"","Connected":false})");
    }

    void staticWiredAddressThenDhcpAgain()
    {
        expectQuietSuccess(kivctl({"ip", "wired", "static", "192.168.50.20/24", "gw", "192.168.50.1", "dns",
                                   "192.168.50.53 9.9.9.9", "search", "lab.test"}));
        QTRY_VERIFY_WITH_TIMEOUT(addresses("eth0").contains("inet 192.168.50.20/24"), Patience);
        QCOMPARE(kivctl({"ip", "wired"}).out,
                 QByteArray("wired: static 192.168.50.20/24, gw 192.168.50.1, dns 192.168.50.53 9.9.9.9, search lab.test\n"));
        QTRY_COMPARE_WITH_TIMEOUT(json({"details", "eth0"}).value("Dhcp"), QJsonValue(false),
                                  Patience);

        expectQuietSuccess(kivctl({"ip", "wired", "dhcp"}));
        QTRY_VERIFY_WITH_TIMEOUT(!addresses("eth0").contains("192.168.50.20/"), Patience);
        QTRY_VERIFY_WITH_TIMEOUT(!leasedAddress().isEmpty(), Patience);
        QCOMPARE(json({"ip", "wired"}).value("wired").toObject().value("Ip"), QJsonValue(""));
        QCOMPARE(kivctl({"ip", "wired"}).out, QByteArray("wired: dhcp\n"));
    }

    void networksAreStoredWithoutEchoingKeys()
    {
        expectQuietSuccess(kivctl({"networks", "set", "Home", "wpa_psk=secret123", "priority=2", "Cafe", "unsecured"}));
        QCOMPARE(storedNetworks(), (QStringList{"Cafe unsecured 0", "Home wpa-psk secret123 2"}));
        expectNetworksListed("SSID  SECURITY   PRIORITY\nCafe  unsecured  0\nHome  wpa-psk    2\n");

        QFile file(m_sandbox.hostPath(QStringLiteral("/tmp/networks.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(NetworksFile);
        file.close();
        expectQuietSuccess(kivctl({"networks", "set", "--file", "/tmp/networks.json"}));
        QCOMPARE(storedNetworks(), (QStringList{"Home wpa-psk secret123 2", "Office wep abcde 0"}));
        expectNetworksListed("SSID    SECURITY  PRIORITY\nHome    wpa-psk   2\nOffice  wep       0\n");

        expectQuietSuccess(kivctl({"networks", "add", "Cafe", "unsecured"}));
        expectQuietSuccess(kivctl({"networks", "remove", "Office"}));
        QCOMPARE(storedNetworks(), (QStringList{"Cafe unsecured 0", "Home wpa-psk secret123 2"}));
        const KivctlRun status = kivctl({"status", "--json"});
        QVERIFY2(!status.out.contains("secret123"), status.out.constData());
        QCOMPARE(status.json.object().value("WirelessNetworks").toObject().value("Home").toObject().value("wpa_psk"),
                 QJsonValue("(hidden)"));
    }

    void wirelessModeJoinsTheConfiguredNetwork()
    {
        m_client.takeEvents();
        expectQuietSuccess(kivctl({"mode", "wireless"}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), Patience));
        QVERIFY(m_client.events().contains(QStringLiteral("Disconnected eth0")));

        const QJsonObject wlan0 = json({"details", "wlan0"});
        QCOMPARE(pick(wlan0, {"Connected", "Ssid", "Channel", "Configured Networks"}),
                 R"({"Channel":6,"Configured Networks":"Cafe,Home","Connected":true,"Ssid":"Home"})");
        QCOMPARE(wlan0.value("Bssid").toString().toLower(), QStringLiteral("02:00:00:00:01:01"));
        QTRY_VERIFY_WITH_TIMEOUT(matches("^wlan0 +wireless +up +yes +- +dhcp +192\\.168\\.60\\.1\\d\\d/24 .*Home \\(signal -45, "
                                         "channel 6\\)$",
                                         kivctl({"status"}).out),
                                 Patience);
        const KivctlRun status = kivctl({"status"});
        VERIFY_MATCHES("^eth0 +wired +down +no +out +dhcp +- +-$", status.out);
    }

    void scanPrintsTheStrongestFirst()
    {
        const KivctlRun text = kivctl({"scan"});
        QCOMPARE(text.exitCode, 0);
        QCOMPARE(text.out, QByteArray("SSID       SECURITY   SIGNAL  CHANNEL\n"
                                      "Home       wpa_psk    -45     6\n"
                                      "Cafe       unsecured  -60     1\n"
                                      "Office     wep        -72     36\n"
                                      "Neighbour  wpa_psk    -81     11\n"));

        QTRY_COMPARE_WITH_TIMEOUT(m_client.logCount("COMMAND: Starting Scan..."), 1, Patience);
    }

    void wpsSessionsReportTheirOutcome_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("configError");
        QTest::addColumn<QByteArray>("err");
        QTest::addColumn<QByteArray>("command");
        QTest::newRow("push button") << QStringList{"wps", "pbc"} << 0 << QByteArray() << QByteArray("COMMAND: Starting Wps...\n");
        QTest::newRow("PIN") << QStringList{"wps", "pin", "12345670"} << 0 << QByteArray()
                             << QByteArray("COMMAND: Starting Wps with PIN 12345670\n");
        QTest::newRow("registrar refuses") << QStringList{"wps", "pin", "12345670"} << 18
                                           << QByteArray("kivctl: WPS failed: Device Password Auth Failure\n")
                                           << QByteArray("COMMAND: Starting Wps with PIN 12345670\n");
    }

    void wpsSessionsReportTheirOutcome()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, configError);
        QFETCH(QByteArray, err);
        QFETCH(QByteArray, command);
        const bool succeeds = configError == 0;

        const int sessions = m_client.logCount(command);
        QCOMPARE(simulator(QStringLiteral("SetWpsOutcome"), {"02:00:00:00:01:01", arguments.at(1), configError}).type(),
                 QDBusMessage::ReplyMessage);
        m_client.takeEvents();
        const KivctlRun run = kivctl(arguments, Patience);
        QCOMPARE(run.exitCode, succeeds ? 0 : 1);
        QCOMPARE(run.out, succeeds ? HomeCredentials : QByteArray());
        QCOMPARE(run.err, err);
        QTRY_COMPARE_WITH_TIMEOUT(m_client.logCount(command), sessions + 1, Patience);
        m_client.sync();
        QCOMPARE(m_client.count(QStringLiteral("WpsCredentials")), succeeds ? 1 : 0);
        // The credentials are reported, not stored; the session's end returns to the configured networks.
        QCOMPARE(storedNetworks(), (QStringList{"Cafe unsecured 0", "Home wpa-psk secret123 2"}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), Patience));
    }

    void softApAnnouncesStationsToTheMonitor()
    {
        const QString errFile = QStringLiteral("/tmp/monitor.err");
        QProcess *monitor = m_kivctl.start({"monitor"}, errFile);
        QVERIFY(monitor);
        QTRY_VERIFY_WITH_TIMEOUT(m_kivctl.deviceFile(errFile).contains("kivctl: listening for kivd's signals\n"), Patience);

        expectQuietSuccess(kivctl({"softap", "start", "uap0", "ssid=KivSetup", "channel=6", "countryCode=DE"}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0"), Patience));
        QVERIFY(kivctl({"status"}).out.contains("\nSoft AP:   KivSetup on uap0, channel 6\n"));

        const QJsonObject uap0 = json({"softap", "settings"}).value("uap0").toObject();
        QCOMPARE(pick(uap0, {"ssid", "channel", "apAddress"}), R"({"apAddress":"192.168.200.1","channel":6,"ssid":"KivSetup"})");
        const KivctlRun settings = kivctl({"softap", "settings"});
        QVERIFY2(settings.out.contains("uap0:\n"), settings.out.constData());
        VERIFY_MATCHES("^  ssid: +KivSetup$", settings.out);

        const QString mac = m_sandbox.stationJoin();
        QVERIFY(!mac.isEmpty());
        QVERIFY(m_client.awaitEvent(QStringLiteral("StationConnected ") + mac, Patience));
        expectQuietSuccess(kivctl({"softap", "stop", "uap0"}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected uap0"), Patience));

        QByteArray out;
        QTRY_VERIFY_WITH_TIMEOUT((out += monitor->readAll()).contains(" Disconnected uap0\n"), Patience);
        // Ctrl-C: kivctl ends by the signal, as the shell reports with status 130.
        const QByteArray pid = device({"pidof", "kivctl"}).trimmed();
        QVERIFY2(!pid.isEmpty() && !pid.contains(' '), pid.constData());
        QVERIFY(m_sandbox.exec({"kill", "-INT", QString::fromLatin1(pid)}).ok());
        QVERIFY(monitor->waitForFinished(Patience));
        QCOMPARE(monitor->exitCode(), 128 + SIGINT);
        out += monitor->readAll();
        const QString stamp = QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
        for (const QString &signal : {QStringLiteral("Connected uap0"), "StationConnected " + mac,
                                      QStringLiteral("Disconnected uap0")})
            VERIFY_MATCHES(stamp + QRegularExpression::escape(signal) + '$', out);
        QVERIFY(out.indexOf(" StationConnected ") < out.indexOf(" Disconnected uap0"));
        QCOMPARE(m_kivctl.deviceFile(errFile), QByteArray("kivctl: listening for kivd's signals\n"));
    }

    void logLevelIsReadAndSet()
    {
        QCOMPARE(kivctl({"loglevel"}).out, QByteArray("Log level: 0\n"));
        QVERIFY(!m_client.log().contains(" DEBUG "));
        QCOMPARE(kivctl({"loglevel", "7"}).out, QByteArray("Log level: 2 (kivd capped 7)\n"));
        QVERIFY(m_client.awaitLog("SET: LogLevel: 7"));
        QCOMPARE(json({"loglevel"}), QJsonObject({{"LogLevel", 2}}));
        // The daemon now writes its debug lines, for example those of the details command.
        kivctl({"details", "wlan0"});
        QVERIFY(m_client.awaitLog(" DEBUG "));
        QCOMPARE(kivctl({"loglevel", "1"}).out, QByteArray("Log level: 1\n"));
        QCOMPARE(m_client.property(QStringLiteral("LogLevel")).toInt(), 1);
    }

private:
    // One kivctl run; afterwards the daemon's output so far is collected, so its pipe never fills.
    KivctlRun kivctl(const QStringList &arguments, int timeoutMs = 30000)
    {
        const KivctlRun run = m_kivctl.run(arguments, {}, timeoutMs);
        QCoreApplication::processEvents();
        m_client.log();
        return run;
    }

    void expectQuietSuccess(const KivctlRun &run)
    {
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(run.err, QByteArray());
    }

    void expectNetworksListed(const QByteArray &table)
    {
        const KivctlRun text = kivctl({"networks", "list"});
        QCOMPARE(text.out, table);
        const KivctlRun json = kivctl({"networks", "list", "--json"});
        QCOMPARE(json.exitCode, 0);
        for (const QByteArray &out : {text.out, json.out})
            QVERIFY2(!out.contains("secret123") && !out.contains("abcde"), out.constData());
        QCOMPARE(json.json.array().size(), table.count('\n') - 1);
        QVERIFY(json.json.array().at(0).toObject().contains("type"));
    }

    // What the daemon stores, read from the bus: "SSID type key priority" per network.
    QStringList storedNetworks()
    {
        QStringList found;
        const QVariantMap stored = m_client.mapProperty(QStringLiteral("WirelessNetworks"));
        for (auto it = stored.constBegin(); it != stored.constEnd(); ++it) {
            const QVariantMap network = KivdClient::toMap(it.value());
            QStringList parts{it.key(), network.value("type").toString()};
            for (const char *key : {"wpa_psk", "wep_key", "priority"}) {
                if (network.contains(key))
                    parts << network.value(key).toString();
            }
            found << parts.join(' ');
        }
        return found;
    }

    // The wired lease as "address/24", empty without one.
    QString leasedAddress()
    {
        const QRegularExpressionMatch lease = QRegularExpression(QStringLiteral("inet (192\\.168\\.50\\.1\\d\\d/24) "))
                                                  .match(QString::fromUtf8(addresses("eth0")));
        return lease.captured(1);
    }

    // The named members of a JSON object, as compact JSON with sorted keys.
    static QByteArray pick(const QJsonObject &object, const QStringList &keys)
    {
        QJsonObject picked;
        for (const QString &key : keys) {
            if (object.contains(key))
                picked.insert(key, object.value(key));
        }
        return QJsonDocument(picked).toJson(QJsonDocument::Compact);
    }
    QJsonObject json(const QStringList &arguments) { return kivctl(arguments + QStringList {"--json"}).json.object(); }
    QByteArray device(const QStringList &command) { return m_sandbox.exec(command).output; }
    QByteArray addresses(const QString &interface) { return device({"ip", "-4", "addr", "show", "dev", interface}); }

    QDBusMessage simulator(const QString &method, const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.tarvel.kivsim"), QStringLiteral("/control"),
                                                           QStringLiteral("com.tarvel.kivsim.Control"), method);
        call.setArguments(arguments);
        return m_sandbox.bus().call(call);
    }

    KivSandbox m_sandbox;
    KivdClient m_client{&m_sandbox};
    KivctlDriver m_kivctl{m_sandbox};
};

QTEST_GUILESS_MAIN(TestKivctlDaemonSystem)
#include "tst_kivctl_daemon_system.moc"
