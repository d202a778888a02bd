// Compares our wpa_supplicant interface descriptions with what Debian's wpa_supplicant serves,
// and checks the connection-state behaviour the simulator copies, on a veth pair with the
// "wired" driver (the only driver usable without a radio).
#include "BusDescription.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_Interface.h"
#include "fi_w1_wpa_supplicant1_Network.h"

#include <QDBusConnectionInterface>
#include <QtTest>

namespace {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");
const QString rootPath = QStringLiteral("/fi/w1/wpa_supplicant1");

QDBusConnection bus()
{
    return QDBusConnection::systemBus();
}

QList<BusInterfaceDescription> ourDescription(const QString &file)
{
    QFile xml(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/src/kivd/dbus/") + file);
    if (!xml.open(QIODevice::ReadOnly))
        return {};
    QString error;
    return BusDescription::parse(xml.readAll(), &error);
}

QList<BusInterfaceDescription> servedDescription(const QString &path)
{
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Introspectable"),
                                                       QStringLiteral("Introspect"));
    const QDBusMessage reply = bus().call(call);
    QString error;
    return BusDescription::parse(reply.arguments().value(0).toString().toUtf8(), &error);
}

QVariantMap openNetwork()
{
    return {{QStringLiteral("ssid"), QByteArray("Home")}, {QStringLiteral("scan_ssid"), 1},
            {QStringLiteral("key_mgmt"), QStringLiteral("NONE")}, {QStringLiteral("priority"), 0}};
}

} // namespace

