#include "LogExpect.h"
#include "NetworkManagerMaps.h"

#include <QtTest>

using namespace NetworkManagerMaps;

namespace {

ApDescription ap(const char *ssid, const char *bssid, qint16 signal)
{
    return ApDescription(Ssid::fromString(QString::fromUtf8(ssid)), SecurityType::WpaPsk,
                         MacAddress::fromString(QString::fromLatin1(bssid)), signal, 2412, QByteArray());
}

WirelessNetwork network(const QString &ssid, SecurityType type = SecurityType::Unsecured, const QString &key = {})
{
    return WirelessNetwork(Ssid::fromString(ssid), type, key, 0);
}

QNetworkAddressEntry entry(const QString &address, int prefixLength)
{
    QNetworkAddressEntry result;
    result.setIp(QHostAddress(address));
    result.setPrefixLength(prefixLength);
    return result;
}

} // namespace

class TestNetworkManagerMaps : public QObject
{
    Q_OBJECT

private slots:
    void scanResultsKeepStrongestPerSsid_data()
    {
        QTest::addColumn<QList<ApDescription>>("results");
        QTest::addColumn<QStringList>("ssids");
        QTest::addColumn<QStringList>("bssids");

        QTest::newRow("stronger later replaces") << QList<ApDescription>{ap("Home", "00:00:00:00:00:01", -70),
                                                                         ap("Home", "00:00:00:00:00:02", -60)}
                                                 << QStringList{"Home"} << QStringList{"00:00:00:00:00:02"};
        QTest::newRow("weaker later is dropped") << QList<ApDescription>{ap("Home", "00:00:00:00:00:01", -60),
                                                                         ap("Home", "00:00:00:00:00:02", -70)}
                                                 << QStringList{"Home"} << QStringList{"00:00:00:00:00:01"};
        QTest::newRow("equal keeps first") << QList<ApDescription>{ap("Home", "00:00:00:00:00:01", -65),
                                                                   ap("Home", "00:00:00:00:00:02", -65)}
                                           << QStringList{"Home"} << QStringList{"00:00:00:00:00:01"};
        QTest::newRow("one entry per ssid") << QList<ApDescription>{ap("B", "00:00:00:00:00:01", -80),
                                                                    ap("A", "00:00:00:00:00:02", -30),
                                                                    ap("B", "00:00:00:00:00:03", -50)}
                                            << QStringList{"A", "B"}
                                            << QStringList{"00:00:00:00:00:02", "00:00:00:00:00:03"};
        QTest::newRow("nothing found") << QList<ApDescription>() << QStringList() << QStringList();
    }

    void scanResultsKeepStrongestPerSsid()
    {
        QFETCH(QList<ApDescription>, results);
        QFETCH(QStringList, ssids);
        QFETCH(QStringList, bssids);

        const QVariantMap map = scanResults(results);
        QCOMPARE(map.keys(), ssids);
        QStringList seen;
        for (const QVariant &value : map)
            seen << value.toMap().value(QStringLiteral("bssid")).toString();
        QCOMPARE(seen, bssids);
        for (const ApDescription &result : results) {
            if (result.bssid().toString() == map.value(result.ssid().toString()).toMap().value("bssid").toString())
                QCOMPARE(map.value(result.ssid().toString()).toMap(), result.toMap());
        }
    }

    void addressTextMarksLinkLocal_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<int>("prefix");
        QTest::addColumn<QString>("text");

