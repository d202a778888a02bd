// The monitor in a network namespace of its own (lo up as the wired interface, one end of a veth
// pair with only IPv6 as the wireless one), serving a private dbus-daemon acting as the system bus.
#include "LogExpect.h"
#include "NetworkMonitor.h"
#include "PrivateBus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QtTest>

#include <sched.h>

class TestNetworkMonitor : public QObject
{
    Q_OBJECT

public slots:
    void onStarted() { ++m_started; }

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void recheckMovesBetweenStates_data();
    void recheckMovesBetweenStates();
    void startUpAnnouncesOnTheBus();
    void commandsAreLoggedAndIgnored_data();
    void commandsAreLoggedAndIgnored();
    void settingsWritesAreLoggedAndNotStored_data();
    void settingsWritesAreLoggedAndNotStored();
    void passivePropertiesDescribeBothInterfaces();
    void wiredCableAndIpv4AreReported();
    void runningLinkRestartsRecheckTimer();
    void ipv6OnlyInterfaceIsReportedDisconnectedOnEveryRecheck();
    void kernelAddressChangesReachTheMonitor();
    void interfaceDetailsOfUnknownNameIsEmpty();

private:
    QDBusMessage call(const QString &interface, const QString &method, const QVariantList &arguments);
    QVariant property(const QString &name);
    void netlink(const QString &name, bool running);
    void recheck();
    bool ip(const QStringList &arguments);

    PrivateBus m_bus;
    QDBusConnection m_client = QDBusConnection(QString());
    NetworkMonitor *m_monitor = nullptr;
    QTimer *m_recheckTimer = nullptr;
    int m_started = 0;
};

namespace {

const QString Wired = QStringLiteral("lo");
const QString Wireless = QStringLiteral("kivmon0");
const QString Peer = QStringLiteral("kivmon1");
const QString Service = QStringLiteral("com.tarvel.kiv");
const QString Path = QStringLiteral("/com/tarvel/kiv");

QString namespaceOf(const char *path)
{
    return QFile::symLinkTarget(QString::fromLatin1(path));
}

bool inPrivateNetworkNamespace()
{
    return namespaceOf("/proc/thread-self/ns/net") != namespaceOf("/proc/1/ns/net");
}

} // namespace

bool TestNetworkMonitor::ip(const QStringList &arguments)
{
    if (!inPrivateNetworkNamespace())
        return false;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral("ip"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void TestNetworkMonitor::initTestCase()
{
    if (unshare(CLONE_NEWNET) != 0)
        QSKIP("cannot create a private network namespace (root needed)");
    QVERIFY(inPrivateNetworkNamespace());
    QVERIFY(ip({"link", "set", "lo", "up"}));
    QVERIFY(ip({"link", "add", Wireless, "type", "veth", "peer", "name", Peer}));
    // No kernel-made link-local addresses, so no address notification arrives unasked.
    for (const QString &end : {Wireless, Peer}) {
        QVERIFY(ip({"link", "set", end, "addrgenmode", "none"}));
        QVERIFY(ip({"link", "set", end, "up"}));
    }
    QVERIFY(ip({"-6", "addr", "add", "fd00:4b1f::7/64", "dev", Wireless, "nodad"}));

    QVERIFY2(m_bus.start(), "dbus-daemon did not start");
    m_client = QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("client"));
    QVERIFY(m_client.isConnected());
    QVERIFY(m_client.connect(QString(), Path, Service, QStringLiteral("Started"), this, SLOT(onStarted())));
    // The match rule must be in place before the monitor announces itself.
    QVERIFY(m_client.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.DBus")).value());

    expectLog(QtInfoMsg, QStringLiteral("Interface lo is runnig"));
    expectLog(QtInfoMsg, QStringLiteral("Interface kivmon0 is runnig"));
    m_monitor = new NetworkMonitor(Wired, Wireless, {QStringLiteral("uap0")});
    m_recheckTimer = m_monitor->findChild<QTimer *>();
    QVERIFY(m_recheckTimer);
}

// Every case starts with both links reported down and no re-check pending.
void TestNetworkMonitor::init()
{
    if (!m_monitor)
        return;
    netlink(Wired, false);
    netlink(Wireless, false);
    m_recheckTimer->stop();
}

void TestNetworkMonitor::cleanupTestCase()
{
    delete m_monitor;
}

QDBusMessage TestNetworkMonitor::call(const QString &interface, const QString &method, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, interface, method);
    message.setArguments(arguments);
    return PrivateBus::callServedHere(m_client, message);
}

QVariant TestNetworkMonitor::property(const QString &name)
{
    const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                                    {Service, name});
    const QVariant value = reply.arguments().value(0).value<QDBusVariant>().variant();
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value);
    return value;
}

