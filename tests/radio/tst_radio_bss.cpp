// Run inside the radio test guest: Debian's wpa_supplicant (-u) scans a simulated radio on which
// hostapd serves a WPA2-PSK network; the BSS object it publishes must match our description of
// the BSS interface and carry the network's identity and security.
#include "BusDescription.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_BSS.h"
#include "fi_w1_wpa_supplicant1_Interface.h"

#include <QDBusConnectionInterface>
#include <QtTest>

namespace {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");
const QString rootPath = QStringLiteral("/fi/w1/wpa_supplicant1");
const QString bssInterface = QStringLiteral("fi.w1.wpa_supplicant1.BSS");
// Software emulation makes scanning slow.
constexpr int scanTimeoutMs = 60000;

QDBusConnection bus()
{
    return QDBusConnection::systemBus();
}

QList<BusInterfaceDescription> parseDescription(const QByteArray &xml)
{
    QString error;
    const QList<BusInterfaceDescription> parsed = BusDescription::parse(xml, &error);
    if (!error.isEmpty())
        qWarning("introspection XML: %s", qPrintable(error));
    return parsed;
}

const BusInterfaceDescription *find(const QList<BusInterfaceDescription> &descriptions, const QString &name)
{
    for (const BusInterfaceDescription &description : descriptions) {
        if (description.name == name)
            return &description;
    }
    return nullptr;
}

QByteArray macFromText(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1().replace(':', ""));
}

} // namespace

class TestRadioBss : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void scannedBssCarriesTheServedNetworkAndItsSecurity();
    void servedBssMembersMatchOurDescription();

private:
    QString m_interfacePath;
    QString m_bssPath;
};

void TestRadioBss::initTestCase()
{
    WpaSupplicantTypes::registerBusTypes();
    QVERIFY2(!qEnvironmentVariableIsEmpty("KIV_RADIO_IFNAME"), "run by the supplicant-bss-members radio scenario");
    QTRY_VERIFY_WITH_TIMEOUT(bus().interface()->isServiceRegistered(service), 20000);
    FiW1WpaSupplicant1 root(service, rootPath, bus());
    QDBusPendingReply<QDBusObjectPath> created = root.CreateInterface(
        {{QStringLiteral("Ifname"), qEnvironmentVariable("KIV_RADIO_IFNAME")}, {QStringLiteral("Driver"), QStringLiteral("nl80211")}});
    created.waitForFinished();
    QVERIFY2(!created.isError(), qPrintable(created.error().message()));
    m_interfacePath = created.value().path();

    FiW1WpaSupplicant1Interface interface(service, m_interfacePath, bus());
    const QByteArray ssid = qgetenv("KIV_RADIO_SSID");
    auto findServedBss = [&]() {
        for (const QDBusObjectPath &path : interface.bSSs()) {
            FiW1WpaSupplicant1Bss bss(service, path.path(), bus());
            if (bss.sSID() == ssid)
                m_bssPath = path.path();
        }
        return !m_bssPath.isEmpty();
    };
    QDBusPendingReply<> scan = interface.Scan({{QStringLiteral("Type"), QStringLiteral("active")}});
    scan.waitForFinished();
    QVERIFY2(!scan.isError(), qPrintable(scan.error().message()));
    QTRY_VERIFY_WITH_TIMEOUT(findServedBss(), scanTimeoutMs);
}

void TestRadioBss::scannedBssCarriesTheServedNetworkAndItsSecurity()
{
    FiW1WpaSupplicant1Bss bss(service, m_bssPath, bus());
    QCOMPARE(bss.bSSID(), macFromText(qEnvironmentVariable("KIV_RADIO_AP_ADDRESS")));
    QCOMPARE(bss.mode(), QStringLiteral("infrastructure"));
    QCOMPARE(bss.frequency(), ushort(2437));
    QVERIFY(bss.privacy());
    const QVariantMap rsn = bss.rSN();
    QVERIFY2(rsn.value(QStringLiteral("KeyMgmt")).toStringList().contains(QStringLiteral("wpa-psk")),
             qPrintable(rsn.value(QStringLiteral("KeyMgmt")).toStringList().join(u' ')));
    QCOMPARE(rsn.value(QStringLiteral("Pairwise")).toStringList(), QStringList{QStringLiteral("ccmp")});
    QVERIFY(bss.wPA().value(QStringLiteral("KeyMgmt")).toStringList().isEmpty());
    QVERIFY(bss.signal() < 0);
    QVERIFY(!bss.rates().isEmpty());
    QVERIFY(!bss.iEs().isEmpty());
}

void TestRadioBss::servedBssMembersMatchOurDescription()
{
    QFile xml(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/src/kivd/dbus/fi.w1.wpa_supplicant1.BSS.xml"));
    QVERIFY2(xml.open(QIODevice::ReadOnly), qPrintable(xml.fileName()));
    const QList<BusInterfaceDescription> ours = parseDescription(xml.readAll());
    const BusInterfaceDescription *expected = find(ours, bssInterface);
    QVERIFY(expected);

    QDBusMessage call = QDBusMessage::createMethodCall(service, m_bssPath, QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                       QStringLiteral("Introspect"));
    const QDBusMessage reply = bus().call(call);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const QList<BusInterfaceDescription> served = parseDescription(reply.arguments().value(0).toString().toUtf8());
    const BusInterfaceDescription *actual = find(served, bssInterface);
    QVERIFY2(actual, qPrintable(bssInterface + QStringLiteral(" is not served at ") + m_bssPath));

    for (const BusProperty &property : expected->properties) {
        const BusProperty *real = actual->property(property.name);
        QVERIFY2(real, qPrintable(QStringLiteral("property ") + property.name));
        QCOMPARE(real->type, property.type);
        QCOMPARE(real->access, property.access);
    }
    const QString out = QStringLiteral("out");
    for (const BusMember &signal : expected->signalMembers) {
        const BusMember *real = actual->signalMember(signal.name);
        QVERIFY2(real, qPrintable(QStringLiteral("signal ") + signal.name));
        QCOMPARE(real->signature(out), signal.signature(out));
    }
}

QTEST_GUILESS_MAIN(TestRadioBss)
#include "tst_radio_bss.moc"
