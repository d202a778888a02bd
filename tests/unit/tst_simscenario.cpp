#include "SimScenario.h"

#include <QtTest>

class TestSimScenario : public QObject
{
    Q_OBJECT

private slots:
    void fullScenarioIsRead();
    void missingFieldsTakeDefaults();
    void invalidScenarioIsRejected_data();
    void invalidScenarioIsRejected();
    void wepKeysBecomeRadioBytes_data();
    void wepKeysBecomeRadioBytes();
    void pskFollowsPbkdf2OfPassphraseAndSsid_data();
    void pskFollowsPbkdf2OfPassphraseAndSsid();
    void macTextIsStrict_data();
    void macTextIsStrict();
};

void TestSimScenario::fullScenarioIsRead()
{
    const QByteArray json = R"({
        "interfaces": ["wlan0"],
        "timing": {"stepMs": 5, "scanMs": 10, "rescanMs": 20, "wpsWalkMs": 30, "wpsExchangeMs": 40,
                   "tempDisabledUnitMs": 50, "bssExpireCount": 3, "bssExpireAge": 60},
        "accessPoints": [
            {"ssid": "Home", "bssid": "02:00:00:00:01:01", "security": "psk+eap", "proto": "mixed",
             "pmf": "required", "key": "secret123", "signal": -71, "frequency": 5180, "hidden": true,
             "wps": {"mode": "pin", "pin": "12345670", "configError": 15, "msg": 9, "errorIndication": 2,
                     "credentials": {"ssidHex": "ff00", "key": "k", "authType": ["open"], "encrType": ["none"]}}},
            {"ssidHex": "e282ac", "bssid": "02:00:00:00:01:02", "security": "wep", "key": "0102030405",
             "wepAuth": "open"}
        ]})";
    QString error;
    const SimScenario scenario = SimScenario::fromJson(json, &error);
    QCOMPARE(error, QString());
    QCOMPARE(scenario.interfaces, QStringList{QStringLiteral("wlan0")});
    QCOMPARE(scenario.timing.stepMs, 5);
    QCOMPARE(scenario.timing.wpsExchangeMs, 40);
    QCOMPARE(scenario.timing.bssExpireCount, 3);
    QCOMPARE(scenario.timing.bssExpireAge, 60);
    QCOMPARE(scenario.accessPoints.size(), 2);

    const SimAccessPoint &home = scenario.accessPoints.at(0);
    QCOMPARE(home.ssid, QByteArray("Home"));
    QCOMPARE(home.bssidText(), QStringLiteral("02:00:00:00:01:01"));
    QCOMPARE(home.security, SimSecurity::PskEap);
    QCOMPARE(home.proto, SimProto::Mixed);
    QCOMPARE(home.pmf, SimPmf::Required);
    QCOMPARE(home.signal, qint16(-71));
    QCOMPARE(home.frequency, quint16(5180));
    QVERIFY(home.hidden);
    QVERIFY(home.wps.capable);
    QCOMPARE(home.wps.mode, SimWpsMode::Pin);
    QCOMPARE(home.wps.pin, QStringLiteral("12345670"));
    QCOMPARE(home.wps.configError, 15);
    QCOMPARE(home.wps.failMsg(), 9);
    QCOMPARE(home.wps.errorIndication, 2);
    QVERIFY(home.wps.overrideCredentials);
    QCOMPARE(home.wps.credentials.ssid, QByteArray::fromHex("ff00"));
    QCOMPARE(home.wps.credentials.encrType, QStringList{QStringLiteral("none")});

    const SimAccessPoint &euro = scenario.accessPoints.at(1);
    QCOMPARE(euro.ssid, QStringLiteral("€").toUtf8());
    QCOMPARE(euro.security, SimSecurity::Wep);
    QVERIFY(!euro.wepSharedAuth);
    QVERIFY(!euro.wps.capable);
}

void TestSimScenario::missingFieldsTakeDefaults()
{
    QString error;
    const SimScenario scenario =
        SimScenario::fromJson(R"({"accessPoints": [{"ssid": "Cafe", "bssid": "02:00:00:00:02:01"}]})", &error);
    QCOMPARE(error, QString());
    QVERIFY(scenario.interfaces.isEmpty());
    QCOMPARE(scenario.timing.stepMs, 100);
    QCOMPARE(scenario.timing.rescanMs, 5000);
    QCOMPARE(scenario.timing.wpsWalkMs, 120000);
    QCOMPARE(scenario.timing.bssExpireCount, 2);
    const SimAccessPoint &ap = scenario.accessPoints.at(0);
    QCOMPARE(ap.security, SimSecurity::Open);
    QCOMPARE(ap.proto, SimProto::Rsn);
    QCOMPARE(ap.pmf, SimPmf::None);
    QCOMPARE(ap.signal, qint16(-50));
    QCOMPARE(ap.frequency, quint16(2412));
    QVERIFY(!ap.hidden);
    QVERIFY(ap.wepSharedAuth);
    QCOMPARE(ap.wps.failMsg(), 0);
}

