#include "AddressSandbox.h"
#include "ConfigFileWriter.h"

#include <QtTest>

namespace {

const int LeaseTimeoutMs = 20000;

QString resolverFile(const QStringList &nameservers, const QString &search)
{
    QString text = ConfigFileWriter::Header;
    for (const QString &server : nameservers)
        text += "nameserver " + server + '\n';
    return search.isEmpty() ? text : text + "search " + search + '\n';
}

} // namespace

// An AddressManager with real udhcpc, the installed helper script, avahi-autoipd, the ip driver,
// the netlink watcher and the resolver file, on a sandbox device whose wired LAN serves DHCPv4 and router
// advertisements and whose wireless LAN advertises another name server. The steps run in
// order, each continuing from the state the previous one left. Static settings, the link-local
// fallback and the restart timing of killed clients run with the daemon in tst_manager_wired and
// tst_manager_child_recovery.
class TestAddressSystem : public QObject
{
    Q_OBJECT

private:
    AddressSandbox m_device;

private slots:
    void initTestCase()
    {
        QVERIFY2(m_device.sandbox.up(), qPrintable(m_device.sandbox.lastError()));
        QVERIFY(m_device.sandbox.configureLan(KivSandbox::Namespace::WirelessLan, {"--dnssl", "none", "--dhcp", "off"}));
        // IPv6 on eth0 starts only once the manager runs, so the router advertisement is news to it.
        QVERIFY(m_device.writeSysctl("net/ipv6/conf/eth0/disable_ipv6", "1"));
        QVERIFY(m_device.sandbox.exec({"ip", "link", "set", "eth0", "up"}).ok());
        QVERIFY(m_device.sandbox.exec({"ip", "link", "set", "wlan0", "up"}).ok());
        QVERIFY(m_device.startDriver("eth0"));
    }

    void dhcpLeaseAndRouterAdvertisementAreApplied()
    {
        QVERIFY(m_device.command("dhcp"));
        QTRY_VERIFY(m_device.running("udhcpc"));
        QVERIFY(m_device.writeSysctl("net/ipv6/conf/eth0/disable_ipv6", "0"));
        QVERIFY(m_device.waitUntil([&] { return m_device.count("EVENT connected") == 1; }, LeaseTimeoutMs));

        QTRY_VERIFY_WITH_TIMEOUT(m_device.addresses("eth0", "inet").size() == 1, LeaseTimeoutMs);
        const QString leased = m_device.addresses("eth0", "inet").constFirst();
        QVERIFY2(QRegularExpression("^192\\.168\\.50\\.\\d+/24 global$").match(leased).hasMatch(), qPrintable(leased));
        QCOMPARE(m_device.defaultRoutes(), QStringList{"via 192.168.50.1 dev eth0"});

        // The lease's IPv4 servers and eth0's advertised server alternate; wlan0's server stays out.
        QTRY_COMPARE_WITH_TIMEOUT(m_device.resolvConf(),
                                  resolverFile({"192.168.50.53", "fd00:50::53", "192.168.50.54"},
                                               "wired.kiv.test wired.kiv.test"),
                                  LeaseTimeoutMs);
        QTRY_VERIFY_WITH_TIMEOUT(!m_device.addresses("wlan0", "inet6").filter(" global").isEmpty(), LeaseTimeoutMs);
        QCOMPARE(m_device.resolvConf(), resolverFile({"192.168.50.53", "fd00:50::53", "192.168.50.54"},
                                                     "wired.kiv.test wired.kiv.test"));
        QCOMPARE(m_device.count("EVENT disconnected"), 0);
    }

    void renewalWithChangedServerDataIsApplied()
    {
        const QStringList before = m_device.addresses("eth0", "inet");
        QVERIFY(m_device.sandbox.configureLan(KivSandbox::Namespace::WiredLan,
                                              {"--dns", "192.168.50.55", "--domain", "office.kiv.test"}));
        // SIGUSR1 makes udhcpc renew its lease at once.
        QVERIFY(m_device.sandbox.exec({"killall", "-USR1", "udhcpc"}).ok());
        QTRY_COMPARE_WITH_TIMEOUT(m_device.resolvConf(),
                                  resolverFile({"192.168.50.55", "fd00:50::53"}, "office.kiv.test wired.kiv.test"),
                                  LeaseTimeoutMs);
        QCOMPARE(m_device.addresses("eth0", "inet"), before);
        QCOMPARE(m_device.defaultRoutes(), QStringList{"via 192.168.50.1 dev eth0"});
        QCOMPARE(m_device.count("EVENT connected"), 1);
    }

    // udhcpc killed while leased: the lease stays applied and a new udhcpc takes over after a second.
    void killedClientIsRestartedAndTheLeaseKept()
    {
        const QStringList before = m_device.addresses("eth0", "inet");
        const QString resolver = m_device.resolvConf();
        const QByteArray pid = m_device.sandbox.exec({"pidof", "udhcpc"}).output.trimmed();
        QVERIFY(m_device.sandbox.exec({"killall", "-KILL", "udhcpc"}).ok());
        QTRY_VERIFY_WITH_TIMEOUT(m_device.running("udhcpc"), 5000);
        QVERIFY(m_device.sandbox.exec({"pidof", "udhcpc"}).output.trimmed() != pid);
        QCOMPARE(m_device.addresses("eth0", "inet"), before);
        QCOMPARE(m_device.resolvConf(), resolver);
        QVERIFY(m_device.connectedNow());
        QCOMPARE(m_device.count("EVENT disconnected"), 0);
        QCOMPARE(m_device.count("EVENT connected"), 1);
    }

    void stopRemovesWhatWasApplied()
    {
        QVERIFY(m_device.command("stop"));
        QCOMPARE(m_device.addresses("eth0", "inet"), QStringList());
        QCOMPARE(m_device.addresses("eth0", "inet6").filter(" global"), QStringList());
        QCOMPARE(m_device.resolvConf(), resolverFile({}, QString()));
        QCOMPARE(m_device.count("EVENT disconnected"), 1);
        QVERIFY(!m_device.connectedNow());
    }
};

QTEST_GUILESS_MAIN(TestAddressSystem)
#include "tst_address_system.moc"