void TestNetworkMonitor::netlink(const QString &name, bool running)
{
    QVERIFY(QMetaObject::invokeMethod(m_monitor, "on_interfaceNetlinkChanged", Q_ARG(QByteArray, name.toUtf8()),
                                      Q_ARG(bool, true), Q_ARG(bool, running)));
}

void TestNetworkMonitor::recheck()
{
    QVERIFY(QMetaObject::invokeMethod(m_monitor, "on_addressesChanged"));
}

void TestNetworkMonitor::recheckMovesBetweenStates_data()
{
    QTest::addColumn<int>("state");
    QTest::addColumn<bool>("hasIpv4");
    QTest::addColumn<int>("newState");
    QTest::addColumn<NetworkMonitor::Report>("report");

    using R = NetworkMonitor::Report;
    QTest::newRow("not running stays, even with an address") << 0 << true << 0 << R::Nothing;
    QTest::newRow("not running stays without an address") << 0 << false << 0 << R::Nothing;
    QTest::newRow("running gains IPv4: connected") << 1 << true << 2 << R::Connected;
    QTest::newRow("running still without IPv4: reported disconnected") << 1 << false << 1 << R::Disconnected;
    QTest::newRow("connected keeps IPv4: silent") << 2 << true << 2 << R::Nothing;
    QTest::newRow("connected loses IPv4: disconnected") << 2 << false << 1 << R::Disconnected;
}

void TestNetworkMonitor::recheckMovesBetweenStates()
{
    QFETCH(int, state);
    QFETCH(bool, hasIpv4);
    QFETCH(int, newState);
    QFETCH(NetworkMonitor::Report, report);

    const NetworkMonitor::Recheck result = NetworkMonitor::recheck(state, hasIpv4);
    QCOMPARE(result.state, newState);
    QCOMPARE(result.report, report);
}

void TestNetworkMonitor::startUpAnnouncesOnTheBus()
{
    QTRY_COMPARE(m_started, 1);
    QCOMPARE(m_client.interface()->serviceOwner(Service).value(), QDBusConnection::systemBus().baseService());
}

void TestNetworkMonitor::commandsAreLoggedAndIgnored_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<QString>("line");

    QTest::newRow("off mode") << "SetOffMode" << QVariantList() << "COMMAND: Ignoring off mode request!";
    QTest::newRow("normal mode") << "SetNormalMode" << QVariantList{QStringLiteral("wired")}
                                 << "COMMAND: Ignoring normal mode request: wired";
    QTest::newRow("WPS push button") << "WpsPbc" << QVariantList() << "COMMAND: Ignoring WPS request";
    QTest::newRow("WPS PIN, PIN not logged") << "WpsPin" << QVariantList{QStringLiteral("12345670")}
                                             << "COMMAND: Ignoring WPS PIN request";
    QTest::newRow("scan") << "Scan" << QVariantList() << "COMMAND: Ignoring scan request!";
}

void TestNetworkMonitor::commandsAreLoggedAndIgnored()
{
    QFETCH(QString, method);
    QFETCH(QVariantList, arguments);
    QFETCH(QString, line);

    QSignalSpy connected(m_monitor, &NetworkMonitor::Connected);
    QSignalSpy disconnected(m_monitor, &NetworkMonitor::Disconnected);
    expectLog(QtInfoMsg, line);
    const QDBusMessage reply = call(Service, method, arguments);
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(reply.arguments(), QVariantList());
    QCOMPARE(property(QStringLiteral("Mode")).toString(), QStringLiteral("Passive"));
    QCOMPARE(connected.count() + disconnected.count(), 0);
}

