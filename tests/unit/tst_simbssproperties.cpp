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

// Information elements as (id, body) pairs, in beacon order.
QList<QPair<int, QByteArray>> elements(const QByteArray &ies)
{
    QList<QPair<int, QByteArray>> list;
    for (int i = 0; i + 1 < ies.size();) {
        const int length = static_cast<quint8>(ies.at(i + 1));
        list.append({static_cast<quint8>(ies.at(i)), ies.mid(i + 2, length)});
        i += 2 + length;
    }
    return list;
}

QByteArray element(const QByteArray &ies, int id, const QByteArray &prefix = QByteArray())
{
    for (const auto &entry : elements(ies)) {
        if (entry.first == id && entry.second.startsWith(prefix))
            return entry.second;
    }
    return QByteArray();
}

// The AKM suite count of an RSN element body (version, group suite, pairwise list, AKM list).
int akmCount(const QByteArray &body, int offset)
{
    const int pairwise = static_cast<quint8>(body.at(offset));
    const int akmOffset = offset + 2 + 4 * pairwise;
    return static_cast<quint8>(body.at(akmOffset));
}

} // namespace

Q_DECLARE_METATYPE(SimSecurity)
Q_DECLARE_METATYPE(SimProto)
Q_DECLARE_METATYPE(SimPmf)

class TestSimBssProperties : public QObject
{
    Q_OBJECT

private slots:
    void securityDictionariesFollowTheAccessPoint_data();
    void securityDictionariesFollowTheAccessPoint();
    void propertyTypesMatchTheBssDescription();
    void hiddenAccessPointAdvertisesAnEmptySsid();
    void wpsDictionaryShowsTheActiveRegistrar_data();
    void wpsDictionaryShowsTheActiveRegistrar();
    void fiveGigahertzHasNoDsElement();
    void channelOfFrequency_data();
    void channelOfFrequency();
    void credentialsDescribeTheAccessPoint_data();
    void credentialsDescribeTheAccessPoint();
    void credentialsOverrideReplacesDerivedOnes();
};

void TestSimBssProperties::securityDictionariesFollowTheAccessPoint_data()
{
    QTest::addColumn<SimSecurity>("security");
    QTest::addColumn<SimProto>("proto");
    QTest::addColumn<SimPmf>("pmf");
    QTest::addColumn<bool>("privacy");
    QTest::addColumn<QStringList>("wpaKeyMgmt");
    QTest::addColumn<QStringList>("rsnKeyMgmt");
    QTest::addColumn<QStringList>("rsnPairwise");
    QTest::addColumn<QString>("mgmtGroup");

    const QStringList none;
    const QStringList psk{QStringLiteral("wpa-psk")};
    const QStringList ccmp{QStringLiteral("ccmp")};
    QTest::newRow("open") << SimSecurity::Open << SimProto::Rsn << SimPmf::None << false << none << none << none << QString();
    QTest::newRow("wep") << SimSecurity::Wep << SimProto::Rsn << SimPmf::None << true << none << none << none << QString();
    QTest::newRow("wpa2 psk") << SimSecurity::WpaPsk << SimProto::Rsn << SimPmf::None << true << none << psk << ccmp << QString();
    QTest::newRow("wpa1 psk") << SimSecurity::WpaPsk << SimProto::Wpa << SimPmf::None << true << psk << none << none << QString();
    QTest::newRow("mixed psk") << SimSecurity::WpaPsk << SimProto::Mixed << SimPmf::None << true << psk << psk
                               << QStringList{QStringLiteral("tkip"), QStringLiteral("ccmp")} << QString();
    QTest::newRow("eap") << SimSecurity::Eap << SimProto::Rsn << SimPmf::None << true << none
                         << QStringList{QStringLiteral("wpa-eap")} << ccmp << QString();
    QTest::newRow("psk and eap") << SimSecurity::PskEap << SimProto::Rsn << SimPmf::None << true << none
                                 << QStringList{QStringLiteral("wpa-psk"), QStringLiteral("wpa-eap")} << ccmp << QString();
    QTest::newRow("psk with optional pmf") << SimSecurity::WpaPsk << SimProto::Rsn << SimPmf::Optional << true << none
                                           << QStringList{QStringLiteral("wpa-psk"), QStringLiteral("wpa-psk-sha256")}
                                           << ccmp << QStringLiteral("aes128cmac");
}

