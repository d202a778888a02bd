// Drives kiv-sim-supplicant on the private system bus through the generated wpa_supplicant proxies,
// the way kivd does, and steers it through its control interface.
#include "BusDescription.h"
#include "SimSupplicantProcess.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_BSS.h"
#include "fi_w1_wpa_supplicant1_Interface.h"
#include "fi_w1_wpa_supplicant1_Network.h"
#include "fi_w1_wpa_supplicant1_WPS.h"

#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryFile>
#include <QtTest>

#include <memory>

namespace {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");
const QString rootPath = QStringLiteral("/fi/w1/wpa_supplicant1");
const QString homeBssid = QStringLiteral("02:00:00:00:01:01");
const QString cafeBssid = QStringLiteral("02:00:00:00:01:02");
const QByteArray timing = R"("timing": {"stepMs": 10, "scanMs": 40, "rescanMs": 150, "wpsExchangeMs": 60,
                                        "tempDisabledUnitMs": 1000})";

QDBusConnection bus()
{
    return QDBusConnection::systemBus();
}

QByteArray scenario(const QByteArray &accessPoints, const QByteArray &timingJson = timing)
{
    return "{" + timingJson + R"(, "accessPoints": [)" + accessPoints + "]}";
}

// The AddNetwork map kivd builds for a network of each security type.
QVariantMap openNetwork(const QByteArray &ssid)
{
    return {{QStringLiteral("ssid"), ssid}, {QStringLiteral("scan_ssid"), 1},
            {QStringLiteral("key_mgmt"), QStringLiteral("NONE")}, {QStringLiteral("priority"), 0}};
}

QVariantMap pskNetwork(const QByteArray &ssid, const QVariant &key)
{
    return {{QStringLiteral("ssid"), ssid}, {QStringLiteral("scan_ssid"), 1}, {QStringLiteral("psk"), key},
            {QStringLiteral("key_mgmt"), QStringLiteral("WPA-PSK WPA-PSK-SHA256")},
            {QStringLiteral("ieee80211w"), 1}, {QStringLiteral("priority"), 0}};
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

bool inOrder(const QStringList &seen, const QStringList &expected)
{
    int from = 0;
    for (const QString &entry : expected) {
        from = seen.indexOf(entry, from);
        if (from < 0)
            return false;
        ++from;
    }
    return true;
}

QList<BusInterfaceDescription> descriptions()
{
    QList<BusInterfaceDescription> all;
    const QDir dir(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/src/kivd/dbus"));
    for (const QString &name : dir.entryList({QStringLiteral("fi.w1.wpa_supplicant1*.xml")})) {
        QFile file(dir.filePath(name));
        file.open(QIODevice::ReadOnly);
        QString error;
        all += BusDescription::parse(file.readAll(), &error);
    }
    return all;
}

} // namespace

class TestSimSupplicant : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void createInterfaceReportsExistingAndUnknownInterfaces();
    void interfaceNamesOutsideTheScenarioAreRefused();
    void openNetworkCompletesWithCurrentBss();
    void pskNetworkCompletesWithPassphraseOrRawKey_data();
    void pskNetworkCompletesWithPassphraseOrRawKey();
    void wrongPassphraseIsTemporarilyDisabled();
    void kivdDisconnectSequenceAllowsTheNextConfiguration();
    void disconnectWhileConnectedHoldsUntilReconnect();
    void scanPublishesEveryAccessPointBeforeScanDone();
    void secondScanWhileScanningIsRejected();
    void hiddenNetworkIsFoundThroughItsScanSsidNetwork();
    void signalChangeIsPublishedWithTheNextScan();
    void removedAccessPointExpiresAfterTwoMissedScans();
    void droppedLinkDisconnectsUntilRestored();
    void wpsPushButtonDeliversCredentialsBeforeSuccess();
    void wpsFailureCarriesTheConfigError_data();
    void wpsFailureCarriesTheConfigError();
    void wpsWithoutRegistrarTimesOutInactive();
    void controlLogsCallsAndRejectsUnknownAccessPoints();
    void propertiesMatchTheInterfaceDescriptions();

private:
    void startSimulator(const QByteArray &json);
    QString createInterface(const QString &ifname = QStringLiteral("wlan0"));
    QString addEnabledNetwork(const QString &interfacePath, const QVariantMap &network);
    QString bssidOf(const QString &bssPath);
    QDBusMessage control(const QString &method, const QVariantList &args = {});

    SimSupplicantProcess m_simulator;
};

void TestSimSupplicant::init()
{
    WpaSupplicantTypes::registerBusTypes();
    QVERIFY2(bus().isConnected(), "the private system bus is not reachable");
}

