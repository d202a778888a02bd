// Compares our wpa_supplicant interface descriptions, which the simulated supplicant serves, with
// what Debian's wpa_supplicant serves on a veth pair with the "wired" driver (the only driver
// usable without a radio). The BSS interface needs a radio: kivd reads it in the radio scenarios.
#include "BusDescription.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_Interface.h"

#include <QDBusConnectionInterface>
#include <QtTest>

namespace {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");

// The description of one interface in introspection XML; empty when it holds none of that name.
BusInterfaceDescription find(const QByteArray &xml, const QString &name)
{
    QString error;
    for (const BusInterfaceDescription &description : BusDescription::parse(xml, &error)) {
        if (description.name == name)
            return description;
    }
    return {};
}

} // namespace

class TestWpaIntrospection : public QObject
{
    Q_OBJECT

private slots:
    void servedMembersMatchOurDescriptions_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("path");
        WpaSupplicantTypes::registerBusTypes();
        QDBusConnection bus = QDBusConnection::systemBus();
        QTRY_VERIFY_WITH_TIMEOUT(bus.interface()->isServiceRegistered(service), 10000);
        FiW1WpaSupplicant1 root(service, QStringLiteral("/fi/w1/wpa_supplicant1"), bus);
        QDBusPendingReply<QDBusObjectPath> created =
            root.CreateInterface({{"Ifname", qEnvironmentVariable("KIV_TEST_VETH")}, {"Driver", "wired"}});
        created.waitForFinished();
        QVERIFY2(!created.isError(), qPrintable(created.error().message()));
        FiW1WpaSupplicant1Interface interface(service, created.value().path(), bus);
        QDBusPendingReply<QDBusObjectPath> network =
            interface.AddNetwork({{"ssid", QByteArray("Home")}, {"scan_ssid", 1}, {"key_mgmt", "NONE"}});
        network.waitForFinished();
        QVERIFY2(!network.isError(), qPrintable(network.error().message()));
        QTest::newRow("root") << service << root.path();
        QTest::newRow("interface") << service + ".Interface" << interface.path();
        QTest::newRow("wps") << service + ".Interface.WPS" << interface.path();
        QTest::newRow("network") << service + ".Network" << network.value().path();
    }

    void servedMembersMatchOurDescriptions()
    {
        QFETCH(QString, name);
        QFETCH(QString, path);
        QFile xml(qEnvironmentVariable("KIV_SOURCE_DIR") + "/src/kivd/dbus/" + name + ".xml");
        QVERIFY(xml.open(QIODevice::ReadOnly));
        const BusInterfaceDescription expected = find(xml.readAll(), name);
        QCOMPARE(expected.name, name);
        const QDBusMessage reply = QDBusConnection::systemBus().call(QDBusMessage::createMethodCall(
            service, path, QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect")));
        const BusInterfaceDescription actual = find(reply.arguments().value(0).toString().toUtf8(), name);
        QVERIFY2(actual.name == name, qPrintable(name + " is not served at " + path));

        for (const BusMember &method : expected.methods) {
            const BusMember *real = actual.method(method.name);
            QVERIFY2(real, qPrintable("method " + method.name));
            QCOMPARE(real->signature("in"), method.signature("in"));
            QCOMPARE(real->signature("out"), method.signature("out"));
        }
        for (const BusMember &signal : expected.signalMembers) {
            const BusMember *real = actual.signalMember(signal.name);
            if (!real && signal.deviceExtension) {
                qInfo("signal %s is served only by the device's wpa_supplicant build", qPrintable(signal.name));
                continue;
            }
            QVERIFY2(real, qPrintable("signal " + signal.name));
            QCOMPARE(real->signature("out"), signal.signature("out"));
        }
        for (const BusProperty &property : expected.properties) {
            const BusProperty *real = actual.property(property.name);
            QVERIFY2(real, qPrintable("property " + property.name));
            QCOMPARE(real->type, property.type);
            QCOMPARE(real->access, property.access);
        }
    }
};

QTEST_GUILESS_MAIN(TestWpaIntrospection)
#include "tst_wpabusmembers.moc"