void TestSimBssProperties::securityDictionariesFollowTheAccessPoint()
{
    QFETCH(SimSecurity, security);
    QFETCH(SimProto, proto);
    QFETCH(SimPmf, pmf);
    QFETCH(bool, privacy);
    QFETCH(QStringList, wpaKeyMgmt);
    QFETCH(QStringList, rsnKeyMgmt);
    QFETCH(QStringList, rsnPairwise);
    QFETCH(QString, mgmtGroup);

    const SimAccessPoint ap = accessPoint(security, proto, pmf);
    const QVariantMap properties = SimBssProperties::properties(ap, ap.ssid);
    QCOMPARE(properties.value(QStringLiteral("Privacy")).toBool(), privacy);
    const QVariantMap wpa = properties.value(QStringLiteral("WPA")).toMap();
    const QVariantMap rsn = properties.value(QStringLiteral("RSN")).toMap();
    QCOMPARE(wpa.value(QStringLiteral("KeyMgmt")).toStringList(), wpaKeyMgmt);
    QCOMPARE(rsn.value(QStringLiteral("KeyMgmt")).toStringList(), rsnKeyMgmt);
    QCOMPARE(rsn.value(QStringLiteral("Pairwise")).toStringList(), rsnPairwise);
    QCOMPARE(rsn.contains(QStringLiteral("MgmtGroup")), !rsnKeyMgmt.isEmpty());
    QCOMPARE(rsn.value(QStringLiteral("MgmtGroup")).toString(), mgmtGroup);

    const QByteArray ies = properties.value(QStringLiteral("IEs")).toByteArray();
    const QByteArray rsnElement = element(ies, 48);
    QCOMPARE(rsnElement.isEmpty(), rsnKeyMgmt.isEmpty());
    if (!rsnElement.isEmpty()) {
        QCOMPARE(akmCount(rsnElement, 6), rsnKeyMgmt.size());
        QCOMPARE(bool(static_cast<quint8>(rsnElement.at(rsnElement.size() - 2)) & 0x80), pmf != SimPmf::None);
    }
    const QByteArray wpaElement = element(ies, 221, QByteArray::fromHex("0050f201"));
    QCOMPARE(wpaElement.isEmpty(), wpaKeyMgmt.isEmpty());
    if (!wpaElement.isEmpty())
        QCOMPARE(akmCount(wpaElement, 10), wpaKeyMgmt.size());
}

void TestSimBssProperties::propertyTypesMatchTheBssDescription()
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
        const QString signature = QString::fromLatin1(QDBusMetaType::typeToSignature(properties.value(property.name).userType()));
        QCOMPARE(signature, property.type);
    }
}

void TestSimBssProperties::hiddenAccessPointAdvertisesAnEmptySsid()
{
    SimAccessPoint ap = accessPoint(SimSecurity::WpaPsk);
    ap.hidden = true;
    const QVariantMap properties = SimBssProperties::properties(ap, QByteArray());
    QCOMPARE(properties.value(QStringLiteral("SSID")).toByteArray(), QByteArray());
    const QList<QPair<int, QByteArray>> ies = elements(properties.value(QStringLiteral("IEs")).toByteArray());
    QCOMPARE(ies.first().first, 0);
    QCOMPARE(ies.first().second, QByteArray());
    QCOMPARE(element(SimBssProperties::informationElements(ap, ap.ssid), 0), QByteArray("Home"));
}

void TestSimBssProperties::wpsDictionaryShowsTheActiveRegistrar_data()
{
    QTest::addColumn<bool>("capable");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QVariantMap>("expected");
    QTest::addColumn<bool>("selectedRegistrar");
    QTest::newRow("no wps") << false << int(SimWpsMode::Off) << QVariantMap() << false;
    QTest::newRow("idle registrar") << true << int(SimWpsMode::Off) << QVariantMap{{QStringLiteral("Type"), QString()}} << false;
    QTest::newRow("push button") << true << int(SimWpsMode::Pbc) << QVariantMap{{QStringLiteral("Type"), QStringLiteral("pbc")}} << true;
    QTest::newRow("pin") << true << int(SimWpsMode::Pin) << QVariantMap{{QStringLiteral("Type"), QStringLiteral("pin")}} << true;
}

void TestSimBssProperties::wpsDictionaryShowsTheActiveRegistrar()
{
    QFETCH(bool, capable);
    QFETCH(int, mode);
    QFETCH(QVariantMap, expected);
    QFETCH(bool, selectedRegistrar);
    SimAccessPoint ap = accessPoint(SimSecurity::WpaPsk);
    ap.wps.capable = capable;
    ap.wps.mode = static_cast<SimWpsMode>(mode);
    QCOMPARE(SimBssProperties::wpsDictionary(ap), expected);
    const QByteArray wps = element(SimBssProperties::informationElements(ap, ap.ssid), 221, QByteArray::fromHex("0050f204"));
    QCOMPARE(!wps.isEmpty(), capable);
    QCOMPARE(wps.contains(QByteArray::fromHex("1041000101")), selectedRegistrar);
}

