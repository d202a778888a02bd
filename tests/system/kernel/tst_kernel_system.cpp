#include "AddressManager.h"
#include "ConfigFileWriter.h"
#include "NetlinkWatcher.h"
#include "NetworkDriverIp.h"
#include "ResolvConf.h"
#include "SandboxDeviceTest.h"
#include "UDevWatcher.h"
#include "UdevMonitorMessage.h"

#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString Eth0 = QStringLiteral("eth0");
const QString Local = QStringLiteral("kva");
const QString Peer = QStringLiteral("kvb");
// What the wired LAN's router advertisements carry in this test's sandbox.
const QStringList RaNameservers{QStringLiteral("fd00:50::53"), QStringLiteral("fd00:50::54")};
const QStringList RaDomains{QStringLiteral("example.lan"), QStringLiteral("corp.example.com")};
constexpr int LanTimeoutMs = 30000;

bool ip(const QStringList &arguments) { return KivSandbox::run(QStringLiteral("ip"), arguments).ok(); }

// One interface's addresses of a family ("-4" or "-6") as "ip -o" lines, without deprecated ones.
QString ipAddresses(const QString &interface, const QString &family)
{
    return QString::fromUtf8(KivSandbox::run(QStringLiteral("ip"), {"-o", family, "addr", "show", "dev", interface, "-deprecated"}).output);
}

// "up=U running=R" of eth0's latest report.
QString lastStatus(const QSignalSpy &spy)
{
    for (int i = spy.count() - 1; i >= 0; --i)
        if (spy.at(i).at(0).toByteArray() == "eth0")
            return QStringLiteral("up=%1 running=%2").arg(spy.at(i).at(1).toBool()).arg(spy.at(i).at(2).toBool());
    return QString();
}

// The watcher's table as sorted "address/prefix scope" texts.
QStringList watcherAddresses(const NetlinkWatcher &watcher, const QString &interface)
{
    QStringList texts;
    for (const NetlinkAddress &address : watcher.addresses(interface.toUtf8()))
        texts << address.address + '/' + QString::number(address.prefixLength) + (address.linkLocal ? " link" : " global");
    texts.sort();
    return texts;
}

// The interface names a spy saw, sorted: the two ends of a pair arrive in either order.
QStringList names(const QSignalSpy &spy)
{
    QStringList list;
    for (const QList<QVariant> &arguments : spy)
        list << QString::fromUtf8(arguments.at(0).toByteArray());
    list.sort();
    return list;
}

// A hand-made processed event of this subsystem, multicast as udevd would.
bool broadcastUdevEvent(const std::string &subsystem, std::vector<std::string> properties)
{
    properties.push_back("SUBSYSTEM=" + subsystem);
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    const bool sent = fd >= 0 && UdevMonitorMessage::multicast(fd, UdevMonitorMessage::build(properties, subsystem));
    close(fd);
    return sent;
}

} // namespace

// Runs inside a sandbox device: eth0's cable is the sandbox's plug and unplug, the wired LAN's
// dnsmasq serves DHCP and router advertisements with two name servers and two search domains,
// the wireless LAN advertises a server of its own, the sandbox's relay passes the kernel's uevents
// to libudev monitors, and /etc/resolv.conf links to resolv.conf of the sandbox directory.
class TestKernelSystem : public QObject
{
    Q_OBJECT

private slots:
    // The watchers log critical messages only for faults, such as a receive error on a drained socket.
    void initTestCase() { qputenv("QT_FATAL_CRITICALS", "1"); }

