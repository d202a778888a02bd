#include "AddressManagerFakes.h"
#include "AddressTestSupport.h"
#include "AutoIpD.h"
#include "LogExpect.h"
#include "NetlinkWatcher.h"
#include "PrivateNamespaceMain.h"

#include <QSignalSpy>
#include <QtTest>

using NetlinkAddresses = QList<NetlinkAddress>;
Q_DECLARE_METATYPE(NetlinkAddresses)

namespace {

const InterfaceName Kivtest0(QStringLiteral("kivtest0"));

// A family manager driven by the test; starts and stops are written to a shared log.
class FakeFamily : public IpAddressManager
{
    Q_OBJECT
public:
    FakeFamily(const QString &name, QStringList *log) : m_name(name), m_log(log) {}

    void start(const InterfaceConfiguration &configuration) override
    {
        *m_log << m_name + " start " + configuration.name();
    }
    void stop() override { *m_log << m_name + " stop"; }

    using IpAddressManager::setConnected;
    using IpAddressManager::setNameservers;
    using IpAddressManager::setSearchDomains;

private:
    QString m_name;
    QStringList *m_log;
};

// An address manager over family managers the test made.
class ComposedAddressManager : public AddressManager
{
public:
    ComposedAddressManager(ResolvConf *resolvConf, const QList<IpAddressManager *> &managers)
        : AddressManager(Kivtest0, resolvConf, managers, nullptr)
    {
    }
};

// An address manager over two fake families, with a recording resolver and signal spies.
struct ComposedFixture
{
    QStringList log;
    RecordingResolvConf resolv;
    FakeFamily *ipv4 = new FakeFamily(QStringLiteral("ipv4"), &log);
    FakeFamily *ipv6 = new FakeFamily(QStringLiteral("ipv6"), &log);
    ComposedAddressManager manager{&resolv, {ipv4, ipv6}};
    QSignalSpy connected{&manager, &AddressManager::connected};
    QSignalSpy disconnected{&manager, &AddressManager::disconnected};
};

QList<QHostAddress> hosts(const QStringList &texts)
{
    QList<QHostAddress> list;
    for (const QString &text : texts)
        list << QHostAddress(text);
    return list;
}

NetlinkAddress address(const char *text, const char *interface, bool ipv4, bool linkLocal, int prefix)
{
    return NetlinkAddress{QString::fromLatin1(text), QByteArray(interface), ipv4, linkLocal, prefix};
}

bool ip(const QStringList &arguments)
{
    return run(QStringLiteral("ip"), arguments) == 0;
}

} // namespace

class TestAddressManager : public QObject
{
    Q_OBJECT

private:
    FakePrograms m_programs;
    bool m_link = false;

private slots:
    void initTestCase()
    {
        QVERIFY(m_programs.isValid());
        QVERIFY(m_programs.install(AutoIpD::Program));
        m_programs.putFirstOnPath();
        // A veth pair in this test's own network namespace carries the IPv6 cases.
        if (inPrivateNamespaces()) {
            QVERIFY(ip({"link", "add", "kivtest0", "type", "veth", "peer", "name", "kivpeer0"}));
            QFile dad(QStringLiteral("/proc/sys/net/ipv6/conf/kivtest0/accept_dad"));
            QVERIFY(dad.open(QIODevice::WriteOnly) && dad.write("0\n") == 2);
            dad.close();
            QVERIFY(ip({"link", "set", "kivpeer0", "up"}));
            m_link = true;
        }
    }

    void init() { m_programs.clear(AutoIpD::Program); }

    void globalIpv6AddressMeansConnected_data()
    {
        QTest::addColumn<NetlinkAddresses>("addresses");
        QTest::addColumn<bool>("connected");

        QTest::newRow("none") << NetlinkAddresses() << false;
        QTest::newRow("onlyLinkLocal") << NetlinkAddresses{address("fe80::1", "eth0", false, true, 64)} << false;
        QTest::newRow("onlyIpv4") << NetlinkAddresses{address("10.0.0.5", "eth0", true, false, 24),
                                                      address("169.254.3.4", "eth0", true, true, 16)}
                                  << false;
        QTest::newRow("uniqueLocal") << NetlinkAddresses{address("fe80::1", "eth0", false, true, 64),
                                                         address("fd00::5", "eth0", false, false, 64)}
                                     << true;
        QTest::newRow("global") << NetlinkAddresses{address("2001:db8::5", "eth0", false, false, 64)} << true;
    }

