// What keeps the machine safe from the system tests: the launcher runs nothing outside a sandbox's
// device, and a sandbox leaves nothing behind, however its run ends. Everything else the sandbox
// offers is proven by the tests that run the daemon in it.
#include "KivSandbox.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const int Patience = 20000;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A live process, not a zombie waiting to be reaped.
bool running(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int end = stat.lastIndexOf(')');
    return end > 0 && stat.size() > end + 2 && stat.at(end + 2) != 'Z';
}

qint64 pidIn(const QString &file)
{
    return readFile(file).split(' ').first().trimmed().toLongLong();
}

// What of the sandbox is still on the machine: namespaces, its directory, mounts and processes.
QStringList leftovers(const QString &name, const QList<qint64> &pids)
{
    QStringList left;
    if (KivSandbox::run(QStringLiteral("ip"), {"netns", "list"}).output.contains(name.toUtf8()))
        left << QStringLiteral("namespaces");
    if (QFile::exists(QStringLiteral("/run/kiv-sandbox/") + name))
        left << QStringLiteral("directory");
    if (readFile(QStringLiteral("/proc/self/mountinfo")).contains(name.toUtf8()))
        left << QStringLiteral("mount");
    for (qint64 pid : pids) {
        if (pid > 0 && running(pid))
            left << QStringLiteral("process %1").arg(pid);
    }
    return left;
}

} // namespace

class TestSandboxSafety : public QObject
{
    Q_OBJECT

    KivSandbox m_sandbox;

private slots:
    void initTestCase() { QVERIFY2(m_sandbox.up(), qPrintable(m_sandbox.lastError())); }

    void deviceHasANetworkNamespaceOfItsOwn()
    {
        const QByteArray deviceNet = m_sandbox.exec({"readlink", "/proc/self/ns/net"}).output.trimmed();
        QVERIFY2(deviceNet.startsWith("net:["), deviceNet.constData());
        QVERIFY(deviceNet != QFile::symLinkTarget(QStringLiteral("/proc/self/ns/net")).toUtf8());
        QCOMPARE(m_sandbox.exec({"ls", "/sys/class/net"}).output, QByteArray("eth0\nlo\nwlan0\n"));
    }

    void launcherRefusesToRunOutsideTheDevice_data()
    {
        QTest::addColumn<QString>("deviceNetns");
        QTest::addColumn<QString>("initPid");
        const QString device = m_sandbox.netns(KivSandbox::Namespace::Device);
        const QString self = QString::number(QCoreApplication::applicationPid());
        QTest::newRow("init is a machine process") << device << self;
        QTest::newRow("init is in a LAN namespace") << device << QString::number(pidIn(m_sandbox.dir() + "/dnsmasq-wired.pid"));
        QTest::newRow("device namespace missing") << QStringLiteral("kivsb-00000000-dev") << self;
    }

    void launcherRefusesToRunOutsideTheDevice()
    {
        QFETCH(QString, deviceNetns);
        QFETCH(QString, initPid);
        QTemporaryDir fake;
        QVERIFY(writeFile(fake.filePath("env"), "SB_NS_DEVICE=" + deviceNetns.toUtf8() + "\nDBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent\n"));
        QVERIFY(writeFile(fake.filePath("init.pid"), initPid.toUtf8() + "\n"));
        const QString marker = fake.filePath("ran");
        const KivSandbox::Result r = KivSandbox::run(KivSandbox::programDir() + "/kiv-sandbox-ns", {"enter", fake.path(), "--", "touch", marker});
        QVERIFY2(r.exitCode != 0, r.output.constData());
        QVERIFY2(r.output.contains("refusing") || r.output.contains("missing"), r.output.constData());
        QVERIFY(!QFile::exists(marker));
    }

    void nothingIsLeftBehind_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("down, twice") << "down";
        QTest::newRow("owner killed") << "owner";
        QTest::newRow("owner and guard killed, then a sweep") << "sweep";
    }

    void nothingIsLeftBehind()
    {
        QFETCH(QString, ending);
        // A sandbox owned by another process, with a program and a soft-AP interface in its device.
        QProcess owner;
        owner.start(QStringLiteral("sleep"), {"300"});
        QVERIFY(owner.waitForStarted());
        const QString tool = KivSandbox::toolPath();
        const KivSandbox::Result up = KivSandbox::run(tool, {"up", "--owner", QString::number(owner.processId())}, 60000);
        QVERIFY2(up.ok(), up.output.constData());
        const QString name = QString::fromUtf8(up.output.trimmed()).section('\n', -1);
        const QString dir = QStringLiteral("/run/kiv-sandbox/") + name;
        QVERIFY(KivSandbox::run(tool, {"exec", name, "--detach", dir + "/tmp/sleeper.pid", "--", "sleep", "300"}).ok());
        QVERIFY(KivSandbox::run(tool, {"exec", name, "--", "iw", "phy", "phy0", "interface", "add", "uap0", "type", "__ap"}).ok());
        QList<qint64> pids{pidIn(dir + "/tmp/sleeper.pid")};
        for (const QString &file : QDir(dir).entryList({"*.pid", "guard"}, QDir::Files))
            pids << pidIn(dir + '/' + file);
        QVERIFY2(pids.size() >= 7 && leftovers(name, pids).size() >= 7, qPrintable(leftovers(name, pids).join(", ")));

        if (ending == QLatin1String("down")) {
            QVERIFY(KivSandbox::run(tool, {"down", name}).ok());
            QVERIFY2(leftovers(name, pids).isEmpty(), qPrintable(leftovers(name, pids).join(", ")));
            QVERIFY(KivSandbox::run(tool, {"down", name}).ok());
        } else if (ending == QLatin1String("owner")) {
            owner.kill();
            QTRY_COMPARE_WITH_TIMEOUT(leftovers(name, pids), QStringList(), Patience);
        } else {
            const qint64 guard = pidIn(dir + "/guard");
            QVERIFY(guard > 0);
            QCOMPARE(kill(static_cast<pid_t>(-guard), SIGKILL), 0);
            QTRY_VERIFY_WITH_TIMEOUT(!running(guard), Patience);
            owner.kill();
            QVERIFY(owner.waitForFinished());
            const KivSandbox::Result sweep = KivSandbox::run(tool, {"sweep"});
            QVERIFY2(sweep.ok(), sweep.output.constData());
            QVERIFY2(leftovers(name, pids).isEmpty(), qPrintable(leftovers(name, pids).join(", ")));
            // The sweep spares a sandbox whose owner lives.
            QVERIFY(!sweep.output.contains(m_sandbox.name().toUtf8()));
            QVERIFY(m_sandbox.exec({"true"}).ok());
        }
        owner.kill();
        owner.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestSandboxSafety)
#include "tst_sandbox_safety.moc"
