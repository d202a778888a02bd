#include "LogExpect.h"
#include "WirelessNetwork.h"

#include <QSet>
#include <QtTest>

Q_DECLARE_METATYPE(std::optional<WirelessNetwork>)

namespace {
Ssid ssid(const char *text)
{
    return Ssid::fromString(QString::fromUtf8(text));
}
} // namespace

class TestWirelessNetwork : public QObject
{
    Q_OBJECT

private slots:
    void validityDependsOnTypeAndKeyLength_data()
    {
        QTest::addColumn<SecurityType>("type");
        QTest::addColumn<QString>("key");
        QTest::addColumn<bool>("valid");

        QTest::newRow("unsecured without key") << SecurityType::Unsecured << QString() << true;
        QTest::newRow("unsecured with stray key") << SecurityType::Unsecured << QStringLiteral("abc") << true;
        const QList<int> wepValid{5, 10, 13, 26};
        for (int length : {0, 4, 5, 6, 10, 11, 13, 26, 27}) {
            QTest::addRow("wep key of %d", length) << SecurityType::Wep << QString(length, QLatin1Char('a'))
                                                   << wepValid.contains(length);
        }
        QTest::newRow("wpa key of 7") << SecurityType::WpaPsk << QStringLiteral("1234567") << false;
        QTest::newRow("wpa key of 8") << SecurityType::WpaPsk << QStringLiteral("12345678") << true;
        QTest::newRow("wpa key of 200") << SecurityType::WpaPsk << QString(200, QLatin1Char('k')) << true;
        // Length counts characters, not UTF-8 bytes.
        QTest::newRow("wpa key of 4 two-byte characters") << SecurityType::WpaPsk << QString(4, QChar(0xe9)) << false;
        QTest::newRow("unknown type") << static_cast<SecurityType>(3) << QStringLiteral("12345678") << false;
    }

    void validityDependsOnTypeAndKeyLength()
    {
        QFETCH(SecurityType, type);
        QFETCH(QString, key);
        QFETCH(bool, valid);

        const WirelessNetwork network(ssid("Net"), type, key, 1);
        QCOMPARE(network.isValid(), valid);
        if (!valid) {
            LogCapture capture;
            QCOMPARE(network.toMap(), QVariantMap());
            QCOMPARE(network.toSupplicantProperties(), QVariantMap());
            QCOMPARE(capture.texts(), QStringList());
        }
    }

    void equalityUsesAllFourFields()
    {
        const WirelessNetwork base(ssid("Net"), SecurityType::WpaPsk, QStringLiteral("password"), 3);
        QVERIFY(base == WirelessNetwork(ssid("Net"), SecurityType::WpaPsk, QStringLiteral("password"), 3));
        QVERIFY(base != WirelessNetwork(ssid("Other"), SecurityType::WpaPsk, QStringLiteral("password"), 3));
        QVERIFY(base != WirelessNetwork(ssid("Net"), SecurityType::Wep, QStringLiteral("password"), 3));
        QVERIFY(base != WirelessNetwork(ssid("Net"), SecurityType::WpaPsk, QStringLiteral("passw0rd"), 3));
        QVERIFY(base != WirelessNetwork(ssid("Net"), SecurityType::WpaPsk, QStringLiteral("password"), 4));
        const WirelessNetwork negative(ssid("Net"), SecurityType::Wep, QStringLiteral("abcde"), -5);
        const QSet<WirelessNetwork> set{base, base, negative};
        QCOMPARE(set.size(), 2);
        QVERIFY(set.contains(WirelessNetwork(ssid("Net"), SecurityType::Wep, QStringLiteral("abcde"), -5)));
    }

