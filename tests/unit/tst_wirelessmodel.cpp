// The wireless value types: the 32-byte SSID limit, MAC address forms, and a network's validity,
// its supplicant properties and its reading from bus credentials.
#include "LogExpect.h"
#include "MacAddress.h"
#include "WirelessNetwork.h"

#include <QtTest>

Q_DECLARE_METATYPE(std::optional<WirelessNetwork>)

const Ssid Net = Ssid::fromString(QStringLiteral("Net"));

class TestWirelessModel : public QObject
{
    Q_OBJECT

private slots:
    // Text is counted in UTF-8 bytes; too long gives an empty SSID.
    void ssidKeepsAtMost32Bytes_data()
    {
        QTest::addColumn<QVariant>("input");
        QTest::addColumn<QString>("text");
        // 10 three-byte characters plus 2 ascii: 32 bytes in 12 characters.
        QTest::newRow("32 bytes of mixed width") << QVariant(QString(10, QChar(0x20ac)) + "ab") << QString(10, QChar(0x20ac)) + "ab";
        QTest::newRow("33 bytes of mixed width") << QVariant(QString(10, QChar(0x20ac)) + "abc") << QString();
        QTest::newRow("33 bytes") << QVariant(QByteArray(33, '\x01')) << QString();
        // Invalid UTF-8 decodes to replacement characters: 12 bytes become 36.
        QTest::newRow("invalid utf-8 growing past 32 bytes") << QVariant(QByteArray(12, '\xff')) << QString();
    }

    void ssidKeepsAtMost32Bytes()
    {
        QFETCH(QVariant, input);
        QFETCH(QString, text);
        const bool fromText = input.userType() == QMetaType::QString;
        const QByteArray bytes = fromText ? input.toString().toUtf8() : input.toByteArray();
        if (text.isEmpty())
            expectLog(QtWarningMsg, QStringLiteral("SSID is too long: \"%1\", rejecting!")
                                        .arg(fromText ? input.toString() : QString::fromLatin1(bytes.toHex())));
        const Ssid ssid = fromText ? Ssid::fromString(input.toString()) : Ssid::fromBytes(bytes);
        QCOMPARE(ssid.toString(), text);
    }

    // Text is kept as written; bytes are shown in upper case; anything malformed is empty.
    void macAddressFromTextOrBytes_data()
    {
        QTest::addColumn<QVariant>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("mixed case kept") << QVariant("0a:Bb:cC:dd:EE:ff") << "0a:Bb:cC:dd:EE:ff";
        QTest::newRow("dashes") << QVariant("aa-bb-cc-dd-ee-ff") << QString();
        QTest::newRow("five octets") << QVariant("aa:bb:cc:dd:ee") << QString();
        QTest::newRow("trailing newline") << QVariant("aa:bb:cc:dd:ee:ff\n") << QString();
        QTest::newRow("single-digit octet") << QVariant("a:bb:cc:dd:ee:ff") << QString();
        QTest::newRow("six bytes in upper case") << QVariant(QByteArray::fromHex("001a2bffeedd")) << "00:1A:2B:FF:EE:DD";
        QTest::newRow("seven bytes") << QVariant(QByteArray::fromHex("001a2b3c4d5e6f")) << QString();
    }

    void macAddressFromTextOrBytes()
    {
        QFETCH(QVariant, input);
        QFETCH(QString, expected);
        const MacAddress address = input.userType() == QMetaType::QByteArray ? MacAddress::fromBytes(input.toByteArray())
                                                                              : MacAddress::fromString(input.toString());
        QCOMPARE(address.toString(), expected);
    }

