// The supplicant client against kiv-sim-supplicant on a private system bus: connecting, losing and
// changing the connection, authentication errors, scans and their inhibition and watchdog, WPS
// sessions, an absent supplicant and shutting down during a disconnection wait. A command that
// ends a WPS session is proven end to end in tst_manager_wireless.
// Shutting down runs "killall wpa_supplicant", so this runs only as a child of private-bus.sh in a
// PID namespace of its own.
#include "SimSupplicantProcess.h"
#include "Supplicant.h"
#include "fi_w1_wpa_supplicant1.h"

#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QtTest>

#include <memory>

namespace {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");
const QByteArray fastTiming = R"("timing": {"stepMs": 10, "scanMs": 40, "rescanMs": 150, "wpsExchangeMs": 60})";
const QByteArray homeAp = R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123",
                              "signal": -45, "frequency": 2437})";
const QByteArray cafeAp = R"({"ssid": "Cafe", "bssid": "02:00:00:00:01:02", "signal": -55, "frequency": 2462})";
const QByteArray oldAp = R"({"ssid": "Old", "bssid": "02:00:00:00:01:05", "security": "wep", "key": "abcde",
                             "wepAuth": "open", "frequency": 5180})";

QByteArray scenario(const QByteArray &accessPoints, const QByteArray &timing = fastTiming)
{
    return "{" + timing + R"(, "accessPoints": [)" + accessPoints + "]}";
}

WirelessNetwork home(const QString &key = QStringLiteral("secret123"))
{
    return WirelessNetwork(Ssid::fromString(QStringLiteral("Home")), SecurityType::WpaPsk, key);
}
const WirelessNetwork Cafe(Ssid::fromString(QStringLiteral("Cafe")), SecurityType::Unsecured);
const WirelessNetwork Old(Ssid::fromString(QStringLiteral("Old")), SecurityType::Wep, QStringLiteral("abcde"));
const WirelessNetwork Nowhere(Ssid::fromString(QStringLiteral("Nowhere")), SecurityType::Unsecured);

// Every log line of both threads and every supplicant signal, in the order they happened.
QMutex journalMutex;
QStringList journalLines;
QtMessageHandler testHandler = nullptr;

void note(const QString &line)
{
    QMutexLocker locker(&journalMutex);
    journalLines.append(line);
}

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    note(text);
    if (type == QtFatalMsg || qEnvironmentVariableIsSet("KIV_TEST_VERBOSE"))
        testHandler(type, context, text);
}

QStringList journal()
{
    QMutexLocker locker(&journalMutex);
    return journalLines;
}

// Index of the first journal line at or after `from` that contains the text, -1 when none.
int journalIndex(const QString &text, int from = 0)
{
    const QStringList lines = journal();
    for (int i = from; i < lines.size(); ++i) {
        if (lines.at(i).contains(text))
            return i;
    }
    return -1;
}

bool journalInOrder(const QStringList &texts)
{
    int at = 0;
    for (const QString &text : texts) {
        at = journalIndex(text, at);
        if (at < 0)
            return false;
        ++at;
    }
    return true;
}

// The signals of one supplicant, as short texts.
class SignalLog : public QObject
{
public:
    explicit SignalLog(Supplicant *supplicant)
    {
        for (auto [signal, event] : {std::pair{&Supplicant::disabled, "disabled"}, {&Supplicant::configured, "configured"},
                                     {&Supplicant::connected, "connected"}, {&Supplicant::wps, "wps"}})
            connect(supplicant, signal, this, [this, event = event] { add(QLatin1String(event)); });
        connect(supplicant, &Supplicant::wpsFinished, this, [this](const WirelessNetwork &network) {
            wpsNetworks.append(network);
            add(QStringLiteral("wpsFinished ") + network.ssid().toString());
        });
        connect(supplicant, &Supplicant::wpsError, this,
                [this](const QString &error) { add(QStringLiteral("wpsError ") + error); });
        connect(supplicant, &Supplicant::authError, this, [this](const Ssid &ssid, const QString &reason) {
            add(QStringLiteral("authError ") + ssid.toString() + QLatin1Char(' ') + reason);
        });
        connect(supplicant, &Supplicant::scanResults, this, [this](const QList<ApDescription> &results) {
            scans.append(results);
            add(QStringLiteral("scanResults"));
        });
    }

    int count(const QString &event) const { return events.count(event); }
    // Without the results of the scans wpa_supplicant makes on its own while connecting.
    QStringList withoutScans() const { return QStringList(events).filter(QRegularExpression("^(?!scanResults$)")); }

