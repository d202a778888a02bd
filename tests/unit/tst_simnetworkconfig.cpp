#include "SimBssProperties.h"
#include "SimNetworkConfig.h"

#include <QtTest>

namespace {

SimAccessPoint accessPoint(SimSecurity security, const QString &key = QString(), SimProto proto = SimProto::Rsn)
{
    SimAccessPoint ap;
    ap.ssid = "Home";
    ap.bssid = QByteArray::fromHex("020000000101");
    ap.security = security;
    ap.proto = proto;
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
    return {{QStringLiteral("ssid"), QByteArray("Home")}, {QStringLiteral("scan_ssid"), 1},
            {QStringLiteral("key_mgmt"), QStringLiteral("NONE")}, {QStringLiteral("priority"), 0}};
}

QVariantMap wepNetwork(const QVariant &key)
{
    return {{QStringLiteral("ssid"), QByteArray("Home")}, {QStringLiteral("scan_ssid"), 1},
            {QStringLiteral("wep_key0"), key}, {QStringLiteral("key_mgmt"), QStringLiteral("NONE")},
            {QStringLiteral("auth_alg"), QStringLiteral("OPEN SHARED")}};
}

QVariantMap pskNetwork(const QVariant &key)
{
    return {{QStringLiteral("ssid"), QByteArray("Home")}, {QStringLiteral("scan_ssid"), 1},
            {QStringLiteral("psk"), key}, {QStringLiteral("key_mgmt"), QStringLiteral("WPA-PSK WPA-PSK-SHA256")},
            {QStringLiteral("ieee80211w"), 1}, {QStringLiteral("priority"), 3}};
}

QVariantMap with(QVariantMap entries, const QString &key, const QVariant &value)
{
    entries.insert(key, value);
    return entries;
}

} // namespace

Q_DECLARE_METATYPE(SimSecurity)
Q_DECLARE_METATYPE(SimProto)

class TestSimNetworkConfig : public QObject
{
    Q_OBJECT

private slots:
    void daemonNetworkMapsAreTakenAsTheSupplicantDoes();
    void invalidEntriesAreRejected_data();
    void invalidEntriesAreRejected();
    void propertiesShowTextWithSecretsMasked();
    void usableNetworkMatchesSsidAndSecurity_data();
    void usableNetworkMatchesSsidAndSecurity();
    void wrongKeyFailsAssociation_data();
    void wrongKeyFailsAssociation();
    void authModeNamesTheChosenKeyManagement_data();
    void authModeNamesTheChosenKeyManagement();
    void credentialsBecomeAUsableNetwork_data();
    void credentialsBecomeAUsableNetwork();
};

void TestSimNetworkConfig::daemonNetworkMapsAreTakenAsTheSupplicantDoes()
{
    const SimNetworkConfig open = network(openNetwork());
    QCOMPARE(open.ssid, QByteArray("Home"));
    QVERIFY(open.scanSsid);
    QCOMPARE(open.keyMgmt, QStringList{QStringLiteral("NONE")});
    QVERIFY(!open.hasWepKey());

    const SimNetworkConfig wepText = network(wepNetwork(QStringLiteral("abcde")));
    QCOMPARE(wepText.wepKeys[0], QByteArray("abcde"));
    QCOMPARE(wepText.authAlg, (QStringList{QStringLiteral("OPEN"), QStringLiteral("SHARED")}));
    const SimNetworkConfig wepBytes = network(wepNetwork(QByteArray::fromHex("6162636465")));
    QCOMPARE(wepBytes.wepKeys[0], QByteArray("abcde"));

    const SimNetworkConfig passphrase = network(pskNetwork(QStringLiteral("secret123")));
    QCOMPARE(passphrase.passphrase, QStringLiteral("secret123"));
    QVERIFY(passphrase.psk.isEmpty());
    QCOMPARE(passphrase.keyMgmt, (QStringList{QStringLiteral("WPA-PSK"), QStringLiteral("WPA-PSK-SHA256")}));
    QCOMPARE(passphrase.ieee80211w, 1);
    QCOMPARE(passphrase.priority, 3);
    const SimNetworkConfig raw = network(pskNetwork(QByteArray(32, '\x11')));
    QCOMPARE(raw.psk, QByteArray(32, '\x11'));
    QVERIFY(raw.passphrase.isEmpty());
}

