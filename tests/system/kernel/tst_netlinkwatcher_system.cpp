#include "KernelTables.h"
#include "NetlinkWatcher.h"
#include "SandboxDeviceTest.h"

#include <QSignalSpy>
#include <QtTest>

using KernelTables::ip;

namespace {

const QString Eth0 = QStringLiteral("eth0");
const QString Local = QStringLiteral("kva");
const QString Peer = QStringLiteral("kvb");
// What the wired LAN's router advertisements carry in this test's sandbox.
const QStringList RaNameservers{QStringLiteral("fd00:50::53"), QStringLiteral("fd00:50::54")};
const QStringList RaDomains{QStringLiteral("example.lan"), QStringLiteral("corp.example.com")};
constexpr int RouterAdvertisementTimeoutMs = 30000;

// (up, running) of the latest report for the interface; empty when there was none.
QString lastStatus(const QSignalSpy &spy, const QString &interface)
{
    for (int i = spy.count() - 1; i >= 0; --i) {
        const QList<QVariant> &arguments = spy.at(i);
        if (arguments.at(0).toByteArray() == interface.toUtf8())
            return QStringLiteral("up=%1 running=%2").arg(arguments.at(1).toBool()).arg(arguments.at(2).toBool());
    }
    return QString();
}

QString status(bool up, bool running)
{
    return QStringLiteral("up=%1 running=%2").arg(up).arg(running);
}

// The watcher's table in the form KernelTables::kernelAddresses gives.
QStringList watcherAddresses(const NetlinkWatcher &watcher, const QString &interface)
{
    QStringList texts;
    for (const NetlinkAddress &address : watcher.addresses(interface.toUtf8()))
        texts << address.address + QLatin1Char('/') + QString::number(address.prefixLength)
                + (address.linkLocal ? QStringLiteral(" link") : QStringLiteral(" global"));
    texts.sort();
    return texts;
}

NetlinkAddress record(const QString &address, bool ipv4, bool linkLocal, int prefixLength)
{
    return NetlinkAddress{address, Local.toUtf8(), ipv4, linkLocal, prefixLength};
}

QList<NetlinkAddress> expectedRaNameservers()
{
    QList<NetlinkAddress> records;
    for (const QString &server : RaNameservers)
        records << NetlinkAddress{server, Eth0.toUtf8(), false, false, 128};
    return records;
}

} // namespace

// Runs inside a sandbox device: eth0's cable is the sandbox's plug and unplug, and the wired LAN's
// dnsmasq sends router advertisements with two name servers and two search domains.
class TestNetlinkWatcherSystem : public QObject
{
    Q_OBJECT

private slots:
    // A fresh pair without automatic IPv6 link-local addresses, existing before each watcher.
    void init()
    {
        QVERIFY(ip({"link", "add", Local, "type", "veth", "peer", "name", Peer}));
        QVERIFY(ip({"link", "set", Local, "addrgenmode", "none"}));
        QVERIFY(ip({"link", "set", Peer, "addrgenmode", "none"}));
    }

    // eth0 back as the sandbox made it: down, default link mode, cable in.
    void cleanup()
    {
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
        QTRY_COMPARE(lastStatus(spy, Eth0), status(true, false));
        QVERIFY(SandboxDeviceTest::plug(Eth0));
        QTRY_COMPARE(lastStatus(spy, Eth0), status(true, true));
        QVERIFY(SandboxDeviceTest::unplug(Eth0));
        QTRY_COMPARE(lastStatus(spy, Eth0), status(true, false));
        QVERIFY(ip({"link", "set", Eth0, "down"}));
        QTRY_COMPARE(lastStatus(spy, Eth0), status(false, false));
    }

