// The real daemon in the device sandbox with the simulated supplicant, driven only through the
// bus: configured networks, wireless, automatic and hybrid modes, scans, WPS and the soft AP.
#include "KivdClient.h"

#include <QDBusConnectionInterface>
#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QByteArray Scenario = R"({
  "interfaces": ["wlan0"],
  "timing": {"stepMs": 50, "scanMs": 200, "rescanMs": 1000, "wpsWalkMs": 4000, "wpsExchangeMs": 200,
             "tempDisabledUnitMs": 50},
  "accessPoints": [
    {"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "wpa-psk", "key": "secret123", "signal": -45,
     "frequency": 2437, "wps": {"mode": "pbc"}},
    {"ssid": "Home", "bssid": "02:00:00:00:01:02", "security": "wpa-psk", "key": "secret123", "signal": -70,
     "frequency": 2462},
    {"ssid": "Cafe", "bssid": "02:00:00:00:01:03", "signal": -60}
  ]
})";

const QVariantMap HomeCredentials{{"wpa_psk", "secret123"}, {"priority", 2}};

// The WirelessNetworks property with its values unpacked, for comparing.
QMap<QString, QVariantMap> networks(const QVariantMap &property)
{
    QMap<QString, QVariantMap> unpacked;
    for (auto it = property.constBegin(); it != property.constEnd(); ++it)
        unpacked.insert(it.key(), KivdClient::toMap(it.value()));
    return unpacked;
}

} // namespace

class TestManagerWireless : public QObject
{
    Q_OBJECT

    QByteArray device(const QStringList &command)
    {
        return m_sandbox.exec(command).output;
    }

    QDBusMessage simulator(const QString &method, const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("com.tarvel.kivsim"), QStringLiteral("/control"),
                                                           QStringLiteral("com.tarvel.kivsim.Control"), method);
        call.setArguments(arguments);
        return m_sandbox.bus().call(call);
    }

    bool setNetworks(const QVariantMap &networks)
    {
        return m_client.setProperty(QStringLiteral("WirelessNetworks"), networks);
    }

    bool setMode(const QString &mode)
    {
        return m_client.command(QStringLiteral("SetNormalMode"), {mode});
    }

    QVariantMap lastMap(const QString &member) const
    {
        const QList<QDBusMessage> messages = m_client.messages(member);
        return messages.isEmpty() ? QVariantMap() : KivdClient::toMap(messages.constLast().arguments().value(0));
    }

    KivSandbox m_sandbox;
    KivdClient m_client{&m_sandbox};