class TestWpaIntrospection : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        WpaSupplicantTypes::registerBusTypes();
        QVERIFY2(!qEnvironmentVariableIsEmpty("KIV_TEST_VETH"), "run through private-bus.sh --wpa-supplicant");
        QTRY_VERIFY_WITH_TIMEOUT(bus().interface()->isServiceRegistered(service), 10000);
        FiW1WpaSupplicant1 root(service, rootPath, bus());
        QDBusPendingReply<QDBusObjectPath> reply = root.CreateInterface(
            {{QStringLiteral("Ifname"), qEnvironmentVariable("KIV_TEST_VETH")}, {QStringLiteral("Driver"), QStringLiteral("wired")}});
        reply.waitForFinished();
        QVERIFY2(!reply.isError(), qPrintable(reply.error().message()));
        m_interfacePath = reply.value().path();
    }

    void createInterfaceAnswersExistingAndUnknownInterfaces()
    {
        FiW1WpaSupplicant1 root(service, rootPath, bus());
        QDBusPendingReply<QDBusObjectPath> again = root.CreateInterface(
            {{QStringLiteral("Ifname"), qEnvironmentVariable("KIV_TEST_VETH")}, {QStringLiteral("Driver"), QStringLiteral("wired")}});
        again.waitForFinished();
        QCOMPARE(again.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.InterfaceExists"));
        QDBusPendingReply<QDBusObjectPath> existing = root.GetInterface(qEnvironmentVariable("KIV_TEST_VETH"));
        existing.waitForFinished();
        QCOMPARE(existing.value().path(), m_interfacePath);
        QDBusPendingReply<QDBusObjectPath> unknown = root.GetInterface(QStringLiteral("kivnone0"));
        unknown.waitForFinished();
        QCOMPARE(unknown.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.InterfaceUnknown"));

        FiW1WpaSupplicant1Interface interface(service, m_interfacePath, bus());
        QCOMPARE(interface.ifname(), qEnvironmentVariable("KIV_TEST_VETH"));
        QCOMPARE(interface.currentBSS().path(), QStringLiteral("/"));
        QCOMPARE(interface.currentAuthMode(), QStringLiteral("INACTIVE"));
    }

    void servedMembersMatchOurDescriptions_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("object");
        QTest::newRow("root") << "fi.w1.wpa_supplicant1.xml" << "root";
        QTest::newRow("interface") << "fi.w1.wpa_supplicant1.Interface.xml" << "interface";
        QTest::newRow("wps") << "fi.w1.wpa_supplicant1.Interface.WPS.xml" << "interface";
        QTest::newRow("network") << "fi.w1.wpa_supplicant1.Network.xml" << "network";
    }

    void servedMembersMatchOurDescriptions()
    {
        QFETCH(QString, file);
        QFETCH(QString, object);
        FiW1WpaSupplicant1Interface interface(service, m_interfacePath, bus());
        QString path = object == QLatin1String("root") ? rootPath : m_interfacePath;
        if (object == QLatin1String("network")) {
            QDBusPendingReply<QDBusObjectPath> added = interface.AddNetwork(openNetwork());
            added.waitForFinished();
            QVERIFY(!added.isError());
            path = added.value().path();
        }
        const QList<BusInterfaceDescription> ours = ourDescription(file);
        QCOMPARE(ours.size(), 1);
        const BusInterfaceDescription &expected = ours.first();
        const QList<BusInterfaceDescription> served = servedDescription(path);
        const BusInterfaceDescription *actual = nullptr;
        for (const BusInterfaceDescription &candidate : served) {
            if (candidate.name == expected.name)
                actual = &candidate;
        }
        QVERIFY2(actual, qPrintable(expected.name + QStringLiteral(" is not served at ") + path));

        const QString in = QStringLiteral("in");
        const QString out = QStringLiteral("out");
        for (const BusMember &method : expected.methods) {
            const BusMember *real = actual->method(method.name);
            QVERIFY2(real, qPrintable(QStringLiteral("method ") + method.name));
            QCOMPARE(real->signature(in), method.signature(in));
            QCOMPARE(real->signature(out), method.signature(out));
        }
        for (const BusMember &signal : expected.signalMembers) {
            const BusMember *real = actual->signalMember(signal.name);
            if (!real && signal.deviceExtension) {
                qInfo("signal %s is served only by the device's wpa_supplicant build", qPrintable(signal.name));
                continue;
            }
            QVERIFY2(real, qPrintable(QStringLiteral("signal ") + signal.name));
            QCOMPARE(real->signature(out), signal.signature(out));
        }
        for (const BusProperty &property : expected.properties) {
            const BusProperty *real = actual->property(property.name);
            QVERIFY2(real, qPrintable(QStringLiteral("property ") + property.name));
            QCOMPARE(real->type, property.type);
            QCOMPARE(real->access, property.access);
        }
        interface.RemoveAllNetworks().waitForFinished();
    }

    void removingNetworksBeforeDisconnectAllowsTheNextConfiguration()
    {
        FiW1WpaSupplicant1Interface interface(service, m_interfacePath, bus());
        interface.RemoveAllNetworks().waitForFinished();
        QDBusPendingReply<> idle = interface.Disconnect();
        idle.waitForFinished();
        QCOMPARE(idle.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.NotConnected"));
        addEnabledNetwork();
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
        QCOMPARE(interface.currentAuthMode(), QStringLiteral("NONE"));

        interface.RemoveAllNetworks().waitForFinished();
        QTRY_COMPARE(interface.state(), QStringLiteral("inactive"));
        QDBusPendingReply<> again = interface.Disconnect();
        again.waitForFinished();
        QCOMPARE(again.error().name(), QStringLiteral("fi.w1.wpa_supplicant1.NotConnected"));
        addEnabledNetwork();
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
    }

    void disconnectWhileConnectedHoldsUntilReconnect()
    {
        FiW1WpaSupplicant1Interface interface(service, m_interfacePath, bus());
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
        QDBusPendingReply<> disconnect = interface.Disconnect();
        disconnect.waitForFinished();
        QVERIFY(!disconnect.isError());
        QTRY_COMPARE(interface.state(), QStringLiteral("disconnected"));
        addEnabledNetwork();
        // Nothing announces that the supplicant decided not to connect: give it time to do so.
        QTest::qWait(1500);
        QCOMPARE(interface.state(), QStringLiteral("disconnected"));
        interface.Reconnect().waitForFinished();
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
        interface.RemoveAllNetworks().waitForFinished();
    }

private:
    void addEnabledNetwork()
    {
        FiW1WpaSupplicant1Interface interface(service, m_interfacePath, bus());
        QDBusPendingReply<QDBusObjectPath> added = interface.AddNetwork(openNetwork());
        added.waitForFinished();
        QVERIFY2(!added.isError(), qPrintable(added.error().message()));
        FiW1WpaSupplicant1Network network(service, added.value().path(), bus());
        network.setEnabled(true);
        QVERIFY(network.enabled());
    }

    QString m_interfacePath;
};

QTEST_GUILESS_MAIN(TestWpaIntrospection)
#include "tst_wpabusmembers.moc"
