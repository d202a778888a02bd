// Self-tests of the sandbox's LANs: real DHCP leases, router advertisements and cable control,
// observed from inside the simulated device.

#include "KivSandbox.h"

#include <QDeadlineTimer>
#include <QHostAddress>
#include <QSet>
#include <QtTest>

#include <functional>

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Waits end as soon as their condition holds; the limit only matters on a very busy machine.
const int Patience = 20000;

const int RdnssOption = 25;
const int DnsslOption = 31;
const unsigned LowerUpFlag = 1u << 16; // IFF_LOWER_UP: the link has carrier

// A rtnetlink socket opened inside a namespace, listening to the given multicast groups.
class RouteMonitor
{
public:
    RouteMonitor(const QString &netns, unsigned groups)
    {
        NetnsScope scope(netns);
        if (!scope.isActive())
            return;
        m_fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        sockaddr_nl addr = {};
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = groups;
        if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~RouteMonitor()
    {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }

    // Reads messages until one satisfies done or the time is up.
    bool waitFor(const std::function<bool(const nlmsghdr *)> &done, int timeoutMs)
    {
        QDeadlineTimer deadline(timeoutMs);
        char buf[16384];
        while (!deadline.hasExpired()) {
            pollfd fd = {m_fd, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(deadline.remainingTime())) <= 0)
                continue;
            const ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0)
                continue;
            int len = static_cast<int>(n);
            for (auto *h = reinterpret_cast<nlmsghdr *>(buf); NLMSG_OK(h, len); h = NLMSG_NEXT(h, len)) {
                if (done(h))
                    return true;
            }
        }
        return false;
    }

private:
    int m_fd = -1;
};

int indexInNetns(const QString &netns, const QString &interface)
{
    NetnsScope scope(netns);
    return scope.isActive() ? static_cast<int>(if_nametoindex(interface.toUtf8().constData())) : 0;
}

QStringList dnsslDomains(const quint8 *data, int len)
{
    QStringList domains;
    QStringList labels;
    for (int pos = 0; pos < len;) {
        const int labelLen = data[pos++];
        if (labelLen == 0) {
            if (!labels.isEmpty())
                domains << labels.join(QLatin1Char('.'));
            labels.clear();
            continue;
        }
        if (pos + labelLen > len)
            break;
        labels << QString::fromLatin1(reinterpret_cast<const char *>(data + pos), labelLen);
        pos += labelLen;
    }
    return domains;
}

// Resolver options of router advertisements, as the kernel reports them to user space.
struct UserOptions
{
    QSet<QString> nameServers;
    QSet<QString> searchDomains;

    void add(const nlmsghdr *h, int ifindex)
    {
        if (h->nlmsg_type != RTM_NEWNDUSEROPT)
            return;
        const auto *msg = static_cast<const nduseroptmsg *>(NLMSG_DATA(h));
        if (msg->nduseropt_ifindex != ifindex)
            return;
        const auto *opt = reinterpret_cast<const quint8 *>(msg + 1);
        for (int left = msg->nduseropt_opts_len; left >= 8;) {
            const int optLen = opt[1] * 8;
            if (optLen == 0 || optLen > left)
                break;
            if (opt[0] == RdnssOption) {
                for (int off = 8; off + 16 <= optLen; off += 16)
                    nameServers << QHostAddress(opt + off).toString();
            } else if (opt[0] == DnsslOption) {
                for (const QString &domain : dnsslDomains(opt + 8, optLen - 8))
                    searchDomains << domain;
            }
            opt += optLen;
            left -= optLen;
        }
    }
};

} // namespace

class SandboxLanTest : public QObject
{
    Q_OBJECT

    KivSandbox sandbox;

