#include "LogExpect.h"
#include "MacAddress.h"
#include "Ssid.h"

#include <QSet>
#include <QtTest>

class TestSsidMacAddress : public QObject
{
    Q_OBJECT

private slots:
    void ssidFromTextKeepsAtMost32Utf8Bytes_data();
    void ssidFromTextKeepsAtMost32Utf8Bytes();
    void ssidFromBytesKeepsAtMost32Bytes_data();
    void ssidFromBytesKeepsAtMost32Bytes();
    void ssidComparesHashesAndPrintsByText();

    void macAddressFromText_data();
    void macAddressFromText();
    void macAddressFromBytes_data();
    void macAddressFromBytes();
    void macAddressRejectsSilently();
    void macAddressComparesHashesAndPrintsQuoted();
};

void TestSsidMacAddress::ssidFromTextKeepsAtMost32Utf8Bytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("empty") << QString() << true;
    QTest::newRow("plain") << QStringLiteral("HomeNet") << true;
    QTest::newRow("32 ascii bytes") << QString(32, QLatin1Char('a')) << true;
    QTest::newRow("33 ascii bytes") << QString(33, QLatin1Char('a')) << false;
    // 10 three-byte characters plus 2 ascii: 32 bytes in 12 characters.
    QTest::newRow("32 bytes of mixed width") << QString(10, QChar(0x20ac)) + QStringLiteral("ab") << true;
    QTest::newRow("33 bytes of mixed width") << QString(10, QChar(0x20ac)) + QStringLiteral("abc") << false;
    QTest::newRow("16 characters of 3 bytes") << QString(16, QChar(0x20ac)) << false;
}

void TestSsidMacAddress::ssidFromTextKeepsAtMost32Utf8Bytes()
{
    QFETCH(QString, text);
    QFETCH(bool, accepted);

    if (!accepted)
        expectLog(QtWarningMsg, QStringLiteral("SSID is too long: \"%1\", rejecting!").arg(text));
    const Ssid ssid = Ssid::fromString(text);

    QCOMPARE(ssid.toString(), accepted ? text : QString());
    QCOMPARE(ssid.isEmpty(), !accepted || text.isEmpty());
    QCOMPARE(ssid.toByteArray(), accepted ? text.toUtf8() : QByteArray());
}

void TestSsidMacAddress::ssidFromBytesKeepsAtMost32Bytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");

    QTest::newRow("utf-8 text") << QByteArray("caf\xc3\xa9") << QStringLiteral("caf\u00e9");
    QTest::newRow("32 bytes") << QByteArray(32, 'x') << QString(32, QLatin1Char('x'));
    QTest::newRow("33 bytes") << QByteArray(33, '\x01') << QString();
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestSsidMacAddress::ssidFromBytesKeepsAtMost32Bytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);

    if (bytes.size() > Ssid::MaxBytes)
        expectLog(QtWarningMsg, QStringLiteral("SSID is too long: \"%1\", rejecting!").arg(QString::fromLatin1(bytes.toHex())));
    const Ssid ssid = Ssid::fromBytes(bytes);

    QCOMPARE(ssid.toString(), text);
    QCOMPARE(ssid.toByteArray(), text.toUtf8());
}

void TestSsidMacAddress::ssidComparesHashesAndPrintsByText()
{
    const Ssid fromText = Ssid::fromString(QStringLiteral("caf\u00e9"));
    const Ssid fromBytes = Ssid::fromBytes(QByteArray("caf\xc3\xa9"));
    const Ssid other = Ssid::fromString(QStringLiteral("cafe"));

    QVERIFY(fromText == fromBytes);
    QVERIFY(!(fromText != fromBytes));
    QVERIFY(fromText != other);
    QCOMPARE(qHash(fromText), qHash(QStringLiteral("caf\u00e9")));
    QCOMPARE((QSet<Ssid>{fromText, fromBytes, other}).size(), 2);

    QCOMPARE(debugText(fromText), QStringLiteral("\"caf\u00e9\""));
    QVERIFY(Ssid().isEmpty());
}

void TestSsidMacAddress::macAddressFromText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("lower case kept") << QStringLiteral("aa:bb:cc:dd:ee:ff") << QStringLiteral("aa:bb:cc:dd:ee:ff");
    QTest::newRow("upper case kept") << QStringLiteral("00:1A:2B:3C:4D:5E") << QStringLiteral("00:1A:2B:3C:4D:5E");
    QTest::newRow("mixed case kept") << QStringLiteral("0a:Bb:cC:dd:EE:ff") << QStringLiteral("0a:Bb:cC:dd:EE:ff");
    QTest::newRow("dashes") << QStringLiteral("aa-bb-cc-dd-ee-ff") << QString();
    QTest::newRow("seven octets") << QStringLiteral("aa:bb:cc:dd:ee:ff:00") << QString();
    QTest::newRow("five octets") << QStringLiteral("aa:bb:cc:dd:ee") << QString();
    QTest::newRow("leading blank") << QStringLiteral(" aa:bb:cc:dd:ee:ff") << QString();
    QTest::newRow("trailing newline") << QStringLiteral("aa:bb:cc:dd:ee:ff\n") << QString();
    QTest::newRow("non-hex digit") << QStringLiteral("aa:bb:cc:dd:ee:fg") << QString();
    QTest::newRow("single-digit octet") << QStringLiteral("a:bb:cc:dd:ee:ff") << QString();
    QTest::newRow("empty") << QString() << QString();
}

void TestSsidMacAddress::macAddressFromText()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);

    const MacAddress address = MacAddress::fromString(text);
    QCOMPARE(address.toString(), expected);
    QCOMPARE(address.isEmpty(), expected.isEmpty());
}

void TestSsidMacAddress::macAddressFromBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("six bytes in upper case") << QByteArray::fromHex("001a2b3c4d5e") << QStringLiteral("00:1A:2B:3C:4D:5E");
    QTest::newRow("high bytes") << QByteArray::fromHex("ffeeddccbbaa") << QStringLiteral("FF:EE:DD:CC:BB:AA");
    QTest::newRow("five bytes") << QByteArray::fromHex("001a2b3c4d") << QString();
    QTest::newRow("seven bytes") << QByteArray::fromHex("001a2b3c4d5e6f") << QString();
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestSsidMacAddress::macAddressFromBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);

    QCOMPARE(MacAddress::fromBytes(bytes).toString(), expected);
}

void TestSsidMacAddress::macAddressRejectsSilently()
{
    LogCapture capture;
    MacAddress::fromString(QStringLiteral("not a mac"));
    MacAddress::fromBytes(QByteArray(3, '\0'));
    QCOMPARE(capture.texts(), QStringList());
}

void TestSsidMacAddress::macAddressComparesHashesAndPrintsQuoted()
{
    const MacAddress upper = MacAddress::fromBytes(QByteArray::fromHex("aabbccddeeff"));
    const MacAddress lower = MacAddress::fromString(QStringLiteral("aa:bb:cc:dd:ee:ff"));

    QVERIFY(upper == MacAddress::fromString(QStringLiteral("AA:BB:CC:DD:EE:FF")));
    // Text equality: the same octets in another case are another value.
    QVERIFY(upper != lower);
    QCOMPARE(qHash(lower), qHash(QStringLiteral("aa:bb:cc:dd:ee:ff")));

    QCOMPARE(debugText(lower), QStringLiteral("\"aa:bb:cc:dd:ee:ff\""));
}

QTEST_GUILESS_MAIN(TestSsidMacAddress)
#include "tst_ssid_macaddress.moc"