    void globalIpv6AddressMeansConnected()
    {
        QFETCH(NetlinkAddresses, addresses);
        QTEST(Ipv6AddressManager::hasGlobalAddress(addresses), "connected");
    }

    void routerAdvertisedServersAreFilteredByInterface()
    {
        const NetlinkAddresses servers{address("fd00::53", "eth0", false, false, 128),
                                       address("fd01::53", "wlan0", false, false, 128),
                                       address("fd00::54", "eth0", false, false, 128),
                                       address("fd00::55", "eth00", false, false, 128)};
        QCOMPARE(Ipv6AddressManager::nameserversOf(servers, InterfaceName("eth0")), hosts({"fd00::53", "fd00::54"}));
        QCOMPARE(Ipv6AddressManager::nameserversOf(servers, InterfaceName("uap0")), QList<QHostAddress>());
    }

    void ipv6FollowsTheKernelsAddressesOnlyWhileStarted()
    {
        if (!m_link)
            QSKIP("needs a private network namespace (root and unshare)");
        NetlinkWatcher watcher;
        RecordingDriver driver;
        Ipv6AddressManager manager(Kivtest0, &watcher, &driver);
        QSignalSpy connected(&manager, &IpAddressManager::connected);
        QSignalSpy disconnected(&manager, &IpAddressManager::disconnected);
        QSignalSpy changes(&watcher, &NetlinkWatcher::addressesChanged);

        // Before start a global address changes nothing.
        QVERIFY(ip({"-6", "addr", "add", "fd00:1::5/64", "dev", "kivtest0", "nodad"}));
        QTRY_VERIFY(!watcher.addresses("kivtest0").isEmpty());
        QCOMPARE(connected.count(), 0);
        QVERIFY(ip({"-6", "addr", "del", "fd00:1::5/64", "dev", "kivtest0"}));
        QTRY_VERIFY(watcher.addresses("kivtest0").isEmpty());

        manager.start(InterfaceConfiguration());
        changes.clear();
        QVERIFY(ip({"link", "set", "kivtest0", "up"}));
        QVERIFY(ip({"addr", "add", "10.1.0.5/24", "dev", "kivtest0"}));
        QTRY_VERIFY(watcher.addresses("kivtest0").size() >= 2);
        bool linkLocalSeen = false;
        for (const NetlinkAddress &entry : watcher.addresses("kivtest0"))
            linkLocalSeen = linkLocalSeen || (entry.linkLocal && !entry.ipv4);
        QVERIFY(linkLocalSeen);
        QCOMPARE(connected.count(), 0);

        QVERIFY(ip({"-6", "addr", "add", "fd00:1::5/64", "dev", "kivtest0", "nodad"}));
        QTRY_COMPARE(connected.count(), 1);
        QVERIFY(manager.isConnected());
        QVERIFY(ip({"-6", "addr", "del", "fd00:1::5/64", "dev", "kivtest0"}));
        QTRY_COMPARE(disconnected.count(), 1);

        manager.stop();
        QCOMPARE(driver.commands, QStringList{"flush ipv6 kivtest0 global"});
        QVERIFY(ip({"-6", "addr", "add", "fd00:1::6/64", "dev", "kivtest0", "nodad"}));
        QTRY_VERIFY(watcher.addresses("kivtest0").size() >= 3);
        QCOMPARE(connected.count(), 1);
        QVERIFY(ip({"-6", "addr", "del", "fd00:1::6/64", "dev", "kivtest0"}));
        QVERIFY(ip({"addr", "flush", "dev", "kivtest0"}));
        QVERIFY(ip({"link", "set", "kivtest0", "down"}));
    }

    void startAndStopReachIpv4First()
    {
        ComposedFixture f;
        f.manager.start(InterfaceConfiguration("kivtest0"));
        f.manager.stop();
        QCOMPARE(f.log, (QStringList{"ipv4 start kivtest0", "ipv6 start kivtest0", "ipv4 stop", "ipv6 stop"}));
    }

