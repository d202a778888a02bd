// The simulated supplicant takes the daemon's network maps as wpa_supplicant does, fails an
// association only on a wrong key, and joins the network that WPS credentials describe.
#include "SimBssProperties.h"
#include "SimNetworkConfig.h"

#include <QtTest>

namespace {

SimAccessPoint accessPoint(SimSecurity security, const QString &key = QString())
{
    SimAccessPoint ap;
    ap.ssid = "Home";
    ap.bssid = QByteArray::fromHex("020000000101");
    ap.security = security;
    ap.key = key;
    return ap;
}

SimNetworkConfig network(const QVariantMap &entries)
{
    SimNetworkConfig config;
    QString error;
    if (!config.apply(entries, &error))
        qWarning("network entries rejected: %s", qPrintable(error));
    return config;
}

// The AddNetwork maps the daemon builds for each security type.
QVariantMap openNetwork()
{
    return {{"ssid", QByteArray("Home")}, {"scan_ssid", 1}, {"key_mgmt", "NONE"}, {"priority", 0}};
}

QVariantMap wepNetwork(const QVariant &key)
{
    return {{"ssid", QByteArray("Home")}, {"scan_ssid", 1}, {"wep_key0", key}, {"key_mgmt", "NONE"},
            {"auth_alg", "OPEN SHARED"}};
}

QVariantMap pskNetwork(const QVariant &key)
{
    return {{"ssid", QByteArray("Home")}, {"scan_ssid", 1}, {"psk", key}, {"key_mgmt", "WPA-PSK WPA-PSK-SHA256"},
            {"ieee80211w", 1}, {"priority", 3}};
}

} // namespace

Q_DECLARE_METATYPE(SimSecurity)

class TestSimNetworkConfig : public QObject
{
    Q_OBJECT

private slots:
    void daemonNetworkMapsAreTakenAsTheSupplicantDoes()
    {
        QCOMPARE(network(openNetwork()).keyMgmt, QStringList{"NONE"});
        QCOMPARE(network(wepNetwork(QStringLiteral("abcde"))).wepKeys[0], QByteArray("abcde"));
        QCOMPARE(network(wepNetwork(QByteArray::fromHex("6162636465"))).wepKeys[0], QByteArray("abcde"));
        const SimNetworkConfig passphrase = network(pskNetwork(QStringLiteral("secret123")));
        QCOMPARE(passphrase.passphrase, QStringLiteral("secret123"));
        QCOMPARE(passphrase.keyMgmt, (QStringList{"WPA-PSK", "WPA-PSK-SHA256"}));
        QCOMPARE(network(pskNetwork(QByteArray(32, '\x11'))).psk, QByteArray(32, '\x11'));
        SimNetworkConfig config;
        QString error;
        QVERIFY(!config.apply(pskNetwork(QStringLiteral("1234567")), &error));
    }

    // The 802.11i test vectors: a raw key from the daemon matches the passphrase an AP was given.
    void pskFollowsPbkdf2OfPassphraseAndSsid()
    {
        QCOMPARE(SimKeys::pskFor("password", "IEEE").toHex(),
                 QByteArray("f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e"));
        QCOMPARE(SimKeys::pskFor("ThisIsAPassword", "ThisIsASSID").toHex(),
                 QByteArray("0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af"));
    }

    void wrongKeyFailsAssociation_data()
    {
        QTest::addColumn<QVariantMap>("entries");
        QTest::addColumn<SimSecurity>("security");
        QTest::addColumn<QString>("apKey");
        QTest::addColumn<bool>("sharedAuth");
        QTest::addColumn<QString>("reason");
        const QByteArray derived = SimKeys::pskFor(QStringLiteral("secret123"), "Home");
        QTest::newRow("open") << openNetwork() << SimSecurity::Open << QString() << true << QString();
        QTest::newRow("right passphrase") << pskNetwork(QStringLiteral("secret123")) << SimSecurity::WpaPsk << "secret123"
                                          << true << QString();
        QTest::newRow("wrong passphrase") << pskNetwork(QStringLiteral("secret124")) << SimSecurity::WpaPsk << "secret123"
                                          << true << "WRONG_KEY";
        QTest::newRow("raw key of the passphrase") << pskNetwork(derived) << SimSecurity::PskEap << "secret123" << true
                                                   << QString();
        QTest::newRow("passphrase against raw ap key") << pskNetwork(QStringLiteral("secret123")) << SimSecurity::WpaPsk
                                                       << QString::fromLatin1(derived.toHex()) << true << QString();
        QTest::newRow("wep text against hex ap key") << wepNetwork(QStringLiteral("abcde")) << SimSecurity::Wep
                                                     << "6162636465" << true << QString();
        QTest::newRow("wrong wep, shared key") << wepNetwork(QStringLiteral("abcdf")) << SimSecurity::Wep << "abcde"
                                               << true << "WRONG_KEY";
        QTest::newRow("wrong wep, open system") << wepNetwork(QStringLiteral("abcdf")) << SimSecurity::Wep << "abcde"
                                                << false << QString();
    }

    void wrongKeyFailsAssociation()
    {
        QFETCH(QVariantMap, entries);
        QFETCH(SimSecurity, security);
        QFETCH(QString, apKey);
        QFETCH(bool, sharedAuth);
        SimAccessPoint ap = accessPoint(security, apKey);
        ap.wepSharedAuth = sharedAuth;
        QVERIFY(SimAssociation::usable(network(entries), ap, ap.ssid));
        QTEST(SimAssociation::failureReason(network(entries), ap), "reason");
    }

    void credentialsBecomeAUsableNetwork_data()
    {
        QTest::addColumn<SimSecurity>("security");
        QTest::addColumn<QString>("key");
        QTest::newRow("open") << SimSecurity::Open << QString();
        QTest::newRow("wep hex key") << SimSecurity::Wep << "6162636465";
        QTest::newRow("wpa2 passphrase") << SimSecurity::WpaPsk << "secret123";
        QTest::newRow("wpa2 raw key") << SimSecurity::WpaPsk << QString(64, QLatin1Char('b'));
    }

    void credentialsBecomeAUsableNetwork()
    {
        QFETCH(SimSecurity, security);
        QFETCH(QString, key);
        const SimAccessPoint ap = accessPoint(security, key);
        SimNetworkConfig config;
        QString error;
        QVERIFY2(config.apply(SimAssociation::networkFromCredentials(SimBssProperties::wpsCredentials(ap)),
                              &error),
                 qPrintable(error));
        QVERIFY(SimAssociation::usable(config, ap, ap.ssid));
        QCOMPARE(SimAssociation::failureReason(config, ap), QString());
    }
};

QTEST_GUILESS_MAIN(TestSimNetworkConfig)
#include "tst_simnetworkconfig.moc"