void TestSimNetworkConfig::invalidEntriesAreRejected_data()
{
    QTest::addColumn<QVariantMap>("entries");
    QTest::addColumn<QString>("expected");
    QTest::newRow("passphrase of 7") << pskNetwork(QStringLiteral("1234567")) << "psk: passphrase";
    QTest::newRow("raw key of 31 bytes") << pskNetwork(QByteArray(31, 'x')) << "psk: raw PSK";
    QTest::newRow("ssid of 33 bytes") << with(openNetwork(), QStringLiteral("ssid"), QByteArray(33, 'x')) << "ssid: invalid";
    QTest::newRow("unknown field") << with(openNetwork(), QStringLiteral("bogus"), QStringLiteral("x")) << "bogus: unknown";
    QTest::newRow("boolean value") << with(openNetwork(), QStringLiteral("scan_ssid"), true) << "scan_ssid: unsupported";
    QTest::newRow("unknown key management") << with(openNetwork(), QStringLiteral("key_mgmt"), QStringLiteral("WPA3")) << "key_mgmt";
    QTest::newRow("priority as text") << with(openNetwork(), QStringLiteral("priority"), QStringLiteral("1")) << "priority";
    QTest::newRow("wep key of 6") << wepNetwork(QStringLiteral("abcdef")) << "wep_key0";
}

void TestSimNetworkConfig::invalidEntriesAreRejected()
{
    QFETCH(QVariantMap, entries);
    QFETCH(QString, expected);
    SimNetworkConfig config;
    QString error;
    QVERIFY(!config.apply(entries, &error));
    QVERIFY2(error.startsWith(expected), qPrintable(error));
}

void TestSimNetworkConfig::propertiesShowTextWithSecretsMasked()
{
    const QVariantMap properties = network(pskNetwork(QStringLiteral("secret123"))).properties();
    QCOMPARE(properties.value(QStringLiteral("ssid")).toString(), QStringLiteral("\"Home\""));
    QCOMPARE(properties.value(QStringLiteral("psk")).toString(), QStringLiteral("*"));
    QCOMPARE(properties.value(QStringLiteral("key_mgmt")).toString(), QStringLiteral("WPA-PSK WPA-PSK-SHA256"));
    QCOMPARE(properties.value(QStringLiteral("priority")).toString(), QStringLiteral("3"));
    QCOMPARE(network({{QStringLiteral("ssid"), QByteArray::fromHex("ff01")}}).properties().value(QStringLiteral("ssid")).toString(),
             QStringLiteral("ff01"));
}

