// What the simulated supplicant publishes for a BSS and hands over through WPS: the daemon's
// classification of access points and its WPS results are only as right as these.
#include "BusDescription.h"
#include "SimBssProperties.h"

#include <QDBusMetaType>
#include <QtTest>

namespace {

SimAccessPoint accessPoint(SimSecurity security, SimProto proto = SimProto::Rsn, SimPmf pmf = SimPmf::None)
{
    SimAccessPoint ap;
    ap.ssid = "Home";
    ap.bssid = QByteArray::fromHex("020000000101");
    ap.security = security;
    ap.proto = proto;
    ap.pmf = pmf;
    ap.key = security == SimSecurity::Wep ? QStringLiteral("abcde") : QStringLiteral("secret123");
    return ap;
}

} // namespace

Q_DECLARE_METATYPE(SimSecurity)
Q_DECLARE_METATYPE(SimProto)
Q_DECLARE_METATYPE(SimPmf)

class TestSimBssProperties : public QObject
{
    Q_OBJECT

private slots:
    void securityDictionariesFollowTheAccessPoint_data()
    {
        QTest::addColumn<SimSecurity>("security");
        QTest::addColumn<SimProto>("proto");
        QTest::addColumn<SimPmf>("pmf");
        QTest::addColumn<bool>("privacy");
        QTest::addColumn<QStringList>("wpaKeyMgmt");
        QTest::addColumn<QStringList>("rsnKeyMgmt");

        const QStringList none;
        const QStringList psk{"wpa-psk"};
        QTest::newRow("open") << SimSecurity::Open << SimProto::Rsn << SimPmf::None << false << none << none;
        QTest::newRow("wep") << SimSecurity::Wep << SimProto::Rsn << SimPmf::None << true << none << none;
        QTest::newRow("wpa2 psk") << SimSecurity::WpaPsk << SimProto::Rsn << SimPmf::None << true << none << psk;
        QTest::newRow("wpa1 psk") << SimSecurity::WpaPsk << SimProto::Wpa << SimPmf::None << true << psk << none;
        QTest::newRow("mixed psk") << SimSecurity::WpaPsk << SimProto::Mixed << SimPmf::None << true << psk << psk;
        QTest::newRow("eap") << SimSecurity::Eap << SimProto::Rsn << SimPmf::None << true << none << QStringList{"wpa-eap"};
        QTest::newRow("psk and eap") << SimSecurity::PskEap << SimProto::Rsn << SimPmf::None << true << none
                                     << QStringList{"wpa-psk", "wpa-eap"};
        QTest::newRow("psk with optional pmf") << SimSecurity::WpaPsk << SimProto::Rsn << SimPmf::Optional << true << none
                                               << QStringList{"wpa-psk", "wpa-psk-sha256"};
    }

    void securityDictionariesFollowTheAccessPoint()
    {
        QFETCH(SimSecurity, security);
        QFETCH(SimProto, proto);
        QFETCH(SimPmf, pmf);
        const SimAccessPoint ap = accessPoint(security, proto, pmf);
        const QVariantMap properties = SimBssProperties::properties(ap, ap.ssid);
        QTEST(properties.value("Privacy").toBool(), "privacy");
        QTEST(properties.value("WPA").toMap().value("KeyMgmt").toStringList(), "wpaKeyMgmt");
        QTEST(properties.value("RSN").toMap().value("KeyMgmt").toStringList(), "rsnKeyMgmt");
        QCOMPARE(properties.value("SSID").toByteArray(), QByteArray("Home"));
        QCOMPARE(SimBssProperties::properties(ap, QByteArray()).value("SSID").toByteArray(), QByteArray());
    }

    void propertyTypesMatchTheBssDescription()
    {
        QFile file(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/src/kivd/dbus/fi.w1.wpa_supplicant1.BSS.xml"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QString error;
        const QList<BusInterfaceDescription> descriptions = BusDescription::parse(file.readAll(), &error);
        QCOMPARE(descriptions.size(), 1);

        SimAccessPoint ap = accessPoint(SimSecurity::PskEap);
        ap.wps.capable = true;
        QVariantMap properties = SimBssProperties::properties(ap, ap.ssid);
        properties.insert(QStringLiteral("Age"), 0u);
        QCOMPARE(properties.size(), descriptions.first().properties.size());
        for (const BusProperty &property : descriptions.first().properties) {
            QVERIFY2(properties.contains(property.name), qPrintable(property.name));
            QCOMPARE(QString::fromLatin1(QDBusMetaType::typeToSignature(properties.value(property.name).userType())),
                     property.type);
        }
    }

    void credentialsDescribeTheAccessPoint_data()
    {
        QTest::addColumn<SimSecurity>("security");
        QTest::addColumn<SimProto>("proto");
        QTest::addColumn<QStringList>("authType");
        QTest::addColumn<QStringList>("encrType");
        QTest::addColumn<QByteArray>("key");
        QTest::newRow("open") << SimSecurity::Open << SimProto::Rsn << QStringList{"open"} << QStringList{"none"}
                              << QByteArray();
        QTest::newRow("wep") << SimSecurity::Wep << SimProto::Rsn << QStringList{"shared"} << QStringList{"wep"}
                             << QByteArray("abcde");
        QTest::newRow("wpa2") << SimSecurity::WpaPsk << SimProto::Rsn << QStringList{"wpa2-psk"} << QStringList{"aes"}
                              << QByteArray("secret123");
        QTest::newRow("mixed") << SimSecurity::PskEap << SimProto::Mixed << QStringList{"wpa-psk", "wpa2-psk"}
                               << QStringList{"tkip", "aes"} << QByteArray("secret123");
    }

    void credentialsDescribeTheAccessPoint()
    {
        QFETCH(SimSecurity, security);
        QFETCH(SimProto, proto);
        const QVariantMap credentials = SimBssProperties::wpsCredentials(accessPoint(security, proto));
        QCOMPARE(credentials.value("SSID").toByteArray(), QByteArray("Home"));
        QCOMPARE(credentials.value("BSSID").toByteArray(), QByteArray(6, '\0'));
        QTEST(credentials.value("AuthType").toStringList(), "authType");
        QTEST(credentials.value("EncrType").toStringList(), "encrType");
        QTEST(credentials.value("Key").toByteArray(), "key");
    }
};

QTEST_GUILESS_MAIN(TestSimBssProperties)
#include "tst_simbssproperties.moc"