    // The udev case comes first: no earlier interface change of this test can reach its watcher.
    // An added pair, a rename (the kernel's "move", reported as added under the new name, the old
    // name not removed), a "change" (ignored) and the removed pair. Other subsystems' events and
    // messages libudev cannot turn into a device (no sequence number) cannot be caused without
    // touching the machine's devices: they are hand-made.
    void udevReportsTheKernelsInterfaceEvents()
    {
        UDevWatcher watcher;
        QSignalSpy added(&watcher, &UDevWatcher::interfaceAdded);
        QSignalSpy removed(&watcher, &UDevWatcher::interfaceRemoved);
        QVERIFY(ip({"link", "add", "kvu0", "type", "veth", "peer", "name", "kvu1"}));
        QTRY_COMPARE(names(added), (QStringList{"kvu0", "kvu1"}));
        QVERIFY(ip({"link", "set", "kvu0", "name", "kvu9"}));
        QTRY_COMPARE(names(added), (QStringList{"kvu0", "kvu1", "kvu9"}));
        QVERIFY(KivSandbox::writeFile(QStringLiteral("/sys/class/net/kvu9/uevent"), "change"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("UDev delivered a message but there was nothing there!$"));
        QVERIFY(broadcastUdevEvent("block", {"ACTION=add", "DEVPATH=/devices/virtual/block/sda", "SEQNUM=1001"}));
        QVERIFY(broadcastUdevEvent("net", {"ACTION=add", "DEVPATH=/devices/virtual/net/broken0", "INTERFACE=broken0"}));
        // Deleting the pair shows every earlier event was handled.
        QVERIFY(ip({"link", "del", "kvu9"}));
        QTRY_COMPARE(names(removed), (QStringList{"kvu1", "kvu9"}));
        QCOMPARE(added.count(), 3);
    }

    // eth0 back as the sandbox made it: down, default link mode, cable in.
    void cleanup()
    {
        ip({"link", "del", Local});
        ip({"link", "set", Eth0, "down", "mode", "default"});
        QVERIFY(SandboxDeviceTest::plug(Eth0));
    }

    // A veth pair without automatic IPv6 link-local addresses exists before the watcher starts: its
    // link is known from the initial link walk.
    void addressTableAndLinkStatusFollowEachChange()
    {
        QVERIFY(ip({"link", "add", Local, "type", "veth", "peer", "name", Peer}) && ip({"link", "set", Local, "addrgenmode", "none"})
                && ip({"link", "set", Peer, "addrgenmode", "none"}));
        QVERIFY(ip({"link", "set", Peer, "up"}) && ip({"link", "set", Local, "up"}));
        NetlinkWatcher watcher;
        QSignalSpy changed(&watcher, &NetlinkWatcher::addressesChanged);
        QSignalSpy status(&watcher, &NetlinkWatcher::interfaceStatusChanged);
        QVERIFY(ip({"addr", "add", "10.77.0.2/24", "dev", Local}));
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(watcher.addresses(Local.toUtf8()), (QList<NetlinkAddress>{{"10.77.0.2", Local.toUtf8(), true, false, 24}}));
        QVERIFY(ip({"-6", "addr", "add", "fd00:77::2/64", "dev", Local, "nodad"}));
        QVERIFY(ip({"-6", "addr", "add", "fe80::77/64", "dev", Local, "nodad"}));
        QTRY_COMPARE(changed.count(), 3);

        // Neither a deprecated address nor host or site scope counts; the marker shows they were seen.
        QVERIFY(ip({"-6", "addr", "add", "fd00:77::3/64", "dev", Local, "nodad", "preferred_lft", "0"}));
        QVERIFY(ip({"addr", "add", "10.88.0.1/8", "dev", Local, "scope", "host"}));
        QVERIFY(ip({"-6", "addr", "add", "fec0::1/64", "dev", Local, "nodad", "scope", "site"}));
        QVERIFY(ip({"addr", "add", "10.77.0.9/32", "dev", Local}));
        QTRY_COMPARE(changed.count(), 4);
        QCOMPARE(watcherAddresses(watcher, Local),
                 (QStringList{"10.77.0.2/24 global", "10.77.0.9/32 global", "fd00:77::2/64 global", "fe80::77/64 link"}));

        // An address turning deprecated is removed.
        QVERIFY(ip({"-6", "addr", "change", "fd00:77::2/64", "dev", Local, "nodad", "preferred_lft", "0"}));
        QVERIFY(ip({"addr", "del", "10.77.0.2/24", "dev", Local}));
        QTRY_COMPARE(changed.count(), 6);
        QCOMPARE(watcherAddresses(watcher, Local), (QStringList{"10.77.0.9/32 global", "fe80::77/64 link"}));

        // Running needs an operational link, not only a carrier (LOWER_UP): dormant mode keeps it off.
        QVERIFY(ip({"link", "set", Eth0, "mode", "dormant"}) && ip({"link", "set", Eth0, "up"}));
        const auto link = [] { return KivSandbox::run(QStringLiteral("ip"), {"link", "show", "dev", Eth0}).output; };
        QTRY_VERIFY(link().contains(" state DORMANT "));
        QVERIFY(link().contains(",LOWER_UP"));
        // Once the marker address is reported, every earlier report of eth0 has been handled.
        QVERIFY(ip({"addr", "add", "10.77.0.1/32", "dev", Local}));
        QTRY_COMPARE(changed.count(), 7);
        QCOMPARE(lastStatus(status), QStringLiteral("up=1 running=0"));
        // Back in the default mode the next carrier change makes the link operational.
        QVERIFY(ip({"link", "set", Eth0, "mode", "default"}));
        QVERIFY(SandboxDeviceTest::unplug(Eth0) && SandboxDeviceTest::plug(Eth0));
        QTRY_COMPARE(lastStatus(status), QStringLiteral("up=1 running=1"));
        QVERIFY(ip({"link", "set", Eth0, "down"}));
        QTRY_COMPARE(lastStatus(status), QStringLiteral("up=0 running=0"));
    }

    void routerAdvertisementOptionsLearnedAndClearedWhenTheLinkGoes_data()
    {
        QTest::addColumn<bool>("unplug");
        QTest::newRow("link set down") << false;
        QTest::newRow("carrier lost") << true;
    }

    void routerAdvertisementOptionsLearnedAndClearedWhenTheLinkGoes()
    {
        QFETCH(bool, unplug);
        NetlinkWatcher watcher;
        QSignalSpy nameservers(&watcher, &NetlinkWatcher::nameserversChanged);
        QSignalSpy domains(&watcher, &NetlinkWatcher::searchDomainsChanged);
        QVERIFY(ip({"link", "set", Eth0, "up"}));
        const QList<NetlinkAddress> expected{{RaNameservers.at(0), Eth0.toUtf8(), false, false, 128},
                                             {RaNameservers.at(1), Eth0.toUtf8(), false, false, 128}};
        QTRY_COMPARE_WITH_TIMEOUT(watcher.nameservers(), expected, LanTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.searchDomains(), RaDomains, LanTimeoutMs);
        QCOMPARE(QList<int>({nameservers.count(), domains.count()}), QList<int>({1, 1}));

        QVERIFY(unplug ? SandboxDeviceTest::unplug(Eth0) : ip({"link", "set", Eth0, "down"}));
        QTRY_COMPARE(QList<int>({nameservers.count(), domains.count()}), QList<int>({2, 2}));
        QVERIFY(watcher.nameservers().isEmpty() && watcher.searchDomains().isEmpty());
    }

    // The first write replaces the link's target, with the header only; later writes happen only
    // after a change, so that a file edited by hand stays until then.
    void resolverWritesThroughTheLinkAfterChangesOnly()
    {
        const QString target = SandboxDeviceTest::sandboxDir() + QStringLiteral("/resolv.conf");
        const QByteArray header = ConfigFileWriter::Header.toUtf8();
        QVERIFY(KivSandbox::writeFile(target, "nameserver 192.0.2.99\n"));
        ResolvConfImpl resolver;
        resolver.write();
        QCOMPARE(QFileInfo("/etc/resolv.conf").symLinkTarget(), target);
        QCOMPARE(KivSandbox::readFile(target), header);

        const auto write = [&resolver](const QString &domain) {
            resolver.setNameservers({QHostAddress("10.0.0.1")}, InterfaceName(Eth0));
            resolver.setSearchDomains({domain}, InterfaceName(Eth0));
            resolver.write();
        };
        write("home.lan");
        QCOMPARE(ResolvConf::readNameservers(), QStringList{"10.0.0.1"});
        QVERIFY(KivSandbox::writeFile(target, "edited by hand\n"));
        write("home.lan");
        QCOMPARE(KivSandbox::readFile(target), QByteArray("edited by hand\n"));
        write("office.lan");
        QCOMPARE(KivSandbox::readFile(target), header + "nameserver 10.0.0.1\nsearch office.lan\n");
    }

    // An AddressManager with real udhcpc and the installed helper script: the lease, the route and
    // the resolver file with eth0's advertised servers (wlan0's stay out); stop removes them.
    void addressManagerAppliesLeaseAndAdvertisementUntilStopped()
    {
        NetlinkWatcher watcher;
        NetworkDriverIp driver;
        const std::unique_ptr<ResolvConf> resolver(ResolvConf::create(nullptr));
        AddressManager manager(InterfaceName(Eth0), &watcher, &driver, resolver.get());
        QSignalSpy connected(&manager, &AddressManager::connected);
        QSignalSpy disconnected(&manager, &AddressManager::disconnected);
        QVERIFY(ip({"link", "set", "wlan0", "up"}) && ip({"link", "set", Eth0, "up"}));
        manager.start(InterfaceConfiguration(Eth0));
        // Exactly one IPv4 address: the lease.
        const QRegularExpression lease("^\\d+: eth0 +inet 192\\.168\\.50\\.\\d+/24 [^\\n]*scope global[^\\n]*\n$");
        QTRY_VERIFY_WITH_TIMEOUT(lease.match(ipAddresses(Eth0, "-4")).hasMatch(), LanTimeoutMs);
        const QByteArray resolv = ConfigFileWriter::Header.toUtf8()
                                  + "nameserver 192.168.50.53\nnameserver fd00:50::53\nnameserver 192.168.50.54\n"
                                    "search wired.kiv.test example.lan corp.example.com\n";
        QTRY_COMPARE_WITH_TIMEOUT(KivSandbox::readFile("/etc/resolv.conf"), resolv, LanTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(ipAddresses("wlan0", "-6").contains(" scope global "), LanTimeoutMs);
        QCOMPARE(KivSandbox::readFile("/etc/resolv.conf"), resolv);

        manager.stop();
        QCOMPARE(ipAddresses(Eth0, "-4"), QString());
        QVERIFY(!ipAddresses(Eth0, "-6").contains(" scope global "));
        QCOMPARE(KivSandbox::readFile("/etc/resolv.conf"), ConfigFileWriter::Header.toUtf8());
        QCOMPARE(QList<int>({connected.count(), disconnected.count()}), QList<int>({1, 1}));
    }
};

// Inside the device: the wired LAN advertises two name servers and two search domains, the
// wireless LAN a server of its own and no DHCP.
KIV_SANDBOX_DEVICE_TEST_MAIN(TestKernelSystem, (SandboxDeviceTest::Setup{{}, [](KivSandbox &sandbox) {
    return sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--rdnss", RaNameservers.join(' '), "--dnssl", RaDomains.join(' ')})
           && sandbox.configureLan(KivSandbox::Namespace::WirelessLan, {"--dnssl", "none", "--dhcp", "off"});
}}))
#include "tst_kernel_system.moc"