    void lowerUpWithoutOperationalUpIsNotRunning()
    {
        QVERIFY(ip({"link", "set", Eth0, "mode", "dormant"}));
        NetlinkWatcher watcher;
        QSignalSpy spy(&watcher, &NetlinkWatcher::interfaceStatusChanged);
        QSignalSpy addresses(&watcher, &NetlinkWatcher::addressesChanged);

        QVERIFY(ip({"link", "set", Eth0, "up"}));
        QTRY_COMPARE(KernelTables::ipJson({"link", "show", "dev", Eth0}).at(0).toObject().value("operstate").toString(),
                     QStringLiteral("DORMANT"));
        QVERIFY(KernelTables::linkFlags(Eth0).contains(QStringLiteral("LOWER_UP")));
        // Once the marker address is reported, every earlier report of eth0 has been handled.
        QVERIFY(ip({"addr", "add", "10.77.0.1/32", "dev", Local}));
        QTRY_COMPARE(addresses.count(), 1);
        QCOMPARE(lastStatus(spy, Eth0), status(true, false));

        // Back in the default mode the next carrier change makes the link operational.
        QVERIFY(ip({"link", "set", Eth0, "mode", "default"}));
        QVERIFY(SandboxDeviceTest::unplug(Eth0));
        QVERIFY(SandboxDeviceTest::plug(Eth0));
        QTRY_COMPARE(lastStatus(spy, Eth0), status(true, true));
    }

    // The pair exists before the watcher starts: its link is known from the initial link walk.
    void addressTableFollowsEachChangeOnce()
    {
        QVERIFY(ip({"link", "set", Peer, "up"}));
        QVERIFY(ip({"link", "set", Local, "up"}));
        NetlinkWatcher watcher;
        QSignalSpy changed(&watcher, &NetlinkWatcher::addressesChanged);

        QVERIFY(ip({"addr", "add", "10.77.0.2/24", "dev", Local}));
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(watcher.addresses(Local.toUtf8()), QList<NetlinkAddress>{record("10.77.0.2", true, false, 24)});

        QVERIFY(ip({"-6", "addr", "add", "fd00:77::2/64", "dev", Local, "nodad"}));
        QTRY_COMPARE(changed.count(), 2);
        QVERIFY(watcher.addresses(Local.toUtf8()).contains(record("fd00:77::2", false, false, 64)));

        QVERIFY(ip({"-6", "addr", "add", "fe80::77/64", "dev", Local, "nodad"}));
        QTRY_COMPARE(changed.count(), 3);
        QVERIFY(watcher.addresses(Local.toUtf8()).contains(record("fe80::77", false, true, 64)));

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
        QTRY_COMPARE(changed.count(), 5);
        QVERIFY(!watcherAddresses(watcher, Local).contains("fd00:77::2/64 global"));

        QVERIFY(ip({"addr", "del", "10.77.0.2/24", "dev", Local}));
        QTRY_COMPARE(changed.count(), 6);
        QCOMPARE(watcherAddresses(watcher, Local), (QStringList{"10.77.0.9/32 global", "fe80::77/64 link"}));
        QCOMPARE(KernelTables::kernelAddresses(Local, false).filter(QRegularExpression(" (global|link)$")),
                 watcherAddresses(watcher, Local));
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
        QTRY_COMPARE_WITH_TIMEOUT(watcher.nameservers(), expectedRaNameservers(), RouterAdvertisementTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.searchDomains(), RaDomains, RouterAdvertisementTimeoutMs);
        QCOMPARE(nameservers.count(), 1);
        QCOMPARE(domains.count(), 1);

        QVERIFY(unplug ? SandboxDeviceTest::unplug(Eth0) : ip({"link", "set", Eth0, "down"}));
        QTRY_COMPARE(nameservers.count(), 2);
        QTRY_COMPARE(domains.count(), 2);
        QVERIFY(watcher.nameservers().isEmpty());
        QVERIFY(watcher.searchDomains().isEmpty());
    }
};

namespace {

SandboxDeviceTest::Setup routerAdvertisingSandbox()
{
    SandboxDeviceTest::Setup setup;
    setup.upOptions = QStringList{QStringLiteral("--no-dhcp")};
    setup.prepare = [](KivSandbox &sandbox) {
        return sandbox.configureLan(KivSandbox::Namespace::WiredLan,
                                    {QStringLiteral("--rdnss"), RaNameservers.join(QLatin1Char(' ')),
                                     QStringLiteral("--dnssl"), RaDomains.join(QLatin1Char(' '))});
    };
    return setup;
}

} // namespace

KIV_SANDBOX_DEVICE_TEST_MAIN(TestNetlinkWatcherSystem, routerAdvertisingSandbox())
#include "tst_netlinkwatcher_system.moc"