void TestSimSupplicant::cleanup()
{
    m_simulator.stop();
}

void TestSimSupplicant::startSimulator(const QByteArray &json)
{
    m_simulator.start(json);
}

QString TestSimSupplicant::createInterface(const QString &ifname)
{
    FiW1WpaSupplicant1 root(service, rootPath, bus());
    QDBusPendingReply<QDBusObjectPath> reply =
        root.CreateInterface({{QStringLiteral("Ifname"), ifname}, {QStringLiteral("Driver"), QStringLiteral("nl80211")}});
    reply.waitForFinished();
    return reply.isError() ? QString() : reply.value().path();
}

QString TestSimSupplicant::addEnabledNetwork(const QString &interfacePath, const QVariantMap &network)
{
    FiW1WpaSupplicant1Interface interface(service, interfacePath, bus());
    QDBusPendingReply<QDBusObjectPath> reply = interface.AddNetwork(network);
    reply.waitForFinished();
    if (reply.isError())
        return QString();
    FiW1WpaSupplicant1Network object(service, reply.value().path(), bus());
    object.setEnabled(true);
    return reply.value().path();
}

QString TestSimSupplicant::bssidOf(const QString &bssPath)
{
    FiW1WpaSupplicant1Bss bss(service, bssPath, bus());
    return QString::fromLatin1(bss.bSSID().toHex(':'));
}

QDBusMessage TestSimSupplicant::control(const QString &method, const QVariantList &args)
{
    return SimSupplicantProcess::control(method, args);
}

