#include "KernelTables.h"
#include "NetworkDriverIp.h"
#include "ResolvConf.h"
#include "SandboxDeviceTest.h"

#include <QtTest>

using KernelTables::ip;
using KernelTables::ipJson;
using KernelTables::kernelAddresses;

namespace {

const QString Local = QStringLiteral("kvd");
const QString Peer = QStringLiteral("kve");
const InterfaceName LocalName(Local);

// Default routes of one family as "gateway dev" texts.
QStringList defaultRoutes(const QString &family)
{
    QStringList routes;
    for (const QJsonValue &route : ipJson({family, "route", "show", "default"}))
        routes << route.toObject().value("gateway").toString() + QLatin1Char(' ') + route.toObject().value("dev").toString();
    return routes;
}

} // namespace

// Runs inside a sandbox device without LAN servers: each driver operation leaves exactly the
// expected links, addresses and routes in the device's kernel.
class TestNetworkDriverIpSystem : public QObject
{
    Q_OBJECT

private:
    NetworkDriverIp m_driver;

private slots:
    void init()
    {
        QVERIFY(ip({"link", "add", Local, "type", "veth", "peer", "name", Peer}));
        QVERIFY(ip({"link", "set", Local, "addrgenmode", "none"}));
        QVERIFY(ip({"link", "set", Peer, "up"}));
        m_driver.linkUp(LocalName);
    }

    void cleanup()
    {
        ip({"link", "del", Local});
    }

    void linkUpAndDownSetTheAdministrativeState()
    {
        QVERIFY(KernelTables::linkFlags(Local).contains("UP"));
        m_driver.linkDown(LocalName);
        QVERIFY(!KernelTables::linkFlags(Local).contains("UP"));
        m_driver.linkUp(LocalName);
        QVERIFY(KernelTables::linkFlags(Local).contains("UP"));
    }

    void setMacAddressChangesTheHardwareAddress()
    {
        m_driver.linkDown(LocalName);
        m_driver.setMacAddress(MacAddress::fromString("02:4B:1F:00:00:07"), LocalName);
        QCOMPARE(ipJson({"link", "show", "dev", Local}).at(0).toObject().value("address").toString(),
                 QStringLiteral("02:4b:1f:00:00:07"));
    }

    void addAddressAddsIpv4WithDerivedBroadcast()
    {
        m_driver.addAddress("10.66.0.2", 24, LocalName);
        QCOMPARE(kernelAddresses(Local), QStringList{"10.66.0.2/24 global"});
        const QJsonArray info = ipJson({"-4", "addr", "show", "dev", Local}).at(0).toObject().value("addr_info").toArray();
        QCOMPARE(info.at(0).toObject().value("broadcast").toString(), QStringLiteral("10.66.0.255"));
    }

    void replaceAddressIpv4LeavesOnlyTheNewIpv4Address()
    {
        QVERIFY(ip({"addr", "add", "10.66.0.2/24", "dev", Local}));
        QVERIFY(ip({"addr", "add", "10.67.0.2/16", "dev", Local}));
        QVERIFY(ip({"-6", "addr", "add", "fd00:66::2/64", "dev", Local, "nodad"}));

        m_driver.replaceAddress("192.168.200.1", 24, LocalName);
        QCOMPARE(kernelAddresses(Local), (QStringList{"192.168.200.1/24 global", "fd00:66::2/64 global"}));
    }

    // The addition keeps "broadcast +" for IPv6 too, which iproute2 6.1 refuses: only the flush shows.
    void replaceAddressIpv6FlushesGlobalIpv6Only()
    {
        QVERIFY(ip({"addr", "add", "10.66.0.2/24", "dev", Local}));
        QVERIFY(ip({"-6", "addr", "add", "fd00:66::2/64", "dev", Local, "nodad"}));
        QVERIFY(ip({"-6", "addr", "add", "fe80::66/64", "dev", Local, "nodad"}));

        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("ip -6 address add fd00:66::9/64 broadcast \\+ dev kvd.* error code: 1"));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("KivProcess output: .*"));
        m_driver.replaceAddress("fd00:66::9", 64, LocalName);
        const QStringList addresses = kernelAddresses(Local);
        QVERIFY(!addresses.contains("fd00:66::2/64 global"));
        QVERIFY(addresses.contains("fe80::66/64 link"));
        QVERIFY(addresses.contains("10.66.0.2/24 global"));
        QEXPECT_FAIL("", "iproute2 6.1: \"Broadcast can be set only for IPv4 addresses\"", Continue);
        QVERIFY(addresses.contains("fd00:66::9/64 global"));
    }

    void flushAddressesHonoursFamilyAndScope()
    {
        QVERIFY(ip({"addr", "add", "10.66.0.2/24", "dev", Local}));
        QVERIFY(ip({"-6", "addr", "add", "fd00:66::2/64", "dev", Local, "nodad"}));
        QVERIFY(ip({"-6", "addr", "add", "fe80::66/64", "dev", Local, "nodad"}));

        m_driver.flushAddresses(AddressFamily::Ipv6, LocalName, true);
        QCOMPARE(kernelAddresses(Local), (QStringList{"10.66.0.2/24 global", "fe80::66/64 link"}));

        m_driver.flushAddresses(AddressFamily::Both, LocalName, false);
        QCOMPARE(kernelAddresses(Local), QStringList());
    }

    void defaultRoutesAddedFlushedAndReadBack()
    {
        m_driver.addAddress("10.66.0.2", 24, LocalName);
        QVERIFY(ip({"-6", "addr", "add", "fd00:66::2/64", "dev", Local, "nodad"}));

        m_driver.addDefaultRoute("10.66.0.1", LocalName);
        m_driver.addDefaultRoute("fd00:66::1", LocalName);
        QCOMPARE(defaultRoutes("-4"), QStringList{"10.66.0.1 kvd"});
        QCOMPARE(defaultRoutes("-6"), QStringList{"fd00:66::1 kvd"});
        QCOMPARE(ResolvConf::readIpv4DefaultGateway(), QStringLiteral("10.66.0.1"));
        QCOMPARE(ResolvConf::readIpv6DefaultGateway(), QStringLiteral("fd00:66::1"));

        m_driver.flushDefaultRoutes(AddressFamily::Ipv4);
        QCOMPARE(defaultRoutes("-4"), QStringList());
        QCOMPARE(defaultRoutes("-6"), QStringList{"fd00:66::1 kvd"});
        QCOMPARE(ResolvConf::readIpv4DefaultGateway(), QString());

        m_driver.addDefaultRoute("10.66.0.1", LocalName);
        m_driver.flushDefaultRoutes(AddressFamily::Both);
        QCOMPARE(defaultRoutes("-4"), QStringList());
        QCOMPARE(defaultRoutes("-6"), QStringList());
        QCOMPARE(ResolvConf::readIpv6DefaultGateway(), QString());
    }
};

KIV_SANDBOX_DEVICE_TEST_MAIN(TestNetworkDriverIpSystem, (SandboxDeviceTest::Setup{{"--no-dhcp", "--no-ra"}, {}}))
#include "tst_networkdriverip_system.moc"
