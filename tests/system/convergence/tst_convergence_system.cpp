// Convergence of the real daemon in the device sandbox: after a storm of cable, mode, DHCP-server
// or access-point changes it must end connected in its mode within 20 s, as a user expects of a
// device nobody reboots. One daemon runs through the rows in order; KIV_CONVERGENCE_ROUNDS=N
// repeats each storm N times, e.g. KIV_CONVERGENCE_ROUNDS=10 tst_convergence_system 'converges:wired cable bounce'.
#include "KivdClient.h"

#include <QDBusPendingCall>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

enum class Storm { CableBounce, ModeBurst, DhcpOutage, ApFlap, WrongKey };

constexpr int Deadline = 20000;
const QString HomeAp = QStringLiteral(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk",
                                          "key": "secret123", "signal": -45, "frequency": 2437})");
const QByteArray Scenario = R"({"interfaces": ["wlan0"], "timing": {"stepMs": 50, "scanMs": 200, "rescanMs": 1000, "tempDisabledUnitMs": 50},
                                "accessPoints": [)" + HomeAp.toUtf8() + "]}";

Q_DECLARE_METATYPE(Storm)

class TestConvergenceSystem : public QObject
{
    Q_OBJECT

    KivSandbox m_sandbox;
    KivdClient m_client{&m_sandbox};

    bool setNetworks(const QString &key) { return m_client.setProperty("WirelessNetworks", QVariantMap{{"Home", QVariantMap{{"wpa_psk", key}}}}); }

    // What still differs from the mode: its Mode property, the ready interfaces last announced connected
    // and holding a lease of their LAN, the others not connected. Empty once converged.
    QString divergence(const QString &mode, const QStringList &ready)
    {
        QStringList problems;
        for (const QString &interface : {QStringLiteral("eth0"), QStringLiteral("wlan0")}) {
            const QStringList signal = m_client.events().filter(QRegularExpression("^(Connected|Disconnected) " + interface + '$'));
            const QVariantMap details = m_client.details(interface);
            const QRegularExpression lease(QString(R"((^| )192\.168\.%1\.1\d\d/24( |$))").arg(interface == "eth0" ? 50 : 60));
            const bool connected = details.value("Connected").toBool(), leased = connected && lease.match(details.value("Ips").toString()).hasMatch();
            if ((!signal.isEmpty() && signal.constLast().startsWith("Connected")) != ready.contains(interface) || (ready.contains(interface) ? !leased : connected))
                problems << interface + ": last signal '" + signal.value(signal.size() - 1) + "', Ips '" + details.value("Ips").toString() + '\'';
        }
        const QString property = m_client.property("Mode").toString();
        if (property != mode.at(0).toUpper() + mode.mid(1) + "Mode" || !m_client.property("Connected").toBool())
            problems << "Mode " + property + ", Connected " + m_client.property("Connected").toString();
        return problems.join("; ");
    }

    // Waits until the daemon meets the mode and keeps meeting it for quietMs without a further
    // connection signal (a kernel echo may still be on its way when a storm ends). Returns what
    // differs, empty on success.
    QString awaitConvergence(const QString &mode, const QStringList &ready, int timeoutMs, int quietMs)
    {
        QElapsedTimer clock;
        clock.start();
        qint64 stableFrom = -1;
        int signalsSeen = -1;
        QString last;
        while (clock.elapsed() < timeoutMs + quietMs) {
            const qint64 asked = clock.elapsed();
            const int signalCount = m_client.events().filter(QRegularExpression("^(Connected|Disconnected|Disconnecting) ")).size();
            last = divergence(mode, ready);
            if (!last.isEmpty() || stableFrom < 0 || signalCount != signalsSeen) {
                stableFrom = last.isEmpty() ? asked : -1;
                signalsSeen = signalCount;
            }
            if (last.isEmpty() && asked - stableFrom >= quietMs)
                return {};
            QTest::qWait(200);
        }
        return last.isEmpty() ? "connection signals still changing" : last;
    }

    // The LAN side of the cable, from this process as fast as a user's script: 40 times down and
    // up, 0 to 60 ms apart, ending up.
    bool bounceCable()
    {
        // The socket is opened while the temporary scope holds the LAN's namespace.
        const int fd = NetnsScope(m_sandbox.netns(KivSandbox::Namespace::WiredLan)).isActive() ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
        ifreq request{};
        qstrncpy(request.ifr_name, "lan0", IFNAMSIZ);
        bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0;
        for (int step = 0; ok && step < 80; ++step) {
            request.ifr_flags = step % 2 ? (request.ifr_flags | IFF_UP) : (request.ifr_flags & ~IFF_UP);
            ok = ioctl(fd, SIOCSIFFLAGS, &request) == 0;
            QThread::msleep(QRandomGenerator::global()->bounded(61));
        }
        close(fd);
        return ok;
    }

