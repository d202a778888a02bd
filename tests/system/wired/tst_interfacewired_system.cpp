#include "AddressManager.h"
#include "InterfaceTestSupport.h"
#include "InterfaceWired.h"
#include "NetlinkWatcher.h"
#include "NetworkDriverIp.h"
#include "ResolvConf.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

#include <memory>
#include <vector>

// The wired controller on a real eth0 with a real address manager. The test moves itself into
// network, mount and PID namespaces of its own: eth0 is one end of a veth pair whose other end,
// lan0, sits in a LAN namespace with dnsmasq as DHCP server. Everything it starts ends with it.
namespace {

const InterfaceName Eth0(QStringLiteral("eth0"));

QString pidNamespace(const QString &pid)
{
    return QFile::symLinkTarget("/proc/" + pid + "/ns/pid");
}

// The IPv4 addresses of eth0 as the kernel has them, "address/prefix".
QStringList kernelIpv4Addresses()
{
    QByteArray output;
    run("ip", {"-j", "-4", "addr", "show", "dev", "eth0"}, &output);
    QStringList addresses;
    for (const QJsonValue &link : QJsonDocument::fromJson(output).array()) {
        for (const QJsonValue &info : link.toObject().value("addr_info").toArray())
            addresses << info.toObject().value("local").toString() + '/'
                             + QString::number(info.toObject().value("prefixlen").toInt());
    }
    return addresses;
}

bool eth0IsUp()
{
    QByteArray output;
    run("ip", {"-j", "link", "show", "dev", "eth0"}, &output);
    const QJsonArray links = QJsonDocument::fromJson(output).array();
    return !links.isEmpty() && links.first().toObject().value("flags").toArray().contains("UP");
}

} // namespace

class TestInterfaceWiredSystem : public QObject
{
    Q_OBJECT

    QTemporaryDir m_scratch;
    std::unique_ptr<QProcess> m_lan;
    std::unique_ptr<QProcess> m_dnsmasq;
    QString m_lanPid;

    // Runs a command in the LAN namespace.
    bool inLan(const QStringList &command)
    {
        return sh("nsenter", QStringList{"-t", m_lanPid, "-n"} + command);
    }

    bool setCable(bool plugged) { return inLan({"ip", "link", "set", "lan0", plugged ? "up" : "down"}); }

private slots:
    void initTestCase()
    {
        // Links, addresses, /etc and processes are changed below: only ever in namespaces of our own.
        QVERIFY2(inPrivateNamespaces() && pidNamespace("self") != qEnvironmentVariable("KIV_OUTER_PID_NAMESPACE"),
                 "refusing to run outside private network, mount and PID namespaces");
        QVERIFY2(!QNetworkInterface::interfaceFromName("eth0").isValid(), "this namespace already has an eth0");
        QVERIFY(sh("mount", {"-t", "sysfs", "sysfs", "/sys"}));
        QVERIFY(sh("ip", {"link", "set", "lo", "up"}));
        QVERIFY(overlayDirectory("/etc", m_scratch.filePath("etc")));
        QVERIFY(overlayDirectory("/usr/share", m_scratch.filePath("share")));
        QFile::remove("/etc/resolv.conf");
        QVERIFY(QFile("/etc/resolv.conf").open(QIODevice::WriteOnly));
        QVERIFY(QDir().mkpath("/usr/share/kivd"));
        QVERIFY(QFile::copy(KIV_SOURCE_DIR "/src/kivd/kivd_udhcpc.sh", "/usr/share/kivd/kivd_udhcpc.sh"));

        m_lan = std::make_unique<QProcess>();
        m_lan->start("unshare", {"--net", "sleep", "infinity"});
        QVERIFY(m_lan->waitForStarted());
        m_lanPid = QString::number(m_lan->processId());
        QTRY_VERIFY(QFile::symLinkTarget("/proc/" + m_lanPid + "/ns/net") != QFile::symLinkTarget("/proc/self/ns/net"));
        QVERIFY(sh("ip", {"link", "add", "eth0", "type", "veth", "peer", "name", "lan0", "netns", m_lanPid}));
        // Raw-socket DHCP clients drop the partial checksums of veth offload.
        QVERIFY(sh("ethtool", {"-K", "eth0", "tx", "off"}));
        QVERIFY(inLan({"ethtool", "-K", "lan0", "tx", "off"}));
        QVERIFY(inLan({"ip", "addr", "add", "192.168.50.1/24", "dev", "lan0"}));
        QVERIFY(inLan({"ip", "link", "set", "lo", "up"}));

        m_dnsmasq = std::make_unique<QProcess>();
        m_dnsmasq->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_dnsmasq->start("nsenter", {"-t", m_lanPid, "-n", "dnsmasq", "--no-daemon", "--conf-file=/dev/null",
                                     "--port=0", "--leasefile-ro", "--pid-file=", "--interface=lan0",
                                     "--bind-dynamic", "--dhcp-range=192.168.50.100,192.168.50.199,3600",
                                     "--dhcp-option=option:router,192.168.50.1",
                                     "--dhcp-option=option:dns-server,192.168.50.53"});
        QVERIFY(m_dnsmasq->waitForStarted());
    }

    void cleanupTestCase()
    {
        for (QProcess *process : {m_dnsmasq.get(), m_lan.get()}) {
            if (process) {
                process->kill();
                process->waitForFinished();
            }
        }
    }