    KivSandbox::Result lease(const QString &interface, int discovers = 5)
    {
        return sandbox.exec({QStringLiteral("udhcpc"), QStringLiteral("-f"), QStringLiteral("-q"), QStringLiteral("-n"),
                             QStringLiteral("-t"), QString::number(discovers), QStringLiteral("-T"), QStringLiteral("1"),
                             QStringLiteral("-i"), interface, QStringLiteral("-s"),
                             KivSandbox::scriptDir() + QStringLiteral("/lease-print.sh")});
    }

    static QHash<QString, QString> leaseValues(const QByteArray &output)
    {
        QHash<QString, QString> values;
        for (const QByteArray &line : output.split('\n')) {
            const int eq = line.indexOf('=');
            if (line.startsWith("KIVD_") && eq > 0)
                values.insert(QString::fromUtf8(line.mid(5, eq - 5)), QString::fromUtf8(line.mid(eq + 1)));
        }
        return values;
    }

    QByteArray deviceOutput(const QStringList &command)
    {
        return sandbox.exec(command).output.trimmed();
    }

    void setLink(const QString &interface, const QString &state)
    {
        const KivSandbox::Result r = sandbox.exec({QStringLiteral("ip"), QStringLiteral("link"), QStringLiteral("set"), interface, state});
        QVERIFY2(r.ok(), r.output.constData());
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(sandbox.up(), qPrintable(sandbox.lastError()));
        setLink(QStringLiteral("eth0"), QStringLiteral("up"));
        setLink(QStringLiteral("wlan0"), QStringLiteral("up"));
    }

    void leaseComesFromTheLanServer_data()
    {
        QTest::addColumn<QString>("interface");
        QTest::addColumn<QString>("subnet");
        QTest::addColumn<QString>("domain");
        QTest::newRow("wired") << "eth0" << "192.168.50" << "wired.kiv.test";
        QTest::newRow("wireless") << "wlan0" << "192.168.60" << "wifi.kiv.test";
    }

    void leaseComesFromTheLanServer()
    {
        QFETCH(QString, interface);
        QFETCH(QString, subnet);
        QFETCH(QString, domain);
        const KivSandbox::Result result = lease(interface);
        QVERIFY2(result.ok(), result.output.constData());
        const QHash<QString, QString> values = leaseValues(result.output);
        QVERIFY2(values.value(QStringLiteral("IP")).startsWith(subnet + QLatin1Char('.')), result.output.constData());
        QCOMPARE(values.value(QStringLiteral("NETMASK")), QStringLiteral("255.255.255.0"));
        QCOMPARE(values.value(QStringLiteral("GATEWAY")), subnet + QStringLiteral(".1"));
        QCOMPARE(values.value(QStringLiteral("DNS")), subnet + QStringLiteral(".53 ") + subnet + QStringLiteral(".54"));
        QCOMPARE(values.value(QStringLiteral("DOMAIN")), domain);
    }