    // 300 mode changes sent back to back without waiting for replies, ending in wired; only the
    // last one asks for a reply, which the daemon sends once it has handled all of them.
    bool burstModes()
    {
        const QStringList cycle{"wireless", "hybrid", "automatic", "wired"};
        QDBusMessage call;
        for (int i = 0; i < 300; ++i) {
            call = QDBusMessage::createMethodCall(KivdClient::Service, KivdClient::Path, KivdClient::Service, "SetNormalMode") << cycle.at(i % 4);
            if (i < 299 && !m_sandbox.bus().send(call))
                return false;
        }
        // Not a blocking call: the daemon's log must keep flowing meanwhile.
        QDBusPendingCall reply = m_sandbox.bus().asyncCall(call, 4 * KivdClient::Patience);
        return QTest::qWaitFor([&] { return reply.isFinished(); }, 4 * KivdClient::Patience) && !reply.isError();
    }

    // Does the action and waits until the daemon sends the event once more.
    template <typename Action> bool awaitAfter(const QString &event, Action action, int timeoutMs = KivdClient::Patience)
    {
        const int before = m_client.count(event);
        return action() && QTest::qWaitFor([&] { return m_client.count(event) > before; }, timeoutMs);
    }

    bool startKivd() { return m_client.startKivd() && m_sandbox.exec({"ip", "link", "set", "wlan0", "up"}).ok(); }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_sandbox.up(), qPrintable(m_sandbox.lastError()));
        QVERIFY(m_client.subscribe());
        QVERIFY(m_client.startSimulatedSupplicant(KIV_SIM_SUPPLICANT, Scenario));
        // wpa_supplicant sets its interface up when it opens it; the simulated one leaves links alone.
        QVERIFY(startKivd());
    }

    void cleanupTestCase() { m_client.stopKivd(); }

    // After a failed row the next one starts with a new daemon and the LAN, access point and cable as before.
    void cleanup()
    {
        m_client.showLogAfterFailure();
        if (!QTest::currentTestFailed())
            return;
        m_client.stopKivd();
        m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--reset"});
        m_client.simulator("AddAp", {HomeAp});
        m_sandbox.plug();
        m_client.takeEvents();
        QVERIFY(startKivd());
    }

    void converges_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<Storm>("storm");
        QTest::newRow("wired cable bounce") << "wired" << Storm::CableBounce;
        QTest::newRow("automatic cable bounce") << "automatic" << Storm::CableBounce;
        QTest::newRow("hybrid cable bounce") << "hybrid" << Storm::CableBounce;
        QTest::newRow("300 mode changes ending in wired") << "wired" << Storm::ModeBurst;
        QTest::newRow("wired DHCP server away past the link-local fallback") << "wired" << Storm::DhcpOutage;
        QTest::newRow("wireless access point flapping") << "wireless" << Storm::ApFlap;
        QTest::newRow("wireless wrong key then right") << "wireless" << Storm::WrongKey;
    }

    void converges()
    {
        QFETCH(QString, mode);
        QFETCH(Storm, storm);
        const QStringList ready = mode == "hybrid" ? QStringList{"eth0", "wlan0"} : QStringList{mode == "wireless" ? "wlan0" : "eth0"};
        QVERIFY(setNetworks("secret123"));
        QVERIFY(m_client.setMode(mode));
        // A start only: any late signal from settling counts as part of the storm.
        const QString settled = awaitConvergence(mode, ready, 2 * KivdClient::Patience, 0);
        QVERIFY2(settled.isEmpty(), qPrintable("before the storm: " + settled));

        for (int round = 1; round <= qMax(1, qEnvironmentVariableIntValue("KIV_CONVERGENCE_ROUNDS")); ++round) {
            if (storm == Storm::CableBounce) {
                QVERIFY(bounceCable());
            } else if (storm == Storm::ModeBurst) {
                QVERIFY(burstModes());
            } else if (storm == Storm::DhcpOutage) {
                // The server goes away and the cable is pulled and put back; once the device has fallen
                // back to a link-local address the server returns and the device must ask again.
                QVERIFY(m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--dhcp", "off", "--ra", "off"}));
                QVERIFY(awaitAfter("Disconnected eth0", [&] { return m_sandbox.unplug(); }));
                QVERIFY(awaitAfter("Connected eth0", [&] { return m_sandbox.plug(); }, 2 * KivdClient::Patience));
                QVERIFY(m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--reset"}));
            } else if (storm == Storm::ApFlap) {
                for (int flap = 0; flap < 6; ++flap) {
                    QCOMPARE(m_client.simulator(flap % 2 ? "AddAp" : "RemoveAp", {flap % 2 ? HomeAp : "02:00:00:00:01:01"}).type(), QDBusMessage::ReplyMessage);
                    QTest::qWait(QRandomGenerator::global()->bounded(200, 1000));
                }
            } else {
                QVERIFY(awaitAfter("AuthError Home WRONG_KEY", [&] { return setNetworks("wrongpass1"); }));
                QVERIFY(setNetworks("secret123"));
            }
            const QString left = awaitConvergence(mode, ready, Deadline, 3000);
            QVERIFY2(left.isEmpty(), qPrintable(QString("round %1: not converged within %2 ms: ").arg(round).arg(Deadline) + left));
        }
    }
};

QTEST_GUILESS_MAIN(TestConvergenceSystem)
#include "tst_convergence_system.moc"