void TestNetworkMonitor::settingsWritesAreLoggedAndNotStored_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariantMap>("value");
    QTest::addColumn<QString>("line");

    QTest::newRow("wireless networks")
        << "WirelessNetworks"
        << QVariantMap{{QStringLiteral("HomeNet"), QVariantMap{{QStringLiteral("wpa_psk"), QStringLiteral("secret12")}}}}
        << "COMMAND: Ignoring wireless networks: ";
    QTest::newRow("wired IP") << "WiredIpSettings"
                              << QVariantMap{{QStringLiteral("ip"), QStringLiteral("192.168.1.5/24")}}
                              << "COMMAND: Ignoring Wired Ip settings: ";
    QTest::newRow("wireless IP") << "WirelessIpSettings"
                                 << QVariantMap{{QStringLiteral("ip"), QStringLiteral("192.168.1.6/24")}}
                                 << "COMMAND: Ignoring Wireless Ip settings: ";
}

void TestNetworkMonitor::settingsWritesAreLoggedAndNotStored()
{
    QFETCH(QString, name);
    QFETCH(QVariantMap, value);
    QFETCH(QString, line);

    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("^NetworkMonitor.cpp:\\d+ ")
                                                       + QRegularExpression::escape(line) + QStringLiteral("QMap\\(.*")
                                                       + QRegularExpression::escape(value.firstKey())));
    const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Set"),
                                    {Service, name, QVariant::fromValue(QDBusVariant(value))});
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(property(name).toMap(), QVariantMap());
}

void TestNetworkMonitor::passivePropertiesDescribeBothInterfaces()
{
    QCOMPARE(property(QStringLiteral("Mode")).toString(), QStringLiteral("Passive"));
    QCOMPARE(property(QStringLiteral("Connected")).toBool(), false);
    QCOMPARE(property(QStringLiteral("SoftApModeSettings")).toMap(), QVariantMap());

    expectLog(QtInfoMsg, QStringLiteral("COMMAND: Getting interface details for lo"));
    expectLog(QtInfoMsg, QStringLiteral("COMMAND: Getting interface details for kivmon0"));
    const QVariantMap details = property(QStringLiteral("Details")).toMap();
    QCOMPARE(details.keys(), (QStringList{"Connected", "Mode", "SoftApSetup", "WiredIp", "WirelessAp", "WirelessIp",
                                          "wired", "wireless"}));
    QCOMPARE(details.value(QStringLiteral("Mode")).toString(), QStringLiteral("Passive"));
    for (const char *empty : {"SoftApSetup", "WiredIp", "WirelessAp", "WirelessIp"})
        QCOMPARE(qdbus_cast<QVariantMap>(details.value(QLatin1String(empty))), QVariantMap());
    const QVariantMap wired = qdbus_cast<QVariantMap>(details.value(QStringLiteral("wired")));
    QCOMPARE(wired.value(QStringLiteral("Interface")).toString(), Wired);
    QCOMPARE(wired.value(QStringLiteral("CableStatus")), QVariant(false));
    const QVariantMap wireless = qdbus_cast<QVariantMap>(details.value(QStringLiteral("wireless")));
    QCOMPARE(wireless.value(QStringLiteral("Interface")).toString(), Wireless);
    QCOMPARE(wireless.value(QStringLiteral("Ip")).toString(), QString());
    QCOMPARE(wireless.value(QStringLiteral("Netmask")).toString(), QString());
    QVERIFY(!wireless.contains(QStringLiteral("CableStatus")));
}

