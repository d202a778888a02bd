// What a WPS session reports: error texts of the configuration-error codes, and the network
// built from the credentials wpa_supplicant hands over.
#include "SupplicantWpaSupplicant.h"

#include <QtTest>

class TestWpaSupplicantWps : public QObject
{
    Q_OBJECT

private slots:
    void failMessageGivesTheErrorText_data();
    void failMessageGivesTheErrorText();
    void credentialsGiveTheNetwork_data();
    void credentialsGiveTheNetwork();
};

void TestWpaSupplicantWps::failMessageGivesTheErrorText_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("text");
    QTest::newRow("0") << "0" << "No Error";
    QTest::newRow("11 typographic apostrophe") << "11" << QString::fromUtf8("Couldn\xE2\x80\x99t connect to Registrar");
    QTest::newRow("17") << "17" << "Registration Session Timeout";
    QTest::newRow("18") << "18" << "Device Password Auth Failure";
    QTest::newRow("19 passed through") << "19" << "19";
    QTest::newRow("-1 passed through") << "-1" << "-1";
    QTest::newRow("words passed through") << "pbc-overlap" << "pbc-overlap";
}

void TestWpaSupplicantWps::failMessageGivesTheErrorText()
{
    QFETCH(QString, message);
    QFETCH(QString, text);
    QCOMPARE(WpaSupplicant::wpsErrorText(message), text);
}

void TestWpaSupplicantWps::credentialsGiveTheNetwork_data()
{
    QTest::addColumn<QVariantMap>("credentials");
    QTest::addColumn<WirelessNetwork>("network");
    QTest::addColumn<bool>("valid");
    const Ssid home = Ssid::fromString("Home");
    // As wpa_supplicant sends them: byte arrays and one-element string lists.
    QTest::newRow("WPA2 passphrase")
        << QVariantMap {{"SSID", QByteArray("Home")}, {"AuthType", QStringList {"wpa2-psk"}},
                        {"EncrType", QStringList {"aes"}}, {"Key", QByteArray("secret123")}}
        << WirelessNetwork(home, SecurityType::WpaPsk, "secret123", 0) << true;
    QTest::newRow("unsecured ignores a key")
        << QVariantMap {{"SSID", QByteArray("Home")}, {"AuthType", QStringList {"open"}},
                        {"EncrType", QStringList {"none"}}, {"Key", QByteArray("leftover")}}
        << WirelessNetwork(home, SecurityType::Unsecured, QString(), 0) << true;
    QTest::newRow("open WEP")
        << QVariantMap {{"SSID", QByteArray("Home")}, {"AuthType", QStringList {"open"}},
                        {"EncrType", QStringList {"wep"}}, {"Key", QByteArray("abcde")}}
        << WirelessNetwork(home, SecurityType::Wep, "abcde", 0) << true;
    QTest::newRow("shared WEP")
        << QVariantMap {{"SSID", QByteArray("Home")}, {"AuthType", QStringList {"shared"}},
                        {"EncrType", QStringList {"wep"}}, {"Key", QByteArray("0102030405")}}
        << WirelessNetwork(home, SecurityType::Wep, "0102030405", 0) << true;
    QTest::newRow("several auth types are WPA")
        << QVariantMap {{"SSID", QByteArray("Home")}, {"AuthType", QStringList {"wpa-psk", "wpa2-psk"}},
                        {"EncrType", QStringList {"tkip", "aes"}}, {"Key", QByteArray("secret123")}}
        << WirelessNetwork(home, SecurityType::WpaPsk, "secret123", 0) << true;
    QTest::newRow("short WPA key is kept but invalid")
        << QVariantMap {{"SSID", QByteArray("Home")}, {"AuthType", QStringList {"wpa2-psk"}},
                        {"EncrType", QStringList {"aes"}}, {"Key", QByteArray("short")}}
        << WirelessNetwork(home, SecurityType::WpaPsk, "short", 0) << false;
    QTest::newRow("over-long SSID is empty")
        << QVariantMap {{"SSID", QByteArray(33, 'x')}, {"EncrType", QStringList {"none"}}}
        << WirelessNetwork(Ssid(), SecurityType::Unsecured, QString(), 0) << true;
}

void TestWpaSupplicantWps::credentialsGiveTheNetwork()
{
    QFETCH(QVariantMap, credentials);
    QFETCH(WirelessNetwork, network);
    QFETCH(bool, valid);
    if (network.ssid().isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("SSID is too long"));
    const WirelessNetwork result = WpaSupplicant::networkFromWpsCredentials(credentials);
    QCOMPARE(result, network);
    QCOMPARE(result.isValid(), valid);
}

QTEST_GUILESS_MAIN(TestWpaSupplicantWps)
#include "tst_wpasupplicantwps.moc"
