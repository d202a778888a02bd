// Every child program of one sandboxed daemon killed at a random moment: what follows and how long recovery takes.
#include "KivdClient.h"

#include <algorithm>

namespace {

const QByteArray Scenario = R"({"interfaces": ["wlan0"], "timing": {"stepMs": 50, "scanMs": 200, "rescanMs": 1000},
  "accessPoints": [{"ssid": "Home", "bssid": "02:00:00:00:01:01", "signal": -45, "frequency": 2437}]})";

// Where the daemon must be when the child dies.
enum class Phase { WiredDiscovering, WiredLinkLocal, WiredLeased, WirelessConnected, SoftAp };

} // namespace

Q_DECLARE_METATYPE(Phase)

class TestChildRecovery : public QObject
{
    Q_OBJECT

    KivSandbox m_sandbox;
    KivdClient m_client{&m_sandbox};
    QElapsedTimer m_wiredSince;

    QStringList pids(const QString &program)
    {
        return QString::fromLatin1(m_sandbox.exec({"pidof", program}).output.simplified()).split(' ', Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_sandbox.up({"--no-ra", "--wired-dhcp", "off"}), qPrintable(m_sandbox.lastError()));
        QVERIFY(m_client.startSimulatedSupplicant(QStringLiteral(KIV_SIM_SUPPLICANT), Scenario));
        QVERIFY(m_client.subscribe());
        QVERIFY(m_client.startKivd());
        QVERIFY(m_sandbox.exec({"ip", "link", "set", "wlan0", "up"}).ok());
    }
    void cleanupTestCase() { m_client.stopKivd(); }
    void cleanup() { m_client.showLogAfterFailure(); }