    void changedServerSettingsReachTheClient()
    {
        QVERIFY2(sandbox.configureLan(KivSandbox::Namespace::WiredLan,
                                      {"--router", "none", "--dns", "10.1.1.1 10.1.1.2", "--domain", "changed.test"}),
                 qPrintable(sandbox.lastError()));
        const KivSandbox::Result result = lease(QStringLiteral("eth0"));
        QVERIFY(sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--reset"}));
        QVERIFY2(result.ok(), result.output.constData());
        const QHash<QString, QString> values = leaseValues(result.output);
        QVERIFY(values.value(QStringLiteral("IP")).startsWith(QLatin1String("192.168.50.")));
        QCOMPARE(values.value(QStringLiteral("GATEWAY")), QString());
        QCOMPARE(values.value(QStringLiteral("DNS")), QStringLiteral("10.1.1.1 10.1.1.2"));
        QCOMPARE(values.value(QStringLiteral("DOMAIN")), QStringLiteral("changed.test"));
    }

    void lanWithoutDhcpServerGivesNoLease()
    {
        QVERIFY(sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--dhcp", "off"}));
        const KivSandbox::Result result = lease(QStringLiteral("eth0"), 2);
        QVERIFY(sandbox.configureLan(KivSandbox::Namespace::WiredLan, {"--reset"}));
        QVERIFY2(result.exitCode > 0, result.output.constData());
        QVERIFY(!result.output.contains("KIVD_IP="));
        QVERIFY(result.output.contains("no lease"));
    }

    void routerAdvertisementBringsAddressAndResolverOptions_data()
    {
        QTest::addColumn<QString>("interface");
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("domain");
        QTest::newRow("wired") << "eth0" << "fd00:50::" << "wired.kiv.test";
        QTest::newRow("wireless") << "wlan0" << "fd00:60::" << "wifi.kiv.test";
    }

    void routerAdvertisementBringsAddressAndResolverOptions()
    {
        QFETCH(QString, interface);
        QFETCH(QString, prefix);
        QFETCH(QString, domain);
        const QString device = sandbox.netns(KivSandbox::Namespace::Device);
        RouteMonitor monitor(device, 1u << (RTNLGRP_ND_USEROPT - 1));
        QVERIFY(monitor.isOpen());
        const int ifindex = indexInNetns(device, interface);
        QVERIFY(ifindex > 0);
        // A link coming up solicits the router, which answers at once.
        setLink(interface, QStringLiteral("down"));
        setLink(interface, QStringLiteral("up"));
        UserOptions options;
        const QString rdnss = prefix + QStringLiteral("53");
        const bool complete = monitor.waitFor(
            [&](const nlmsghdr *h) {
                options.add(h, ifindex);
                return options.nameServers.contains(rdnss) && options.searchDomains.contains(domain);
            },
            Patience);
        QVERIFY2(complete, qPrintable(QStringList(options.nameServers.values()).join(' ') + " / "
                                      + QStringList(options.searchDomains.values()).join(' ')));
        QTRY_VERIFY_WITH_TIMEOUT(deviceOutput({"ip", "-6", "-o", "addr", "show", "dev", interface, "scope", "global"})
                                     .contains(prefix.toUtf8()),
                                 Patience);
    }

    void cableUnplugAndPlugChangeCarrier_data()
    {
        QTest::addColumn<QString>("interface");
        QTest::newRow("wired") << "eth0";
        QTest::newRow("wireless") << "wlan0";
    }

    void cableUnplugAndPlugChangeCarrier()
    {
        QFETCH(QString, interface);
        const QString device = sandbox.netns(KivSandbox::Namespace::Device);
        const QStringList carrier{"cat", "/sys/class/net/" + interface + "/carrier"};
        QCOMPARE(deviceOutput(carrier), QByteArray("1"));
        RouteMonitor monitor(device, RTMGRP_LINK);
        QVERIFY(monitor.isOpen());
        const int ifindex = indexInNetns(device, interface);
        const auto linkReports = [ifindex](bool lowerUp) -> std::function<bool(const nlmsghdr *)> {
            return [ifindex, lowerUp](const nlmsghdr *h) {
                const auto *info = static_cast<const ifinfomsg *>(NLMSG_DATA(h));
                return h->nlmsg_type == RTM_NEWLINK && info->ifi_index == ifindex
                    && ((info->ifi_flags & LowerUpFlag) != 0) == lowerUp;
            };
        };

        QVERIFY2(sandbox.unplug(interface), qPrintable(sandbox.lastError()));
        QVERIFY(monitor.waitFor(linkReports(false), Patience));
        QCOMPARE(deviceOutput(carrier), QByteArray("0"));

        QVERIFY2(sandbox.plug(interface), qPrintable(sandbox.lastError()));
        QVERIFY(monitor.waitFor(linkReports(true), Patience));
        QCOMPARE(deviceOutput(carrier), QByteArray("1"));
    }
};

QTEST_GUILESS_MAIN(SandboxLanTest)
#include "tst_SandboxLan.moc"
