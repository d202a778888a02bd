#include "NetworkConfiguration.h"

#include <QtTest>

namespace {
InterfaceConfiguration staticConfig(const QString &name, const QString &ip)
{
    return InterfaceConfiguration(name, ip, QStringLiteral("255.255.255.0"), QStringLiteral("10.0.0.1"),
                                  {QStringLiteral("10.0.0.1")}, {QStringLiteral("lan")});
}

WirelessNetwork network(const char *ssid, const char *key, int priority = 0)
{
    return WirelessNetwork(Ssid::fromString(QString::fromLatin1(ssid)), SecurityType::WpaPsk, QString::fromLatin1(key),
                           priority);
}

SoftApSettings apSettings(const QString &interface, const QVariantMap &extra = QVariantMap())
{
    QVariantMap map = extra;
    map.insert(QStringLiteral("ssid"), QStringLiteral("softap_") + interface);
    map.insert(QStringLiteral("apInterface"), interface);
    return SoftApSettings(map);
}
} // namespace

class TestNetworkConfiguration : public QObject
{
    Q_OBJECT

private slots:
    void softApNamesAreKeptOnce()
    {
        const NetworkConfiguration config(nullptr, QStringLiteral("eth0"), QStringLiteral("wlan0"),
                                          {QStringLiteral("uap0"), QStringLiteral("uap1"), QStringLiteral("uap0")});
        QCOMPARE(config.softApInterfaces(),
                 (QSet<InterfaceName>{InterfaceName(QStringLiteral("uap0")), InterfaceName(QStringLiteral("uap1"))}));
    }

    void ipConfigurationSettersReportChanges_data()
    {
        QTest::addColumn<bool>("wired");
        QTest::newRow("wired") << true;
        QTest::newRow("wireless") << false;
    }

    void ipConfigurationSettersReportChanges()
    {
        QFETCH(bool, wired);

        NetworkConfiguration config(nullptr, QStringLiteral("eth0"), QStringLiteral("wlan0"), {});
        const auto set = [&](const InterfaceConfiguration &value) {
            return wired ? config.setWiredIpConfiguration(value) : config.setWirelessIpConfiguration(value);
        };
        const auto stored = [&]() { return wired ? config.wiredIpConfiguration() : config.wirelessIpConfiguration(); };
        const auto other = [&]() { return wired ? config.wirelessIpConfiguration() : config.wiredIpConfiguration(); };

        QVERIFY(!set(InterfaceConfiguration()));
        const InterfaceConfiguration first = staticConfig(QStringLiteral("eth0"), QStringLiteral("10.0.0.2"));
        QVERIFY(set(first));
        QVERIFY(stored() == first);
        QVERIFY(!set(staticConfig(QStringLiteral("eth0"), QStringLiteral("10.0.0.2"))));
        QVERIFY(set(staticConfig(QStringLiteral("eth0"), QStringLiteral("10.0.0.3"))));
        QCOMPARE(stored().address().ip().toString(), QStringLiteral("10.0.0.3"));
        QVERIFY(set(InterfaceConfiguration(QStringLiteral("eth0"))));
        QVERIFY(!stored().hasAddress());
        QVERIFY(other() == InterfaceConfiguration());
    }

    void wirelessNetworksSetterComparesWholeSet()
    {
        NetworkConfiguration config(nullptr, QStringLiteral("eth0"), QStringLiteral("wlan0"), {});
        const QSet<WirelessNetwork> two{network("A", "password"), network("B", "password")};

        QVERIFY(!config.setWirelessNetworks({}));
        QVERIFY(config.setWirelessNetworks(two));
        QCOMPARE(config.wirelessNetworks(), two);
        QVERIFY(!config.setWirelessNetworks({network("B", "password"), network("A", "password")}));
        QVERIFY(config.setWirelessNetworks({network("A", "password"), network("B", "password", 1)}));
        QVERIFY(config.setWirelessNetworks({network("A", "password")}));
        QVERIFY(config.setWirelessNetworks({network("A", "password"), network("C", "password")}));
        QVERIFY(config.setWirelessNetworks({network("A", "password"), network("C", "passw0rd")}));
        QCOMPARE(config.wirelessNetworks(), (QSet<WirelessNetwork>{network("A", "password"), network("C", "passw0rd")}));
        QVERIFY(config.setWirelessNetworks({}));
        QVERIFY(config.wirelessNetworks().isEmpty());
    }

    void softApSettingsSetterInsertsThenReportsChanges()
    {
        NetworkConfiguration config(nullptr, QStringLiteral("eth0"), QStringLiteral("wlan0"), {QStringLiteral("uap0")});
        const InterfaceName uap0(QStringLiteral("uap0"));
        const InterfaceName uap1(QStringLiteral("uap1"));

        // A first entry is a change even when it equals a default record.
        QVERIFY(config.setSoftApSettings(uap0, SoftApSettings()));
        QVERIFY(!config.setSoftApSettings(uap0, SoftApSettings()));
        QVERIFY(config.setSoftApSettings(uap0, apSettings(QStringLiteral("uap0"))));
        QVERIFY(!config.setSoftApSettings(uap0, apSettings(QStringLiteral("uap0"))));
        QVERIFY(config.setSoftApSettings(uap0, apSettings(QStringLiteral("uap0"), {{"channel", 6}})));
        QCOMPARE(config.softApSettings().value(uap0).channel(), 6);

        QVERIFY(config.setSoftApSettings(uap1, apSettings(QStringLiteral("uap1"))));
        QCOMPARE(config.softApSettings().size(), 2);
        QCOMPARE(config.softApSettings().value(uap0).channel(), 6);
    }

    void softApDomainNameAloneIsNotStored()
    {
        NetworkConfiguration config(nullptr, QStringLiteral("eth0"), QStringLiteral("wlan0"), {QStringLiteral("uap0")});
        const InterfaceName uap0(QStringLiteral("uap0"));

        QVERIFY(config.setSoftApSettings(uap0, apSettings(QStringLiteral("uap0"), {{"domainName", "old.local"}})));
        QVERIFY(!config.setSoftApSettings(uap0, apSettings(QStringLiteral("uap0"), {{"domainName", "new.local"}})));
        QCOMPARE(config.softApSettings().value(uap0).domainName(), QStringLiteral("old.local"));

        // With another change the whole record, domain name included, is stored.
        QVERIFY(config.setSoftApSettings(uap0,
                                         apSettings(QStringLiteral("uap0"), {{"domainName", "new.local"}, {"channel", 1}})));
        QCOMPARE(config.softApSettings().value(uap0).domainName(), QStringLiteral("new.local"));
    }
};

QTEST_GUILESS_MAIN(TestNetworkConfiguration)
#include "tst_networkconfiguration.moc"