private slots:
    void initTestCase()
    {
        QVERIFY2(m_sandbox.up(), qPrintable(m_sandbox.lastError()));
        QVERIFY(m_client.startSimulatedSupplicant(QStringLiteral(KIV_SIM_SUPPLICANT), Scenario));
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(m_client.subscribe());
        QVERIFY(m_client.startKivd());
        // wpa_supplicant sets its interface up when it opens it; the simulated one leaves links alone.
        QVERIFY(m_sandbox.exec({"ip", "link", "set", "wlan0", "up"}).ok());
    }

    void cleanupTestCase() { m_client.stopKivd(); }
    void cleanup() { m_client.showLogAfterFailure(); }

    void wirelessNetworksWriteSkipsUnusableEntries()
    {
        QVERIFY(setNetworks({{"Home", HomeCredentials},
                             {"Cafe", QVariantMap()},
                             {"Broken", QVariantMap{{"priority", 3}}},
                             {"Comma, net", QVariantMap{{"unsecured", true}}}}));
        QVERIFY(m_client.awaitLog("Not adding network: Broken\n"));
        QVERIFY(m_client.log().contains("COMMAND: Received wireless networks: "));

        const QVariantMap stored = m_client.mapProperty(QStringLiteral("WirelessNetworks"));
        QCOMPARE(QStringList(stored.keys()), (QStringList{"Cafe", "Comma, net", "Home"}));
        QCOMPARE(KivdClient::toMap(stored.value("Home")),
                 (QVariantMap{{"ssid", "Home"}, {"type", "wpa-psk"}, {"wpa_psk", "secret123"}, {"priority", 2}}));
        QCOMPARE(KivdClient::toMap(stored.value("Cafe")).value("type").toString(), QStringLiteral("unsecured"));
        QCOMPARE(m_client.details(QStringLiteral("wlan0")).value("Configured Networks").toString(),
                 QStringLiteral("Cafe,Comma\\, net,Home"));
        // Off mode: nothing is enabled by the write.
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("OffMode"));
        QVERIFY(!m_client.log().contains("wlan0 enabling with"));
    }

    void wirelessModeConnectsToConfiguredNetwork()
    {
        m_client.takeEvents();
        QVERIFY(setMode(QStringLiteral("wireless")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("WirelessMode"));
        QCOMPARE(m_client.property(QStringLiteral("Connected")).toBool(), true);
        QVERIFY(m_client.log().contains("wlan0 enabling with a list of 3 networks"));

        const QVariantMap details = m_client.details(QStringLiteral("wlan0"));
        QCOMPARE(details.value("Connected").toBool(), true);
        QCOMPARE(details.value("Ssid").toString(), QStringLiteral("Home"));
        QCOMPARE(details.value("Bssid").toString().toLower(), QStringLiteral("02:00:00:00:01:01"));
        QCOMPARE(details.value("Dhcp").toBool(), true);
        QTRY_VERIFY_WITH_TIMEOUT(device({"ip", "-4", "addr", "show", "dev", "wlan0"}).contains("inet 192.168.60.1"),
                                 KivdClient::Patience);
    }

    void scanReportsStrongestAccessPointPerSsid()
    {
        m_client.clearMessages();
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("Scan")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("ScanResults")));
        QCOMPARE(m_client.count(QStringLiteral("ScanResults")), 1);
        QVERIFY(m_client.log().contains("COMMAND: Starting Scan..."));

        const QDBusMessage message = m_client.messages(QStringLiteral("ScanResults")).constFirst();
        QCOMPARE(message.signature(), QStringLiteral("a{sv}"));
        const QVariantMap results = KivdClient::toMap(message.arguments().value(0));
        QCOMPARE(QStringList(results.keys()), (QStringList{"Cafe", "Home"}));
        const QVariantMap home = KivdClient::toMap(results.value("Home"));
        QCOMPARE(home.value("bssid").toString().toLower(), QStringLiteral("02:00:00:00:01:01"));
        QCOMPARE(home.value("signal").toInt(), -45);
    }

    void forceWifiReconnectAssociatesAgain()
    {
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("ForceWifiReconnect")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected wlan0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
        const QStringList events = m_client.events().filter(QRegularExpression(QStringLiteral("onnect\\w* wlan0$")));
        QCOMPARE(events, (QStringList{"Disconnecting wlan0", "Disconnected wlan0", "Connected wlan0"}));
        QVERIFY(m_client.log().contains("COMMAND: Force Wifi Reconnect\n"));
    }

    void wrongKeyIsReportedAsAuthError()
    {
        m_client.takeEvents();
        QVERIFY(setNetworks({{"Home", QVariantMap{{"wpa_psk", "wrongpass1"}}}}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("AuthError Home WRONG_KEY")));
        QVERIFY(m_client.log().contains("Emitting auth error: Home : WRONG_KEY"));

        m_client.takeEvents();
        QVERIFY(setNetworks({{"Home", HomeCredentials}}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
    }

    void wirelessIpSettingsReloadOnlyOnChange()
    {
        const QVariantMap settings{{"Ip", "192.168.60.9"}, {"Netmask", "255.255.255.0"}, {"Gateway", "192.168.60.1"}};
        const int reloads = m_client.logCount("wlan0 reloading IP...\n");
        QVERIFY(m_client.setProperty(QStringLiteral("WirelessIpSettings"), settings));
        QVERIFY(m_client.setProperty(QStringLiteral("WirelessIpSettings"), settings));
        QTRY_VERIFY_WITH_TIMEOUT(device({"ip", "-4", "addr", "show", "dev", "wlan0"}).contains("inet 192.168.60.9/24"),
                                 KivdClient::Patience);
        QCOMPARE(m_client.logCount("COMMAND: Setting Wireless Ip to static settings: "), 2);
        QCOMPARE(m_client.logCount("wlan0 reloading IP...\n"), reloads + 1);
        QCOMPARE(m_client.details(QStringLiteral("wlan0")).value("Dhcp").toBool(), false);
        QCOMPARE(m_client.mapProperty(QStringLiteral("WirelessIpSettings")).value("Ip").toString(),
                 QStringLiteral("192.168.60.9"));

        QVERIFY(m_client.setProperty(QStringLiteral("WirelessIpSettings"), QVariantMap()));
        QTRY_VERIFY_WITH_TIMEOUT(!device({"ip", "-4", "addr", "show", "dev", "wlan0"}).contains("192.168.60.9/24"),
                                 KivdClient::Patience);
        QVERIFY(m_client.awaitLog("COMMAND: Setting Wireless Ip to DHCP settings: "));
        QCOMPARE(m_client.logCount("wlan0 reloading IP...\n"), reloads + 2);
        QTRY_VERIFY_WITH_TIMEOUT(device({"ip", "-4", "addr", "show", "dev", "wlan0"}).contains("inet 192.168.60.1"),
                                 KivdClient::Patience);
    }

    void wpsCredentialsAreReportedNotStored()
    {
        const QVariantMap before = m_client.mapProperty(QStringLiteral("WirelessNetworks"));
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("WpsPbc")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("WpsCredentials")));
        QCOMPARE(lastMap(QStringLiteral("WpsCredentials")).value("ssid").toString(), QStringLiteral("Home"));
        QCOMPARE(lastMap(QStringLiteral("WpsCredentials")).value("wpa_psk").toString(), QStringLiteral("secret123"));
        QCOMPARE(networks(m_client.mapProperty(QStringLiteral("WirelessNetworks"))), networks(before));
        // The session's end returns to the configured networks.
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
        QVERIFY(m_client.log().contains("COMMAND: Starting Wps...\n"));
    }

    void wpsFailureIsReportedAndSecondPinRestarts()
    {
        QCOMPARE(simulator(QStringLiteral("SetWpsOutcome"), {"02:00:00:00:01:01", "pin", 18}).type(),
                 QDBusMessage::ReplyMessage);
        const int sessions = m_client.logCount("wlan0 starting wps with PIN ");
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("WpsPin"), {QStringLiteral("12345670")}));
        QVERIFY(m_client.command(QStringLiteral("WpsPin"), {QStringLiteral("87654321")}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), 2 * KivdClient::Patience));
        QCOMPARE(m_client.logCount("wlan0 starting wps with PIN "), sessions + 2);
        QVERIFY(m_client.log().contains("wlan0 starting wps with PIN \"87654321\""));
        QVERIFY(m_client.log().contains("COMMAND: Starting Wps with PIN 87654321\n"));
        // The first session ends when the second is asked for; the second fails at the registrar.
        const QStringList errors = m_client.events().filter(QRegularExpression(QStringLiteral("^WpsError ")));
        QVERIFY2(errors.size() == 2, qPrintable(m_client.events().join('\n')));
        QCOMPARE(errors.first(), QStringLiteral("WpsError Another command requested, exiting WPS session"));
        QCOMPARE(m_client.count(QStringLiteral("WpsCredentials")), 0);
    }

    void softApStartsReportsStationsAndStops()
    {
        const QVariantMap settings{{"ssid", "KivSetup"}, {"channel", 6}};
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("StartSoftAp"), {QStringLiteral("uap0"), settings}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0")));
        QVERIFY(m_client.log().contains("COMMAND: Starting softap with settings: "));
        QFile hostapd(m_sandbox.hostPath(QStringLiteral("/tmp/hostapd_uap0.conf")));
        QVERIFY(hostapd.open(QIODevice::ReadOnly));
        QVERIFY(hostapd.readAll().contains("ssid=KivSetup\n"));

        const QVariantMap softAps = m_client.mapProperty(QStringLiteral("SoftApModeSettings"));
        QCOMPARE(KivdClient::toMap(softAps.value("uap0")).value("ssid").toString(), QStringLiteral("KivSetup"));
        QCOMPARE(m_client.details(QStringLiteral("uap0")).value("SoftApUp").toBool(), true);

        const QString mac = m_sandbox.stationJoin();
        QVERIFY(!mac.isEmpty());
        QVERIFY(m_client.awaitEvent(QStringLiteral("StationConnected ") + mac));
        QVERIFY(!m_sandbox.stationLeave().isEmpty());
        QVERIFY(m_client.awaitEvent(QStringLiteral("StationDisconnected ") + mac));

        // The same settings again change nothing; new ones restart the access point once.
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("StartSoftAp"), {QStringLiteral("uap0"), settings}));
        m_client.sync();
        QVERIFY(m_client.command(QStringLiteral("StartSoftAp"),
                                 {QStringLiteral("uap0"), QVariantMap{{"ssid", "KivSetup2"}, {"channel", 6}}}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected uap0")));
        QCOMPARE(m_client.takeEvents().filter(QRegularExpression(QStringLiteral("^(Dis)?[Cc]onnected uap0$"))),
                 (QStringList{"Disconnected uap0", "Connected uap0"}));
        QCOMPARE(KivdClient::toMap(m_client.mapProperty(QStringLiteral("SoftApModeSettings")).value("uap0"))
                     .value("ssid")
                     .toString(),
                 QStringLiteral("KivSetup2"));

        QVERIFY(m_client.command(QStringLiteral("StopSoftAp"), {QStringLiteral("uap0")}));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected uap0")));
        QCOMPARE(m_client.details(QStringLiteral("uap0")).value("SoftApUp").toBool(), false);
        QVERIFY(m_client.log().contains("COMMAND: Stopping softap\n"));
    }

    void automaticModeFollowsTheCable()
    {
        m_client.takeEvents();
        // Any word but the three others selects automatic mode, letter case included.
        QVERIFY(setMode(QStringLiteral("Wired")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0")));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("AutomaticMode"));

        m_client.takeEvents();
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0"), 2 * KivdClient::Patience));
        QVERIFY(m_client.events().contains(QStringLiteral("Disconnected wlan0")));
        QVERIFY(m_client.events().indexOf(QStringLiteral("Disconnected wlan0"))
                < m_client.events().indexOf(QStringLiteral("Connected eth0")));
        QCOMPARE(m_client.details(QStringLiteral("wlan0")).value("Connected").toBool(), false);

        // Unplugged: wireless again, with the network list configured by now.
        QVERIFY(setNetworks({{"Home", HomeCredentials}, {"Cafe", QVariantMap()}}));
        const int enables = m_client.logCount("wlan0 enabling with a list of 2 networks");
        m_client.takeEvents();
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), 2 * KivdClient::Patience));
        QVERIFY(m_client.events().contains(QStringLiteral("Disconnected eth0")));
        QVERIFY(m_client.logCount("wlan0 enabling with a list of 2 networks") > enables);
    }

    void hybridModeUsesBothInterfaces()
    {
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        m_client.takeEvents();
        QVERIFY(setMode(QStringLiteral("hybrid")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0"), 2 * KivdClient::Patience));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected wlan0"), 2 * KivdClient::Patience));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("HybridMode"));

        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected eth0")));
        QCOMPARE(m_client.property(QStringLiteral("Connected")).toBool(), true);
        QCOMPARE(m_client.details(QStringLiteral("wlan0")).value("Connected").toBool(), true);
    }

    void wpsInWiredModeLeavesWirelessDisabled()
    {
        // The cable's own connection completes first, so the mode change alone decides about eth0.
        m_client.takeEvents();
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0"), 2 * KivdClient::Patience));
        QCOMPARE(simulator(QStringLiteral("SetWpsOutcome"), {"02:00:00:00:01:01", "pbc", 0}).type(),
                 QDBusMessage::ReplyMessage);
        m_client.takeEvents();
        QVERIFY(setMode(QStringLiteral("wired")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected wlan0"), 2 * KivdClient::Patience));
        QTRY_VERIFY_WITH_TIMEOUT(m_client.property(QStringLiteral("Connected")).toBool(), 2 * KivdClient::Patience);

        const int disables = m_client.logCount("wlan0 disabling...\n");
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("WpsPbc")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("WpsCredentials"), 2 * KivdClient::Patience));
        QCOMPARE(lastMap(QStringLiteral("WpsCredentials")).value("ssid").toString(), QStringLiteral("Home"));
        // The session's end disables wireless again while the wired connection stays.
        QVERIFY(QTest::qWaitFor([&] { return m_client.logCount("wlan0 disabling...\n") > disables; }, KivdClient::Patience));
        m_client.sync();
        QCOMPARE(m_client.count(QStringLiteral("Connected wlan0")), 0);
        QCOMPARE(m_client.count(QStringLiteral("Disconnected eth0")), 0);
        QCOMPARE(m_client.property(QStringLiteral("Connected")).toBool(), true);
    }
};

QTEST_GUILESS_MAIN(TestManagerWireless)
#include "tst_manager_wireless.moc"