void TestSimBssProperties::fiveGigahertzHasNoDsElement()
{
    SimAccessPoint ap = accessPoint(SimSecurity::Open);
    QCOMPARE(element(SimBssProperties::informationElements(ap, ap.ssid), 3), QByteArray(1, 1));
    ap.frequency = 5180;
    QCOMPARE(element(SimBssProperties::informationElements(ap, ap.ssid), 3), QByteArray());
    QCOMPARE(SimBssProperties::rates(ap).first(), 54000000u);
    QCOMPARE(SimBssProperties::rates(ap).last(), 6000000u);
}

void TestSimBssProperties::channelOfFrequency_data()
{
    QTest::addColumn<int>("frequency");
    QTest::addColumn<int>("channel");
    QTest::newRow("2412") << 2412 << 1;
    QTest::newRow("2472") << 2472 << 13;
    QTest::newRow("2484") << 2484 << 14;
    QTest::newRow("5180") << 5180 << 36;
    QTest::newRow("60 GHz") << 58320 << 0;
}

void TestSimBssProperties::channelOfFrequency()
{
    QFETCH(int, frequency);
    QFETCH(int, channel);
    QCOMPARE(SimBssProperties::channel(frequency), channel);
}

void TestSimBssProperties::credentialsDescribeTheAccessPoint_data()
{
    QTest::addColumn<SimSecurity>("security");
    QTest::addColumn<SimProto>("proto");
    QTest::addColumn<QStringList>("authType");
    QTest::addColumn<QStringList>("encrType");
    QTest::addColumn<QByteArray>("key");
    QTest::newRow("open") << SimSecurity::Open << SimProto::Rsn << QStringList{QStringLiteral("open")}
                          << QStringList{QStringLiteral("none")} << QByteArray();
    QTest::newRow("wep") << SimSecurity::Wep << SimProto::Rsn << QStringList{QStringLiteral("shared")}
                         << QStringList{QStringLiteral("wep")} << QByteArray("abcde");
    QTest::newRow("wpa2") << SimSecurity::WpaPsk << SimProto::Rsn << QStringList{QStringLiteral("wpa2-psk")}
                          << QStringList{QStringLiteral("aes")} << QByteArray("secret123");
    QTest::newRow("wpa1") << SimSecurity::WpaPsk << SimProto::Wpa << QStringList{QStringLiteral("wpa-psk")}
                          << QStringList{QStringLiteral("tkip")} << QByteArray("secret123");
    QTest::newRow("mixed") << SimSecurity::PskEap << SimProto::Mixed
                           << QStringList{QStringLiteral("wpa-psk"), QStringLiteral("wpa2-psk")}
                           << QStringList{QStringLiteral("tkip"), QStringLiteral("aes")} << QByteArray("secret123");
}

void TestSimBssProperties::credentialsDescribeTheAccessPoint()
{
    QFETCH(SimSecurity, security);
    QFETCH(SimProto, proto);
    QFETCH(QStringList, authType);
    QFETCH(QStringList, encrType);
    QFETCH(QByteArray, key);
    const QByteArray enrollee = QByteArray::fromHex("020000000001");
    const QVariantMap credentials = SimBssProperties::wpsCredentials(accessPoint(security, proto), enrollee);
    QCOMPARE(credentials.value(QStringLiteral("SSID")).toByteArray(), QByteArray("Home"));
    QCOMPARE(credentials.value(QStringLiteral("BSSID")).toByteArray(), enrollee);
    QCOMPARE(credentials.value(QStringLiteral("AuthType")).toStringList(), authType);
    QCOMPARE(credentials.value(QStringLiteral("EncrType")).toStringList(), encrType);
    QCOMPARE(credentials.value(QStringLiteral("Key")).toByteArray(), key);
    QCOMPARE(credentials.value(QStringLiteral("KeyIndex")).userType(), int(QMetaType::UInt));
}

void TestSimBssProperties::credentialsOverrideReplacesDerivedOnes()
{
    SimAccessPoint ap = accessPoint(SimSecurity::WpaPsk);
    ap.wps.overrideCredentials = true;
    ap.wps.credentials.ssid = "Other";
    ap.wps.credentials.key = QStringLiteral("short");
    ap.wps.credentials.authType = QStringList{QStringLiteral("wpa2-psk")};
    ap.wps.credentials.encrType = QStringList{QStringLiteral("none")};
    const QVariantMap credentials = SimBssProperties::wpsCredentials(ap, QByteArray(6, '\0'));
    QCOMPARE(credentials.value(QStringLiteral("SSID")).toByteArray(), QByteArray("Other"));
    QCOMPARE(credentials.value(QStringLiteral("Key")).toByteArray(), QByteArray("short"));
    QCOMPARE(credentials.value(QStringLiteral("EncrType")).toStringList(), QStringList{QStringLiteral("none")});
}

QTEST_GUILESS_MAIN(TestSimBssProperties)
#include "tst_simbssproperties.moc"