    // Hex keys go to the supplicant as bytes; passphrases and ASCII WEP keys stay text for it to quote.
    void supplicantPropertiesFollowTypeAndKey_data()
    {
        QTest::addColumn<WirelessNetwork>("network");
        QTest::addColumn<QVariantMap>("map");
        const QString hex64 = QStringLiteral("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
        const auto wep = [](const QVariant &key) {
            return QVariantMap{{"ssid", QByteArray("Net")}, {"scan_ssid", 1}, {"wep_key0", key}, {"key_mgmt", "NONE"},
                               {"auth_alg", "OPEN SHARED"}, {"priority", 0}};
        };
        const auto wpa = [](const QVariant &key, int priority) {
            QVariantMap map{{"ssid", QByteArray("Net")}, {"scan_ssid", 1}, {"psk", key}, {"key_mgmt", "WPA-PSK WPA-PSK-SHA256"},
                            {"ieee80211w", 1}};
            if (priority >= 0)
                map.insert("priority", priority);
            return map;
        };
        QTest::newRow("wep 10 characters as 5 bytes")
            << WirelessNetwork(Net, SecurityType::Wep, "0102030aFF", 0) << wep(QByteArray::fromHex("0102030aff"));
        QTest::newRow("wep 13 characters as text") << WirelessNetwork(Net, SecurityType::Wep, "0123456789abc", 0) << wep("0123456789abc");
        QTest::newRow("wpa 64 characters as 32 bytes")
            << WirelessNetwork(Net, SecurityType::WpaPsk, hex64, 0) << wpa(QByteArray::fromHex(hex64.toLatin1()), 0);
        QTest::newRow("wpa 63 characters as text") << WirelessNetwork(Net, SecurityType::WpaPsk, hex64.left(63), 0)
                                                   << wpa(hex64.left(63), 0);
        QTest::newRow("negative priority left out") << WirelessNetwork(Net, SecurityType::WpaPsk, "password", -1)
                                                    << wpa("password", -1);
        QTest::newRow("unsecured drops a key") << WirelessNetwork(Net, SecurityType::Unsecured, "junk", 0)
                                               << QVariantMap{{"ssid", QByteArray("Net")}, {"scan_ssid", 1},
                                                              {"key_mgmt", "NONE"}, {"priority", 0}};
        for (int length : {4, 6, 11, 27})
            QTest::addRow("wep key of %d is invalid", length) << WirelessNetwork(Net, SecurityType::Wep, QString(length, 'a'), 0)
                                                              << QVariantMap();
        QTest::newRow("wpa key of 7 is invalid") << WirelessNetwork(Net, SecurityType::WpaPsk, "1234567", 0) << QVariantMap();
        // Length counts characters, not UTF-8 bytes.
        QTest::newRow("wpa key of 4 two-byte characters is invalid")
            << WirelessNetwork(Net, SecurityType::WpaPsk, QString(4, QChar(0xe9)), 0) << QVariantMap();
    }

    void supplicantPropertiesFollowTypeAndKey()
    {
        QFETCH(WirelessNetwork, network);
        QFETCH(QVariantMap, map);
        if (network.priority() < 0)
            expectLog(QtWarningMsg, QStringLiteral("Network \"Net\" has illegal priority: -1"));
        QCOMPARE(network.isValid(), !map.isEmpty());
        const QVariantMap actual = network.toSupplicantProperties();
        QCOMPARE(actual, map);
        for (const char *key : {"ssid", "wep_key0", "psk"}) {
            if (map.contains(QLatin1String(key)))
                QCOMPARE(actual.value(QLatin1String(key)).userType(), map.value(QLatin1String(key)).userType());
        }
    }

    void credentialsMapMakesNetwork_data()
    {
        QTest::addColumn<QVariantMap>("credentials");
        QTest::addColumn<std::optional<WirelessNetwork>>("expected");
        QTest::newRow("unsecured true wins over wpa_psk") << QVariantMap{{"unsecured", true}, {"wpa_psk", "password"}, {"priority", 4}}
                                                          << std::optional(WirelessNetwork(Net, SecurityType::Unsecured, QString(), 4));
        QTest::newRow("unsecured false without key gives nothing") << QVariantMap{{"unsecured", false}} << std::optional<WirelessNetwork>();
        QTest::newRow("wep before wpa") << QVariantMap{{"wep_key", "abcde"}, {"wpa_psk", "password"}}
                                        << std::optional(WirelessNetwork(Net, SecurityType::Wep, "abcde", 0));
        QTest::newRow("invalid key and negative priority kept") << QVariantMap{{"wpa_psk", "short"}, {"priority", -3}}
                                                                << std::optional(WirelessNetwork(Net, SecurityType::WpaPsk, "short", -3));
    }

    void credentialsMapMakesNetwork()
    {
        QFETCH(QVariantMap, credentials);
        QFETCH(std::optional<WirelessNetwork>, expected);
        QVERIFY(WirelessNetwork::fromCredentials("Net", credentials) == expected);
    }
};

QTEST_GUILESS_MAIN(TestWirelessModel)
#include "tst_wirelessmodel.moc"
