#include "InterfaceConfiguration.h"

#include <QtTest>

class TestInterfaceConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void constructorParsesTexts_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("netmask");
        QTest::addColumn<QString>("gateway");
        QTest::addColumn<QStringList>("servers");
        QTest::addColumn<QString>("expectedIp");
        QTest::addColumn<QString>("expectedNetmask");
        QTest::addColumn<QString>("expectedGateway");
        QTest::addColumn<QStringList>("expectedServers");

        QTest::newRow("full static") << "192.168.1.20" << "255.255.255.0" << "192.168.1.1"
                                     << QStringList{"8.8.8.8", "2001:db8::1"} << "192.168.1.20" << "255.255.255.0"
                                     << "192.168.1.1" << QStringList{"8.8.8.8", "2001:db8::1"};
        QTest::newRow("bad netmask is not set") << "10.0.0.5" << "255.255.0.x" << "" << QStringList() << "10.0.0.5" << ""
                                                << "" << QStringList();
        QTest::newRow("bad gateway is null") << "10.0.0.5" << "255.0.0.0" << "gateway" << QStringList() << "10.0.0.5"
                                             << "255.0.0.0" << "" << QStringList();
        QTest::newRow("bad name servers dropped in order")
            << "10.0.0.5" << "255.0.0.0" << "10.0.0.1" << QStringList{"dns.example", "1.1.1.1", "", "9.9.9.9", "300.1.1.1"}
            << "10.0.0.5" << "255.0.0.0" << "10.0.0.1" << QStringList{"1.1.1.1", "9.9.9.9"};
        QTest::newRow("bad address means dhcp") << "10.0.0.256" << "255.0.0.0" << "10.0.0.1" << QStringList()
                                                << "" << "" << "10.0.0.1" << QStringList();
    }

    void constructorParsesTexts()
    {
        QFETCH(QString, address);
        QFETCH(QString, netmask);
        QFETCH(QString, gateway);
        QFETCH(QStringList, servers);
        QFETCH(QString, expectedIp);
        QFETCH(QString, expectedNetmask);
        QFETCH(QString, expectedGateway);
        QFETCH(QStringList, expectedServers);

        const QStringList domains{QStringLiteral("b.example"), QStringLiteral("a.example")};
        const InterfaceConfiguration config(QStringLiteral("wlan0"), address, netmask, gateway, servers, domains);

        QCOMPARE(config.name(), QStringLiteral("wlan0"));
        QCOMPARE(config.address().ip().toString(), expectedIp);
        QCOMPARE(config.address().netmask().toString(), expectedNetmask);
        QCOMPARE(config.hasAddress(), !expectedIp.isEmpty());
        QCOMPARE(config.gateway().toString(), expectedGateway);
        QCOMPARE(config.hasGateway(), !expectedGateway.isEmpty());
        QStringList actualServers;
        for (const QHostAddress &server : config.nameservers())
            actualServers.append(server.toString());
        QCOMPARE(actualServers, expectedServers);
        QCOMPARE(config.searchDomains(), domains);
    }

    void equalityComparesEveryFieldInOrder()
    {
        const auto make = [](const QString &name, const QString &ip, const QString &mask, const QString &gateway,
                             const QStringList &servers, const QStringList &domains) {
            return InterfaceConfiguration(name, ip, mask, gateway, servers, domains);
        };
        const QStringList servers{"1.1.1.1", "8.8.8.8"};
        const QStringList domains{"a", "b"};
        const InterfaceConfiguration base = make("eth0", "10.0.0.2", "255.0.0.0", "10.0.0.1", servers, domains);

        QVERIFY(base == make("eth0", "10.0.0.2", "255.0.0.0", "10.0.0.1", servers, domains));
        QVERIFY(base != make("eth1", "10.0.0.2", "255.0.0.0", "10.0.0.1", servers, domains));
        QVERIFY(base != make("eth0", "10.0.0.3", "255.0.0.0", "10.0.0.1", servers, domains));
        QVERIFY(base != make("eth0", "10.0.0.2", "255.255.0.0", "10.0.0.1", servers, domains));
        QVERIFY(base != make("eth0", "10.0.0.2", "255.0.0.0", "10.0.0.9", servers, domains));
        QVERIFY(base != make("eth0", "10.0.0.2", "255.0.0.0", "10.0.0.1", {"8.8.8.8", "1.1.1.1"}, domains));
        QVERIFY(base != make("eth0", "10.0.0.2", "255.0.0.0", "10.0.0.1", servers, {"b", "a"}));
        QVERIFY(base != make("eth0", "10.0.0.2", "255.0.0.0", "10.0.0.1", {"1.1.1.1"}, domains));
    }

    void mapRoundTrip_data()
    {
        QTest::addColumn<QVariantMap>("input");
        QTest::addColumn<QVariantMap>("output");

        QTest::newRow("static with gateway")
            << QVariantMap{{"Ip", "192.168.1.20"}, {"Netmask", "255.255.255.0"}, {"Gateway", "192.168.1.1"},
                           {"Dns", "8.8.8.8 8.8.4.4"}, {"SearchDomains", "home.example corp.example"}}
            << QVariantMap{{"Ip", "192.168.1.20"}, {"Netmask", "255.255.255.0"}, {"Gateway", "192.168.1.1"},
                           {"Dns", "8.8.8.8 8.8.4.4"}, {"SearchDomains", "home.example corp.example"}};
        QTest::newRow("no gateway key when none")
            << QVariantMap{{"Ip", "10.1.2.3"}, {"Netmask", "255.255.0.0"}}
            << QVariantMap{{"Ip", "10.1.2.3"}, {"Netmask", "255.255.0.0"}, {"Dns", ""}, {"SearchDomains", ""}};
        QTest::newRow("dns with a word and double spaces keeps two servers")
            << QVariantMap{{"Ip", "10.1.2.3"}, {"Dns", "1.1.1.1  nameserver 9.9.9.9 "}}
            << QVariantMap{{"Ip", "10.1.2.3"}, {"Netmask", ""}, {"Dns", "1.1.1.1 9.9.9.9"}, {"SearchDomains", ""}};
        QTest::newRow("search domains with double spaces")
            << QVariantMap{{"SearchDomains", " a.example  b.example"}}
            << QVariantMap{{"Ip", ""}, {"Netmask", ""}, {"Dns", ""}, {"SearchDomains", "a.example b.example"}};
        QTest::newRow("ipv6 static")
            << QVariantMap{{"Ip", "2001:db8::5"}, {"Netmask", "ffff:ffff:ffff:ffff::"}, {"Gateway", "fe80::1"}}
            << QVariantMap{{"Ip", "2001:db8::5"}, {"Netmask", "ffff:ffff:ffff:ffff::"}, {"Gateway", "fe80::1"},
                           {"Dns", ""}, {"SearchDomains", ""}};
    }

    void mapRoundTrip()
    {
        QFETCH(QVariantMap, input);
        QFETCH(QVariantMap, output);

        const InterfaceConfiguration config = InterfaceConfiguration::fromMap(QStringLiteral("eth0"), input);
        QCOMPARE(config.name(), QStringLiteral("eth0"));
        const QVariantMap map = config.toMap();
        QCOMPARE(map, output);
        for (const QVariant &value : map)
            QCOMPARE(value.userType(), int(QMetaType::QString));
        QVERIFY(InterfaceConfiguration::fromMap(QStringLiteral("eth0"), map) == config);
    }

    void mapWithoutIpMeansDhcp()
    {
        const InterfaceConfiguration config = InterfaceConfiguration::fromMap(
            QStringLiteral("wlan0"), QVariantMap{{"Netmask", "255.255.255.0"}, {"Gateway", "junk"}});
        QVERIFY(!config.hasAddress());
        QVERIFY(!config.hasGateway());
        QCOMPARE(config.toMap(),
                 (QVariantMap{{"Ip", QString()}, {"Netmask", QString()}, {"Dns", QString()}, {"SearchDomains", QString()}}));
        QVERIFY(config == InterfaceConfiguration::fromMap(QStringLiteral("wlan0"), QVariantMap{{"Ip", ""}}));
    }
};

QTEST_GUILESS_MAIN(TestInterfaceConfiguration)
#include "tst_interfaceconfiguration.moc"
