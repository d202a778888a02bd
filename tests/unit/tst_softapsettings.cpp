#include "LogExpect.h"
#include "SoftApSettings.h"

#include <QtTest>

namespace {
const QVariantMap DefaultMap{{"ssid", QString()},
                             {"bssid", QString()},
                             {"apAddress", "192.168.200.1"},
                             {"apNetmask", "255.255.255.0"},
                             {"dhcpRangeFrom", "192.168.200.10"},
                             {"dhcpRangeTo", "192.168.200.210"},
                             {"countryCode", QString()},
                             {"channel", 11},
                             {"vendorSpecificData", QString()},
                             {"apInterface", QString()},
                             {"domainName", QString()}};

QVariantMap withChanges(QVariantMap map, const QVariantMap &changes)
{
    for (auto it = changes.cbegin(); it != changes.cend(); ++it)
        map.insert(it.key(), it.value());
    return map;
}
} // namespace

class TestSoftApSettings : public QObject
{
    Q_OBJECT

private slots:
    void emptyMapGivesDefaults()
    {
        const SoftApSettings settings{QVariantMap()};
        QCOMPARE(settings.apAddress(), QHostAddress(QStringLiteral("192.168.200.1")));
        QCOMPARE(settings.channel(), 11);
        QCOMPARE(settings.toMap(), DefaultMap);
    }

    void mapGivesFieldsAndDefaults_data()
    {
        QTest::addColumn<QVariantMap>("input");
        QTest::addColumn<QVariantMap>("output");

        const QVariantMap full{{"ssid", "Setup"},
                               {"bssid", "02:00:00:aa:bb:cc"},
                               {"apAddress", "10.10.0.1"},
                               {"apNetmask", "255.255.0.0"},
                               {"dhcpRangeFrom", "10.10.0.100"},
                               {"dhcpRangeTo", "10.10.0.200"},
                               {"countryCode", "DE"},
                               {"channel", 6},
                               {"vendorSpecificData", "dd0411223344"},
                               {"apInterface", "uap0"},
                               {"domainName", "setup.local"}};
        QTest::newRow("every key") << full << full;
        QTest::newRow("channel only") << QVariantMap{{"channel", 1}} << withChanges(DefaultMap, {{"channel", 1}});
        QTest::newRow("invalid bssid is empty")
            << QVariantMap{{"bssid", "02-00-00-aa-bb-cc"}} << DefaultMap;
        QTest::newRow("unparsable address is null")
            << QVariantMap{{"apAddress", "192.168.300.1"}, {"dhcpRangeTo", "host"}}
            << withChanges(DefaultMap, {{"apAddress", ""}, {"dhcpRangeTo", ""}});
        QTest::newRow("present empty address is null, not default")
            << QVariantMap{{"apNetmask", ""}} << withChanges(DefaultMap, {{"apNetmask", ""}});
    }

    void mapGivesFieldsAndDefaults()
    {
        QFETCH(QVariantMap, input);
        QFETCH(QVariantMap, output);

        const QVariantMap map = SoftApSettings(input).toMap();
        QCOMPARE(map, output);
        QCOMPARE(map.value(QStringLiteral("channel")).userType(), int(QMetaType::Int));
        QCOMPARE(map.size(), 11);
    }

    void ssidFromMapFollowsLengthRule()
    {
        const QString tooLong(40, QLatin1Char('n'));
        expectLog(QtWarningMsg, QStringLiteral("SSID is too long: \"%1\", rejecting!").arg(tooLong));
        const SoftApSettings settings(QVariantMap{{"ssid", tooLong}, {"channel", 3}});
        QVERIFY(settings.ssid().isEmpty());
        QCOMPARE(settings.channel(), 3);
    }

    void constructorsFromSsidSetDefaults()
    {
        const Ssid ssid = Ssid::fromString(QStringLiteral("softap_uap0"));

        const SoftApSettings fromSsid(ssid);
        QCOMPARE(fromSsid.toMap(), withChanges(DefaultMap, {{"ssid", "softap_uap0"}}));

        const SoftApSettings withInterface(ssid, QStringLiteral("uap0"));
        QCOMPARE(withInterface.toMap(), withChanges(DefaultMap, {{"ssid", "softap_uap0"}, {"apInterface", "uap0"}}));

        // A default-constructed record is empty, not defaulted.
        const SoftApSettings empty;
        QCOMPARE(empty.channel(), 0);
        QVERIFY(empty.apAddress().isNull());
        QVERIFY(empty != SoftApSettings(QVariantMap()));
    }

    void equalityIgnoresOnlyDomainName_data()
    {
        QTest::addColumn<QVariantMap>("changes");
        QTest::addColumn<bool>("equal");

        QTest::newRow("nothing") << QVariantMap() << true;
        QTest::newRow("domainName") << QVariantMap{{"domainName", "other.local"}} << true;
        const QVariantMap differing{{"ssid", "Other"},          {"bssid", "02:00:00:00:00:01"},
                                    {"apAddress", "10.0.0.1"},  {"apNetmask", "255.0.0.0"},
                                    {"dhcpRangeFrom", "10.0.0.5"}, {"dhcpRangeTo", "10.0.0.6"},
                                    {"countryCode", "US"},      {"channel", 1},
                                    {"vendorSpecificData", "dd"}, {"apInterface", "uap1"}};
        for (auto it = differing.cbegin(); it != differing.cend(); ++it)
            QTest::newRow(qPrintable(it.key())) << QVariantMap{{it.key(), it.value()}} << false;
    }

    void equalityIgnoresOnlyDomainName()
    {
        QFETCH(QVariantMap, changes);
        QFETCH(bool, equal);

        const QVariantMap base = withChanges(DefaultMap, {{"ssid", "Setup"}, {"apInterface", "uap0"}, {"domainName", "a.local"}});
        const SoftApSettings left(base);
        const SoftApSettings right(withChanges(base, changes));
        QCOMPARE(left == right, equal);
        QCOMPARE(left != right, !equal);
    }
};

QTEST_GUILESS_MAIN(TestSoftApSettings)
#include "tst_softapsettings.moc"
