// The supplicant client against kiv-sim-supplicant in a sandbox device: connecting, losing and
// changing the connection, scans' inhibition and watchdog, a WPS session nobody answers, an absent
// supplicant and shutting down during a disconnection wait. Authentication errors, WPS outcomes
// and scan results are proven end to end in tst_manager_system.
// First, Debian's wpa_supplicant serves the members our descriptions (which the simulator serves)
// list. The device keeps the client's "killall wpa_supplicant" away from the machine.
#include "BusDescription.h"
#include "SandboxDeviceTest.h"
#include "Supplicant.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_Interface.h"

#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QtTest>

#include <memory>

namespace {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");
const QByteArray homeAp = R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123",
                              "signal": -45, "frequency": 2437})";
const QByteArray cafeAp = R"({"ssid": "Cafe", "bssid": "02:00:00:00:01:02", "signal": -55, "frequency": 2462})";
const QByteArray oldAp = R"({"ssid": "Old", "bssid": "02:00:00:00:01:05", "security": "wep", "key": "abcde",
                             "wepAuth": "open", "frequency": 5180})";

QByteArray scenario(const QByteArray &accessPoints,
                    const QByteArray &timing = R"("timing": {"stepMs": 10, "scanMs": 40, "rescanMs": 150, "wpsExchangeMs": 60})")
{
    return "{" + timing + R"(, "accessPoints": [)" + accessPoints + "]}";
}

const WirelessNetwork Nowhere(Ssid::fromString(QStringLiteral("Nowhere")), SecurityType::Unsecured);

// Every log line of both threads and every supplicant signal ("signal wlan0 connected"), in order.
QMutex journalMutex;
QStringList journalLines;

QStringList journal()
{
    QMutexLocker locker(&journalMutex);
    return journalLines;
}

// Whether the journal contains these texts in this order.
bool journalInOrder(const QStringList &texts)
{
    const QString all = journal().join('\n');
    int at = 0;
    for (const QString &text : texts) {
        if ((at = all.indexOf(text, at)) < 0)
            return false;
        at += text.size();
    }
    return true;
}

// A supplicant client whose signals, also those sent while being destroyed, go to the journal;
// scan results as "scanResults" and their SSIDs.
std::unique_ptr<Supplicant> createSupplicant(const QString &ifname = QStringLiteral("wlan0"))
{
    std::unique_ptr<Supplicant> supplicant = SupplicantFactory().create(nullptr, ifname);
    QObject *const context = QCoreApplication::instance();
    const auto add = [ifname](const QString &event) { qInfo("signal %s %s", qPrintable(ifname), qPrintable(event)); };
    for (auto [signal, event] : {std::pair{&Supplicant::disabled, "disabled"}, {&Supplicant::configured, "configured"},
                                 {&Supplicant::connected, "connected"}, {&Supplicant::wps, "wps"}})
        QObject::connect(supplicant.get(), signal, context, [add, event = event] { add(QLatin1String(event)); });
    QObject::connect(supplicant.get(), &Supplicant::wpsError, context, [add](const QString &error) { add("wpsError " + error); });
    QObject::connect(supplicant.get(), &Supplicant::scanResults, context, [add](const QList<ApDescription> &results) {
        QStringList names{"scanResults"};
        for (const ApDescription &ap : results)
            names << ap.ssid().toString();
        add(names.join(' '));
    });
    return supplicant;
}

// The signals of one interface so far; the scans wpa_supplicant makes on its own only when asked for.
QStringList events(const QString &ifname = QStringLiteral("wlan0"), bool withScans = false)
{
    const QRegularExpression prefix("^signal " + ifname + (withScans ? " " : " (?!scanResults)"));
    return journal().filter(prefix).replaceInStrings(prefix, QString());
}

// A call to the simulated supplicant's control object.
QDBusMessage control(const QString &method)
{
    return QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
        QStringLiteral("com.tarvel.kivsim"), QStringLiteral("/control"), QStringLiteral("com.tarvel.kivsim.Control"), method));
}

// The calls the simulated supplicant logged to these members, in order.
QStringList callMembers(const QStringList &members)
{
    QStringList found;
    for (const QString &entry : control("Calls").arguments().value(0).toStringList())
        found << QJsonDocument::fromJson(entry.toUtf8())["member"].toString();
    return found.filter(QRegularExpression("^(" + members.join('|') + ")$"));
}

