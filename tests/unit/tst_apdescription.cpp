#include "ApDescription.h"
#include "LogExpect.h"
#include "NetworkTypes.h"

#include <QtTest>

class TestApDescription : public QObject
{
    Q_OBJECT

private slots:
    void securityTypeGivesScanText_data()
    {
        QTest::addColumn<SecurityType>("type");
        QTest::addColumn<QString>("text");

        QTest::newRow("unsecured") << SecurityType::Unsecured << QStringLiteral("unsecured");
        QTest::newRow("wep") << SecurityType::Wep << QStringLiteral("wep");
        QTest::newRow("wpa with underscore") << SecurityType::WpaPsk << QStringLiteral("wpa_psk");
        QTest::newRow("unknown value") << static_cast<SecurityType>(7) << QString();
    }

    void securityTypeGivesScanText()
    {
        QFETCH(SecurityType, type);
        QFETCH(QString, text);

        QCOMPARE(NetworkTypes::securityTypeToString(type), text);
    }

    void mapCarriesEveryScanField_data()
    {
        QTest::addColumn<ApDescription>("ap");
        QTest::addColumn<QVariantMap>("map");

        const QByteArray ies = QByteArray::fromHex("000448656c6c");
        QTest::newRow("wpa on 5 GHz")
            << ApDescription(Ssid::fromString(QStringLiteral("Hello")), SecurityType::WpaPsk,
                             MacAddress::fromString(QStringLiteral("00:11:22:33:44:55")), -67, 5180, ies)
            << QVariantMap{{"ssid", QStringLiteral("Hello")}, {"type", QStringLiteral("wpa_psk")},
                           {"bssid", QStringLiteral("00:11:22:33:44:55")}, {"signal", -67}, {"frequency", 5180},
                           {"channel", 36}, {"ies", ies}};
        // Signal is sign-extended and frequency zero-extended into int.
        QTest::newRow("extreme 16-bit values")
            << ApDescription(Ssid::fromString(QStringLiteral("x")), SecurityType::Unsecured, MacAddress(), -32768, 65535,
                             QByteArray())
            << QVariantMap{{"ssid", QStringLiteral("x")}, {"type", QStringLiteral("unsecured")}, {"bssid", QString()},
                           {"signal", -32768}, {"frequency", 65535}, {"channel", 0}, {"ies", QByteArray()}};
    }

    void mapCarriesEveryScanField()
    {
        QFETCH(ApDescription, ap);
        QFETCH(QVariantMap, map);

        const QVariantMap actual = ap.toMap();
        QCOMPARE(actual, map);
        QCOMPARE(actual.value(QStringLiteral("signal")).userType(), int(QMetaType::Int));
        QCOMPARE(actual.value(QStringLiteral("frequency")).userType(), int(QMetaType::Int));
        QCOMPARE(actual.value(QStringLiteral("ssid")).userType(), int(QMetaType::QString));
        QCOMPARE(actual.value(QStringLiteral("ies")).userType(), int(QMetaType::QByteArray));
    }

    void debugOutputNamesSsidBssidAndFrequency()
    {
        const ApDescription ap(Ssid::fromString(QStringLiteral("Cafe")), SecurityType::Wep,
                               MacAddress::fromString(QStringLiteral("aa:bb:cc:dd:ee:ff")), -50, 2437, QByteArray());
        QCOMPARE(debugText(ap), QStringLiteral("Ap ssid: \"Cafe\" bssid: \"aa:bb:cc:dd:ee:ff\" freq: 2437"));

        const ApDescription hidden(Ssid(), SecurityType::Wep, MacAddress::fromString(QStringLiteral("aa:bb:cc:dd:ee:ff")),
                                   -50, 2437, QByteArray());
        QVERIFY(!hidden.isValid());
        QCOMPARE(debugText(hidden), QStringLiteral("Invalid Ap"));
    }

    void sameAccessPointMeansSameBssid()
    {
        const MacAddress bssid = MacAddress::fromString(QStringLiteral("aa:bb:cc:dd:ee:ff"));
        const ApDescription first(Ssid::fromString(QStringLiteral("One")), SecurityType::Wep, bssid, -80, 2412, QByteArray());
        const ApDescription renamed(Ssid::fromString(QStringLiteral("Two")), SecurityType::WpaPsk, bssid, -40, 5180,
                                    QByteArray("x"));
        const ApDescription elsewhere(Ssid::fromString(QStringLiteral("One")), SecurityType::Wep,
                                      MacAddress::fromString(QStringLiteral("aa:bb:cc:dd:ee:00")), -80, 2412, QByteArray());

        QVERIFY(first == renamed);
        QVERIFY(first != elsewhere);

        QList<ApDescription> list{first, elsewhere};
        list.removeAll(renamed);
        QCOMPARE(list.size(), 1);
        QCOMPARE(list.first().bssid(), elsewhere.bssid());
    }
};

QTEST_GUILESS_MAIN(TestApDescription)
#include "tst_apdescription.moc"
