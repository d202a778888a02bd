// Self-tests of the simulated device: what keeps the machine safe (its own namespaces, the
// machine's resolver left alone, the launcher's refusal, parallel sandboxes kept apart) and the
// daemon's bus policy. The doubles, the device's /tmp, the supplicant slot, hot-plug events and
// stations are proven by the system tests that run kivd in the device.

#include "KivSandbox.h"

#include <QDBusMessage>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Waits end as soon as their condition holds; the limit only matters on a very busy machine.
const int Patience = 20000;

const QString Nobody = QStringLiteral("--reuid=65534");

QString program(const char *name)
{
    return KivSandbox::programDir() + QLatin1Char('/') + QLatin1String(name);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList asNobody(const QStringList &command)
{
    return QStringList{QStringLiteral("setpriv"), Nobody, QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")} + command;
}

} // namespace

class SandboxDeviceTest : public QObject
{
    Q_OBJECT

    KivSandbox sandbox;

    QByteArray deviceOutput(const QStringList &command)
    {
        return sandbox.exec(command).output.trimmed();
    }

private slots:
    void initTestCase()
    {
        qRegisterMetaType<QProcess::ExitStatus>();
        QVERIFY2(sandbox.up(), qPrintable(sandbox.lastError()));
    }

    void deviceHasItsOwnNamespacesAndInterfaces()
    {
        QCOMPARE(deviceOutput({"ls", "/sys/class/net"}), QByteArray("eth0\nlo\nwlan0"));
        QCOMPARE(deviceOutput({"hostname"}), QByteArray("kivdevice"));
        QCOMPARE(deviceOutput({"cat", "/proc/1/comm"}), QByteArray("kiv-sandbox-ns"));
        const QByteArray hostNet = QFile::symLinkTarget(QStringLiteral("/proc/self/ns/net")).toUtf8();
        const QByteArray deviceNet = deviceOutput({"readlink", "/proc/self/ns/net"});
        QVERIFY(deviceNet.startsWith("net:["));
        QVERIFY(deviceNet != hostNet);
        struct stat device;
        QCOMPARE(stat(QByteArray("/run/netns/" + sandbox.netns(KivSandbox::Namespace::Device).toUtf8()).constData(), &device), 0);
        QCOMPARE(deviceNet, "net:[" + QByteArray::number(static_cast<qulonglong>(device.st_ino)) + "]");
    }

    void resolverFileIsTheSandboxFileAndCanBeReplacedAtomically()
    {
        const QByteArray machineResolver = readFile(QStringLiteral("/etc/resolv.conf"));
        QCOMPARE(deviceOutput({"realpath", "/etc/resolv.conf"}), sandbox.hostPath("/etc/resolv.conf").toUtf8());
        // The daemon's writer resolves the link and renames a ".new" file over the target.
        QVERIFY(sandbox.exec({"sh", "-c", "t=$(realpath /etc/resolv.conf) && echo 'nameserver 10.9.9.9' > $t.new && mv $t.new $t"}).ok());
        QCOMPARE(readFile(sandbox.hostPath("/etc/resolv.conf")), QByteArray("nameserver 10.9.9.9\n"));
        // Even /etc/resolv.conf itself can be replaced, in the device's private /etc only.
        QVERIFY(sandbox.exec({"sh", "-c", "echo 'nameserver 10.8.8.8' > /etc/resolv.conf.new && mv /etc/resolv.conf.new /etc/resolv.conf"}).ok());
        QCOMPARE(deviceOutput({"cat", "/etc/resolv.conf"}), QByteArray("nameserver 10.8.8.8"));
        QVERIFY(sandbox.exec({"ln", "-sfn", sandbox.hostPath("/etc/resolv.conf"), "/etc/resolv.conf"}).ok());
        QCOMPARE(readFile(QStringLiteral("/etc/resolv.conf")), machineResolver);
    }

    void marvellParameterFilesAppearUnderSysModule()
    {
        QVERIFY(sandbox.setModuleParameter(QStringLiteral("sd8xxx/parameters/cfg80211_drcs"), QStringLiteral("1")));
        QCOMPARE(deviceOutput({"cat", "/sys/module/sd8xxx/parameters/cfg80211_drcs"}), QByteArray("1"));
        QVERIFY(sandbox.setModuleParameter(QStringLiteral("mwifiex/parameters/drcs"), QStringLiteral("0")));
        QVERIFY(sandbox.exec({"sh", "-c", "printf 1 > /sys/module/mwifiex/parameters/drcs"}).ok());
        QCOMPARE(readFile(sandbox.hostPath("/sys/module/mwifiex/parameters/drcs")), QByteArray("1"));
        QVERIFY(sandbox.setModuleParameter(QStringLiteral("mwifiex/parameters/drcs"), QStringLiteral("--remove")));
        QVERIFY(!sandbox.exec({"test", "-e", "/sys/module/mwifiex/parameters/drcs"}).ok());
    }

    void busPolicyLetsOnlyRootOwnAndCallTheDaemon_data()
    {
        QTest::addColumn<bool>("asRoot");
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("root, daemon name") << true << "com.tarvel.kiv" << true;
        QTest::newRow("nobody, daemon name") << false << "com.tarvel.kiv" << false;
        QTest::newRow("nobody, test double name") << false << "org.kivsandbox.Open" << true;
    }

    void busPolicyLetsOnlyRootOwnAndCallTheDaemon()
    {
        QFETCH(bool, asRoot);
        QFETCH(QString, name);
        QFETCH(bool, allowed);
        const QStringList own{program("kiv-bus-probe"), "own", name};
        const QStringList call{program("kiv-bus-probe"), "call", name};
        const auto asUser = [asRoot](const QStringList &command) { return asRoot ? command : asNobody(command); };
        if (!allowed) {
            const KivSandbox::Result r = sandbox.exec(asUser(own));
            QCOMPARE(r.exitCode, 2);
            QVERIFY2(r.output.contains("org.freedesktop.DBus.Error.AccessDenied"), r.output.constData());
        }
        // The row's user serves the name where it may; root serves it otherwise.
        const QStringList server = allowed ? asUser(own) : own;
        QProcess *owner = sandbox.startAndWaitForBusName(server.first(), server.mid(1), name);
        QVERIFY2(owner, qPrintable(sandbox.lastError()));
        const KivSandbox::Result r = sandbox.exec(asUser(call));
        QVERIFY(sandbox.stop(owner));
        if (allowed) {
            QCOMPARE(r.output.trimmed(), QByteArray("reply pong"));
        } else {
            QCOMPARE(r.exitCode, 1);
            QCOMPARE(r.output.trimmed(), QByteArray("error org.freedesktop.DBus.Error.AccessDenied"));
        }
    }

    void launcherRefusesToRunOutsideTheDevice_data()
    {
        QTest::addColumn<QString>("deviceNetns");
        QTest::addColumn<QString>("initPid");
        const QString device = sandbox.netns(KivSandbox::Namespace::Device);
        const QString dnsmasq = QString::fromUtf8(readFile(sandbox.dir() + "/dnsmasq-wired.pid")).trimmed();
        QTest::newRow("init is a machine process") << device << QString::number(QCoreApplication::applicationPid());
        QTest::newRow("init is in a LAN namespace") << device << dnsmasq;
        QTest::newRow("device namespace missing") << QStringLiteral("kivsb-00000000-dev") << QString::number(QCoreApplication::applicationPid());
    }

    void launcherRefusesToRunOutsideTheDevice()
    {
        QFETCH(QString, deviceNetns);
        QFETCH(QString, initPid);
        QTemporaryDir fake;
        QVERIFY(writeFile(fake.filePath("env"), "SB_NS_DEVICE=" + deviceNetns.toUtf8() + "\nDBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent\n"));
        QVERIFY(writeFile(fake.filePath("init.pid"), initPid.toUtf8() + "\n"));
        const QString marker = fake.filePath("ran");
        const KivSandbox::Result r = KivSandbox::run(program("kiv-sandbox-ns"), {"enter", fake.path(), "--", "touch", marker});
        QVERIFY2(r.exitCode != 0, r.output.constData());
        QVERIFY2(r.output.contains("refusing") || r.output.contains("missing"), r.output.constData());
        QVERIFY(!QFile::exists(marker));
    }

    void parallelSandboxesDoNotDisturbEachOther()
    {
        KivSandbox other;
        QVERIFY2(other.up(), qPrintable(other.lastError()));
        QVERIFY(other.name() != sandbox.name());
        QList<QProcess *> clients;
        for (KivSandbox *box : {&sandbox, &other}) {
            QVERIFY(box->exec({"ip", "link", "set", "eth0", "up"}).ok());
            QProcess *client = box->start(QStringLiteral("udhcpc"), {"-f", "-i", "eth0", "-s", KivSandbox::scriptDir() + "/lease-print.sh"});
            QVERIFY(client);
            clients << client;
        }
        QByteArray first, second;
        QTRY_VERIFY_WITH_TIMEOUT((first += clients[0]->readAll()).contains("KIVD_FINISHED"), Patience);
        QTRY_VERIFY_WITH_TIMEOUT((second += clients[1]->readAll()).contains("KIVD_FINISHED"), Patience);

        // Each LAN server saw only its own device.
        const auto mac = [](KivSandbox *box) { return box->exec({"cat", "/sys/class/net/eth0/address"}).output.trimmed(); };
        const QByteArray leases = readFile(sandbox.dir() + "/dnsmasq-wired.leases");
        QVERIFY(leases.contains(mac(&sandbox)));
        QVERIFY(!leases.contains(mac(&other)));

        // killall in one device reaches only that device's processes.
        QVERIFY(sandbox.exec({"killall", "udhcpc"}).ok());
        QVERIFY(clients[0]->waitForFinished(Patience));
        QCOMPARE(clients[1]->state(), QProcess::Running);
        QVERIFY(other.exec({"pidof", "udhcpc"}).ok());
        QVERIFY(!sandbox.exec({"pidof", "udhcpc"}).ok());

        // Taking one sandbox down leaves the other one working.
        QVERIFY(other.down());
        QVERIFY(sandbox.exec({"true"}).ok());
        const QString dnsmasq = QString::fromUtf8(readFile(sandbox.dir() + "/dnsmasq-wired.pid")).trimmed();
        QVERIFY(QFile::exists("/proc/" + dnsmasq));
    }
};

QTEST_GUILESS_MAIN(SandboxDeviceTest)
#include "tst_SandboxDevice.moc"