    QStringList events;
    QList<QList<ApDescription>> scans;
    QList<WirelessNetwork> wpsNetworks;

private:
    void add(const QString &event)
    {
        events.append(event);
        note(QStringLiteral("signal ") + event);
    }
};

// "SSID security signal BSSID" per result, in order.
QStringList summary(const QList<ApDescription> &results)
{
    QStringList lines;
    for (const ApDescription &ap : results)
        lines << QStringLiteral("%1 %2 %3 %4").arg(ap.ssid().toString(), NetworkTypes::securityTypeToString(ap.type()))
                     .arg(ap.signal()).arg(ap.bssid().toString());
    return lines;
}

} // namespace

class TestWpaSupplicantSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QFile init(QStringLiteral("/proc/1/cmdline"));
        QVERIFY(init.open(QIODevice::ReadOnly));
        if (!init.readAll().contains("private-bus.sh"))
            qFatal("refusing to run: kivd's supplicant runs killall; start this through private-bus.sh in a PID namespace");
        QVERIFY2(QDBusConnection::systemBus().isConnected(), "the private system bus is not reachable");
        testHandler = qInstallMessageHandler(recordMessage);
    }

    void init()
    {
        QMutexLocker locker(&journalMutex);
        journalLines.clear();
    }

    void cleanup()
    {
        m_signals.reset();
        m_supplicant.reset();
        m_simulator.stop();
        if (QTest::currentTestFailed()) {
            for (const QString &line : journal())
                fprintf(stderr, "  | %s\n", qPrintable(line));
        }
    }

    void connectsThroughAnExistingInterfaceAndFollowsTheAssociation()
    {
        m_simulator.start(scenario(homeAp + "," + oldAp));
        FiW1WpaSupplicant1 root(service, QStringLiteral("/fi/w1/wpa_supplicant1"), QDBusConnection::systemBus());
        root.CreateInterface({{QStringLiteral("Ifname"), QStringLiteral("wlan0")}}).waitForFinished();
        Supplicant *supplicant = createSupplicant();

        connectTo({home()});
        QCOMPARE(m_signals->withoutScans(), QStringList({"configured", "connected"}));
        QCOMPARE(callMembers({"CreateInterface", "GetInterface"}), QStringList({"CreateInterface", "CreateInterface", "GetInterface"}));
        const QVariantMap details {{"Ssid", "Home"}, {"Bssid", "02:00:00:00:01:01"}, {"Encryption", "WPA2-PSK+WPA-PSK"},
                                   {"Signal", -45}, {"Frequency", 2437u}, {"Channel", 6}};
        QCOMPARE(supplicant->getNetworkDetails(), details);
        QCOMPARE(supplicant->getCurrentChannel(), 6);

        // Losing the association only waits for the next one; the network stays configured.
        QVERIFY(SimSupplicantProcess::control(QStringLiteral("DropLink")).type() != QDBusMessage::ErrorMessage);
        QTRY_COMPARE(m_signals->count(QStringLiteral("configured")), 2);
        QCOMPARE(supplicant->getNetworkDetails(), QVariantMap());
        SimSupplicantProcess::control(QStringLiteral("RestoreLink"));
        QTRY_COMPARE(m_signals->count(QStringLiteral("connected")), 2);
        QCOMPARE(callMembers({"AddNetwork"}).size(), 1);

        // New networks while connected: disconnect (networks removed first), then configure them.
        SimSupplicantProcess::control(QStringLiteral("ClearCalls"));
        connectTo({Old});
        QCOMPARE(m_signals->withoutScans(),
                 QStringList({"configured", "connected", "configured", "connected", "configured", "connected"}));
        QVERIFY(journalInOrder({"Got command, disconnecting and returning to main supplicant loop", "Got new networks"}));
        QCOMPARE(callMembers({"RemoveAllNetworks", "Disconnect", "AddNetwork"}),
                 QStringList({"RemoveAllNetworks", "Disconnect", "RemoveAllNetworks", "AddNetwork"}));
        // WEP shows as authentication mode "NONE" on a BSS with privacy.
        QCOMPARE(supplicant->getNetworkDetails().value("Encryption").toString(), QStringLiteral("wep"));
        QCOMPARE(supplicant->getCurrentChannel(), 36);
    }

    void wrongKeyReportsAuthErrorAndDisableEndsTheWait()
    {
        m_simulator.start(scenario(homeAp));
        Supplicant *supplicant = createSupplicant();

        QVERIFY(supplicant->enable({home(QStringLiteral("wrongkey1"))}));
        QTRY_COMPARE(m_signals->count(QStringLiteral("authError Home WRONG_KEY")), 1);
        QVERIFY(supplicant->disable());
        QTRY_COMPARE(m_signals->count(QStringLiteral("disabled")), 1);
        QVERIFY(journalInOrder({"Waiting for supplicant to become inactive/disconnected", "Got disable command"}));
        // Nothing announces that no new configuration starts: give it the time one would take.
        QTest::qWait(600);
        QCOMPARE(m_signals->withoutScans(), QStringList({"configured", "authError Home WRONG_KEY", "disabled"}));
        QCOMPARE(callMembers({"AddNetwork"}).size(), 1);
    }

    void scanResultsListUsableNetworksWithTheirLatestSignal()
    {
        m_simulator.start(scenario(homeAp + "," + cafeAp + R"(,
            {"ssid": "Corp", "bssid": "02:00:00:00:01:03", "security": "eap"},
            {"ssid": "Mixed", "bssid": "02:00:00:00:01:04", "security": "psk+eap", "key": "secret123"},
            {"ssid": "Old", "bssid": "02:00:00:00:01:05", "security": "wep", "key": "abcde"},
            {"ssid": "Secret", "bssid": "02:00:00:00:01:06", "hidden": true})",
                                R"("timing": {"scanMs": 100, "bssExpireCount": 1})"));
        Supplicant *supplicant = createSupplicant();
        waitUntilOpen();

        supplicant->scan();
        supplicant->scan();
        QTRY_COMPARE(m_signals->scans.size(), 1);
        const QList<QJsonObject> scanCalls = calls({"Scan"});
        QCOMPARE(scanCalls.size(), 1);
        QCOMPARE(scanCalls.first().value("args").toArray().first().toObject(),
                 QJsonObject({{"AllowRoam", true}, {"Type", "active"}}));
        QStringList expected {"Home wpa_psk -45 02:00:00:00:01:01", "Cafe unsecured -55 02:00:00:00:01:02",
                              "Mixed wpa_psk -50 02:00:00:00:01:04", "Old wep -50 02:00:00:00:01:05"};
        QCOMPARE(summary(m_signals->scans.first()), expected);

        SimSupplicantProcess::control(QStringLiteral("SetSignal"), {QStringLiteral("02:00:00:00:01:02"), -30});
        SimSupplicantProcess::control(QStringLiteral("RemoveAp"), {QStringLiteral("02:00:00:00:01:05")});
        supplicant->scan();
        QTRY_COMPARE(m_signals->scans.size(), 2);
        expected[1].replace("-55", "-30");
        QCOMPARE(summary(m_signals->scans.last()), expected.mid(0, 3));
        QCOMPARE(m_signals->events, QStringList({"scanResults", "scanResults"}));
    }

    void scanDuringADisconnectionWaitRunsWhenTheWaitEnds()
    {
        // A long scan keeps the supplicant in "scanning", so the disconnection wait has to wait.
        m_simulator.start(scenario(cafeAp, R"("timing": {"scanMs": 2500})"));
        Supplicant *supplicant = createSupplicant();
        QVERIFY(supplicant->enable({Nowhere}));
        QTRY_COMPARE(m_signals->count(QStringLiteral("configured")), 1);
        QVERIFY(supplicant->enable({}));
        QTRY_VERIFY(journalIndex("Supplicant is not disconnected or inactive, waiting for a state update") >= 0);

        SimSupplicantProcess::control(QStringLiteral("ClearCalls"));
        supplicant->scan();
        QVERIFY(journalIndex("Scan is currently inhibited, setting scan requested flag") >= 0);
        QCOMPARE(callMembers({"Scan"}), QStringList());

        QTRY_COMPARE(m_signals->count(QStringLiteral("disabled")), 1);
        QTRY_VERIFY_WITH_TIMEOUT(journalInOrder({"Scan is currently inhibited", "Supplicant has reached disconnected/inactive state",
                                                 "Queuing scan after it was inhibited during disconnect wait",
                                                 "Starting scan", "signal scanResults"}),
                                 10000);
        QCOMPARE(callMembers({"Scan"}), QStringList({"Scan"}));
        QCOMPARE(summary(m_signals->scans.last()), QStringList({"Cafe unsecured -55 02:00:00:00:01:02"}));
    }

    void scanWatchdogAndQuitDuringADisconnectionWait()
    {
        // Scans never finish here: the watchdog answers on wlan0, and on wlan1 the disconnection
        // wait runs into its deadline while the supplicant is being destroyed. Both run at once.
        m_simulator.start(scenario(cafeAp, R"("timing": {"scanMs": 60000})"));
        Supplicant *scanning = createSupplicant(QStringLiteral("wlan0"));
        SignalLog &scanningSignals = *m_signals;
        SupplicantFactory factory;
        std::unique_ptr<Supplicant> quitting = factory.create(nullptr, QStringLiteral("wlan1"));
        SignalLog quittingSignals(quitting.get());
        QTRY_COMPARE(callMembers({"GetInterface", "CreateInterface"}).size(), 2);
        QTRY_COMPARE(journal().filter("Waiting for supplicant to become inactive/disconnected").size(), 2);

        QVERIFY(quitting->enable({Nowhere}));
        QTRY_COMPARE(quittingSignals.count(QStringLiteral("configured")), 1);
        QElapsedTimer sinceScan;
        sinceScan.start();
        scanning->scan();
        QTRY_COMPARE(callMembers({"Scan"}).size(), 1);
        QVERIFY(quitting->disable());
        QTRY_VERIFY(journalIndex("Supplicant is not disconnected or inactive, waiting for a state update") >= 0);

        QElapsedTimer destruction;
        destruction.start();
        quitting.reset();
        // Given up at the 10 s deadline, well before the 30 s limit of the worker's stop.
        QVERIFY2(destruction.elapsed() < 25000, qPrintable(QString::number(destruction.elapsed())));
        QVERIFY(journalInOrder({"Gave up waiting for supplicant to disconnect/become inactive, continuing anyway...",
                                "Got disable command", "Got quit command", "Shutdown wpa_supplicant"}));
        QTRY_COMPARE(quittingSignals.events, QStringList({"configured", "disabled", "scanResults"}));

        QCOMPARE(scanningSignals.scans.size(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(scanningSignals.scans.size(), 1, 45000);
        QVERIFY2(sinceScan.elapsed() >= 14900, qPrintable(QString::number(sinceScan.elapsed())));
        QVERIFY(journalInOrder({"Scan timer timeout exceeded, emitting previous results", "signal scanResults"}));

        // wpa_supplicant still scans: it rejects the next request, which is answered anyway.
        scanning->scan();
        QTRY_COMPARE(scanningSignals.scans.size(), 2);
        QVERIFY(journalIndex("Scan request failed: Scan request rejected") >= 0);
    }

    void wpsSessionEndsWithOneOutcome_data()
    {
        QTest::addColumn<QByteArray>("wps");
        QTest::addColumn<QString>("pin");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QJsonObject>("startArgs");
        QTest::addColumn<QString>("log");
        const QJsonObject pbc {{"Role", "enrollee"}, {"Type", "pbc"}};
        const QJsonObject pin {{"Role", "enrollee"}, {"Type", "pin"}, {"Pin", "12345670"}};
        const QString success = QStringLiteral("Wps session ended sucessfully, emitting ap details");
        // Push button and a refused PIN are run through the daemon by the manager and kivctl tests.
        QTest::newRow("PIN") << QByteArray(R"({"mode": "pin", "pin": "12345670"})") << "12345670" << "wpsFinished Home"
                             << pin << success;
        QTest::newRow("no registrar until the supplicant gives up")
            << QByteArray(R"({"mode": "off"})") << "" << "wpsError WPS session timed out" << pbc << "Wps session timed out";
    }

    void wpsSessionEndsWithOneOutcome()
    {
        QFETCH(QByteArray, wps);
        QFETCH(QString, pin);
        QFETCH(QString, outcome);
        QFETCH(QJsonObject, startArgs);
        QFETCH(QString, log);
        m_simulator.start(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk",
                                    "key": "secret123", "wps": )" + wps + "}",
                                R"("timing": {"stepMs": 10, "scanMs": 40, "wpsExchangeMs": 60, "wpsWalkMs": 700})"));
        Supplicant *supplicant = createSupplicant();
        waitUntilOpen();
        QVERIFY(pin.isEmpty() ? supplicant->wpsPbc() : supplicant->wpsPin(pin));

        QTRY_COMPARE(m_signals->withoutScans().size(), 2);
        QCOMPARE(m_signals->withoutScans(), QStringList({"wps", outcome}));
        QVERIFY(journalIndex(log) >= 0);
        if (outcome.startsWith("wpsFinished"))
            QCOMPARE(m_signals->wpsNetworks, QList<WirelessNetwork>({home()}));
        QCOMPARE(callMembers({"Set", "Start"}), QStringList({"Set", "Start"}));
        QCOMPARE(calls({"Start"}).first().value("args").toArray().first().toObject(), startArgs);
        QTRY_VERIFY(journalInOrder({"signal wps", "Waiting for supplicant to become inactive/disconnected"}));
    }

    void absentSupplicantAnswersAtOnceAndStartsWhenTheInterfaceIsAdded()
    {
        Supplicant *supplicant = createSupplicant();
        QTRY_VERIFY(journalIndex("Couldn't create interface wlan0 due to error: org.freedesktop.DBus.Error.ServiceUnknown") >= 0);
        supplicant->scan();
        QCOMPARE(m_signals->events, QStringList({"scanResults"}));
        QCOMPARE(m_signals->scans.first(), QList<ApDescription>());
        QCOMPARE(supplicant->getNetworkDetails(), QVariantMap());
        QCOMPARE(supplicant->getCurrentChannel(), 0);
        QVERIFY(supplicant->wpsPbc());
        QTRY_COMPARE(m_signals->count(QStringLiteral("wpsError Wireless interface not present!")), 1);
        QVERIFY(supplicant->enable({Cafe}));
        QTest::qWait(300);
        QCOMPARE(m_signals->count(QStringLiteral("configured")), 0);

        m_simulator.start(scenario(cafeAp));
        supplicant->interfaceAdded();
        QTRY_COMPARE(m_signals->count(QStringLiteral("connected")), 1);
        QCOMPARE(supplicant->getCurrentChannel(), 11);
        QCOMPARE(supplicant->getNetworkDetails().value("Encryption").toString(), QStringLiteral("NONE"));

        // Removed and added again: the interface still exists in wpa_supplicant and is reused.
        supplicant->interfaceRemoved();
        QTRY_VERIFY(journalInOrder({"Shutdown wpa_supplicant", "signal scanResults"}));
        QCOMPARE(m_signals->scans.last(), QList<ApDescription>());
        QCOMPARE(supplicant->getCurrentChannel(), 0);
        supplicant->interfaceAdded();
        QTRY_COMPARE(m_signals->count(QStringLiteral("connected")), 2);
        QCOMPARE(callMembers({"CreateInterface", "GetInterface"}), QStringList({"CreateInterface", "CreateInterface", "GetInterface"}));
        QCOMPARE(m_signals->withoutScans(), QStringList({"wpsError Wireless interface not present!", "configured",
                                                         "connected", "configured", "connected"}));
    }

