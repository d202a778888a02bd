#include "LogExpect.h"
#include "MacAddress.h"
#include "Ssid.h"

#include <QSet>
#include <QtTest>

class TestSsidMacAddress : public QObject
{
    Q_OBJECT

private slots:
    // The input is text (counted in UTF-8 bytes) or raw bytes; too long gives an empty SSID.
    void ssidKeepsAtMost32Bytes_data()
    {
        QTest::addColumn<QVariant>("input");
        QTest::addColumn<QString>("text");

        QTest::newRow("empty text") << QVariant(QString()) << QString();
        QTest::newRow("32 ascii bytes") << QVariant(QString(32, 'a')) << QString(32, 'a');
        QTest::newRow("33 ascii bytes") << QVariant(QString(33, 'a')) << QString();
        // 10 three-byte characters plus 2 ascii: 32 bytes in 12 characters.
        QTest::newRow("32 bytes of mixed width") << QVariant(QString(10, QChar(0x20ac)) + "ab")
                                                 << QString(10, QChar(0x20ac)) + "ab";
        QTest::newRow("33 bytes of mixed width") << QVariant(QString(10, QChar(0x20ac)) + "abc") << QString();
        QTest::newRow("16 characters of 3 bytes") << QVariant(QString(16, QChar(0x20ac))) << QString();
        QTest::newRow("utf-8 bytes") << QVariant(QByteArray("caf\xc3\xa9")) << QStringLiteral("caf\u00e9");
        QTest::newRow("32 bytes") << QVariant(QByteArray(32, 'x')) << QString(32, 'x');
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
        if (text.isEmpty() && !bytes.isEmpty())
            expectLog(QtWarningMsg, QStringLiteral("SSID is too long: \"%1\", rejecting!")
                                        .arg(fromText ? input.toString() : QString::fromLatin1(bytes.toHex())));
        const Ssid ssid = fromText ? Ssid::fromString(input.toString()) : Ssid::fromBytes(bytes);
        QCOMPARE(ssid.toString(), text);
        QCOMPARE(ssid.toByteArray(), text.toUtf8());
        QCOMPARE(ssid.isEmpty(), text.isEmpty());
    }

    void ssidComparesByTextAndPrintsQuoted()
    {
        const Ssid fromText = Ssid::fromString(QStringLiteral("caf\u00e9"));
        const Ssid fromBytes = Ssid::fromBytes(QByteArray("caf\xc3\xa9"));
        QVERIFY(fromText == fromBytes);
        QVERIFY(fromText != Ssid::fromString(QStringLiteral("cafe")));
        QCOMPARE((QSet<Ssid>{fromText, fromBytes, Ssid::fromString(QStringLiteral("cafe"))}).size(), 2);
        QCOMPARE(debugText(fromText), QStringLiteral("\"caf\u00e9\""));
    }

    // Text is kept as written; bytes are shown in upper case; anything malformed is empty, silently.
    void macAddressFromTextOrBytes_data()
    {
        QTest::addColumn<QVariant>("input");
        QTest::addColumn<QString>("expected");

        QTest::newRow("lower case kept") << QVariant("aa:bb:cc:dd:ee:ff") << "aa:bb:cc:dd:ee:ff";
        QTest::newRow("mixed case kept") << QVariant("0a:Bb:cC:dd:EE:ff") << "0a:Bb:cC:dd:EE:ff";
        QTest::newRow("dashes") << QVariant("aa-bb-cc-dd-ee-ff") << QString();
        QTest::newRow("seven octets") << QVariant("aa:bb:cc:dd:ee:ff:00") << QString();
        QTest::newRow("five octets") << QVariant("aa:bb:cc:dd:ee") << QString();
        QTest::newRow("leading blank") << QVariant(" aa:bb:cc:dd:ee:ff") << QString();
        QTest::newRow("trailing newline") << QVariant("aa:bb:cc:dd:ee:ff\n") << QString();
        QTest::newRow("non-hex digit") << QVariant("aa:bb:cc:dd:ee:fg") << QString();
        QTest::newRow("single-digit octet") << QVariant("a:bb:cc:dd:ee:ff") << QString();
        QTest::newRow("empty text") << QVariant(QString()) << QString();
        QTest::newRow("six bytes in upper case") << QVariant(QByteArray::fromHex("001a2bffeedd")) << "00:1A:2B:FF:EE:DD";
        QTest::newRow("five bytes") << QVariant(QByteArray::fromHex("001a2b3c4d")) << QString();
        QTest::newRow("seven bytes") << QVariant(QByteArray::fromHex("001a2b3c4d5e6f")) << QString();
    }

    void macAddressFromTextOrBytes()
    {
        QFETCH(QVariant, input);
        QFETCH(QString, expected);

        LogCapture capture;
        const MacAddress address = input.userType() == QMetaType::QByteArray ? MacAddress::fromBytes(input.toByteArray())
                                                                              : MacAddress::fromString(input.toString());
        QCOMPARE(address.toString(), expected);
        QCOMPARE(address.isEmpty(), expected.isEmpty());
        QCOMPARE(capture.texts(), QStringList());
    }

    void macAddressComparesTextAndPrintsQuoted()
    {
        const MacAddress upper = MacAddress::fromBytes(QByteArray::fromHex("aabbccddeeff"));
        const MacAddress lower = MacAddress::fromString(QStringLiteral("aa:bb:cc:dd:ee:ff"));
        QVERIFY(upper == MacAddress::fromString(QStringLiteral("AA:BB:CC:DD:EE:FF")));
        // Text equality: the same octets in another case are another value.
        QVERIFY(upper != lower);
        QCOMPARE(debugText(lower), QStringLiteral("\"aa:bb:cc:dd:ee:ff\""));
    }
};

QTEST_GUILESS_MAIN(TestSsidMacAddress)
#include "tst_ssid_macaddress.moc"
