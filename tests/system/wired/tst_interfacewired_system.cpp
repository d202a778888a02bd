#include "AddressManager.h"
#include "InterfaceTestSupport.h"
#include "InterfaceWired.h"
#include "KivSandbox.h"
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

// The wired controller on the real eth0 of a sandbox device, with a real address manager, ip and
// udhcpc, and the wired LAN's dnsmasq. The program brings a sandbox up and runs itself inside the
// device, where the test proper runs; the cable is the LAN end of eth0's veth pair.
namespace {

const InterfaceName Eth0(QStringLiteral("eth0"));
const QString InDevice = QStringLiteral("--in-device");

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

// In a sandbox device PID 1 is the device's init, in the device's network namespace; elsewhere
// (the machine, a namespace of some other harness) it is not.
bool inSandboxDevice()
{
    QFile init(QStringLiteral("/proc/1/cmdline"));
    return inPrivateNamespaces() && init.open(QIODevice::ReadOnly)
           && init.readAll().split('\0').value(1) == "init"
           && QFile::symLinkTarget("/proc/1/exe").endsWith(QLatin1String("/kiv-sandbox-ns"))
           && QFile::symLinkTarget("/proc/1/ns/net").section('/', -1) == ownNamespaces().section(' ', 0, 0);
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
public:
    explicit TestInterfaceWiredSystem(const QString &wiredLan) : m_wiredLan(wiredLan) {}

private:
    bool setCable(bool plugged) { return sh("ip", {"-n", m_wiredLan, "link", "set", "lan0", plugged ? "up" : "down"}); }

    QString m_wiredLan;

private slots:
    void initTestCase()
    {
        // Links, addresses and /etc are changed below: only ever inside the sandbox device.
        QVERIFY2(inSandboxDevice(), "refusing to run outside a sandbox device");
        QVERIFY(QNetworkInterface::interfaceFromName("eth0").isValid());
        QVERIFY(!m_wiredLan.isEmpty());
    }

    void wiredLifecycleOnRealEthernet()
    {
        QVERIFY(setCable(false));
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

// Outside the device: a sandbox without router advertisements, so that only DHCP connects.
int runInSandbox()
{
    KivSandbox sandbox;
    if (!sandbox.up({"--no-ra"})) {
        qCritical("sandbox: %s", qPrintable(sandbox.lastError()));
        return 1;
    }
    QStringList command{QCoreApplication::applicationFilePath(), InDevice, ownNamespaces(),
                        sandbox.netns(KivSandbox::Namespace::WiredLan)};
    command += QCoreApplication::arguments().mid(1);
    const KivSandbox::Result result = sandbox.exec(command, 100000);
    fwrite(result.output.constData(), 1, size_t(result.output.size()), stdout);
    return result.ok() ? 0 : 1;
}

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QStringList arguments = application.arguments();
    const int inDevice = arguments.indexOf(InDevice);
    if (inDevice < 0 || inDevice + 2 >= arguments.size())
        return runInSandbox();
    qputenv("KIV_OUTER_NAMESPACES", arguments.at(inDevice + 1).toUtf8());
    TestInterfaceWiredSystem test(arguments.at(inDevice + 2));
    arguments.erase(arguments.begin() + inDevice, arguments.begin() + inDevice + 3);
    return QTest::qExec(&test, arguments);
}

#include "tst_interfacewired_system.moc"
