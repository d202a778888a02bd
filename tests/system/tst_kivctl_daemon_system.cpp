// kivctl inside the device sandbox against the full daemon, with the wired LAN, the simulated
// supplicant, real udhcpd and the hostapd and dnsd doubles: each command's bus call, signal wait
// and exit status on live data, and the failures a user meets (not root, no answer, no daemon).
// Texts are tst_kivctl's. On the way the soft AP serves a station's lease on the client's channel
// and retries a program that cannot be started.
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
    {"ssid": "Office", "bssid": "02:00:00:00:01:03", "security": "wep", "key": "abcde", "signal": -72, "frequency": 5180}
  ]
})";

// One kivctl run: exit status, standard output and standard error apart.
struct KivctlRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

bool matches(const QString &pattern, const QByteArray &text)
{
    return QRegularExpression(pattern, QRegularExpression::MultilineOption).match(QString::fromUtf8(text)).hasMatch();
}

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

    void wiredModeStatusAndDetailsShowTheLease()
    {
        QCOMPARE(kivctl({"mode"}).out, QByteArray("Mode: OffMode\n"));
        expectFailure(kivctl({"scan"}), 1, "kivd is in off mode; scanning needs wireless, automatic or hybrid mode");
        expectQuietSuccess(kivctl({"mode", "wired"}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0"), Patience));

        const QRegularExpressionMatch lease = QRegularExpression(QStringLiteral("inet (192\\.168\\.50\\.1\\d\\d/24) "))
                                                  .match(QString::fromUtf8(device({"ip", "-4", "addr", "show", "dev", "eth0"})));
        QVERIFY(lease.hasMatch());
        const KivctlRun status = kivctl({"status"});
        QCOMPARE(status.exitCode, 0);
        QVERIFY2(matches("^eth0 +wired +up +yes +in +dhcp +" + QRegularExpression::escape(lease.captured(1)), status.out),
                 status.out.constData());
        QCOMPARE(json({"details", "eth0"}).value("Ips").toString().section(' ', 0, 0), lease.captured(1));

        expectFailure(kivctl({"details", "nope0"}), 1, "kivd knows no interface 'nope0'");
    }

    void settingsAreWrittenAndReadBack()
    {
        expectQuietSuccess(kivctl({"ip", "wired", "static", "192.168.50.20/24", "gw", "192.168.50.1", "dns", "192.168.50.53"}));
        QCOMPARE(kivctl({"ip", "wired"}).out, QByteArray("wired: static 192.168.50.20/24, gw 192.168.50.1, dns 192.168.50.53\n"));
        expectQuietSuccess(kivctl({"ip", "wired", "dhcp"}));
        QCOMPARE(kivctl({"ip", "wired"}).out, QByteArray("wired: dhcp\n"));

        QCOMPARE(kivctl({"loglevel", "7"}).out, QByteArray("Log level: 2 (kivd capped 7)\n"));
        QCOMPARE(json({"loglevel"}), QJsonObject({{"LogLevel", 2}}));
        QCOMPARE(kivctl({"loglevel", "0"}).out, QByteArray("Log level: 0\n"));

        // Adding and removing rewrite the whole list read from kivd.
        QFile file(m_sandbox.hostPath(QStringLiteral("/tmp/networks.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"Home": {"wpa_psk": "secret123", "priority": 2}, "Office": {"wep_key": "abcde"}})");
        file.close();
        expectQuietSuccess(kivctl({"networks", "set", "--file", "/tmp/networks.json"}));
        QCOMPARE(storedNetworks(), (QStringList{"Home wpa-psk secret123 2", "Office wep abcde 0"}));
        expectQuietSuccess(kivctl({"networks", "add", "Cafe", "unsecured"}));
        expectQuietSuccess(kivctl({"networks", "remove", "Office"}));
        QCOMPARE(storedNetworks(), (QStringList{"Cafe unsecured 0", "Home wpa-psk secret123 2"}));
        QCOMPARE(kivctl({"networks", "list"}).out, QByteArray("SSID  SECURITY   PRIORITY\nCafe  unsecured  0\nHome  wpa-psk    2\n"));
    }

    void scanInWirelessModeListsTheStrongestFirst()
    {
        expectQuietSuccess(kivctl({"mode", "wireless"}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), Patience));
        const KivctlRun scan = kivctl({"scan"});
        QCOMPARE(scan.exitCode, 0);
        QCOMPARE(scan.out, QByteArray("SSID    SECURITY   SIGNAL  CHANNEL\n"
                                      "Home    wpa_psk    -45     6\n"
                                      "Cafe    unsecured  -60     1\n"
                                      "Office  wep        -72     36\n"));

        // A new signal shows at the next scan; a vanished access point after bssExpireCount (2) scans.
        QCOMPARE(simulator("SetSignal", {"02:00:00:00:01:02", -30}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(simulator("RemoveAp", {"02:00:00:00:01:03"}).type(), QDBusMessage::ReplyMessage);
        QVERIFY(matches("^Cafe +unsecured +-30 +1\nHome ", kivctl({"scan"}).out));
        QCOMPARE(kivctl({"scan"}).out, QByteArray("SSID  SECURITY   SIGNAL  CHANNEL\n"
                                                  "Cafe  unsecured  -30     1\n"
                                                  "Home  wpa_psk    -45     6\n"));
    }

    void wpsSessionsReportTheirOutcome_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("configError");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::newRow("push button") << QStringList{"wps", "pbc"} << 0
                                     << QByteArray("priority: 0\nssid:     Home\ntype:     wpa-psk\nwpa_psk:  (hidden)\n")
                                     << QByteArray();
        QTest::newRow("registrar refuses the PIN") << QStringList{"wps", "pin", "12345670"} << 18 << QByteArray()
                                                   << QByteArray("kivctl: WPS failed: Device Password Auth Failure\n");
    }

    void wpsSessionsReportTheirOutcome()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, configError);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QCOMPARE(simulator("SetWpsOutcome", {"02:00:00:00:01:01", arguments.at(1), configError}).type(),
                 QDBusMessage::ReplyMessage);
        m_client.takeEvents();
        const KivctlRun run = kivctl(arguments, Patience);
        QCOMPARE(run.exitCode, configError ? 1 : 0);
        QCOMPARE(run.out, out);
        QCOMPARE(run.err, err);
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), Patience));
    }

    void softApServesAStationOnTheClientChannel()
    {
        QProcess *counted = startKivctl({"monitor", "Connected", "StationConnected", "--count", "2", "--json"});
        QVERIFY(counted);
        // A program that cannot be started is retried like one that quit.
        QVERIFY(m_sandbox.exec({"mount", "--bind", "/dev/null", "/usr/sbin/udhcpd"}).ok());
        expectQuietSuccess(kivctl({"softap", "start", "uap0", "ssid=KivSetup", "countryCode=DE"}));
        QVERIFY(matches("^  ssid: +KivSetup$", kivctl({"softap", "settings"}).out));
        QVERIFY(m_client.awaitLog("/usr/sbin/udhcpd could not be started"));
        QVERIFY(m_sandbox.exec({"umount", "/usr/sbin/udhcpd"}).ok());
        QTRY_VERIFY_WITH_TIMEOUT(!device({"pidof", "udhcpd"}).isEmpty(), Patience);
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0"), Patience));
        // One radio without multichannel support: the access point takes the client's channel 6.
        QFile hostapd(m_sandbox.hostPath(QStringLiteral("/tmp/hostapd_uap0.conf")));
        QVERIFY(hostapd.open(QIODevice::ReadOnly) && hostapd.readAll().contains("\nchannel=6\n"));

        const KivSandbox::Result lease = m_sandbox.tool("station", {"dhcp"});
        QVERIFY2(matches("KIVD_IP=192\\.168\\.200\\.\\d+", lease.output), lease.output.constData());
        const QString mac = m_sandbox.stationJoin();
        QVERIFY(!mac.isEmpty());
        QVERIFY(counted->waitForFinished(Patience));
        QCOMPARE(counted->exitCode(), 0);
        QStringList seen;
        for (const QByteArray &line : counted->readAll().trimmed().split('\n')) {
            const QJsonObject signal = QJsonDocument::fromJson(line).object();
            QVERIFY(!signal.value("time").toString().isEmpty());
            seen << signal.value("signal").toString() + ' ' + signal.value("args").toArray().at(0).toString();
        }
        QCOMPARE(seen, (QStringList{"Connected uap0", "StationConnected " + mac}));
        expectQuietSuccess(kivctl({"softap", "stop", "uap0"}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected uap0"), Patience));
    }

    void monitorEndsOnInterrupt()
    {
        // Ctrl-C: kivctl ends by the signal, as the shell reports with status 130.
        QProcess *endless = startKivctl({"monitor"});
        QVERIFY(endless);
        const QByteArray pid = device({"pidof", "kivctl"}).trimmed();
        QVERIFY2(!pid.isEmpty() && !pid.contains(' '), pid.constData());
        QVERIFY(m_sandbox.exec({"kill", "-INT", QString::fromLatin1(pid)}).ok());
        QVERIFY(endless->waitForFinished(Patience));
        QCOMPARE(endless->exitCode(), 128 + SIGINT);
    }

    void failuresAreOneLineWithTheirStatus()
    {
        expectFailure(kivctl({"mode", "off"}, 30000, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}), 1,
                      "access denied: only root may control kivd");

        const QString pid = QString::fromLatin1(device({"pidof", "kivd"}).trimmed());
        QVERIFY(m_sandbox.exec({"kill", "-STOP", pid}).ok());
        const KivctlRun stalled = kivctl({"--timeout", "1.5", "status"});
        QVERIFY(m_sandbox.exec({"kill", "-CONT", pid}).ok());
        expectFailure(stalled, 124, "kivd did not answer within 1.5 s");
        QCOMPARE(kivctl({"mode"}).out, QByteArray("Mode: WirelessMode\n"));

        m_client.stopKivd();
        expectFailure(kivctl({"status"}), 1, "kivd is not running");
    }

private:
    // One kivctl run; afterwards the daemon's output so far is collected, so its pipe never fills.
    KivctlRun kivctl(const QStringList &arguments, int timeoutMs = 30000, const QStringList &prefix = {})
    {
        const KivSandbox::Result result = m_sandbox.exec(redirected("/tmp/kivctl.err") + prefix + QStringList{KIVCTL_BINARY} + arguments, timeoutMs);
        QFile err(m_sandbox.hostPath(QStringLiteral("/tmp/kivctl.err")));
        const KivctlRun run{result.exitCode, result.output, err.open(QIODevice::ReadOnly) ? err.readAll() : QByteArray()};
        QCoreApplication::processEvents();
        m_client.log();
        return run;
    }

    // kivctl in the background, its standard output read by the returned process; waits until it listens.
    QProcess *startKivctl(const QStringList &arguments)
    {
        device({"rm", "-f", "/tmp/monitor.err"});
        const QStringList command = redirected("/tmp/monitor.err") + QStringList{KIVCTL_BINARY} + arguments;
        QProcess *process = m_sandbox.start(command.first(), command.mid(1));
        const auto listening = [this] {
            QFile err(m_sandbox.hostPath(QStringLiteral("/tmp/monitor.err")));
            return err.open(QIODevice::ReadOnly) && err.readAll().contains("kivctl: listening for kivd's signals\n");
        };
        return QTest::qWaitFor(listening, Patience) ? process : nullptr;
    }

    static QStringList redirected(const QString &errPath) { return {"sh", "-c", "\"$@\" 2>" + errPath, "sh"}; }

    // Nothing on standard output, one line on standard error.
    void expectFailure(const KivctlRun &run, int exitCode, const QByteArray &message)
    {
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.out + run.err, "kivctl: " + message + '\n');
    }

    void expectQuietSuccess(const KivctlRun &run)
    {
        QVERIFY2(run.exitCode == 0, run.err.constData());
        QCOMPARE(run.out + run.err, QByteArray());
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

    QJsonObject json(const QStringList &arguments)
    {
        return QJsonDocument::fromJson(kivctl(arguments + QStringList{"--json"}).out).object();
    }
    QByteArray device(const QStringList &command) { return m_sandbox.exec(command).output; }
    QDBusMessage simulator(const QString &method, const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.tarvel.kivsim"), QStringLiteral("/control"),
                                                           QStringLiteral("com.tarvel.kivsim.Control"), method);
        call.setArguments(arguments);
        return m_sandbox.bus().call(call);
    }

    KivSandbox m_sandbox;
    KivdClient m_client{&m_sandbox};
};

QTEST_GUILESS_MAIN(TestKivctlDaemonSystem)
#include "tst_kivctl_daemon_system.moc"
