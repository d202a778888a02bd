// Drives kiv-sim-supplicant on the private system bus through the generated wpa_supplicant proxies,
// the way kivd does: what the daemon's supplicant tests rely on the double to do as the real one.
#include "BusDescription.h"
#include "SimSupplicantProcess.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_BSS.h"
#include "fi_w1_wpa_supplicant1_Interface.h"
#include "fi_w1_wpa_supplicant1_Network.h"
#include "fi_w1_wpa_supplicant1_WPS.h"

#include <QtTest>

namespace {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");
const QString rootPath = QStringLiteral("/fi/w1/wpa_supplicant1");
const QByteArray timing = R"("timing": {"stepMs": 10, "scanMs": 40, "rescanMs": 150, "wpsExchangeMs": 60,
                                        "wpsWalkMs": 500, "tempDisabledUnitMs": 1000})";
const QByteArray homeAp = R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123")";

QDBusConnection bus()
{
    return QDBusConnection::systemBus();
}

QByteArray scenario(const QByteArray &accessPoints, const QByteArray &timingJson = timing)
{
    return "{" + timingJson + R"(, "accessPoints": [)" + accessPoints + "]}";
}

// The AddNetwork maps kivd builds for an open and a WPA network.
QVariantMap openNetwork(const QByteArray &ssid)
{
    return {{"ssid", ssid}, {"scan_ssid", 1}, {"key_mgmt", "NONE"}, {"priority", 0}};
}

QVariantMap pskNetwork(const QByteArray &ssid, const QString &key)
{
    return {{"ssid", ssid}, {"scan_ssid", 1}, {"psk", key}, {"key_mgmt", "WPA-PSK WPA-PSK-SHA256"}, {"ieee80211w", 1},
            {"priority", 0}};
}

QStringList statesIn(const QSignalSpy &spy)
{
    QStringList states;
    for (const QList<QVariant> &arguments : spy) {
        const QVariantMap changed = arguments.at(0).toMap();
        if (changed.contains(QStringLiteral("State")))
            states.append(changed.value(QStringLiteral("State")).toString());
    }
    return states;
}

QString errorOf(QDBusPendingCall call)
{
    call.waitForFinished();
    return call.error().name();
}

QString createInterface()
{
    FiW1WpaSupplicant1 root(service, rootPath, bus());
    QDBusPendingReply<QDBusObjectPath> reply = root.CreateInterface({{"Ifname", "wlan0"}, {"Driver", "nl80211"}});
    reply.waitForFinished();
    return reply.isError() ? QString() : reply.value().path();
}

QString addEnabledNetwork(const QString &interfacePath, const QVariantMap &network)
{
    FiW1WpaSupplicant1Interface interface(service, interfacePath, bus());
    QDBusPendingReply<QDBusObjectPath> reply = interface.AddNetwork(network);
    reply.waitForFinished();
    if (reply.isError())
        return QString();
    FiW1WpaSupplicant1Network(service, reply.value().path(), bus()).setEnabled(true);
    return reply.value().path();
}

void scanAndWait(FiW1WpaSupplicant1Interface &interface, QSignalSpy &done)
{
    const int before = done.count();
    QCOMPARE(errorOf(interface.Scan({{"Type", "active"}, {"AllowRoam", true}})), QString());
    QTRY_COMPARE(done.count(), before + 1);
}

} // namespace

