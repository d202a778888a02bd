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

namespace {

enum class Storm { CableBounce, ModeBurst, DhcpOutage, ApFlap, WrongKey };

constexpr int Deadline = 20000;
constexpr int Quiet = 3000;
const QString HomeAp = QStringLiteral(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk",
                                          "key": "secret123", "signal": -45, "frequency": 2437})");
const QByteArray Scenario = R"({
  "interfaces": ["wlan0"],
  "timing": {"stepMs": 50, "scanMs": 200, "rescanMs": 1000, "tempDisabledUnitMs": 50},
  "accessPoints": [)" + HomeAp.toUtf8() + "]}";

// What a user expects of a mode: the Mode property, the interfaces connected with a lease of their
// LAN and those not connected.
struct Expectation
{
    QString mode;
    QStringList ready;
    QStringList disabled;
};

} // namespace

Q_DECLARE_METATYPE(Storm)

class TestConvergenceSystem : public QObject
{
    Q_OBJECT

    KivSandbox m_sandbox;
    KivdClient m_client{&m_sandbox};

    bool setNetworks(const QString &key)
    {
        return m_client.setProperty(QStringLiteral("WirelessNetworks"), QVariantMap{{"Home", QVariantMap{{"wpa_psk", key}}}});
    }

    // The last of Connected/Disconnected the daemon sent for the interface since it started.
    QString lastConnectionSignal(const QString &interface) const
    {
        const QStringList events = m_client.events().filter(QRegularExpression(QStringLiteral("^(Connected|Disconnected) ") + interface + '$'));
        return events.isEmpty() ? QString() : events.constLast();
    }

    // What still differs from the expectation; empty once converged. The signals decide first,
    // the daemon's own account (details, with the lease) confirms.
    QString divergence(const Expectation &expectation)
    {
        QStringList problems;
        for (const QString &interface : expectation.ready) {
            if (lastConnectionSignal(interface) != QStringLiteral("Connected ") + interface)
                problems << interface + QStringLiteral(": last signal '") + lastConnectionSignal(interface) + '\'';
        }
        for (const QString &interface : expectation.disabled) {
            if (lastConnectionSignal(interface) == QStringLiteral("Connected ") + interface)
                problems << interface + QStringLiteral(": still announced connected");
        }
        if (!problems.isEmpty())
            return problems.join(QStringLiteral("; "));
        for (const QString &interface : expectation.ready + expectation.disabled) {
            const QVariantMap details = m_client.details(interface);
            const QString lan = interface == QLatin1String("eth0") ? QStringLiteral("50") : QStringLiteral("60");
            const QRegularExpression lease(QStringLiteral("(^| )192\\.168\\.") + lan + QStringLiteral("\\.1\\d\\d/24( |$)"));
            const bool connected = details.value("Connected").toBool();
            if (expectation.ready.contains(interface) ? !connected || !lease.match(details.value("Ips").toString()).hasMatch() : connected)
                problems << interface + QStringLiteral(": Connected ") + details.value("Connected").toString() + QStringLiteral(", Ips '")
                                + details.value("Ips").toString() + '\'';
        }
        const QString mode = m_client.property(QStringLiteral("Mode")).toString();
        if (mode != expectation.mode)
            problems << QStringLiteral("Mode ") + mode;
        if (!m_client.property(QStringLiteral("Connected")).toBool())
            problems << QStringLiteral("Connected property false");
        return problems.join(QStringLiteral("; "));
    }

    // Waits until the daemon meets the expectation and keeps meeting it for Quiet ms without a
    // further connection signal (a kernel echo may still be on its way when a storm ends). Returns
    // what differs, empty on success; *since: when the stable stretch began.
    QString awaitConvergence(const Expectation &expectation, int timeoutMs, qint64 *since = nullptr)
    {
        const QRegularExpression connectionSignal(QStringLiteral("^(Connected|Disconnected|Disconnecting) "));
        QString last = QStringLiteral("never checked");
        QElapsedTimer clock;
        clock.start();
        qint64 asked = -1000, stableFrom = -1;
        int signalsSeen = -1;
        const bool stable = QTest::qWaitFor(
            [&] {
                if (clock.elapsed() - asked < 200)
                    return false;
                asked = clock.elapsed();
                const int signalCount = m_client.events().filter(connectionSignal).size();
                last = divergence(expectation);
                if (!last.isEmpty()) {
                    stableFrom = -1;
                    return false;
                }
                if (stableFrom < 0 || signalCount != signalsSeen) {
                    stableFrom = asked;
                    signalsSeen = signalCount;
                }
                return asked - stableFrom >= Quiet;
            },
            timeoutMs + Quiet);
        if (since)
            *since = stableFrom;
        return stable ? QString() : last.isEmpty() ? QStringLiteral("connection signals still changing") : last;
    }