    void busMapFollowsType_data()
    {
        QTest::addColumn<WirelessNetwork>("network");
        QTest::addColumn<QVariantMap>("map");

        QTest::newRow("wep") << WirelessNetwork(ssid("W"), SecurityType::Wep, QStringLiteral("abcde"), 2)
                             << QVariantMap{{"ssid", QStringLiteral("W")}, {"wep_key", QStringLiteral("abcde")},
                                            {"type", QStringLiteral("wep")}, {"priority", 2}};
        QTest::newRow("wpa with hyphen") << WirelessNetwork(ssid("P"), SecurityType::WpaPsk, QStringLiteral("password"), 0)
                                         << QVariantMap{{"ssid", QStringLiteral("P")}, {"wpa_psk", QStringLiteral("password")},
                                                        {"type", QStringLiteral("wpa-psk")}, {"priority", 0}};
        QTest::newRow("unsecured drops key") << WirelessNetwork(ssid("U"), SecurityType::Unsecured, QStringLiteral("junk"), 9)
                                             << QVariantMap{{"ssid", QStringLiteral("U")},
                                                            {"type", QStringLiteral("unsecured")}, {"priority", 9}};
        QTest::newRow("priority -1 left out") << WirelessNetwork(ssid("N"), SecurityType::Unsecured, QString(), -1)
                                              << QVariantMap{{"ssid", QStringLiteral("N")},
                                                             {"type", QStringLiteral("unsecured")}};
        QTest::newRow("invalid wpa") << WirelessNetwork(ssid("P"), SecurityType::WpaPsk, QStringLiteral("1234567"), 0)
                                     << QVariantMap();
    }

    void busMapFollowsType()
    {
        QFETCH(WirelessNetwork, network);
        QFETCH(QVariantMap, map);

        QCOMPARE(network.toMap(), map);
    }

