#include "AddressManager.h"
#include "ConfigFileWriter.h"
#include "LogHandler.h"
#include "NetlinkWatcher.h"
#include "NetworkDriverIp.h"
#include "ResolvConf.h"
#include "SandboxDeviceTest.h"
#include "UDevWatcher.h"
#include "UdevMonitorMessage.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <memory>
#include <signal.h>
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

// Runs a program in the device; whether it ran and succeeded.
bool run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    const bool ok = process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (output)
        *output = process.readAllStandardOutput();
    return ok;
}

bool ip(const QStringList &arguments) { return run(QStringLiteral("ip"), arguments); }

QJsonArray ipJson(const QStringList &arguments)
{
    QByteArray output;
    return run(QStringLiteral("ip"), QStringList{QStringLiteral("-j")} + arguments, &output) ? QJsonDocument::fromJson(output).array() : QJsonArray();
}

// The kernel's addresses of one interface and family as sorted "address/prefix scope" texts,
// without deprecated ones.
QStringList kernelAddresses(const QString &interface, const QString &family = QString())
{
    QStringList texts;
    for (const QJsonValue &link : ipJson({"addr", "show", "dev", interface})) {
        for (const QJsonValue &info : link.toObject().value("addr_info").toArray()) {
            const QJsonObject address = info.toObject();
            if (!address.value("deprecated").toBool() && (family.isEmpty() || address.value("family").toString() == family))
                texts << address.value("local").toString() + '/' + QString::number(address.value("prefixlen").toInt()) + ' '
                             + address.value("scope").toString();
        }
    }
    texts.sort();
    return texts;
}

// "up=U running=R" of eth0's latest report.
QString lastStatus(const QSignalSpy &spy)
{
    for (int i = spy.count() - 1; i >= 0; --i) {
        if (spy.at(i).at(0).toByteArray() == "eth0")
            return QStringLiteral("up=%1 running=%2").arg(spy.at(i).at(1).toBool()).arg(spy.at(i).at(2).toBool());
    }
    return QString();
}

// The watcher's table in the form kernelAddresses() gives.
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

