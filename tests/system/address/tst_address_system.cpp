#include "AddressManager.h"
#include "AddressSandbox.h"
#include "ConfigFileWriter.h"
#include "NetlinkWatcher.h"
#include "NetworkDriverIp.h"
#include "ResolvConf.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace AddressSandbox;

namespace {

const InterfaceName Eth0(QStringLiteral("eth0"));
const int LeaseTimeoutMs = 20000;

} // namespace

// The address manager with real udhcpc, the installed helper script, the ip driver, the netlink
// watcher and the resolver file on the sandbox's eth0 (DHCPv4 and router advertisements) and
// wlan0 (router advertisements with another name server). The steps run in order, each one
// continuing from the state the previous one left.
class TestAddressSystem : public QObject
{
    Q_OBJECT

private:
    NetworkDriverIp m_driver;
    NetlinkWatcher *m_watcher = nullptr;
    ResolvConf *m_resolvConf = nullptr;
    AddressManager *m_manager = nullptr;
    QSignalSpy *m_connected = nullptr;
    QSignalSpy *m_disconnected = nullptr;

    static QString resolverFile(const QStringList &nameservers, const QString &search)
    {
        QString text = ConfigFileWriter::Header;
        for (const QString &server : nameservers)
            text += "nameserver " + server + '\n';
        return search.isEmpty() ? text : text + "search " + search + '\n';
    }

private slots:
    void initTestCase()
    {
        const QString refusal = refusalReason();
        if (!refusal.isEmpty())
            QFAIL(qPrintable("refusing to run: " + refusal));
        // IPv6 on eth0 starts only once the manager runs, so its router advertisement is news to it.
        QVERIFY(writeSysctl(QStringLiteral("net/ipv6/conf/eth0/disable_ipv6"), "1"));
        QVERIFY(ip({"link", "set", "eth0", "up"}));
        QVERIFY(ip({"link", "set", "wlan0", "up"}));
        m_watcher = new NetlinkWatcher(this);
        m_resolvConf = ResolvConf::create(this);
        m_manager = new AddressManager(Eth0, m_watcher, &m_driver, m_resolvConf, this);
        m_connected = new QSignalSpy(m_manager, &AddressManager::connected);
        m_disconnected = new QSignalSpy(m_manager, &AddressManager::disconnected);
    }

    void cleanupTestCase()
    {
        delete m_connected;
        delete m_disconnected;
        delete m_manager;
        QVERIFY(processes(QStringLiteral("udhcpc")).isEmpty());
    }

    void dhcpLeaseAndRouterAdvertisementAreApplied()
    {
        m_manager->start(InterfaceConfiguration(QStringLiteral("eth0")));
        QVERIFY(writeSysctl(QStringLiteral("net/ipv6/conf/eth0/disable_ipv6"), "0"));
        QTRY_COMPARE(processes(QStringLiteral("udhcpc")).size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(m_connected->count(), 1, LeaseTimeoutMs);

        QTRY_VERIFY_WITH_TIMEOUT(addresses("eth0", "inet").size() == 1, LeaseTimeoutMs);
        const QString leased = addresses("eth0", "inet").constFirst();
        QVERIFY2(QRegularExpression("^192\\.168\\.77\\.\\d+/24 global$").match(leased).hasMatch(), qPrintable(leased));
        QCOMPARE(defaultRoutes(), QStringList{"via 192.168.77.1 dev eth0"});

        // IPv4 servers from the lease and eth0's advertised server alternate; wlan0's server stays out.
        QTRY_COMPARE_WITH_TIMEOUT(resolvConf(),
                                  resolverFile({"192.168.77.53", "fd00:77::53", "192.168.77.54"}, "lan v6.example.lan"),
                                  LeaseTimeoutMs);
        const auto learnedOnWlan0 = [this] {
            for (const NetlinkAddress &server : m_watcher->nameservers()) {
                if (server.interfaceName == "wlan0")
                    return true;
            }
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(learnedOnWlan0(), LeaseTimeoutMs);
        QCOMPARE(resolvConf(), resolverFile({"192.168.77.53", "fd00:77::53", "192.168.77.54"}, "lan v6.example.lan"));
        QCOMPARE(m_disconnected->count(), 0);
    }

    void renewalWithChangedServerDataIsApplied()
    {
        const QString before = addresses("eth0", "inet").value(0);
        const int reloads = dnsmasqLog().count("dhcp-options");
        QVERIFY(setLeaseOptions("option:dns-server,192.168.77.55\noption:domain-name,office\n"));
        QTRY_VERIFY(dnsmasqLog().count("dhcp-options") > reloads);
        const QList<pid_t> clients = processes(QStringLiteral("udhcpc"));
        QCOMPARE(clients.size(), 1);
        // SIGUSR1 makes udhcpc renew its lease at once.
        QVERIFY(::kill(clients.constFirst(), SIGUSR1) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(resolvConf(), resolverFile({"192.168.77.55", "fd00:77::53"}, "office v6.example.lan"),
                                  LeaseTimeoutMs);
        QCOMPARE(addresses("eth0", "inet"), QStringList{before});
        QCOMPARE(defaultRoutes(), QStringList{"via 192.168.77.1 dev eth0"});
        QCOMPARE(m_connected->count(), 1);
    }

    void ipv6KeepsTheConnectionWhenIpv4Fails()
    {
        // The kernel announces an IPv6 address once duplicate detection has passed.
        const auto watcherHasGlobalIpv6 = [this] {
            return Ipv6AddressManager::hasGlobalAddress(m_watcher->addresses("eth0"));
        };
        QTRY_VERIFY_WITH_TIMEOUT(watcherHasGlobalIpv6(), LeaseTimeoutMs);
        const QList<pid_t> clients = processes(QStringLiteral("udhcpc"));
        QCOMPARE(clients.size(), 1);
        QVERIFY(::kill(clients.constFirst(), SIGKILL) == 0);
        QTRY_COMPARE_WITH_TIMEOUT(addresses("eth0", "inet"), QStringList(), LeaseTimeoutMs);
        QCOMPARE(resolvConf(), resolverFile({"fd00:77::53"}, "v6.example.lan"));
        QVERIFY(m_manager->isConnected());
        QCOMPARE(m_disconnected->count(), 0);
    }

    void stopRemovesWhatWasApplied()
    {
        m_manager->stop();
        QCOMPARE(addresses("eth0", "inet"), QStringList());
        QCOMPARE(addresses("eth0", "inet6").filter(" global"), QStringList());
        QCOMPARE(resolvConf(), resolverFile({}, QString()));
        QCOMPARE(m_disconnected->count(), 1);
        QVERIFY(!m_manager->isConnected());
    }

    void staticConfigurationIsAppliedWithoutDhcpClient()
    {
        m_manager->start(InterfaceConfiguration("eth0", "192.168.77.9", "255.255.255.0", "192.168.77.1",
                                                {"192.168.77.53"}, {"static.lan"}));
        QCOMPARE(m_connected->count(), 2);
        QCOMPARE(addresses("eth0", "inet"), QStringList{"192.168.77.9/24 global"});
        QCOMPARE(defaultRoutes(), QStringList{"via 192.168.77.1 dev eth0"});
        QCOMPARE(resolvConf(), resolverFile({"192.168.77.53"}, "static.lan"));
        QCOMPARE(processes(QStringLiteral("udhcpc")), QList<pid_t>());
        m_manager->stop();
        QCOMPARE(addresses("eth0", "inet"), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestAddressSystem)
#include "tst_address_system.moc"