    void connectedWithTheFirstFamilyDisconnectedWithTheLast()
    {
        ComposedFixture f;
        f.ipv6->setConnected(true);
        f.ipv4->setConnected(true);
        QCOMPARE(f.connected.count(), 1);
        // IPv4 failing leaves the IPv6-only connection in place.
        f.ipv4->setConnected(false);
        QCOMPARE(f.disconnected.count(), 0);
        QVERIFY(f.manager.isConnected());
        f.ipv6->setConnected(false);
        QCOMPARE(f.disconnected.count(), 1);
        QVERIFY(!f.manager.isConnected());
        QCOMPARE(f.connected.count(), 1);
    }

    void startResetsTheFlagSilentlySoTheNextConnectionIsReported()
    {
        ComposedFixture f;
        f.ipv4->setConnected(true);
        f.manager.start(InterfaceConfiguration());
        QVERIFY(!f.manager.isConnected());
        f.ipv4->setConnected(false);
        f.ipv4->setConnected(true);
        QCOMPARE(f.connected.count(), 2);
        QCOMPARE(f.disconnected.count(), 0);
    }

    void resolverGetsTheUnionOfBothFamiliesOnEveryChange()
    {
        ComposedFixture f;
        f.ipv6->setNameservers(hosts({"fd00::53", "10.0.0.53"}));
        f.ipv4->setNameservers(hosts({"10.0.0.53"}));
        f.ipv6->setSearchDomains({"v6.lan"});
        f.ipv4->setSearchDomains({"lan"});
        f.ipv4->setSearchDomains({"lan"});
        QCOMPARE(f.resolv.calls,
                 (QStringList{"nameservers kivtest0 fd00::53,10.0.0.53", "domains kivtest0 ", "write",
                              "nameservers kivtest0 10.0.0.53,fd00::53,10.0.0.53", "domains kivtest0 ", "write",
                              "nameservers kivtest0 10.0.0.53,fd00::53,10.0.0.53", "domains kivtest0 v6.lan", "write",
                              "nameservers kivtest0 10.0.0.53,fd00::53,10.0.0.53", "domains kivtest0 lan,v6.lan",
                              "write"}));
    }

    void lateLeaseAfterFallbackIsNoSecondConnection()
    {
        LogCapture capture;
        QStringList log;
        RecordingResolvConf resolv;
        RecordingDriver driver;
        FakeDhcpClients clients;
        auto *ipv4 = new Ipv4AddressManager(Kivtest0, &driver, clients.factory());
        ComposedAddressManager manager(&resolv, {ipv4, new FakeFamily("ipv6", &log)});
        QSignalSpy connected(&manager, &AddressManager::connected);
        QSignalSpy disconnected(&manager, &AddressManager::disconnected);

        manager.start(InterfaceConfiguration());
        QTimer *fallback = ipv4->findChild<QTimer *>();
        QVERIFY(fallback && fallback->isActive());
        fallback->stop();
        QVERIFY(QMetaObject::invokeMethod(fallback, "timeout"));
        QCOMPARE(connected.count(), 1);
        QCOMPARE(m_programs.calls(AutoIpD::Program), (QStringList{"-k kivtest0", "-D kivtest0"}));

        clients.last()->lease(
            InterfaceConfiguration("kivtest0", "10.0.0.5", "255.255.255.0", "10.0.0.1", {"10.0.0.53"}, {"lan"}));
        QCOMPARE(m_programs.calls(AutoIpD::Program), (QStringList{"-k kivtest0", "-D kivtest0", "-k kivtest0"}));
        QCOMPARE(connected.count(), 1);
        QCOMPARE(disconnected.count(), 0);
        QCOMPARE(resolv.calls.mid(resolv.calls.size() - 3),
                 (QStringList{"nameservers kivtest0 10.0.0.53", "domains kivtest0 lan", "write"}));
    }

    void managerWithTheWatcherIsSafeToMakeAndStop()
    {
        NetlinkWatcher watcher;
        RecordingDriver driver;
        RecordingResolvConf resolv;
        auto *manager = new AddressManager(Kivtest0, &watcher, &driver, &resolv, nullptr);
        QSignalSpy disconnected(manager, &AddressManager::disconnected);
        QVERIFY(!manager->isConnected());
        manager->stop();
        QCOMPARE(driver.commands, (QStringList{"flush ipv4 kivtest0", "flush ipv6 kivtest0 global"}));
        QCOMPARE(disconnected.count(), 0);
        QCOMPARE(resolv.calls, QStringList());
        delete manager;
        QCOMPARE(m_programs.calls(AutoIpD::Program), QStringList());
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestAddressManager)
#include "tst_addressmanager.moc"