void TestSimSupplicant::createInterfaceReportsExistingAndUnknownInterfaces()
{
    startSimulator(scenario(""));
    FiW1WpaSupplicant1 root(service, rootPath, bus());
    QSignalSpy added(&root, &FiW1WpaSupplicant1::InterfaceAdded);
    QSignalSpy removed(&root, &FiW1WpaSupplicant1::InterfaceRemoved);

    const QString path = createInterface();
    QCOMPARE(path, QStringLiteral("/fi/w1/wpa_supplicant1/Interfaces/0"));
    QDBusPendingReply<QDBusObjectPath> again =
        root.CreateInterface({{QStringLiteral("Ifname"), QStringLiteral("wlan0")}, {QStringLiteral("Driver"), QStringLiteral("nl80211")}});
    again.waitForFinished();
    QCOMPARE(again.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.InterfaceExists"));
    QDBusPendingReply<QDBusObjectPath> existing = root.GetInterface(QStringLiteral("wlan0"));
    existing.waitForFinished();
    QCOMPARE(existing.value().path(), path);
    QDBusPendingReply<QDBusObjectPath> unknown = root.GetInterface(QStringLiteral("wlan9"));
    unknown.waitForFinished();
    QCOMPARE(unknown.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.InterfaceUnknown"));

    QTRY_COMPARE(added.count(), 1);
    QCOMPARE(added.at(0).at(0).value<QDBusObjectPath>().path(), path);
    QCOMPARE(added.at(0).at(1).toMap().value(QStringLiteral("Ifname")).toString(), QStringLiteral("wlan0"));
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QCOMPARE(interface.ifname(), QStringLiteral("wlan0"));
    QCOMPARE(interface.driver(), QStringLiteral("nl80211"));
    QTRY_COMPARE(interface.state(), QStringLiteral("inactive"));
    QCOMPARE(root.interfaces(), QList<QDBusObjectPath>{QDBusObjectPath(path)});

    QDBusPendingReply<> removal = root.RemoveInterface(QDBusObjectPath(path));
    removal.waitForFinished();
    QVERIFY(!removal.isError());
    QTRY_COMPARE(removed.count(), 1);
    QCOMPARE(createInterface(), QStringLiteral("/fi/w1/wpa_supplicant1/Interfaces/1"));
}

void TestSimSupplicant::interfaceNamesOutsideTheScenarioAreRefused()
{
    startSimulator(R"({"interfaces": ["wlan0"]})");
    FiW1WpaSupplicant1 root(service, rootPath, bus());
    QDBusPendingReply<QDBusObjectPath> refused = root.CreateInterface({{QStringLiteral("Ifname"), QStringLiteral("wlan1")}});
    refused.waitForFinished();
    QCOMPARE(refused.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.UnknownError"));
    QDBusPendingReply<QDBusObjectPath> noName = root.CreateInterface({{QStringLiteral("Driver"), QStringLiteral("nl80211")}});
    noName.waitForFinished();
    QCOMPARE(noName.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.InvalidArgs"));
    QVERIFY(!createInterface().isEmpty());
}

void TestSimSupplicant::openNetworkCompletesWithCurrentBss()
{
    startSimulator(scenario(R"({"ssid": "Cafe", "bssid": "02:00:00:00:01:02", "signal": -55, "frequency": 2462},
                               {"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123"})"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QTRY_COMPARE(interface.state(), QStringLiteral("inactive"));
    QSignalSpy changes(&interface, &FiW1WpaSupplicant1Interface::PropertiesChanged);

    QDBusPendingReply<> removeAll = interface.RemoveAllNetworks();
    removeAll.waitForFinished();
    QVERIFY(!removeAll.isError());
    QDBusPendingReply<> disconnect = interface.Disconnect();
    disconnect.waitForFinished();
    QCOMPARE(disconnect.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.NotConnected"));
    QVERIFY(!addEnabledNetwork(path, openNetwork("Cafe")).isEmpty());

    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
    QTRY_VERIFY2(inOrder(statesIn(changes), {QStringLiteral("scanning"), QStringLiteral("associating"), QStringLiteral("completed")}),
                 qPrintable(statesIn(changes).join(QLatin1Char(' '))));
    QCOMPARE(statesIn(changes).count(QStringLiteral("completed")), 1);
    QCOMPARE(bssidOf(interface.currentBSS().path()), cafeBssid);
    QCOMPARE(interface.currentAuthMode(), QStringLiteral("NONE"));
    QDBusPendingReply<QVariantMap> poll = interface.SignalPoll();
    poll.waitForFinished();
    QCOMPARE(poll.value().value(QStringLiteral("rssi")).toInt(), -55);
    QCOMPARE(poll.value().value(QStringLiteral("frequency")).toUInt(), 2462u);
}

void TestSimSupplicant::pskNetworkCompletesWithPassphraseOrRawKey_data()
{
    QTest::addColumn<QVariant>("key");
    QTest::newRow("passphrase") << QVariant(QStringLiteral("secret123"));
    QTest::newRow("raw key") << QVariant(QByteArray::fromHex("87e9d1ef0bea3f4d1b0a7f5c5d1e6e1b1f1d2d3c4b5a69788796a5b4c3d2e1f0"));
}

void TestSimSupplicant::pskNetworkCompletesWithPassphraseOrRawKey()
{
    QFETCH(QVariant, key);
    const QString apKey = key.userType() == QMetaType::QString ? key.toString() : QString::fromLatin1(key.toByteArray().toHex());
    startSimulator(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": ")"
                            + apKey.toLatin1() + "\"}"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QSignalSpy changes(&interface, &FiW1WpaSupplicant1Interface::PropertiesChanged);
    QVERIFY(!addEnabledNetwork(path, pskNetwork("Home", key)).isEmpty());
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
    QTRY_VERIFY(inOrder(statesIn(changes), {QStringLiteral("4way_handshake"), QStringLiteral("completed")}));
    QCOMPARE(interface.currentAuthMode(), QStringLiteral("WPA2-PSK"));
}

void TestSimSupplicant::wrongPassphraseIsTemporarilyDisabled()
{
    startSimulator(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123"})"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QSignalSpy changes(&interface, &FiW1WpaSupplicant1Interface::PropertiesChanged);
    QSignalSpy disabled(&interface, &FiW1WpaSupplicant1Interface::NetworkTempDisabled);

    const QString network = addEnabledNetwork(path, pskNetwork("Home", QStringLiteral("secret124")));
    QTRY_COMPARE(disabled.count(), 1);
    const QVariantMap args = disabled.at(0).at(0).toMap();
    QCOMPARE(args.value(QStringLiteral("network")).value<QDBusObjectPath>().path(), network);
    QCOMPARE(args.value(QStringLiteral("reason")).toString(), QStringLiteral("WRONG_KEY"));
    QCOMPARE(args.value(QStringLiteral("auth_failures")).toInt(), 1);
    QCOMPARE(args.value(QStringLiteral("duration")).toInt(), 10);
    QTRY_VERIFY(inOrder(statesIn(changes), {QStringLiteral("4way_handshake"), QStringLiteral("disconnected")}));
    QTRY_COMPARE(interface.state(), QStringLiteral("disconnected"));
    QVERIFY(!statesIn(changes).contains(QStringLiteral("completed")));
    QCOMPARE(disabled.count(), 1);
}

void TestSimSupplicant::kivdDisconnectSequenceAllowsTheNextConfiguration()
{
    startSimulator(scenario(R"({"ssid": "Cafe", "bssid": "02:00:00:00:01:02"})"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QVERIFY(!addEnabledNetwork(path, openNetwork("Cafe")).isEmpty());
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));

    interface.RemoveAllNetworks().waitForFinished();
    QCOMPARE(interface.state(), QStringLiteral("disconnected"));
    QCOMPARE(interface.currentBSS().path(), QStringLiteral("/"));
    QDBusPendingReply<> disconnect = interface.Disconnect();
    disconnect.waitForFinished();
    QCOMPARE(disconnect.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.NotConnected"));
    QTRY_COMPARE(interface.state(), QStringLiteral("inactive"));

    QCOMPARE(addEnabledNetwork(path, openNetwork("Cafe")), path + QStringLiteral("/Networks/0"));
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
}

void TestSimSupplicant::disconnectWhileConnectedHoldsUntilReconnect()
{
    startSimulator(scenario(R"({"ssid": "Cafe", "bssid": "02:00:00:00:01:02"})"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QVERIFY(!addEnabledNetwork(path, openNetwork("Cafe")).isEmpty());
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));

    QDBusPendingReply<> disconnect = interface.Disconnect();
    disconnect.waitForFinished();
    QVERIFY(!disconnect.isError());
    QCOMPARE(interface.state(), QStringLiteral("disconnected"));
    QCOMPARE(interface.disconnectReason(), -3);
    addEnabledNetwork(path, openNetwork("Cafe"));
    QCOMPARE(interface.state(), QStringLiteral("disconnected"));
    interface.Reconnect().waitForFinished();
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
}

void TestSimSupplicant::scanPublishesEveryAccessPointBeforeScanDone()
{
    startSimulator(scenario(R"({"ssid": "Open", "bssid": "02:00:00:00:02:01", "signal": -41, "frequency": 2412},
                               {"ssid": "Wep", "bssid": "02:00:00:00:02:02", "security": "wep", "key": "abcde"},
                               {"ssid": "Psk", "bssid": "02:00:00:00:02:03", "security": "wpa-psk", "key": "secret123", "frequency": 5180},
                               {"ssid": "Eap", "bssid": "02:00:00:00:02:04", "security": "eap"},
                               {"ssid": "Both", "bssid": "02:00:00:00:02:05", "security": "psk+eap", "key": "secret123"},
                               {"ssid": "Hidden", "bssid": "02:00:00:00:02:06", "hidden": true})"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QStringList events;
    QList<QDBusObjectPath> paths;
    connect(&interface, &FiW1WpaSupplicant1Interface::BSSAdded, this, [&](const QDBusObjectPath &bss) {
        events.append(QStringLiteral("BSSAdded"));
        paths.append(bss);
    });
    connect(&interface, &FiW1WpaSupplicant1Interface::ScanDone, this, [&](bool success) {
        events.append(success ? QStringLiteral("ScanDone") : QStringLiteral("ScanFailed"));
    });

    QDBusPendingReply<> scan = interface.Scan({{QStringLiteral("Type"), QStringLiteral("active")}, {QStringLiteral("AllowRoam"), true}});
    scan.waitForFinished();
    QVERIFY(!scan.isError());
    QTRY_COMPARE(events.count(QStringLiteral("ScanDone")), 1);
    QStringList expected;
    for (int i = 0; i < 6; ++i)
        expected.append(QStringLiteral("BSSAdded"));
    QCOMPARE(events, expected << QStringLiteral("ScanDone"));
    QCOMPARE(interface.bSSs(), paths);

    QMap<QString, QString> bySsid;
    for (const QDBusObjectPath &bss : qAsConst(paths)) {
        FiW1WpaSupplicant1Bss proxy(service, bss.path(), bus());
        bySsid.insert(QString::fromUtf8(proxy.sSID()), bss.path());
    }
    QCOMPARE(bySsid.keys(), (QStringList{QString(), QStringLiteral("Both"), QStringLiteral("Eap"), QStringLiteral("Open"),
                                         QStringLiteral("Psk"), QStringLiteral("Wep")}));
    FiW1WpaSupplicant1Bss open(service, bySsid.value(QStringLiteral("Open")), bus());
    QCOMPARE(open.signal(), short(-41));
    QCOMPARE(open.frequency(), ushort(2412));
    QVERIFY(!open.privacy());
    QCOMPARE(open.bSSID(), QByteArray::fromHex("020000000201"));
    FiW1WpaSupplicant1Bss wep(service, bySsid.value(QStringLiteral("Wep")), bus());
    QVERIFY(wep.privacy());
    QVERIFY(wep.rSN().value(QStringLiteral("KeyMgmt")).toStringList().isEmpty());
    FiW1WpaSupplicant1Bss psk(service, bySsid.value(QStringLiteral("Psk")), bus());
    QCOMPARE(psk.frequency(), ushort(5180));
    QCOMPARE(psk.rSN().value(QStringLiteral("KeyMgmt")).toStringList(), QStringList{QStringLiteral("wpa-psk")});
    QVERIFY(psk.wPA().value(QStringLiteral("KeyMgmt")).toStringList().isEmpty());
    FiW1WpaSupplicant1Bss eap(service, bySsid.value(QStringLiteral("Eap")), bus());
    QCOMPARE(eap.rSN().value(QStringLiteral("KeyMgmt")).toStringList(), QStringList{QStringLiteral("wpa-eap")});
    FiW1WpaSupplicant1Bss both(service, bySsid.value(QStringLiteral("Both")), bus());
    QCOMPARE(both.rSN().value(QStringLiteral("KeyMgmt")).toStringList(),
             (QStringList{QStringLiteral("wpa-psk"), QStringLiteral("wpa-eap")}));
    FiW1WpaSupplicant1Bss hidden(service, bySsid.value(QString()), bus());
    QCOMPARE(hidden.bSSID(), QByteArray::fromHex("020000000206"));
    QCOMPARE(hidden.iEs().left(2), QByteArray(2, '\0'));
    QCOMPARE(hidden.rates().first(), 54000000u);
}

void TestSimSupplicant::secondScanWhileScanningIsRejected()
{
    startSimulator(scenario(R"({"ssid": "Open", "bssid": "02:00:00:00:02:01"})"));
    FiW1WpaSupplicant1Interface interface(service, createInterface(), bus());
    QSignalSpy done(&interface, &FiW1WpaSupplicant1Interface::ScanDone);
    const QVariantMap args{{QStringLiteral("Type"), QStringLiteral("active")}, {QStringLiteral("AllowRoam"), true}};
    QDBusPendingReply<> first = interface.Scan(args);
    QDBusPendingReply<> second = interface.Scan(args);
    second.waitForFinished();
    QVERIFY(!first.isError());
    QCOMPARE(second.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.Interface.ScanError"));
    QDBusPendingReply<> badType = interface.Scan({{QStringLiteral("Type"), QStringLiteral("fast")}});
    badType.waitForFinished();
    QCOMPARE(badType.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.InvalidArgs"));
    QTRY_COMPARE(done.count(), 1);
    QVERIFY(done.at(0).at(0).toBool());
}

void TestSimSupplicant::hiddenNetworkIsFoundThroughItsScanSsidNetwork()
{
    startSimulator(scenario(R"({"ssid": "Secret", "bssid": "02:00:00:00:03:01", "hidden": true})"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QSignalSpy added(&interface, &FiW1WpaSupplicant1Interface::BSSAdded);
    QVERIFY(!addEnabledNetwork(path, openNetwork("Secret")).isEmpty());
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));

    QTRY_COMPARE(added.count(), 2);
    QStringList ssids;
    for (const QList<QVariant> &arguments : qAsConst(added))
        ssids.append(QString::fromUtf8(arguments.at(1).toMap().value(QStringLiteral("SSID")).toByteArray()));
    ssids.sort();
    QCOMPARE(ssids, (QStringList{QString(), QStringLiteral("Secret")}));
    FiW1WpaSupplicant1Bss current(service, interface.currentBSS().path(), bus());
    QCOMPARE(current.sSID(), QByteArray("Secret"));
}

void TestSimSupplicant::signalChangeIsPublishedWithTheNextScan()
{
    startSimulator(scenario(R"({"ssid": "Open", "bssid": "02:00:00:00:01:01", "signal": -40})"));
    FiW1WpaSupplicant1Interface interface(service, createInterface(), bus());
    QSignalSpy done(&interface, &FiW1WpaSupplicant1Interface::ScanDone);
    const QVariantMap args{{QStringLiteral("Type"), QStringLiteral("active")}};
    interface.Scan(args).waitForFinished();
    QTRY_COMPARE(done.count(), 1);
    FiW1WpaSupplicant1Bss bss(service, interface.bSSs().value(0).path(), bus());
    QSignalSpy changed(&bss, &FiW1WpaSupplicant1Bss::PropertiesChanged);

    QVERIFY(control(QStringLiteral("SetSignal"), {homeBssid, -80}).type() == QDBusMessage::ReplyMessage);
    QCOMPARE(bss.signal(), short(-40));
    interface.Scan(args).waitForFinished();
    QTRY_COMPARE(done.count(), 2);
    QTRY_COMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toMap().keys(), QStringList{QStringLiteral("Signal")});
    QCOMPARE(bss.signal(), short(-80));
    interface.Scan(args).waitForFinished();
    QTRY_COMPARE(done.count(), 3);
    QCOMPARE(changed.count(), 1);
}

void TestSimSupplicant::removedAccessPointExpiresAfterTwoMissedScans()
{
    startSimulator(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01"}, {"ssid": "Cafe", "bssid": "02:00:00:00:01:02"})"));
    FiW1WpaSupplicant1Interface interface(service, createInterface(), bus());
    QSignalSpy done(&interface, &FiW1WpaSupplicant1Interface::ScanDone);
    QSignalSpy removed(&interface, &FiW1WpaSupplicant1Interface::BSSRemoved);
    const QVariantMap args{{QStringLiteral("Type"), QStringLiteral("active")}};
    interface.Scan(args).waitForFinished();
    QTRY_COMPARE(done.count(), 1);
    QString cafePath;
    for (const QDBusObjectPath &bss : interface.bSSs()) {
        if (bssidOf(bss.path()) == cafeBssid)
            cafePath = bss.path();
    }
    QVERIFY(!cafePath.isEmpty());

    QVERIFY(control(QStringLiteral("RemoveAp"), {cafeBssid}).type() == QDBusMessage::ReplyMessage);
    interface.Scan(args).waitForFinished();
    QTRY_COMPARE(done.count(), 2);
    QCOMPARE(removed.count(), 0);
    interface.Scan(args).waitForFinished();
    QTRY_COMPARE(done.count(), 3);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).value<QDBusObjectPath>().path(), cafePath);
    QCOMPARE(interface.bSSs().size(), 1);
}

void TestSimSupplicant::droppedLinkDisconnectsUntilRestored()
{
    startSimulator(scenario(R"({"ssid": "Cafe", "bssid": "02:00:00:00:01:02"})"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    addEnabledNetwork(path, openNetwork("Cafe"));
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
    QSignalSpy changes(&interface, &FiW1WpaSupplicant1Interface::PropertiesChanged);

    QVERIFY(control(QStringLiteral("DropLink")).type() == QDBusMessage::ReplyMessage);
    QTRY_VERIFY(statesIn(changes).contains(QStringLiteral("disconnected")));
    QCOMPARE(interface.currentBSS().path(), QStringLiteral("/"));
    QDBusPendingReply<QVariantMap> poll = interface.SignalPoll();
    poll.waitForFinished();
    QCOMPARE(poll.error().name(), QStringLiteral("org.freedesktop.DBus.Error.Failed"));
    QTRY_VERIFY(statesIn(changes).count(QStringLiteral("scanning")) >= 2);
    QVERIFY(!statesIn(changes).contains(QStringLiteral("completed")));

    QVERIFY(control(QStringLiteral("RestoreLink")).type() == QDBusMessage::ReplyMessage);
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
    QCOMPARE(bssidOf(interface.currentBSS().path()), cafeBssid);
}

void TestSimSupplicant::wpsPushButtonDeliversCredentialsBeforeSuccess()
{
    startSimulator(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123",
                                "wps": {"mode": "pbc"}})"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    FiW1WpaSupplicant1Wps wps(service, path, bus());
    QStringList events;
    QVariantMap credentials;
    connect(&wps, &FiW1WpaSupplicant1Wps::Credentials, this, [&](const QVariantMap &received) {
        events.append(QStringLiteral("Credentials"));
        credentials = received;
    });
    connect(&wps, &FiW1WpaSupplicant1Wps::Event, this, [&](const QString &name) { events.append(name); });

    wps.setProcessCredentials(true);
    QVERIFY(wps.processCredentials());
    QDBusPendingReply<QVariantMap> start = wps.Start({{QStringLiteral("Role"), QStringLiteral("enrollee")},
                                                      {QStringLiteral("Type"), QStringLiteral("pbc")}});
    start.waitForFinished();
    QVERIFY(!start.isError());
    QVERIFY(start.value().isEmpty());

    QTRY_COMPARE(events, (QStringList{QStringLiteral("Credentials"), QStringLiteral("success")}));
    QCOMPARE(credentials.value(QStringLiteral("SSID")).toByteArray(), QByteArray("Home"));
    QCOMPARE(credentials.value(QStringLiteral("Key")).toByteArray(), QByteArray("secret123"));
    QCOMPARE(credentials.value(QStringLiteral("AuthType")).toStringList(), QStringList{QStringLiteral("wpa2-psk")});
    QCOMPARE(credentials.value(QStringLiteral("EncrType")).toString(), QStringLiteral("aes"));
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
    QCOMPARE(interface.networks().size(), 1);
    QCOMPARE(interface.currentAuthMode(), QStringLiteral("WPA2-PSK"));
}

void TestSimSupplicant::wpsFailureCarriesTheConfigError_data()
{
    QTest::addColumn<QByteArray>("wps");
    QTest::addColumn<QString>("controlMode");
    QTest::addColumn<int>("controlError");
    QTest::addColumn<QVariantMap>("start");
    QTest::addColumn<int>("configError");
    const QVariantMap pin{{QStringLiteral("Role"), QStringLiteral("enrollee")}, {QStringLiteral("Type"), QStringLiteral("pin")},
                          {QStringLiteral("Pin"), QStringLiteral("11111111")}};
    const QVariantMap pbc{{QStringLiteral("Role"), QStringLiteral("enrollee")}, {QStringLiteral("Type"), QStringLiteral("pbc")}};
    QTest::newRow("wrong pin") << QByteArray(R"({"mode": "pin", "pin": "12345670"})") << QString() << 0 << pin << 18;
    QTest::newRow("registrar refuses through control") << QByteArray(R"({"mode": "off"})") << "pbc" << 16 << pbc << 16;
}

void TestSimSupplicant::wpsFailureCarriesTheConfigError()
{
    QFETCH(QByteArray, wps);
    QFETCH(QString, controlMode);
    QFETCH(int, controlError);
    QFETCH(QVariantMap, start);
    QFETCH(int, configError);
    startSimulator(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123", "wps": )"
                            + wps + "}"));
    if (!controlMode.isEmpty())
        QVERIFY(control(QStringLiteral("SetWpsOutcome"), {homeBssid, controlMode, controlError}).type() == QDBusMessage::ReplyMessage);
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    FiW1WpaSupplicant1Wps proxy(service, path, bus());
    QSignalSpy events(&proxy, &FiW1WpaSupplicant1Wps::Event);
    QSignalSpy credentials(&proxy, &FiW1WpaSupplicant1Wps::Credentials);
    QDBusPendingReply<QVariantMap> reply = proxy.Start(start);
    reply.waitForFinished();
    QVERIFY(!reply.isError());

    QTRY_COMPARE(events.count(), 1);
    QCOMPARE(events.at(0).at(0).toString(), QStringLiteral("fail"));
    const QVariantMap args = events.at(0).at(1).toMap();
    QCOMPARE(args.value(QStringLiteral("config_error")).toInt(), configError);
    QCOMPARE(args.value(QStringLiteral("msg")).toString(), QString::number(configError));
    QCOMPARE(args.value(QStringLiteral("error_indication")).toInt(), 0);
    QCOMPARE(credentials.count(), 0);
    QTRY_COMPARE(interface.state(), QStringLiteral("inactive"));
    QVERIFY(interface.networks().isEmpty());
}

void TestSimSupplicant::wpsWithoutRegistrarTimesOutInactive()
{
    startSimulator(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01", "wps": {"mode": "off"}})",
                            R"("timing": {"stepMs": 10, "scanMs": 40, "rescanMs": 100, "wpsWalkMs": 500})"));
    const QString path = createInterface();
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    FiW1WpaSupplicant1Wps wps(service, path, bus());
    QSignalSpy events(&wps, &FiW1WpaSupplicant1Wps::Event);
    QSignalSpy networkAdded(&interface, &FiW1WpaSupplicant1Interface::NetworkAdded);
    QDBusPendingReply<QVariantMap> start = wps.Start({{QStringLiteral("Role"), QStringLiteral("enrollee")},
                                                      {QStringLiteral("Type"), QStringLiteral("pin")}});
    start.waitForFinished();
    const QString pin = start.value().value(QStringLiteral("Pin")).toString();
    QCOMPARE(pin.size(), 8);
    int checksum = 0;
    for (int i = 0; i < 8; ++i)
        checksum += (i % 2 == 0 ? 3 : 1) * pin.at(i).digitValue();
    QCOMPARE(checksum % 10, 0);
    QTRY_COMPARE(networkAdded.count(), 1);
    QCOMPARE(interface.networks().size(), 1);

    QTRY_COMPARE(interface.state(), QStringLiteral("inactive"));
    QVERIFY(interface.networks().isEmpty());
    QCOMPARE(events.count(), 0);
}

void TestSimSupplicant::controlLogsCallsAndRejectsUnknownAccessPoints()
{
    startSimulator(scenario(""));
    const QString path = createInterface();
    QDBusInterface controlInterface(QStringLiteral("com.tarvel.kivsim"), QStringLiteral("/control"),
                                    QStringLiteral("com.tarvel.kivsim.Control"), bus());
    QSignalSpy received(&controlInterface, SIGNAL(CallReceived(QString)));
    QVERIFY(control(QStringLiteral("ClearCalls")).type() == QDBusMessage::ReplyMessage);

    const QString network = addEnabledNetwork(path, openNetwork("Home"));
    QTRY_COMPARE(received.count(), 2);
    const QStringList calls = control(QStringLiteral("Calls")).arguments().value(0).toStringList();
    QCOMPARE(calls.size(), 2);
    const QJsonObject add = QJsonDocument::fromJson(calls.at(0).toUtf8()).object();
    QCOMPARE(add.value(QStringLiteral("member")).toString(), QStringLiteral("AddNetwork"));
    QCOMPARE(add.value(QStringLiteral("path")).toString(), path);
    const QJsonObject entries = add.value(QStringLiteral("args")).toArray().at(0).toObject();
    QCOMPARE(entries.value(QStringLiteral("ssid")).toObject().value(QStringLiteral("bytes")).toString(), QStringLiteral("486f6d65"));
    QCOMPARE(entries.value(QStringLiteral("key_mgmt")).toString(), QStringLiteral("NONE"));
    QCOMPARE(entries.value(QStringLiteral("scan_ssid")).toInt(), 1);
    const QJsonObject set = QJsonDocument::fromJson(calls.at(1).toUtf8()).object();
    QCOMPARE(set.value(QStringLiteral("member")).toString(), QStringLiteral("Set"));
    QCOMPARE(set.value(QStringLiteral("path")).toString(), network);
    QCOMPARE(set.value(QStringLiteral("args")).toArray(),
             (QJsonArray{QStringLiteral("fi.w1.wpa_supplicant1.Network"), QStringLiteral("Enabled"), true}));

    QCOMPARE(control(QStringLiteral("RemoveAp"), {QStringLiteral("02:00:00:00:09:09")}).errorName(),
             QStringLiteral("com.tarvel.kivsim.Error.UnknownAccessPoint"));
    QCOMPARE(control(QStringLiteral("AddAp"), {QStringLiteral("{\"ssid\": \"Home\"}")}).errorName(),
             QStringLiteral("com.tarvel.kivsim.Error.InvalidArgs"));
    QCOMPARE(control(QStringLiteral("SetWpsOutcome"), {homeBssid, QStringLiteral("pbc"), 0}).errorName(),
             QStringLiteral("com.tarvel.kivsim.Error.UnknownAccessPoint"));
    QVERIFY(control(QStringLiteral("AddAp"), {QStringLiteral(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01"})")}).type()
            == QDBusMessage::ReplyMessage);
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
}

void TestSimSupplicant::propertiesMatchTheInterfaceDescriptions()
{
    startSimulator(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01"})"));
    const QString path = createInterface();
    const QString network = addEnabledNetwork(path, openNetwork("Home"));
    FiW1WpaSupplicant1Interface interface(service, path, bus());
    QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
    const QMap<QString, QString> objects{{QStringLiteral("fi.w1.wpa_supplicant1"), rootPath},
                                         {QStringLiteral("fi.w1.wpa_supplicant1.Interface"), path},
                                         {QStringLiteral("fi.w1.wpa_supplicant1.Interface.WPS"), path},
                                         {QStringLiteral("fi.w1.wpa_supplicant1.BSS"), interface.currentBSS().path()},
                                         {QStringLiteral("fi.w1.wpa_supplicant1.Network"), network}};
    const QList<BusInterfaceDescription> all = descriptions();
    QCOMPARE(all.size(), objects.size());
    for (const BusInterfaceDescription &description : all) {
        QDBusMessage getAll = QDBusMessage::createMethodCall(service, objects.value(description.name),
                                                             QStringLiteral("org.freedesktop.DBus.Properties"),
                                                             QStringLiteral("GetAll"));
        getAll << description.name;
        const QDBusMessage reply = bus().call(getAll);
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        const QVariantMap values = qdbus_cast<QVariantMap>(reply.arguments().value(0));
        QStringList described;
        for (const BusProperty &property : description.properties)
            described.append(property.name);
        described.sort();
        QCOMPARE(values.keys(), described);
    }

    QDBusMessage set = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Set"));
    set << QStringLiteral("fi.w1.wpa_supplicant1.Interface") << QStringLiteral("State")
        << QVariant::fromValue(QDBusVariant(QStringLiteral("completed")));
    QCOMPARE(bus().call(set).errorMessage(), QStringLiteral("Property is read-only"));
    FiW1WpaSupplicant1Network networkProxy(service, network, bus());
    QDBusMessage wrongType = QDBusMessage::createMethodCall(service, network, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                            QStringLiteral("Set"));
    wrongType << QStringLiteral("fi.w1.wpa_supplicant1.Network") << QStringLiteral("Enabled")
              << QVariant::fromValue(QDBusVariant(QStringLiteral("yes")));
    QCOMPARE(bus().call(wrongType).errorMessage(), QStringLiteral("wrong property type"));
    QVERIFY(networkProxy.enabled());
    QCOMPARE(networkProxy.properties().value(QStringLiteral("ssid")).toString(), QStringLiteral("\"Home\""));
}

QTEST_GUILESS_MAIN(TestSimSupplicant)
#include "tst_simsupplicant.moc"