void TestSimNetworkConfig::usableNetworkMatchesSsidAndSecurity_data()
{
    QTest::addColumn<QVariantMap>("entries");
    QTest::addColumn<SimSecurity>("security");
    QTest::addColumn<SimProto>("proto");
    QTest::addColumn<int>("pmf");
    QTest::addColumn<QByteArray>("bssSsid");
    QTest::addColumn<bool>("usable");
    const QByteArray home("Home");
    const QVariantMap psk = pskNetwork(QStringLiteral("secret123"));
    const int none = int(SimPmf::None);
    QTest::newRow("open on open") << openNetwork() << SimSecurity::Open << SimProto::Rsn << none << home << true;
    QTest::newRow("open on wep") << openNetwork() << SimSecurity::Wep << SimProto::Rsn << none << home << false;
    QTest::newRow("wep on open") << wepNetwork(QStringLiteral("abcde")) << SimSecurity::Open << SimProto::Rsn << none << home << false;
    QTest::newRow("wep on wep") << wepNetwork(QStringLiteral("abcde")) << SimSecurity::Wep << SimProto::Rsn << none << home << true;
    QTest::newRow("psk on wpa2") << psk << SimSecurity::WpaPsk << SimProto::Rsn << none << home << true;
    QTest::newRow("psk on wpa1") << psk << SimSecurity::WpaPsk << SimProto::Wpa << none << home << true;
    QTest::newRow("rsn-only psk on wpa1") << with(psk, QStringLiteral("proto"), QStringLiteral("RSN"))
                                          << SimSecurity::WpaPsk << SimProto::Wpa << none << home << false;
    QTest::newRow("psk on eap") << psk << SimSecurity::Eap << SimProto::Rsn << none << home << false;
    QTest::newRow("psk on psk+eap") << psk << SimSecurity::PskEap << SimProto::Rsn << none << home << true;
    QTest::newRow("open on wpa2") << openNetwork() << SimSecurity::WpaPsk << SimProto::Rsn << none << home << false;
    QTest::newRow("pmf required, network without") << with(psk, QStringLiteral("ieee80211w"), 0)
                                                   << SimSecurity::WpaPsk << SimProto::Rsn << int(SimPmf::Required) << home << false;
    QTest::newRow("pmf required, network optional") << psk << SimSecurity::WpaPsk << SimProto::Rsn << int(SimPmf::Required) << home << true;
    QTest::newRow("other ssid") << openNetwork() << SimSecurity::Open << SimProto::Rsn << none << QByteArray("Cafe") << false;
    QTest::newRow("hidden bss") << openNetwork() << SimSecurity::Open << SimProto::Rsn << none << QByteArray() << false;
    QTest::newRow("wps block") << QVariantMap{{QStringLiteral("key_mgmt"), QStringLiteral("WPS")}}
                               << SimSecurity::Open << SimProto::Rsn << none << home << false;
}

void TestSimNetworkConfig::usableNetworkMatchesSsidAndSecurity()
{
    QFETCH(QVariantMap, entries);
    QFETCH(SimSecurity, security);
    QFETCH(SimProto, proto);
    QFETCH(int, pmf);
    QFETCH(QByteArray, bssSsid);
    QFETCH(bool, usable);
    SimAccessPoint ap = accessPoint(security, security == SimSecurity::Wep ? QStringLiteral("abcde") : QStringLiteral("secret123"), proto);
    ap.pmf = static_cast<SimPmf>(pmf);
    QCOMPARE(SimAssociation::usable(network(entries), ap, bssSsid), usable);
}

void TestSimNetworkConfig::wrongKeyFailsAssociation_data()
{
    QTest::addColumn<QVariantMap>("entries");
    QTest::addColumn<SimSecurity>("security");
    QTest::addColumn<QString>("apKey");
    QTest::addColumn<bool>("sharedAuth");
    QTest::addColumn<QString>("reason");
    const QByteArray derived = SimKeys::pskFor(QStringLiteral("secret123"), "Home");
    QTest::newRow("open") << openNetwork() << SimSecurity::Open << QString() << true << QString();
    QTest::newRow("right passphrase") << pskNetwork(QStringLiteral("secret123")) << SimSecurity::WpaPsk << "secret123" << true << QString();
    QTest::newRow("wrong passphrase") << pskNetwork(QStringLiteral("secret124")) << SimSecurity::WpaPsk << "secret123" << true << "WRONG_KEY";
    QTest::newRow("raw key of the passphrase") << pskNetwork(derived) << SimSecurity::PskEap << "secret123" << true << QString();
    QTest::newRow("passphrase against raw ap key") << pskNetwork(QStringLiteral("secret123")) << SimSecurity::WpaPsk
                                                   << QString::fromLatin1(derived.toHex()) << true << QString();
    QTest::newRow("wep text against hex ap key") << wepNetwork(QStringLiteral("abcde")) << SimSecurity::Wep << "6162636465" << true << QString();
    QTest::newRow("wrong wep, shared key") << wepNetwork(QStringLiteral("abcdf")) << SimSecurity::Wep << "abcde" << true << "WRONG_KEY";
    QTest::newRow("wrong wep, open system") << wepNetwork(QStringLiteral("abcdf")) << SimSecurity::Wep << "abcde" << false << QString();
}