    void wiredLifecycleOnRealEthernet()
    {
        // Declared first: the controller's destructor disables it, which a ready controller announces.
        QStringList journal;
        NetlinkWatcher netlink;
        NetworkDriverIp driver;
        ResolvConfImpl resolvConf;
        AddressManager address(Eth0, &netlink, &driver, &resolvConf);
        InterfaceWired wired(Eth0, &driver, &address);

        const auto note = [&](const char *line) { return [&journal, line] { journal << QLatin1String(line); }; };
        for (auto [signal, line] : {std::pair{&InterfaceWired::disabled, "disabled"}, {&InterfaceWired::waiting, "waiting"},
                                    {&InterfaceWired::waitingInterfaceRunning, "waitingInterfaceRunning"},
                                    {&InterfaceWired::waitingIpSetup, "waitingIpSetup"}, {&InterfaceWired::ready, "ready"},
                                    {&InterfaceWired::disconnecting, "disconnecting"},
                                    {&InterfaceWired::disconnected, "disconnected"}, {&InterfaceWired::unready, "unready"}})
            connect(&wired, signal, this, note(line));
        QSignalSpy status(&wired, &InterfaceWired::statusChanged);
        QSignalSpy disconnected(&wired, &InterfaceWired::disconnected);

        // What the manager does: pass on changes of eth0's up and running flags.
        bool up = false;
        bool running = false;
        connect(&netlink, &NetlinkWatcher::interfaceStatusChanged, this, [&](const QByteArray &name, bool u, bool r) {
            if (name != "eth0")
                return;
            if (u != up)
                wired.setUpState(Eth0, up = u);
            if (r != running)
                wired.setRunningState(running = r);
        });

        QVERIFY(setCable(false));
        QTRY_COMPARE(journal, QStringList{"disabled"});
        QCOMPARE(status.takeFirst().at(0).value<InterfaceStatus>(), InterfaceStatus::Down);

        wired.enable();
        QTRY_VERIFY(eth0IsUp());
        QTRY_COMPARE(journal, QStringList({"disabled", "waiting"}));
        QTRY_COMPARE(status.count(), 1);
        QCOMPARE(status.takeFirst().at(0).value<InterfaceStatus>(), InterfaceStatus::Up);

        QVERIFY(setCable(true));
        QTRY_COMPARE(journal.last(), QStringLiteral("waitingInterfaceRunning"));
        QVERIFY(wired.isCablePluggedIn());

        journal.clear();
        wired.activate(InterfaceConfiguration(Eth0.toString()));
        QTRY_COMPARE_WITH_TIMEOUT(journal, QStringList({"waitingIpSetup", "ready"}), 20000);
        QVERIFY(wired.isConnected());
        QCOMPARE(kernelIpv4Addresses().filter(QRegularExpression("^192\\.168\\.50\\.1\\d\\d/24$")).size(), 1);
        QFile resolv("/etc/resolv.conf");
        QVERIFY(resolv.open(QIODevice::ReadOnly));
        QVERIFY(resolv.readAll().contains("nameserver 192.168.50.53"));

        // Cable loss leaves at once, without the ready pause.
        journal.clear();
        QElapsedTimer clock;
        clock.start();
        QVERIFY(setCable(false));
        QTRY_COMPARE(journal, QStringList({"unready", "disconnected"}));
        QVERIFY2(clock.elapsed() < InterfaceWired::ReadyPauseMs / 2, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!wired.isCablePluggedIn());
        QVERIFY(setCable(true));
        QTRY_COMPARE(disconnected.count(), 2);
        QCOMPARE(journal, QStringList({"unready", "disconnected", "disconnected"}));

        // Back to ready, then over to a static address after the announced pause.
        wired.enable();
        QTRY_COMPARE(journal.last(), QStringLiteral("waitingInterfaceRunning"));
        wired.activate(InterfaceConfiguration(Eth0.toString()));
        QTRY_COMPARE_WITH_TIMEOUT(journal.last(), QStringLiteral("ready"), 20000);
        journal.clear();
        wired.reloadIp(InterfaceConfiguration(Eth0.toString(), "192.168.50.77", "255.255.255.0", "192.168.50.1",
                                              {"192.168.50.53"}, {}));
        QTRY_COMPARE(journal, QStringList{"disconnecting"});
        QTRY_COMPARE_WITH_TIMEOUT(journal, QStringList({"disconnecting", "unready", "waitingIpSetup", "ready"}),
                                  InterfaceWired::ReadyPauseMs + 5000);
        QTRY_COMPARE(kernelIpv4Addresses(), QStringList{"192.168.50.77/24"});
    }
};

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("KIV_OUTER_NAMESPACES")) {
        qputenv("KIV_OUTER_NAMESPACES", ownNamespaces().toUtf8());
        qputenv("KIV_OUTER_PID_NAMESPACE", pidNamespace("self").toUtf8());
        const QByteArray self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe")).toLocal8Bit();
        std::vector<const char *> arguments{"unshare", "--net", "--mount", "--propagation", "private", "--pid",
                                            "--fork", "--kill-child", "--mount-proc", self.constData()};
        for (int i = 1; i < argc; ++i)
            arguments.push_back(argv[i]);
        arguments.push_back(nullptr);
        execvp("unshare", const_cast<char **>(arguments.data()));
        qFatal("cannot run unshare");
    }
    QCoreApplication application(argc, argv);
    TestInterfaceWiredSystem test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_interfacewired_system.moc"