// A hand-made processed event, multicast as udevd would.
bool broadcastUdevEvent(const std::string &action, const std::string &interface, const std::string &subsystem,
                        bool withSequenceNumber = true)
{
    static int sequence = 1000;
    std::vector<std::string> properties{"ACTION=" + action, "DEVPATH=/devices/virtual/net/" + interface,
                                        "SUBSYSTEM=" + subsystem, "INTERFACE=" + interface};
    if (withSequenceNumber)
        properties.push_back("SEQNUM=" + std::to_string(++sequence));
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    const bool sent = fd >= 0 && UdevMonitorMessage::multicast(fd, UdevMonitorMessage::build(properties, subsystem));
    close(fd);
    return sent;
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool replaceContent(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

} // namespace

// Runs inside a sandbox device: eth0's cable is the sandbox's plug and unplug, the wired LAN's
// dnsmasq serves DHCP and router advertisements with two name servers and two search domains,
// the wireless LAN advertises a server of its own, the sandbox's relay passes the kernel's uevents
// to libudev monitors, and /etc/resolv.conf links to resolv.conf of the sandbox directory.
class TestKernelSystem : public QObject
{
    Q_OBJECT

private:
    // A fresh veth pair without automatic IPv6 link-local addresses, existing before the watcher.
    static void addLocalPair()
    {
        QVERIFY(ip({"link", "add", Local, "type", "veth", "peer", "name", Peer}) && ip({"link", "set", Local, "addrgenmode", "none"})
                && ip({"link", "set", Peer, "addrgenmode", "none"}));
    }

private slots:
    // The udev cases come first: no earlier interface change of this test can reach their watchers.
    // Added and removed pairs, a rename (the kernel's "move", reported as added under the new name,
    // the old name not removed) and a "change" (only logged).
    void udevReportsTheKernelsInterfaceEvents()
    {
        UDevWatcher watcher;
        QSignalSpy added(&watcher, &UDevWatcher::interfaceAdded);
        QSignalSpy removed(&watcher, &UDevWatcher::interfaceRemoved);
        QVERIFY(ip({"link", "add", "kvu0", "type", "veth", "peer", "name", "kvu1"}));
        QTRY_COMPARE(names(added), (QStringList{"kvu0", "kvu1"}));
        QVERIFY(ip({"link", "del", "kvu0"}));
        QTRY_COMPARE(names(removed), (QStringList{"kvu0", "kvu1"}));

        QVERIFY(ip({"link", "add", "kvu0", "type", "veth", "peer", "name", "kvu1"}));
        QTRY_COMPARE(added.count(), 4);
        added.clear();
        removed.clear();
        QVERIFY(ip({"link", "set", "kvu0", "name", "kvu9"}));
        QTRY_COMPARE(names(added), QStringList{"kvu9"});
        KivLog::debugLevel = 1;
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Ignoring udev action change for interface kvu9$"));
        QFile uevent(QStringLiteral("/sys/class/net/kvu9/uevent"));
        QVERIFY(uevent.open(QIODevice::WriteOnly) && uevent.write("change") == 6);
        uevent.close();
        // Deleting the pair shows every earlier event was handled.
        QVERIFY(ip({"link", "del", "kvu9"}));
        QTRY_COMPARE(names(removed), (QStringList{"kvu1", "kvu9"}));
        QCOMPARE(added.count(), 1);
    }

    // Other subsystems' events, and messages libudev cannot turn into a device (no sequence number),
    // cannot be caused without touching the machine's devices: hand-made, followed by a marker event.
    void udevForeignAndBrokenMessagesAreNotReported()
    {
        UDevWatcher watcher;
        QSignalSpy added(&watcher, &UDevWatcher::interfaceAdded);
        QSignalSpy removed(&watcher, &UDevWatcher::interfaceRemoved);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("UDev delivered a message but there was nothing there!$"));
        QVERIFY(broadcastUdevEvent("add", "sda", "block"));
        QVERIFY(broadcastUdevEvent("add", "broken0", "net", false));
        QVERIFY(broadcastUdevEvent("remove", "marker0", "net"));
        QTRY_COMPARE(names(removed), QStringList{"marker0"});
        QCOMPARE(added.count(), 0);
    }

    // eth0 back as the sandbox made it: down, default link mode, cable in.
    void cleanup()
    {
        KivLog::debugLevel = 0;
        if (QFile::exists("/sys/class/net/" + Local))
            ip({"link", "del", Local});
        ip({"link", "set", Eth0, "down", "mode", "default"});
        QVERIFY(SandboxDeviceTest::plug(Eth0));
    }

    void linkStatusFollowsAdministrativeStateAndCarrier()
    {
        QVERIFY(SandboxDeviceTest::unplug(Eth0));
        NetlinkWatcher watcher;
        QSignalSpy spy(&watcher, &NetlinkWatcher::interfaceStatusChanged);
        QVERIFY(ip({"link", "set", Eth0, "up"}));
        QTRY_COMPARE(lastStatus(spy), QStringLiteral("up=1 running=0"));
        QVERIFY(SandboxDeviceTest::plug(Eth0));
        QTRY_COMPARE(lastStatus(spy), QStringLiteral("up=1 running=1"));
        QVERIFY(SandboxDeviceTest::unplug(Eth0));
        QTRY_COMPARE(lastStatus(spy), QStringLiteral("up=1 running=0"));
        QVERIFY(ip({"link", "set", Eth0, "down"}));
        QTRY_COMPARE(lastStatus(spy), QStringLiteral("up=0 running=0"));
    }

    void lowerUpWithoutOperationalUpIsNotRunning()
    {
        addLocalPair();
        QVERIFY(ip({"link", "set", Eth0, "mode", "dormant"}));
        NetlinkWatcher watcher;
        QSignalSpy spy(&watcher, &NetlinkWatcher::interfaceStatusChanged);
        QSignalSpy addresses(&watcher, &NetlinkWatcher::addressesChanged);
        QVERIFY(ip({"link", "set", Eth0, "up"}));
        QTRY_COMPARE(ipJson({"link", "show", "dev", Eth0}).at(0).toObject().value("operstate").toString(), QStringLiteral("DORMANT"));
        QVERIFY(ipJson({"link", "show", "dev", Eth0}).at(0).toObject().value("flags").toArray().contains("LOWER_UP"));
        // Once the marker address is reported, every earlier report of eth0 has been handled.
        QVERIFY(ip({"addr", "add", "10.77.0.1/32", "dev", Local}));
        QTRY_COMPARE(addresses.count(), 1);
        QCOMPARE(lastStatus(spy), QStringLiteral("up=1 running=0"));
        // Back in the default mode the next carrier change makes the link operational.
        QVERIFY(ip({"link", "set", Eth0, "mode", "default"}));
        QVERIFY(SandboxDeviceTest::unplug(Eth0) && SandboxDeviceTest::plug(Eth0));
        QTRY_COMPARE(lastStatus(spy), QStringLiteral("up=1 running=1"));
    }

    // The pair exists before the watcher starts: its link is known from the initial link walk.
    void addressTableFollowsEachChangeOnce()
    {
        addLocalPair();
        QVERIFY(ip({"link", "set", Peer, "up"}) && ip({"link", "set", Local, "up"}));
        NetlinkWatcher watcher;
        QSignalSpy changed(&watcher, &NetlinkWatcher::addressesChanged);
        QVERIFY(ip({"addr", "add", "10.77.0.2/24", "dev", Local}));
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(watcher.addresses(Local.toUtf8()), (QList<NetlinkAddress>{{"10.77.0.2", Local.toUtf8(), true, false, 24}}));
        QVERIFY(ip({"-6", "addr", "add", "fd00:77::2/64", "dev", Local, "nodad"}));
        QVERIFY(ip({"-6", "addr", "add", "fe80::77/64", "dev", Local, "nodad"}));
        QTRY_COMPARE(changed.count(), 3);
        QVERIFY(watcher.addresses(Local.toUtf8()).contains({"fe80::77", Local.toUtf8(), false, true, 64}));

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
        QCOMPARE(kernelAddresses(Local).filter(QRegularExpression(" (global|link)$")), watcherAddresses(watcher, Local));
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
        QList<NetlinkAddress> expected;
        for (const QString &server : RaNameservers)
            expected << NetlinkAddress{server, Eth0.toUtf8(), false, false, 128};
        QTRY_COMPARE_WITH_TIMEOUT(watcher.nameservers(), expected, LanTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.searchDomains(), RaDomains, LanTimeoutMs);
        QCOMPARE(nameservers.count(), 1);
        QCOMPARE(domains.count(), 1);

        QVERIFY(unplug ? SandboxDeviceTest::unplug(Eth0) : ip({"link", "set", Eth0, "down"}));
        QTRY_COMPARE(nameservers.count(), 2);
        QTRY_COMPARE(domains.count(), 2);
        QVERIFY(watcher.nameservers().isEmpty() && watcher.searchDomains().isEmpty());
    }

    // The first write replaces the link's target, with the header only; later writes happen only
    // after a change, so that a file edited by hand stays until then.
    void resolverWritesThroughTheLinkAfterChangesOnly()
    {
        const QString target = SandboxDeviceTest::sandboxDir() + QStringLiteral("/resolv.conf");
        const QByteArray header = ConfigFileWriter::Header.toUtf8();
        QCOMPARE(QFileInfo("/etc/resolv.conf").symLinkTarget(), target);
        QVERIFY(replaceContent(target, "nameserver 192.0.2.99\n"));
        QCOMPARE(ResolvConf::readNameservers(), QStringList{"192.0.2.99"});
        ResolvConfImpl resolver;
        resolver.write();
        QCOMPARE(QFileInfo("/etc/resolv.conf").symLinkTarget(), target);
        QCOMPARE(contentOf(target), header);

        resolver.setNameservers({QHostAddress("10.0.0.1")}, InterfaceName(Eth0));
        resolver.setSearchDomains({"home.lan"}, InterfaceName(Eth0));
        resolver.write();
        QCOMPARE(ResolvConf::readNameservers(), QStringList{"10.0.0.1"});
        QVERIFY(replaceContent(target, "edited by hand\n"));
        resolver.setNameservers({QHostAddress("10.0.0.1")}, InterfaceName(Eth0));
        resolver.setSearchDomains({"home.lan"}, InterfaceName(Eth0));
        resolver.write();
        QCOMPARE(contentOf(target), QByteArray("edited by hand\n"));
        resolver.setSearchDomains({"office.lan"}, InterfaceName(Eth0));
        resolver.write();
        QCOMPARE(contentOf(target), header + "nameserver 10.0.0.1\nsearch office.lan\n");
    }

    // An AddressManager with real udhcpc and the installed helper script: the lease, the route and
    // the resolver file with eth0's advertised servers (wlan0's stay out); a killed udhcpc is
    // replaced with the lease kept; stop removes what was applied.
    void addressManagerAppliesLeaseAndAdvertisementAndKeepsTheLease()
    {
        NetlinkWatcher watcher;
        NetworkDriverIp driver;
        const std::unique_ptr<ResolvConf> resolver(ResolvConf::create(nullptr));
        AddressManager manager(InterfaceName(Eth0), &watcher, &driver, resolver.get());
        QSignalSpy connected(&manager, &AddressManager::connected);
        QSignalSpy disconnected(&manager, &AddressManager::disconnected);
        QVERIFY(ip({"link", "set", "wlan0", "up"}) && ip({"link", "set", Eth0, "up"}));
        manager.start(InterfaceConfiguration(Eth0));
        QTRY_COMPARE_WITH_TIMEOUT(kernelAddresses(Eth0, "inet").size(), 1, LanTimeoutMs);
        QVERIFY2(QRegularExpression("^192\\.168\\.50\\.\\d+/24 global$").match(kernelAddresses(Eth0, "inet").value(0)).hasMatch(),
                 qPrintable(kernelAddresses(Eth0, "inet").value(0)));
        QCOMPARE(ipJson({"-4", "route", "show", "default"}).at(0).toObject().value("gateway").toString(), QStringLiteral("192.168.50.1"));
        const QByteArray resolv = ConfigFileWriter::Header.toUtf8()
                                  + "nameserver 192.168.50.53\nnameserver fd00:50::53\nnameserver 192.168.50.54\n"
                                    "search wired.kiv.test example.lan corp.example.com\n";
        QTRY_COMPARE_WITH_TIMEOUT(contentOf("/etc/resolv.conf"), resolv, LanTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(!kernelAddresses("wlan0", "inet6").filter(" global").isEmpty(), LanTimeoutMs);
        QCOMPARE(contentOf("/etc/resolv.conf"), resolv);
        QCOMPARE(connected.count(), 1);

        QByteArray pid;
        QVERIFY(run("pidof", {"udhcpc"}, &pid));
        const QStringList leased = kernelAddresses(Eth0, "inet");
        QVERIFY(::kill(pid.trimmed().toInt(), SIGKILL) == 0);
        QByteArray restarted;
        QTRY_VERIFY_WITH_TIMEOUT(run("pidof", {"udhcpc"}, &restarted) && restarted != pid, 5000);
        QCOMPARE(kernelAddresses(Eth0, "inet"), leased);
        QCOMPARE(contentOf("/etc/resolv.conf"), resolv);
        QVERIFY(manager.isConnected());

        manager.stop();
        QCOMPARE(kernelAddresses(Eth0, "inet"), QStringList());
        QCOMPARE(kernelAddresses(Eth0, "inet6").filter(" global"), QStringList());
        QCOMPARE(contentOf("/etc/resolv.conf"), ConfigFileWriter::Header.toUtf8());
        QCOMPARE(connected.count(), 1);
        QCOMPARE(disconnected.count(), 1);
    }
};

namespace {

SandboxDeviceTest::Setup lanSandbox()
{
    SandboxDeviceTest::Setup setup;
    setup.prepare = [](KivSandbox &sandbox) {
        return sandbox.configureLan(KivSandbox::Namespace::WiredLan,
                                    {"--rdnss", RaNameservers.join(' '), "--dnssl", RaDomains.join(' ')})
               && sandbox.configureLan(KivSandbox::Namespace::WirelessLan, {"--dnssl", "none", "--dhcp", "off"});
    };
    return setup;
}

} // namespace

KIV_SANDBOX_DEVICE_TEST_MAIN(TestKernelSystem, lanSandbox())
#include "tst_kernel_system.moc"