// The members of one interface in introspection XML as "method Name(in)(out)", "signal Name(out)"
// and "property Name type access"; not the signals only the device's supplicant build serves.
QStringList members(const QByteArray &xml, const QString &name)
{
    for (const BusInterfaceDescription &description : BusDescription::parse(xml, nullptr)) {
        if (description.name != name)
            continue;
        QStringList list;
        for (const BusMember &method : description.methods)
            list << "method " + method.name + '(' + method.signature("in") + ")(" + method.signature("out") + ')';
        for (const BusMember &signal : description.signalMembers)
            if (!signal.deviceExtension)
                list << "signal " + signal.name + '(' + signal.signature("out") + ')';
        for (const BusProperty &property : description.properties)
            list << "property " + property.name + ' ' + property.type + ' ' + property.access;
        return list;
    }
    return {};
}

} // namespace

class TestWpaSupplicantSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
            QMutexLocker locker(&journalMutex);
            journalLines.append(text);
        });
    }

    void init()
    {
        QMutexLocker locker(&journalMutex);
        journalLines.clear();
    }

    void cleanup()
    {
        m_supplicant.reset();
        // Signals of the shutdown belong to this case's journal, not the next one's.
        QCoreApplication::processEvents();
        m_simulator.terminate();
        m_simulator.waitForFinished(5000);
        QTRY_VERIFY(!QDBusConnection::systemBus().interface()->isServiceRegistered(service));
    }

    // On eth0 with the "wired" driver, the only one usable without a radio. The BSS interface
    // needs a radio: kivd reads it in the radio scenarios.
    void realSupplicantServesOurDescriptions()
    {
        startSupplicant();
        FiW1WpaSupplicant1 root(service, QStringLiteral("/fi/w1/wpa_supplicant1"), QDBusConnection::systemBus());
        const QDBusReply<QDBusObjectPath> created = root.CreateInterface({{"Ifname", "eth0"}, {"Driver", "wired"}});
        QVERIFY2(created.isValid(), qPrintable(created.error().message()));
        FiW1WpaSupplicant1Interface interface(service, created.value().path(), QDBusConnection::systemBus());
        const QDBusReply<QDBusObjectPath> network = interface.AddNetwork({{"ssid", QByteArray("Home")}, {"scan_ssid", 1}, {"key_mgmt", "NONE"}});
        QVERIFY2(network.isValid(), qPrintable(network.error().message()));
        const QList<QPair<QString, QString>> objects{{service, root.path()}, {service + ".Interface", interface.path()},
                                                   {service + ".Interface.WPS", interface.path()},
                                                   {service + ".Network", network.value().path()}};
        const QString descriptions = qEnvironmentVariable("KIV_SOURCE_DIR") + "/src/kivd/dbus/";
        for (const auto &[name, path] : objects) {
            const QStringList expected = members(KivSandbox::readFile(descriptions + name + ".xml"), name);
            QVERIFY2(!expected.isEmpty(), qPrintable(name));
            const QDBusMessage reply = QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
                service, path, QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect")));
            const QStringList served = members(reply.arguments().value(0).toString().toUtf8(), name);
            for (const QString &member : expected)
                QVERIFY2(served.contains(member), qPrintable(member + " of " + name + " is not served at " + path));
        }
    }

    void connectsAndFollowsTheAssociation()
    {
        startSupplicant(scenario(homeAp + "," + oldAp));
        Supplicant *supplicant = (m_supplicant = createSupplicant()).get();

        QVERIFY(supplicant->enable({WirelessNetwork(Ssid::fromString("Home"), SecurityType::WpaPsk, "secret123")}));
        QTRY_COMPARE(events(), QStringList({"configured", "connected"}));
        // wpa_supplicant's own forms: the protocols the network allows, the signal poll's values.
        const QVariantMap details {{"Ssid", "Home"}, {"Bssid", "02:00:00:00:01:01"}, {"Encryption", "WPA2-PSK+WPA-PSK"},
                                   {"Signal", -45}, {"Frequency", 2437u}, {"Channel", 6}};
        QCOMPARE(supplicant->getNetworkDetails(), details);

        // Losing the association only waits for the next one; the network stays configured.
        QCOMPARE(control("DropLink").type(), QDBusMessage::ReplyMessage);
        QTRY_COMPARE(events().count(QStringLiteral("configured")), 2);
        QCOMPARE(supplicant->getNetworkDetails(), QVariantMap());
        control("RestoreLink");
        QTRY_COMPARE(events().count(QStringLiteral("connected")), 2);
        QCOMPARE(callMembers({"AddNetwork"}).size(), 1);

        // New networks while connected: disconnect (networks removed first), then configure them.
        control("ClearCalls");
        QVERIFY(supplicant->enable({WirelessNetwork(Ssid::fromString("Old"), SecurityType::Wep, "abcde")}));
        QTRY_COMPARE(events(), QStringList({"configured", "connected", "configured", "connected", "configured", "connected"}));
        QVERIFY(journalInOrder({"Got command, disconnecting and returning to main supplicant loop", "Got new networks"}));
        QCOMPARE(callMembers({"RemoveAllNetworks", "Disconnect", "AddNetwork"}),
                 QStringList({"RemoveAllNetworks", "Disconnect", "RemoveAllNetworks", "AddNetwork"}));
        // WEP shows as authentication mode "NONE" on a BSS with privacy.
        QCOMPARE(supplicant->getNetworkDetails().value("Encryption").toString(), QStringLiteral("wep"));
        QCOMPARE(supplicant->getCurrentChannel(), 36);
    }

    void scanDuringADisconnectionWaitRunsWhenTheWaitEnds()
    {
        // A long scan keeps the supplicant in "scanning", so the disconnection wait has to wait.
        startSupplicant(scenario(cafeAp, R"("timing": {"scanMs": 2500})"));
        Supplicant *supplicant = (m_supplicant = createSupplicant()).get();
        QVERIFY(supplicant->enable({Nowhere}));
        QTRY_COMPARE(events(), QStringList{"configured"});
        QVERIFY(supplicant->enable({}));
        QTRY_VERIFY(journalInOrder({"Supplicant is not disconnected or inactive, waiting for a state update"}));

        control("ClearCalls");
        supplicant->scan();
        QTRY_COMPARE(events(), QStringList({"configured", "disabled"}));
        QTRY_VERIFY_WITH_TIMEOUT(journalInOrder({"Scan is currently inhibited", "Supplicant has reached disconnected/inactive state",
                                                 "Queuing scan after it was inhibited during disconnect wait",
                                                 "Starting scan", "signal wlan0 scanResults Cafe"}),
                                 10000);
        QCOMPARE(callMembers({"Scan"}), QStringList({"Scan"}));
    }

    void scanWatchdogAndQuitDuringADisconnectionWait()
    {
        // Scans never finish here: the watchdog answers on wlan0, and on wlan1 the disconnection
        // wait runs into its deadline while the supplicant is being destroyed. Both run at once.
        startSupplicant(scenario(cafeAp, R"("timing": {"scanMs": 60000})"));
        Supplicant *scanning = (m_supplicant = createSupplicant()).get();
        std::unique_ptr<Supplicant> quitting = createSupplicant(QStringLiteral("wlan1"));
        QTRY_COMPARE(journal().filter("Waiting for supplicant to become inactive/disconnected").size(), 2);

        QVERIFY(quitting->enable({Nowhere}));
        QTRY_COMPARE(events(QStringLiteral("wlan1")), QStringList{"configured"});
        QElapsedTimer sinceScan;
        sinceScan.start();
        scanning->scan();
        QTRY_COMPARE(callMembers({"Scan"}).size(), 1);
        QVERIFY(quitting->disable());
        QTRY_VERIFY(journalInOrder({"Supplicant is not disconnected or inactive, waiting for a state update"}));

        QElapsedTimer destruction;
        destruction.start();
        quitting.reset();
        // Given up at the 10 s deadline, well before the 30 s limit of the worker's stop.
        QVERIFY2(destruction.elapsed() < 25000, qPrintable(QString::number(destruction.elapsed())));
        QVERIFY(journalInOrder({"Gave up waiting for supplicant to disconnect/become inactive, continuing anyway...",
                                "Got disable command", "Got quit command", "Shutdown wpa_supplicant"}));
        QTRY_COMPARE(events(QStringLiteral("wlan1"), true), QStringList({"configured", "disabled", "scanResults"}));

        QTRY_COMPARE_WITH_TIMEOUT(events(QStringLiteral("wlan0"), true).size(), 1, 45000);
        QVERIFY2(sinceScan.elapsed() >= 14900, qPrintable(QString::number(sinceScan.elapsed())));
        QVERIFY(journalInOrder({"Scan timer timeout exceeded, emitting previous results", "signal wlan0 scanResults"}));

        // wpa_supplicant still scans: it rejects the next request, which is answered anyway.
        scanning->scan();
        QTRY_COMPARE(events(QStringLiteral("wlan0"), true).size(), 2);
        QVERIFY(journalInOrder({"Scan request failed: Scan request rejected"}));
    }

    void wpsSessionWithoutRegistrarTimesOut()
    {
        startSupplicant(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk",
                                    "key": "secret123", "wps": {"mode": "off"}})",
                                R"("timing": {"stepMs": 10, "scanMs": 40, "wpsExchangeMs": 60, "wpsWalkMs": 700})"));
        Supplicant *supplicant = (m_supplicant = createSupplicant()).get();
        // The interface is opened within one main-thread call: once wpa_supplicant saw it, it is open.
        QTRY_VERIFY(!callMembers({"CreateInterface"}).isEmpty());
        QVERIFY(supplicant->wpsPbc());
        QTRY_COMPARE(events(), QStringList({"wps", "wpsError WPS session timed out"}));
        QTRY_VERIFY(journalInOrder({"Wps session timed out", "Waiting for supplicant to become inactive/disconnected"}));
    }

    void absentSupplicantAnswersAtOnceAndStartsWhenTheInterfaceIsAdded()
    {
        Supplicant *supplicant = (m_supplicant = createSupplicant()).get();
        QTRY_VERIFY(journalInOrder({"Couldn't create interface wlan0 due to error: org.freedesktop.DBus.Error.ServiceUnknown"}));
        supplicant->scan();
        QCOMPARE(events(QStringLiteral("wlan0"), true), QStringList({"scanResults"}));
        QCOMPARE(supplicant->getNetworkDetails(), QVariantMap());
        QCOMPARE(supplicant->getCurrentChannel(), 0);
        QVERIFY(supplicant->wpsPbc());
        QTRY_COMPARE(events(), QStringList({"wpsError Wireless interface not present!"}));
        QVERIFY(supplicant->enable({WirelessNetwork(Ssid::fromString("Cafe"), SecurityType::Unsecured)}));

        startSupplicant(scenario(cafeAp));
        supplicant->interfaceAdded();
        QTRY_COMPARE(events().count(QStringLiteral("connected")), 1);
        QCOMPARE(supplicant->getCurrentChannel(), 11);
        QCOMPARE(supplicant->getNetworkDetails().value("Encryption").toString(), QStringLiteral("NONE"));

        // Removed and added again: the interface still exists in wpa_supplicant and is reused.
        supplicant->interfaceRemoved();
        QTRY_VERIFY(journalInOrder({"Shutdown wpa_supplicant", "signal wlan0 scanResults"}));
        QCOMPARE(supplicant->getCurrentChannel(), 0);
        supplicant->interfaceAdded();
        QTRY_COMPARE(events(), QStringList({"wpsError Wireless interface not present!", "configured", "connected", "configured", "connected"}));
        QCOMPARE(callMembers({"CreateInterface", "GetInterface"}), QStringList({"CreateInterface", "CreateInterface", "GetInterface"}));
    }

private:
    // The simulated supplicant playing this scenario; without one, Debian's wpa_supplicant.
    void startSupplicant(const QByteArray &scenarioJson = {})
    {
        const bool real = scenarioJson.isEmpty();
        m_simulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_simulator.start(real ? "wpa_supplicant" : KIV_SIM_SUPPLICANT, real ? QStringList{"-u"} : QStringList{"--scenario", "/dev/stdin"});
        m_simulator.write(scenarioJson);
        m_simulator.closeWriteChannel();
        QTRY_VERIFY_WITH_TIMEOUT(QDBusConnection::systemBus().interface()->isServiceRegistered(service), 10000);
    }

    QProcess m_simulator;
    std::unique_ptr<Supplicant> m_supplicant;
};

KIV_SANDBOX_DEVICE_TEST_MAIN(TestWpaSupplicantSystem, (SandboxDeviceTest::Setup{{"--no-dhcp", "--no-ra"}, {}}))
#include "tst_wpasupplicant_system.moc"