class TestSimSupplicant : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        WpaSupplicantTypes::registerBusTypes();
        QVERIFY2(bus().isConnected(), "the private system bus is not reachable");
    }

    void cleanup() { m_simulator.stop(); }

    void createInterfaceAnswersExistingAndUnknownInterfaces()
    {
        m_simulator.start(scenario(""));
        FiW1WpaSupplicant1 root(service, rootPath, bus());
        const QString path = createInterface();
        QCOMPARE(path, QStringLiteral("/fi/w1/wpa_supplicant1/Interfaces/0"));
        QCOMPARE(errorOf(root.CreateInterface({{"Ifname", "wlan0"}, {"Driver", "nl80211"}})),
                 QStringLiteral("fi.w1.wpa_supplicant1.InterfaceExists"));
        QDBusPendingReply<QDBusObjectPath> existing = root.GetInterface(QStringLiteral("wlan0"));
        existing.waitForFinished();
        QCOMPARE(existing.value().path(), path);
        QCOMPARE(errorOf(root.GetInterface(QStringLiteral("wlan9"))), QStringLiteral("fi.w1.wpa_supplicant1.InterfaceUnknown"));
        QTRY_COMPARE(FiW1WpaSupplicant1Interface(service, path, bus()).state(), QStringLiteral("inactive"));
    }

    void wrongPassphraseIsTemporarilyDisabled()
    {
        m_simulator.start(scenario(homeAp + "}"));
        const QString path = createInterface();
        FiW1WpaSupplicant1Interface interface(service, path, bus());
        QSignalSpy changes(&interface, &FiW1WpaSupplicant1Interface::PropertiesChanged);
        QSignalSpy disabled(&interface, &FiW1WpaSupplicant1Interface::NetworkTempDisabled);

        const QString network = addEnabledNetwork(path, pskNetwork("Home", QStringLiteral("secret124")));
        QTRY_COMPARE(disabled.count(), 1);
        const QVariantMap args = disabled.at(0).at(0).toMap();
        QCOMPARE(args.value("network").value<QDBusObjectPath>().path(), network);
        QCOMPARE(args.value("reason").toString(), QStringLiteral("WRONG_KEY"));
        QTRY_COMPARE(interface.state(), QStringLiteral("disconnected"));
        QVERIFY(statesIn(changes).contains(QStringLiteral("4way_handshake")));
        QVERIFY(!statesIn(changes).contains(QStringLiteral("completed")));
        QCOMPARE(disabled.count(), 1);
    }

    // The two behaviours tst_wpabusmembers shows of the real wpa_supplicant.
    void disconnectSequenceBehavesAsTheRealSupplicant()
    {
        m_simulator.start(scenario(R"({"ssid": "Cafe", "bssid": "02:00:00:00:01:02"})"));
        const QString path = createInterface();
        FiW1WpaSupplicant1Interface interface(service, path, bus());
        QVERIFY(!addEnabledNetwork(path, openNetwork("Cafe")).isEmpty());
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));

        // Removing the networks first: Disconnect is refused, and the next configuration connects.
        interface.RemoveAllNetworks().waitForFinished();
        QCOMPARE(interface.currentBSS().path(), QStringLiteral("/"));
        QCOMPARE(errorOf(interface.Disconnect()), QStringLiteral("fi.w1.wpa_supplicant1.NotConnected"));
        QTRY_COMPARE(interface.state(), QStringLiteral("inactive"));
        QVERIFY(!addEnabledNetwork(path, openNetwork("Cafe")).isEmpty());
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));

        // Disconnecting while connected holds until Reconnect, even with a new network.
        QCOMPARE(errorOf(interface.Disconnect()), QString());
        QCOMPARE(interface.state(), QStringLiteral("disconnected"));
        addEnabledNetwork(path, openNetwork("Cafe"));
        QCOMPARE(interface.state(), QStringLiteral("disconnected"));
        interface.Reconnect().waitForFinished();
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
    }

    void scanPublishesEveryAccessPointBeforeScanDone()
    {
        m_simulator.start(scenario(R"({"ssid": "Open", "bssid": "02:00:00:00:02:01", "signal": -41, "frequency": 2412},
                                   {"ssid": "Wep", "bssid": "02:00:00:00:02:02", "security": "wep", "key": "abcde"},
                                   {"ssid": "Psk", "bssid": "02:00:00:00:02:03", "security": "wpa-psk", "key": "secret123"},
                                   {"ssid": "Eap", "bssid": "02:00:00:00:02:04", "security": "eap"},
                                   {"ssid": "Hidden", "bssid": "02:00:00:00:02:06", "hidden": true})"));
        FiW1WpaSupplicant1Interface interface(service, createInterface(), bus());
        QStringList events;
        QList<QDBusObjectPath> paths;
        connect(&interface, &FiW1WpaSupplicant1Interface::BSSAdded, this, [&](const QDBusObjectPath &bss) {
            events.append(QStringLiteral("BSSAdded"));
            paths.append(bss);
        });
        connect(&interface, &FiW1WpaSupplicant1Interface::ScanDone, this,
                [&](bool success) { events.append(success ? QStringLiteral("ScanDone") : QStringLiteral("ScanFailed")); });
        QSignalSpy done(&interface, &FiW1WpaSupplicant1Interface::ScanDone);
        scanAndWait(interface, done);
        QCOMPARE(events, (QStringList{"BSSAdded", "BSSAdded", "BSSAdded", "BSSAdded", "BSSAdded", "ScanDone"}));
        QCOMPARE(interface.bSSs(), paths);

        // SSID, privacy and the RSN key management of each, as the daemon classifies them.
        QStringList seen;
        for (const QDBusObjectPath &path : qAsConst(paths)) {
            FiW1WpaSupplicant1Bss bss(service, path.path(), bus());
            seen << QStringLiteral("%1 %2 %3").arg(QString::fromUtf8(bss.sSID())).arg(bss.privacy())
                        .arg(bss.rSN().value("KeyMgmt").toStringList().join(','));
            if (bss.sSID() == "Open")
                seen << QStringLiteral("Open %1 %2 ").arg(bss.signal()).arg(bss.frequency()) + bss.bSSID().toHex(':');
        }
        seen.sort();
        QCOMPARE(seen, (QStringList{" 0 ", "Eap 1 wpa-eap", "Open -41 2412 02:00:00:00:02:01", "Open 0 ", "Psk 1 wpa-psk",
                                    "Wep 1 "}));
    }

    void laterScansPublishSignalChangesAndExpireRemovedAccessPoints()
    {
        m_simulator.start(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "signal": -40},
                                   {"ssid": "Cafe", "bssid": "02:00:00:00:01:02"})"));
        FiW1WpaSupplicant1Interface interface(service, createInterface(), bus());
        QSignalSpy done(&interface, &FiW1WpaSupplicant1Interface::ScanDone);
        QSignalSpy removed(&interface, &FiW1WpaSupplicant1Interface::BSSRemoved);
        scanAndWait(interface, done);
        QMap<QString, QString> byBssid;
        for (const QDBusObjectPath &path : interface.bSSs())
            byBssid.insert(QString::fromLatin1(FiW1WpaSupplicant1Bss(service, path.path(), bus()).bSSID().toHex(':')), path.path());
        FiW1WpaSupplicant1Bss home(service, byBssid.value("02:00:00:00:01:01"), bus());
        QSignalSpy changed(&home, &FiW1WpaSupplicant1Bss::PropertiesChanged);

        QCOMPARE(SimSupplicantProcess::control("SetSignal", {"02:00:00:00:01:01", -80}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(SimSupplicantProcess::control("RemoveAp", {"02:00:00:00:01:02"}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(home.signal(), short(-40));
        scanAndWait(interface, done);
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toMap().keys(), QStringList{"Signal"});
        QCOMPARE(home.signal(), short(-80));
        QCOMPARE(removed.count(), 0);

        // Missing from a second scan the access point is gone; an unchanged one stays silent.
        scanAndWait(interface, done);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(0).value<QDBusObjectPath>().path(), byBssid.value("02:00:00:00:01:02"));
        QCOMPARE(interface.bSSs().size(), 1);
        QCOMPARE(changed.count(), 1);
    }

    void wpsSessionEndsWithOneOutcome_data()
    {
        QTest::addColumn<QByteArray>("wps");
        QTest::addColumn<int>("refusal");
        QTest::addColumn<QVariantMap>("start");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("state");
        const QVariantMap pbc{{"Role", "enrollee"}, {"Type", "pbc"}};
        QTest::newRow("push button") << QByteArray(R"({"mode": "pbc"})") << 0 << pbc
                                     << QStringList{"Credentials Home secret123 wpa2-psk", "success"} << "completed";
        QTest::newRow("wrong pin") << QByteArray(R"({"mode": "pin", "pin": "12345670"})") << 0
                                   << QVariantMap{{"Role", "enrollee"}, {"Type", "pin"}, {"Pin", "11111111"}}
                                   << QStringList{"fail 18 18"} << "inactive";
        QTest::newRow("registrar refuses through control") << QByteArray(R"({"mode": "off"})") << 16 << pbc
                                                           << QStringList{"fail 16 16"} << "inactive";
        QTest::newRow("no registrar within the walk time") << QByteArray(R"({"mode": "off"})") << 0
                                                           << QVariantMap{{"Role", "enrollee"}, {"Type", "pin"}}
                                                           << QStringList() << "inactive";
    }

    void wpsSessionEndsWithOneOutcome()
    {
        QFETCH(QByteArray, wps);
        QFETCH(int, refusal);
        QFETCH(QVariantMap, start);
        QFETCH(QStringList, events);
        QFETCH(QString, state);
        m_simulator.start(scenario(homeAp + R"(, "wps": )" + wps + "}"));
        if (refusal)
            QCOMPARE(SimSupplicantProcess::control("SetWpsOutcome", {"02:00:00:00:01:01", "pbc", refusal}).type(),
                     QDBusMessage::ReplyMessage);
        const QString path = createInterface();
        FiW1WpaSupplicant1Interface interface(service, path, bus());
        FiW1WpaSupplicant1Wps proxy(service, path, bus());
        QStringList seen;
        connect(&proxy, &FiW1WpaSupplicant1Wps::Credentials, this, [&](const QVariantMap &credentials) {
            seen << "Credentials " + credentials.value("SSID").toByteArray() + ' ' + credentials.value("Key").toByteArray()
                        + ' ' + credentials.value("AuthType").toStringList().join(',');
        });
        connect(&proxy, &FiW1WpaSupplicant1Wps::Event, this, [&](const QString &name, const QVariantMap &args) {
            seen << QStringLiteral("%1 %2 %3").arg(name, args.value("config_error").toString(), args.value("msg").toString())
                        .trimmed();
        });
        proxy.setProcessCredentials(true);
        QCOMPARE(errorOf(proxy.Start(start)), QString());
        QCOMPARE(interface.networks().size(), 1);
        QTRY_COMPARE(seen, events);
        QTRY_COMPARE(interface.state(), state);
        QCOMPARE(interface.networks().isEmpty(), state == QLatin1String("inactive"));
        QCOMPARE(seen, events);
    }

    void propertiesMatchTheInterfaceDescriptions()
    {
        m_simulator.start(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01"})"));
        const QString path = createInterface();
        const QString network = addEnabledNetwork(path, openNetwork("Home"));
        FiW1WpaSupplicant1Interface interface(service, path, bus());
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
        const QMap<QString, QString> objects{{"fi.w1.wpa_supplicant1", rootPath},
                                             {"fi.w1.wpa_supplicant1.Interface", path},
                                             {"fi.w1.wpa_supplicant1.Interface.WPS", path},
                                             {"fi.w1.wpa_supplicant1.BSS", interface.currentBSS().path()},
                                             {"fi.w1.wpa_supplicant1.Network", network}};
        const QDir dir(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/src/kivd/dbus"));
        const QStringList files = dir.entryList({QStringLiteral("fi.w1.wpa_supplicant1*.xml")});
        QCOMPARE(files.size(), objects.size());
        for (const QString &name : files) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QString error;
            const BusInterfaceDescription description = BusDescription::parse(file.readAll(), &error).value(0);
            QDBusMessage getAll = QDBusMessage::createMethodCall(service, objects.value(description.name),
                                                                 "org.freedesktop.DBus.Properties", "GetAll");
            getAll << description.name;
            const QDBusMessage reply = bus().call(getAll);
            QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
            QStringList described;
            for (const BusProperty &property : description.properties)
                described.append(property.name);
            described.sort();
            QCOMPARE(qdbus_cast<QVariantMap>(reply.arguments().value(0)).keys(), described);
        }
    }

private:
    SimSupplicantProcess m_simulator;
};

QTEST_GUILESS_MAIN(TestSimSupplicant)
#include "tst_simsupplicant.moc"
