#include "BusValue.h"

#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

class TestBusValue : public QObject
{
    Q_OBJECT

private slots:
    void jsonFormKeepsBytesAndPathsApart_data();
    void jsonFormKeepsBytesAndPathsApart();
    void variantsAreUnwrapped();
};

void TestBusValue::jsonFormKeepsBytesAndPathsApart_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("json");
    QTest::newRow("text") << QVariant(QStringLiteral("WPA-PSK")) << QByteArray(R"(["WPA-PSK"])");
    QTest::newRow("bytes") << QVariant(QByteArray("Home")) << QByteArray(R"([{"bytes":"486f6d65"}])");
    QTest::newRow("object path") << QVariant::fromValue(QDBusObjectPath("/a/b")) << QByteArray(R"([{"path":"/a/b"}])");
    QTest::newRow("path list") << QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath("/a")})
                               << QByteArray(R"([[{"path":"/a"}]])");
    QTest::newRow("signed 16") << QVariant::fromValue<qint16>(-40) << QByteArray("[-40]");
    QTest::newRow("unsigned list") << QVariant::fromValue(QList<uint>{54000000, 1000000}) << QByteArray("[[54000000,1000000]]");
    QTest::newRow("boolean") << QVariant(true) << QByteArray("[true]");
    QTest::newRow("nested map") << QVariant(QVariantMap{{QStringLiteral("ssid"), QByteArray("\x01")},
                                                       {QStringLiteral("scan_ssid"), 1}})
                                << QByteArray(R"([{"scan_ssid":1,"ssid":{"bytes":"01"}}])");
    QTest::newRow("string list") << QVariant(QStringList{QStringLiteral("a"), QStringLiteral("b")}) << QByteArray(R"([["a","b"]])");
}

void TestBusValue::jsonFormKeepsBytesAndPathsApart()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, json);
    QCOMPARE(QJsonDocument(QJsonArray{BusValue::toJson(value)}).toJson(QJsonDocument::Compact), json);
}

void TestBusValue::variantsAreUnwrapped()
{
    const QVariant wrapped = QVariant::fromValue(QDBusVariant(QVariantMap{{QStringLiteral("Type"), QStringLiteral("pbc")}}));
    QCOMPARE(BusValue::toPlainMap(wrapped), (QVariantMap{{QStringLiteral("Type"), QStringLiteral("pbc")}}));
    QCOMPARE(BusValue::signatureOf(wrapped), QStringLiteral("v"));
    QCOMPARE(BusValue::signatureOf(QVariant::fromValue<quint16>(2412)), QStringLiteral("q"));
    QVERIFY(BusValue::toPlainMap(QVariant(QStringLiteral("x"))).isEmpty());
}

QTEST_GUILESS_MAIN(TestBusValue)
#include "tst_busvalue.moc"