void TestSimScenario::invalidScenarioIsRejected_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("expected");
    const QByteArray ap = R"("ssid": "X", "bssid": "02:00:00:00:00:01")";
    QTest::newRow("not json") << QByteArray("{") << "not a JSON object";
    QTest::newRow("unknown top field") << QByteArray(R"({"aps": []})") << "unknown field \"aps\"";
    QTest::newRow("unknown ap field") << QByteArray(R"({"accessPoints": [{)" + ap + R"(, "chanel": 6}]})") << "unknown field \"chanel\"";
    QTest::newRow("malformed bssid") << QByteArray(R"({"accessPoints": [{"ssid": "X", "bssid": "02-00-00-00-00-01"}]})") << "bssid must look like";
    QTest::newRow("missing ssid") << QByteArray(R"({"accessPoints": [{"bssid": "02:00:00:00:00:01"}]})") << "ssid must have 1 to 32 bytes";
    QTest::newRow("ssid of 33 bytes") << QByteArray(R"({"accessPoints": [{"ssid": "123456789012345678901234567890123", "bssid": "02:00:00:00:00:01"}]})") << "ssid must have 1 to 32 bytes";
    QTest::newRow("unknown security") << QByteArray(R"({"accessPoints": [{)" + ap + R"(, "security": "wpa3"}]})") << "invalid security \"wpa3\"";
    QTest::newRow("wpa without key") << QByteArray(R"({"accessPoints": [{)" + ap + R"(, "security": "wpa-psk"}]})") << "a WPA key is";
    QTest::newRow("wpa passphrase of 7") << QByteArray(R"({"accessPoints": [{)" + ap + R"(, "security": "psk+eap", "key": "1234567"}]})") << "a WPA key is";
    QTest::newRow("wep key of 6") << QByteArray(R"({"accessPoints": [{)" + ap + R"(, "security": "wep", "key": "abcdef"}]})") << "a WEP key has";
    QTest::newRow("wep auth unknown") << QByteArray(R"({"accessPoints": [{)" + ap + R"(, "wepAuth": "both"}]})") << "wepAuth is";
    QTest::newRow("frequency zero") << QByteArray(R"({"accessPoints": [{)" + ap + R"(, "frequency": 0}]})") << "frequency must be an integer";
    QTest::newRow("signal as text") << QByteArray(R"({"accessPoints": [{)" + ap + R"(, "signal": "-40"}]})") << "signal must be an integer";
    QTest::newRow("wps mode unknown") << QByteArray(R"({"accessPoints": [{)" + ap + R"(, "wps": {"mode": "nfc"}}]})") << "invalid mode \"nfc\"";
    QTest::newRow("bssid twice") << QByteArray(R"({"accessPoints": [{)" + ap + R"(}, {)" + ap + R"(}]})") << "bssid used twice";
    QTest::newRow("negative delay") << QByteArray(R"({"timing": {"scanMs": -1}})") << "scanMs must be an integer";
    QTest::newRow("unknown timing") << QByteArray(R"({"timing": {"scanSeconds": 1}})") << "unknown field \"scanSeconds\"";
}

void TestSimScenario::invalidScenarioIsRejected()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, expected);
    QString error;
    const SimScenario scenario = SimScenario::fromJson(json, &error);
    QVERIFY2(error.contains(expected), qPrintable(error));
    QVERIFY(scenario.accessPoints.isEmpty());
}

void TestSimScenario::wepKeysBecomeRadioBytes_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("5 characters") << "abcde" << QByteArray("abcde");
    QTest::newRow("13 characters") << "abcdefghijklm" << QByteArray("abcdefghijklm");
    QTest::newRow("10 hex digits") << "6162636465" << QByteArray("abcde");
    QTest::newRow("26 hex digits") << "0102030405060708090a0b0c0d" << QByteArray::fromHex("0102030405060708090a0b0c0d");
    QTest::newRow("10 non-hex characters") << "abcdefghij" << QByteArray();
    QTest::newRow("6 characters") << "abcdef" << QByteArray();
}

void TestSimScenario::wepKeysBecomeRadioBytes()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, bytes);
    QCOMPARE(SimKeys::wepKeyBytes(key), bytes);
}

void TestSimScenario::pskFollowsPbkdf2OfPassphraseAndSsid_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("ssid");
    QTest::addColumn<QByteArray>("psk");
    QTest::newRow("802.11i vector 1") << "password" << QByteArray("IEEE")
                                      << QByteArray::fromHex("f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e");
    QTest::newRow("802.11i vector 2") << "ThisIsAPassword" << QByteArray("ThisIsASSID")
                                      << QByteArray::fromHex("0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af");
    QTest::newRow("64 hex digits are the key") << QString(64, QLatin1Char('a')) << QByteArray("any")
                                               << QByteArray(32, '\xaa');
    QTest::newRow("7 characters") << "1234567" << QByteArray("X") << QByteArray();
    QTest::newRow("64 non-hex characters") << QString(64, QLatin1Char('z')) << QByteArray("X") << QByteArray();
}

void TestSimScenario::pskFollowsPbkdf2OfPassphraseAndSsid()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, ssid);
    QFETCH(QByteArray, psk);
    QCOMPARE(SimKeys::pskFor(key, ssid).toHex(), psk.toHex());
}

void TestSimScenario::macTextIsStrict_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("lower case") << "0a:1b:2c:3d:4e:5f" << QByteArray::fromHex("0a1b2c3d4e5f");
    QTest::newRow("upper case") << "0A:1B:2C:3D:4E:5F" << QByteArray::fromHex("0a1b2c3d4e5f");
    QTest::newRow("dashes") << "0a-1b-2c-3d-4e-5f" << QByteArray();
    QTest::newRow("seven octets") << "0a:1b:2c:3d:4e:5f:60" << QByteArray();
}

void TestSimScenario::macTextIsStrict()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);
    QCOMPARE(SimKeys::macFromText(text), bytes);
    if (!bytes.isEmpty())
        QCOMPARE(SimKeys::macToText(bytes), text.toLower());
}

QTEST_GUILESS_MAIN(TestSimScenario)
#include "tst_simscenario.moc"