        QTest::newRow("ipv4 leased") << "192.168.50.100" << 24 << "192.168.50.100/24";
        QTest::newRow("ipv4 link-local") << "169.254.12.7" << 16 << "169.254.12.7/16l";
        QTest::newRow("ipv4 next to link-local") << "169.255.0.1" << 16 << "169.255.0.1/16";
        QTest::newRow("ipv6 global") << "fd00:50::7" << 64 << "fd00:50::7/64";
        QTest::newRow("ipv6 link-local loses scope") << "fe80::1%eth0" << 64 << "fe80::1/64l";
        QTest::newRow("ipv6 fe81 is not link-local") << "fe81::1" << 64 << "fe81::1/64";
        QTest::newRow("ipv6 fec0 is not link-local") << "fec0::1" << 10 << "fec0::1/10";
    }

    void addressTextMarksLinkLocal()
    {
        QFETCH(QString, address);
        QFETCH(int, prefix);
        QFETCH(QString, text);
        QCOMPARE(addressText(QHostAddress(address), prefix), text);
    }

    void networksWithoutUsableCredentialsAreSkipped()
    {
        const QVariantMap written{
            {"Home", QVariantMap{{"wpa_psk", "password1"}, {"priority", 4}}},
            {"Legacy", QVariantMap{{"wep_key", "abcde"}}},
            {"Open", QVariantMap()},
            {"PriorityOnly", QVariantMap{{"priority", 3}}},
        };
        for (const char *ssid : {"Home", "Legacy", "Open", "PriorityOnly"})
            expectLog(QtInfoMsg, QStringLiteral("Received wireless network: ") + QLatin1String(ssid));
        expectLog(QtInfoMsg, QStringLiteral("Not adding network: PriorityOnly"));

        const QSet<WirelessNetwork> networks = wirelessNetworksFromMap(written);
        QCOMPARE(networks, (QSet<WirelessNetwork>{
                               WirelessNetwork(Ssid::fromString("Home"), SecurityType::WpaPsk, "password1", 4),
                               WirelessNetwork(Ssid::fromString("Legacy"), SecurityType::Wep, "abcde", 0),
                               WirelessNetwork(Ssid::fromString("Open"), SecurityType::Unsecured, QString(), 0),
                           }));
    }

    void connectedAndModeComeFromStateNames_data()
    {
        QTest::addColumn<QStringList>("states");
        QTest::addColumn<bool>("connected");
        QTest::addColumn<QString>("mode");

        QTest::newRow("off") << QStringList{"OffMode"} << false << "OffMode";
        QTest::newRow("wired connected") << QStringList{"WiredConnectedState", "WiredStateContainer", "WirelessDisabledState",
                                                        "WirelessStateContainer", "WiredModeState", "WiredMode"}
                                         << true << "WiredMode";
        QTest::newRow("hybrid, wireless connected")
            << QStringList{"WiredWaitingState", "WirelessConnectedState", "HybridMode"} << true << "HybridMode";
        QTest::newRow("automatic, waiting") << QStringList{"WirelessWaitingState", "AutomaticMode"} << false
                                            << "AutomaticMode";
        QTest::newRow("disconnected also matches") << QStringList{"Disconnected"} << true << QString();
        QTest::newRow("nothing running") << QStringList() << false << QString();
    }

    void connectedAndModeComeFromStateNames()
    {
        QFETCH(QStringList, states);
        QFETCH(bool, connected);
        QFETCH(QString, mode);
        QCOMPARE(isConnected(states), connected);
        QCOMPARE(modeName(states), mode);
    }

    void absentInterfaceHasOnlyNameAndPresence()
    {
        InterfaceFacts facts;
        facts.name = QStringLiteral("eth7");
        facts.kind = InterfaceFacts::Kind::Wired;
        facts.gateway = QStringLiteral("192.168.50.1");
        QCOMPARE(interfaceDetails(facts), (QVariantMap{{"Interface", "eth7"}, {"Present", 0}}));
    }

    void detailsFollowTheInterfaceKind_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QVariantMap>("specific");

        QTest::newRow("wired") << int(InterfaceFacts::Kind::Wired)
                               << QVariantMap{{"Connected", true}, {"CableStatus", true}, {"Dhcp", true}};
        QTest::newRow("wireless") << int(InterfaceFacts::Kind::Wireless)
                                  << QVariantMap{{"Connected", true},
                                                 {"Dhcp", true},
                                                 {"Ssid", "Home"},
                                                 {"Signal", -40},
                                                 {"Configured Networks", "Home,My\\, net"}};
        QTest::newRow("soft access point") << int(InterfaceFacts::Kind::SoftAp) << QVariantMap{{"SoftApUp", true}};
        QTest::newRow("any other") << int(InterfaceFacts::Kind::Other) << QVariantMap();
    }

    void detailsFollowTheInterfaceKind()
    {
        QFETCH(int, kind);
        QFETCH(QVariantMap, specific);

        InterfaceFacts facts;
        facts.name = QStringLiteral("if0");
        facts.present = true;
        facts.up = true;
        facts.mac = QStringLiteral("02:00:00:00:00:01");
        facts.addresses = {entry("192.168.50.100", 24), entry("fe80::1", 64)};
        facts.kind = InterfaceFacts::Kind(kind);
        facts.connected = true;
        facts.cablePluggedIn = true;
        facts.dhcp = true;
        facts.networkDetails = QVariantMap{{"Ssid", "Home"}, {"Signal", -40}};
        facts.configuredNetworks = {network("Home"), network("My, net")};
        facts.softApUp = true;
        facts.gateway = QStringLiteral("192.168.50.1");
        facts.gateway6 = QStringLiteral("fe80::1");
        facts.nameservers = QStringList{"192.168.50.53", "fd00:50::53"};

        QVariantMap expected{
            {"Interface", "if0"},
            {"Present", 2},
            {"Mac", "02:00:00:00:00:01"},
            {"Ips", "192.168.50.100/24 fe80::1/64l"},
            {"Gateway", "192.168.50.1"},
            {"Gateway6", "fe80::1"},
            {"Dns", "192.168.50.53 fd00:50::53"},
        };
        expected.insert(specific);
        QCOMPARE(interfaceDetails(facts), expected);

        facts.up = false;
        QCOMPARE(interfaceDetails(facts).value("Present"), QVariant(1));
    }
};

QTEST_GUILESS_MAIN(TestNetworkManagerMaps)
#include "tst_networkmanagermaps.moc"