void TestSimNetworkConfig::wrongKeyFailsAssociation()
{
    QFETCH(QVariantMap, entries);
    QFETCH(SimSecurity, security);
    QFETCH(QString, apKey);
    QFETCH(bool, sharedAuth);
    QFETCH(QString, reason);
    SimAccessPoint ap = accessPoint(security, apKey);
    ap.wepSharedAuth = sharedAuth;
    QCOMPARE(SimAssociation::failureReason(network(entries), ap), reason);
}

void TestSimNetworkConfig::authModeNamesTheChosenKeyManagement_data()
{
    QTest::addColumn<QVariantMap>("entries");
    QTest::addColumn<SimSecurity>("security");
    QTest::addColumn<SimProto>("proto");
    QTest::addColumn<int>("pmf");
    QTest::addColumn<QString>("mode");
    const QVariantMap psk = pskNetwork(QStringLiteral("secret123"));
    QTest::newRow("open") << openNetwork() << SimSecurity::Open << SimProto::Rsn << int(SimPmf::None) << "NONE";
    QTest::newRow("wep") << wepNetwork(QStringLiteral("abcde")) << SimSecurity::Wep << SimProto::Rsn << int(SimPmf::None) << "NONE";
    QTest::newRow("wpa2") << psk << SimSecurity::WpaPsk << SimProto::Rsn << int(SimPmf::None) << "WPA2-PSK";
    QTest::newRow("wpa1") << psk << SimSecurity::WpaPsk << SimProto::Wpa << int(SimPmf::None) << "WPA-PSK";
    QTest::newRow("mixed prefers rsn") << psk << SimSecurity::WpaPsk << SimProto::Mixed << int(SimPmf::None) << "WPA2-PSK";
    QTest::newRow("pmf offers sha256") << psk << SimSecurity::WpaPsk << SimProto::Rsn << int(SimPmf::Optional) << "WPA2-PSK-SHA256";
}

void TestSimNetworkConfig::authModeNamesTheChosenKeyManagement()
{
    QFETCH(QVariantMap, entries);
    QFETCH(SimSecurity, security);
    QFETCH(SimProto, proto);
    QFETCH(int, pmf);
    QFETCH(QString, mode);
    SimAccessPoint ap = accessPoint(security, QStringLiteral("secret123"), proto);
    ap.pmf = static_cast<SimPmf>(pmf);
    QCOMPARE(SimAssociation::authMode(network(entries), ap), mode);
}

void TestSimNetworkConfig::credentialsBecomeAUsableNetwork_data()
{
    QTest::addColumn<SimSecurity>("security");
    QTest::addColumn<QString>("key");
    QTest::newRow("open") << SimSecurity::Open << QString();
    QTest::newRow("wep hex key") << SimSecurity::Wep << "6162636465";
    QTest::newRow("wpa2 passphrase") << SimSecurity::WpaPsk << "secret123";
    QTest::newRow("wpa2 raw key") << SimSecurity::WpaPsk << QString(64, QLatin1Char('b'));
}

void TestSimNetworkConfig::credentialsBecomeAUsableNetwork()
{
    QFETCH(SimSecurity, security);
    QFETCH(QString, key);
    const SimAccessPoint ap = accessPoint(security, key);
    const QVariantMap credentials = SimBssProperties::wpsCredentials(ap, QByteArray(6, '\0'));
    SimNetworkConfig config;
    QString error;
    QVERIFY2(config.apply(SimAssociation::networkFromCredentials(credentials), &error), qPrintable(error));
    QVERIFY(SimAssociation::usable(config, ap, ap.ssid));
    QCOMPARE(SimAssociation::failureReason(config, ap), QString());
}

QTEST_GUILESS_MAIN(TestSimNetworkConfig)
#include "tst_simnetworkconfig.moc"