    // The LAN side of the cable, from this process as fast as a user's script: 40 times down and
    // up, 0 to 60 ms apart, ending up.
    bool bounceCable()
    {
        int fd = -1;
        {
            NetnsScope scope(m_sandbox.netns(KivSandbox::Namespace::WiredLan));
            if (scope.isActive())
                fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        }
        if (fd < 0)
            return false;
        ifreq request{};
        qstrncpy(request.ifr_name, "lan0", IFNAMSIZ);
        bool ok = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
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
            call = QDBusMessage::createMethodCall(KivdClient::Service, KivdClient::Path, KivdClient::Service, QStringLiteral("SetNormalMode"));
            call << cycle.at(i % cycle.size());
            if (i < 299 && !m_sandbox.bus().send(call))
                return false;
        }
        // Not a blocking call: the daemon's log must keep flowing meanwhile.
        QDBusPendingCall reply = m_sandbox.bus().asyncCall(call, 4 * KivdClient::Patience);
        return QTest::qWaitFor([&] { return reply.isFinished(); }, 4 * KivdClient::Patience) && !reply.isError();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_sandbox.up(), qPrintable(m_sandbox.lastError()));
        QVERIFY(m_client.subscribe());
        QVERIFY(m_client.startSimulatedSupplicant(QStringLiteral(KIV_SIM_SUPPLICANT), Scenario));
        QVERIFY(m_client.startKivd());
        // wpa_supplicant sets its interface up when it opens it; the simulated one leaves links alone.
        QVERIFY(m_sandbox.exec({"ip", "link", "set", "wlan0", "up"}).ok());
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
        m_client.simulator(QStringLiteral("AddAp"), {HomeAp});
        m_sandbox.plug(QStringLiteral("eth0"));
        m_client.takeEvents();
        QVERIFY(m_client.startKivd());
        QVERIFY(m_sandbox.exec({"ip", "link", "set", "wlan0", "up"}).ok());
    }

    void converges_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<Storm>("storm");
        QTest::newRow("wired cable bounce") << "wired" << Storm::CableBounce;
        QTest::newRow("automatic cable bounce") << "automatic" << Storm::CableBounce;
        QTest::newRow("hybrid cable bounce") << "hybrid" << Storm::CableBounce;
        QTest::newRow("300 mode changes ending in wired") << "wired" << Storm::ModeBurst;
        QTest::newRow("wired DHCP server away 30 s") << "wired" << Storm::DhcpOutage;
        QTest::newRow("wireless access point flapping") << "wireless" << Storm::ApFlap;
        QTest::newRow("wireless wrong key then right") << "wireless" << Storm::WrongKey;
    }

    void converges()
    {
        QFETCH(QString, mode);
        QFETCH(Storm, storm);
        const QHash<QString, Expectation> expectations{{"wired", {"WiredMode", {"eth0"}, {"wlan0"}}},
                                                       {"wireless", {"WirelessMode", {"wlan0"}, {"eth0"}}},
                                                       {"hybrid", {"HybridMode", {"eth0", "wlan0"}, {}}},
                                                       {"automatic", {"AutomaticMode", {"eth0"}, {"wlan0"}}}};
        const Expectation expectation = expectations.value(mode);

        QVERIFY(setNetworks(QStringLiteral("secret123")));
        QVERIFY(m_client.setMode(mode));
        const QString settled = awaitConvergence(expectation, 2 * KivdClient::Patience);
        QVERIFY2(settled.isEmpty(), qPrintable(QStringLiteral("before the storm: ") + settled));

        const int rounds = qMax(1, qEnvironmentVariableIntValue("KIV_CONVERGENCE_ROUNDS"));
        for (int round = 1; round <= rounds; ++round) {
            switch (storm) {
            case Storm::CableBounce:
                QVERIFY(bounceCable());
                break;
            case Storm::ModeBurst:
                QVERIFY(burstModes());
                break;
            case Storm::DhcpOutage: {
                // The server goes away and the device must ask again: the cable is pulled and put back.
                QElapsedTimer away;
                away.start();
                QVERIFY(m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--dhcp", "off", "--ra", "off"}));
                const int losses = m_client.count(QStringLiteral("Disconnected eth0"));
                QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
                QVERIFY(QTest::qWaitFor([&] { return m_client.count(QStringLiteral("Disconnected eth0")) > losses; }, KivdClient::Patience));
                QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
                QTest::qWait(qMax<qint64>(0, 30000 - away.elapsed()));
                QVERIFY(m_sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--reset"}));
                break;
            }
            case Storm::ApFlap:
                for (int flap = 0; flap < 3; ++flap) {
                    QCOMPARE(m_client.simulator(QStringLiteral("RemoveAp"), {"02:00:00:00:01:01"}).type(), QDBusMessage::ReplyMessage);
                    QTest::qWait(QRandomGenerator::global()->bounded(200, 1000));
                    QCOMPARE(m_client.simulator(QStringLiteral("AddAp"), {HomeAp}).type(), QDBusMessage::ReplyMessage);
                    QTest::qWait(QRandomGenerator::global()->bounded(200, 1000));
                }
                break;
            case Storm::WrongKey: {
                const int rejections = m_client.count(QStringLiteral("AuthError Home WRONG_KEY"));
                QVERIFY(setNetworks(QStringLiteral("wrongpass1")));
                QVERIFY(QTest::qWaitFor([&] { return m_client.count(QStringLiteral("AuthError Home WRONG_KEY")) > rejections; },
                                        KivdClient::Patience));
                QVERIFY(setNetworks(QStringLiteral("secret123")));
                break;
            }
            }

            qint64 since = -1;
            const QString left = awaitConvergence(expectation, Deadline, &since);
            QVERIFY2(left.isEmpty(), qPrintable(QStringLiteral("round %1: not converged within %2 ms: ").arg(round).arg(Deadline) + left));
            qInfo("round %d: converged %lld ms after the storm", round, since);
        }
    }
};

QTEST_GUILESS_MAIN(TestConvergenceSystem)
#include "tst_convergence_system.moc"