void TestNetworkMonitor::wiredCableAndIpv4AreReported()
{
    QSignalSpy cable(m_monitor, &NetworkMonitor::CableStatus);
    QSignalSpy connected(m_monitor, &NetworkMonitor::Connected);
    QSignalSpy disconnected(m_monitor, &NetworkMonitor::Disconnected);
    QSignalSpy addresses(m_monitor, &NetworkMonitor::AddressesChanged);

    netlink(Wired, true);
    QCOMPARE(cable.count(), 1);
    QCOMPARE(cable.takeFirst().value(0).toBool(), true);
    QVERIFY(!m_monitor->isConnected());

    recheck();
    QCOMPARE(connected.count(), 1);
    QCOMPARE(connected.takeFirst().value(0).toString(), Wired);
    QCOMPARE(addresses.count(), 1);
    QVERIFY(m_monitor->isConnected());
    QCOMPARE(property(QStringLiteral("Connected")).toBool(), true);

    expectLog(QtInfoMsg, QStringLiteral("COMMAND: Getting interface details for lo"));
    const QVariantMap details = m_monitor->InterfaceDetails(Wired);
    QCOMPARE(details.value(QStringLiteral("Ip")).toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(details.value(QStringLiteral("Netmask")).toString(), QStringLiteral("255.0.0.0"));
    QCOMPARE(details.value(QStringLiteral("Mac")).toString(), QStringLiteral("00:00:00:00:00:00"));
    QCOMPARE(details.value(QStringLiteral("Connected")), QVariant(true));
    QCOMPARE(details.value(QStringLiteral("CableStatus")), QVariant(true));
    QVERIFY(details.contains(QStringLiteral("Gateway")));
    QVERIFY(details.contains(QStringLiteral("Dns")));

    recheck();
    QCOMPARE(connected.count(), 0);
    QCOMPARE(disconnected.count(), 0);
    QCOMPARE(addresses.count(), 2);

    netlink(Wired, false);
    QCOMPARE(cable.count(), 1);
    QCOMPARE(cable.takeFirst().value(0).toBool(), false);
    QCOMPARE(disconnected.count(), 1);
    QCOMPARE(disconnected.takeFirst().value(0).toString(), Wired);
    QVERIFY(!m_monitor->isConnected());
    recheck();
    QCOMPARE(connected.count() + disconnected.count(), 0);
}

void TestNetworkMonitor::runningLinkRestartsRecheckTimer()
{
    QVERIFY(!m_recheckTimer->isActive());
    netlink(Wireless, true);
    QVERIFY(m_recheckTimer->isActive());
    QVERIFY(m_recheckTimer->isSingleShot());
    QCOMPARE(m_recheckTimer->interval(), 10000);

    QSignalSpy addresses(m_monitor, &NetworkMonitor::AddressesChanged);
    QSignalSpy disconnected(m_monitor, &NetworkMonitor::Disconnected);
    m_recheckTimer->setInterval(0);
    m_recheckTimer->start();
    QTRY_COMPARE(addresses.count(), 1);
    QCOMPARE(disconnected.count(), 1);
    m_recheckTimer->setInterval(NetworkMonitor::RecheckIntervalMs);
}

void TestNetworkMonitor::ipv6OnlyInterfaceIsReportedDisconnectedOnEveryRecheck()
{
    QSignalSpy cable(m_monitor, &NetworkMonitor::CableStatus);
    QSignalSpy connected(m_monitor, &NetworkMonitor::Connected);
    QSignalSpy disconnected(m_monitor, &NetworkMonitor::Disconnected);

    netlink(Wireless, true);
    QCOMPARE(cable.count(), 0);
    recheck();
    recheck();
    QCOMPARE(connected.count(), 0);
    QCOMPARE(disconnected.count(), 2);
    QCOMPARE(disconnected.at(1).value(0).toString(), Wireless);
    QVERIFY(!m_monitor->isConnected());

    netlink(QStringLiteral("kivother0"), true);
    netlink(QStringLiteral("kivother0"), false);
    QCOMPARE(cable.count() + connected.count(), 0);
    QCOMPARE(disconnected.count(), 2);
}

// Real rtnetlink notifications: an IPv4 address added to and removed from the running link.
void TestNetworkMonitor::kernelAddressChangesReachTheMonitor()
{
    netlink(Wireless, true);
    QSignalSpy connected(m_monitor, &NetworkMonitor::Connected);
    QSignalSpy disconnected(m_monitor, &NetworkMonitor::Disconnected);

    QVERIFY(ip({"addr", "add", "10.77.0.2/24", "dev", Wireless}));
    QTRY_COMPARE(connected.count(), 1);
    QCOMPARE(connected.at(0).value(0).toString(), Wireless);
    QVERIFY(m_monitor->isConnected());

    QVERIFY(ip({"addr", "del", "10.77.0.2/24", "dev", Wireless}));
    QTRY_COMPARE(disconnected.count(), 1);
    QCOMPARE(disconnected.at(0).value(0).toString(), Wireless);
    QVERIFY(!m_monitor->isConnected());
    QCOMPARE(connected.count(), 1);
}

void TestNetworkMonitor::interfaceDetailsOfUnknownNameIsEmpty()
{
    expectLog(QtInfoMsg, QStringLiteral("COMMAND: Getting interface details for kivabsent0"));
    expectLog(QtWarningMsg, QStringLiteral("No such interface: kivabsent0"));
    const QDBusMessage reply = call(Service, QStringLiteral("InterfaceDetails"), {QStringLiteral("kivabsent0")});
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(qdbus_cast<QVariantMap>(reply.arguments().value(0)), QVariantMap());
}

QTEST_GUILESS_MAIN(TestNetworkMonitor)
#include "tst_networkmonitor.moc"