    void supplicantPropertiesFollowType_data()
    {
        QTest::addColumn<WirelessNetwork>("network");
        QTest::addColumn<QVariantMap>("map");

        const QString hex64 = QStringLiteral("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
        const auto common = [](const char *name, QVariantMap map) {
            map.insert("ssid", QByteArray(name));
            map.insert("scan_ssid", 1);
            return map;
        };
        QTest::newRow("wep 5 characters as text")
            << WirelessNetwork(ssid("W"), SecurityType::Wep, QStringLiteral("abcde"), 1)
            << common("W", {{"wep_key0", QStringLiteral("abcde")}, {"key_mgmt", QStringLiteral("NONE")},
                            {"auth_alg", QStringLiteral("OPEN SHARED")}, {"priority", 1}});
        QTest::newRow("wep 10 characters as 5 bytes")
            << WirelessNetwork(ssid("W"), SecurityType::Wep, QStringLiteral("0102030aFF"), 0)
            << common("W", {{"wep_key0", QByteArray::fromHex("0102030aff")}, {"key_mgmt", QStringLiteral("NONE")},
                            {"auth_alg", QStringLiteral("OPEN SHARED")}, {"priority", 0}});
        QTest::newRow("wep 13 characters as text")
            << WirelessNetwork(ssid("W"), SecurityType::Wep, QStringLiteral("0123456789abc"), 0)
            << common("W", {{"wep_key0", QStringLiteral("0123456789abc")}, {"key_mgmt", QStringLiteral("NONE")},
                            {"auth_alg", QStringLiteral("OPEN SHARED")}, {"priority", 0}});
        QTest::newRow("wep 26 characters as 13 bytes")
            << WirelessNetwork(ssid("W"), SecurityType::Wep, QStringLiteral("000102030405060708090a0b0c"), 0)
            << common("W", {{"wep_key0", QByteArray::fromHex("000102030405060708090a0b0c")},
                            {"key_mgmt", QStringLiteral("NONE")}, {"auth_alg", QStringLiteral("OPEN SHARED")},
                            {"priority", 0}});
        QTest::newRow("wpa passphrase as text")
            << WirelessNetwork(ssid("P"), SecurityType::WpaPsk, QStringLiteral("password"), 5)
            << common("P", {{"psk", QStringLiteral("password")}, {"key_mgmt", QStringLiteral("WPA-PSK WPA-PSK-SHA256")},
                            {"ieee80211w", 1}, {"priority", 5}});
        QTest::newRow("wpa 64 characters as 32 bytes")
            << WirelessNetwork(ssid("P"), SecurityType::WpaPsk, hex64, 0)
            << common("P", {{"psk", QByteArray::fromHex(hex64.toLatin1())},
                            {"key_mgmt", QStringLiteral("WPA-PSK WPA-PSK-SHA256")}, {"ieee80211w", 1}, {"priority", 0}});
        QTest::newRow("wpa 63 characters as text")
            << WirelessNetwork(ssid("P"), SecurityType::WpaPsk, hex64.left(63), 0)
            << common("P", {{"psk", hex64.left(63)}, {"key_mgmt", QStringLiteral("WPA-PSK WPA-PSK-SHA256")},
                            {"ieee80211w", 1}, {"priority", 0}});
        QTest::newRow("unsecured") << WirelessNetwork(ssid("Caf\xc3\xa9"), SecurityType::Unsecured, QString(), 0)
                                   << common("Caf\xc3\xa9", {{"key_mgmt", QStringLiteral("NONE")}, {"priority", 0}});
    }

    void supplicantPropertiesFollowType()
    {
        QFETCH(WirelessNetwork, network);
        QFETCH(QVariantMap, map);

        const QVariantMap actual = network.toSupplicantProperties();
        QCOMPARE(actual, map);
        QCOMPARE(actual.value(QStringLiteral("ssid")).userType(), int(QMetaType::QByteArray));
        // Hex keys are bytes; passphrases and ASCII WEP keys stay text for the supplicant to quote.
        for (const char *key : {"wep_key0", "psk"}) {
            if (map.contains(QLatin1String(key)))
                QCOMPARE(actual.value(QLatin1String(key)).userType(), map.value(QLatin1String(key)).userType());
        }
    }

    void negativePriorityIsLeftOutWithWarning()
    {
        const WirelessNetwork network(ssid("Lobby"), SecurityType::WpaPsk, QStringLiteral("password"), -1);

        expectLog(QtWarningMsg, QStringLiteral("Network \"Lobby\" has illegal priority: -1"));
        const QVariantMap properties = network.toSupplicantProperties();
        QVERIFY(!properties.contains(QStringLiteral("priority")));
        QCOMPARE(properties.value(QStringLiteral("psk")).toString(), QStringLiteral("password"));

        LogCapture capture;
        QVERIFY(!network.toMap().contains(QStringLiteral("priority")));
        QCOMPARE(capture.texts(), QStringList());
    }

    void credentialsMapMakesNetwork_data()
    {
        QTest::addColumn<QVariantMap>("credentials");
        QTest::addColumn<std::optional<WirelessNetwork>>("expected");

        const Ssid net = ssid("Net");
        QTest::newRow("empty map is unsecured with priority 0")
            << QVariantMap() << std::optional(WirelessNetwork(net, SecurityType::Unsecured, QString(), 0));
        QTest::newRow("unsecured true wins over wpa_psk")
            << QVariantMap{{"unsecured", true}, {"wpa_psk", QStringLiteral("password")}, {"priority", 4}}
            << std::optional(WirelessNetwork(net, SecurityType::Unsecured, QString(), 4));
        QTest::newRow("unsecured false without key gives nothing")
            << QVariantMap{{"unsecured", false}} << std::optional<WirelessNetwork>();
        QTest::newRow("only priority gives nothing") << QVariantMap{{"priority", 1}} << std::optional<WirelessNetwork>();
        QTest::newRow("wep before wpa")
            << QVariantMap{{"wep_key", QStringLiteral("abcde")}, {"wpa_psk", QStringLiteral("password")}}
            << std::optional(WirelessNetwork(net, SecurityType::Wep, QStringLiteral("abcde"), 0));
        QTest::newRow("wpa with priority")
            << QVariantMap{{"wpa_psk", QStringLiteral("password")}, {"priority", 7}}
            << std::optional(WirelessNetwork(net, SecurityType::WpaPsk, QStringLiteral("password"), 7));
        QTest::newRow("invalid key still makes a network")
            << QVariantMap{{"wpa_psk", QStringLiteral("short")}}
            << std::optional(WirelessNetwork(net, SecurityType::WpaPsk, QStringLiteral("short"), 0));
        QTest::newRow("negative priority kept")
            << QVariantMap{{"wpa_psk", QStringLiteral("password")}, {"priority", -3}}
            << std::optional(WirelessNetwork(net, SecurityType::WpaPsk, QStringLiteral("password"), -3));
    }

    void credentialsMapMakesNetwork()
    {
        QFETCH(QVariantMap, credentials);
        QFETCH(std::optional<WirelessNetwork>, expected);

        QVERIFY(WirelessNetwork::fromCredentials(QStringLiteral("Net"), credentials) == expected);
    }

    void credentialsSsidFollowsLengthRule()
    {
        const QString tooLong(33, QLatin1Char('s'));
        expectLog(QtWarningMsg, QStringLiteral("SSID is too long: \"%1\", rejecting!").arg(tooLong));
        const auto network = WirelessNetwork::fromCredentials(tooLong, QVariantMap{{"wpa_psk", QStringLiteral("password")}});
        QVERIFY(network.has_value());
        QVERIFY(network->ssid().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWirelessNetwork)
#include "tst_wirelessnetwork.moc"