private:
    Supplicant *createSupplicant(const QString &interfaceName = QStringLiteral("wlan0"));
    void waitUntilOpen()
    {
        // The interface is opened within one main-thread call: once wpa_supplicant saw it, it is open.
        QTRY_VERIFY(!callMembers({"CreateInterface"}).isEmpty());
    }

    QList<QJsonObject> calls(const QStringList &members)
    {
        QList<QJsonObject> found;
        for (const QString &entry : SimSupplicantProcess::control(QStringLiteral("Calls")).arguments().value(0).toStringList()) {
            const QJsonObject call = QJsonDocument::fromJson(entry.toUtf8()).object();
            if (members.contains(call.value(QStringLiteral("member")).toString()))
                found.append(call);
        }
        return found;
    }

    QStringList callMembers(const QStringList &members)
    {
        QStringList found;
        for (const QJsonObject &call : calls(members))
            found.append(call.value(QStringLiteral("member")).toString());
        return found;
    }

    void connectTo(const QSet<WirelessNetwork> &networks)
    {
        const int connections = m_signals->count(QStringLiteral("connected"));
        QVERIFY(m_supplicant->enable(networks));
        QTRY_COMPARE(m_signals->count(QStringLiteral("connected")), connections + 1);
    }

    SimSupplicantProcess m_simulator;
    std::unique_ptr<Supplicant> m_supplicant;
    std::unique_ptr<SignalLog> m_signals;
};

Supplicant *TestWpaSupplicantSystem::createSupplicant(const QString &interfaceName)
{
    SupplicantFactory factory;
    m_supplicant = factory.create(nullptr, interfaceName);
    m_signals = std::make_unique<SignalLog>(m_supplicant.get());
    return m_supplicant.get();
}

QTEST_GUILESS_MAIN(TestWpaSupplicantSystem)
#include "tst_wpasupplicant_system.moc"