    // Rows run in order, each starting where the one before left the daemon. restartMs: the least
    // and the most time until the daemon runs the program again (0, 0: the daemon does not). The
    // kill comes within a second of reaching the phase; during DHCP discovery, within 20 s.
    void killedChildRecovers_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("restartMinMs");
        QTest::addColumn<int>("restartMaxMs");
        QTest::newRow("udhcpc discovering") << Phase::WiredDiscovering << "udhcpc" << 1000 << 3000;
        QTest::newRow("avahi-autoipd") << Phase::WiredLinkLocal << "avahi-autoipd" << 0 << 0;
        QTest::newRow("udhcpc link-local") << Phase::WiredLinkLocal << "udhcpc" << 2000 << 4000;
        QTest::newRow("udhcpc leased") << Phase::WiredLeased << "udhcpc" << 1000 << 3000;
        QTest::newRow("supplicant") << Phase::WirelessConnected << "kiv-sim-supplicant" << 0 << 0;
        QTest::newRow("udhcpd") << Phase::SoftAp << "udhcpd" << 5000 << 7000;
        QTest::newRow("dnsd") << Phase::SoftAp << "dnsd" << 5000 << 7000;
        QTest::newRow("hostapd") << Phase::SoftAp << "hostapd" << 10000 << 13000;
    }

    void killedChildRecovers()
    {
        QFETCH(Phase, phase);
        QFETCH(QString, program);
        QFETCH(int, restartMinMs);
        QFETCH(int, restartMaxMs);
        // To the row's phase first.
        switch (phase) {
        case Phase::WiredDiscovering:
            QVERIFY(m_client.setMode(QStringLiteral("wired")));
            m_wiredSince.start();
            QTRY_VERIFY(!pids(QStringLiteral("udhcpc")).isEmpty());
            break;
        case Phase::WiredLinkLocal:
        case Phase::WiredLeased:
            QTRY_VERIFY_WITH_TIMEOUT(m_client.ipv4("eth0").contains(phase == Phase::WiredLeased ? "inet 192.168.50." : "inet 169.254."),
                                     KivdClient::Patience);
            break;
        case Phase::WirelessConnected:
            QVERIFY(m_client.setProperty(QStringLiteral("WirelessNetworks"), QVariantMap{{"Home", QVariantMap{{"unsecured", true}}}}));
            QVERIFY(m_client.setMode(QStringLiteral("wireless")));
            QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
            break;
        case Phase::SoftAp:
            if (!m_client.details(QStringLiteral("uap0")).value("SoftApUp").toBool()) {
                QVERIFY(m_client.command("StartSoftAp", {"uap0", QVariantMap{{"ssid", "KivSetup"}, {"channel", 6}, {"domainName", "kiv.setup"}}}));
                QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0")));
            }
            break;
        }
        const int delay = QRandomGenerator::global()->bounded(phase == Phase::WiredDiscovering ? 20000 : 1000);
        QTest::qWait(delay);
        const QStringList before = pids(program);
        QVERIFY(!before.isEmpty());
        m_client.takeEvents();
        const int leases = m_client.logCount("eth0 Dhcp settings: ");
        QElapsedTimer sinceKill;
        sinceKill.start();
        QVERIFY(m_sandbox.exec(QStringList{"kill", "-9"} + before).ok());

        if (restartMaxMs > 0) {
            QVERIFY(QTest::qWaitFor([&] {
                const QStringList now = pids(program);
                return std::any_of(now.cbegin(), now.cend(), [&](const QString &pid) { return !before.contains(pid); });
            }, restartMaxMs + 2000));
            // The daemon's timers may fire up to 5% early.
            const qint64 restartedMs = sinceKill.elapsed();
            QVERIFY2(restartedMs >= restartMinMs * 95 / 100 && restartedMs <= restartMaxMs,
                     qPrintable(QStringLiteral("killed after %1 ms, running again %2 ms later").arg(delay).arg(restartedMs)));
        }

        switch (phase) {
        case Phase::WiredDiscovering:
            // The link-local fallback still comes 24 s after the DHCP start, as the only Connected.
            QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0")));
            QVERIFY2(m_wiredSince.elapsed() >= 24000 && m_wiredSince.elapsed() < 30000,
                     qPrintable(QString::number(m_wiredSince.elapsed())));
            QVERIFY(!pids(QStringLiteral("avahi-autoipd")).isEmpty());
            break;
        case Phase::WiredLinkLocal:
            if (program == QLatin1String("udhcpc")) {
                // The restarted client finds the server once it is back; the lease replaces the link-local address.
                QVERIFY(m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--dhcp", "on"}));
                QTRY_VERIFY_WITH_TIMEOUT(m_client.ipv4("eth0").contains("inet 192.168.50."), KivdClient::Patience);
            } else {
                // Nothing restarts the link-local daemon; its address stays and the device stays connected.
                QTest::qWait(2000);
                QVERIFY(m_client.ipv4("eth0").contains("inet 169.254."));
            }
            break;
        case Phase::WiredLeased:
            // The lease stays valid; the restarted client renews it without a word on the bus.
            QVERIFY(QTest::qWaitFor([&] { return m_client.logCount("eth0 Dhcp settings: ") > leases; }, KivdClient::Patience));
            QVERIFY(m_client.ipv4("eth0").contains("inet 192.168.50."));
            break;
        case Phase::WirelessConnected:
            // A new supplicant is opened and the networks added again.
            QVERIFY(m_client.startSimulatedSupplicant(QStringLiteral(KIV_SIM_SUPPLICANT), Scenario));
            QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected wlan0")));
            QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), 15000));
            break;
        case Phase::SoftAp:
            // hostapd's restart takes the access point down and up again.
            if (program == QLatin1String("hostapd"))
                QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0")) && m_client.events().contains(QStringLiteral("Disconnected uap0")));
            break;
        }
        const QStringList events = m_client.takeEvents();
        // Connected and Disconnected of one interface alternate.
        for (const char *interface : {"eth0", "wlan0", "uap0"}) {
            const QStringList seen = events.filter(QRegularExpression(QStringLiteral("^(Dis)?[Cc]onnected ") + interface + '$'));
            for (int i = 1; i < seen.size(); ++i)
                QVERIFY2(seen.at(i) != seen.at(i - 1), qPrintable(events.join('\n')));
        }
        QVERIFY(m_client.property(QStringLiteral("Connected")).toBool());
        if (phase == Phase::WiredLeased || phase == Phase::WiredLinkLocal || phase == Phase::SoftAp)
            QVERIFY2(events.filter(QRegularExpression(QStringLiteral("onnected (eth0|wlan0)$"))).isEmpty(),
                     qPrintable(events.join('\n')));
    }
};

QTEST_GUILESS_MAIN(TestChildRecovery)
#include "tst_manager_child_recovery.moc"
