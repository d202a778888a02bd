// What keeps the machine safe from the system tests: the launcher runs nothing outside a sandbox's
// device, and a sandbox leaves nothing behind, however its run ends. Everything else the sandbox
// offers is proven by the tests that run the daemon in it.
#include "KivSandbox.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {

const int Patience = 20000;

qint64 pidIn(const QString &file) { return KivSandbox::readFile(file).split(' ').first().trimmed().toLongLong(); }

// What of the sandbox is still on the machine: namespaces, mounts, its directory and processes.
QStringList leftovers(const QString &name, const QList<qint64> &pids)
{
    QStringList left;
    const QByteArray mounts = KivSandbox::readFile(QStringLiteral("/proc/self/mountinfo"));
    if ((mounts + KivSandbox::run(QStringLiteral("ip"), {"netns", "list"}).output).contains(name.toUtf8()))
        left << QStringLiteral("namespaces or mounts");
    if (QFile::exists(QStringLiteral("/run/kiv-sandbox/") + name))
        left << QStringLiteral("directory");
    for (qint64 pid : pids) {
        // A zombie waiting to be reaped is gone.
        const QByteArray stat = KivSandbox::readFile(QStringLiteral("/proc/%1/stat").arg(pid));
        if (pid > 0 && !stat.isEmpty() && stat.at(stat.lastIndexOf(')') + 2) != 'Z')
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

    void launcherRefusesToRunOutsideTheDevice_data()
    {
        QTest::addColumn<QString>("deviceNetns");
        QTest::addColumn<qint64>("initPid");
        const QString device = m_sandbox.netns(KivSandbox::Namespace::Device);
        QTest::newRow("init is a machine process") << device << QCoreApplication::applicationPid();
        QTest::newRow("init is in a LAN namespace") << device << pidIn(m_sandbox.dir() + "/dnsmasq-wired.pid");
        QTest::newRow("device namespace missing") << QStringLiteral("kivsb-00000000-dev") << QCoreApplication::applicationPid();
    }

    void launcherRefusesToRunOutsideTheDevice()
    {
        QFETCH(QString, deviceNetns);
        QFETCH(qint64, initPid);
        QTemporaryDir fake;
        QVERIFY(KivSandbox::writeFile(fake.filePath("env"), "SB_NS_DEVICE=" + deviceNetns.toUtf8() + "\nDBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent\n"));
        QVERIFY(KivSandbox::writeFile(fake.filePath("init.pid"), QByteArray::number(initPid) + "\n"));
        const QString marker = fake.filePath("ran");
        const KivSandbox::Result r = KivSandbox::run(KivSandbox::programDir() + "/kiv-sandbox-ns", {"enter", fake.path(), "--", "touch", marker});
        QVERIFY2(r.exitCode != 0 && (r.output.contains("refusing") || r.output.contains("missing")), r.output.constData());
        QVERIFY(!QFile::exists(marker));
    }

    // The last row takes down this test's own sandbox; the others are owned by another process.
    void nothingIsLeftBehind_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("owner killed") << "owner";
        QTest::newRow("owner and guard killed, then a sweep") << "sweep";
        QTest::newRow("down, twice") << "down";
    }

    void nothingIsLeftBehind()
    {
        QFETCH(QString, ending);
        const QString tool = KivSandbox::toolPath();
        QProcess owner;
        owner.start(QStringLiteral("sleep"), {"300"});
        QVERIFY(owner.waitForStarted());
        QString name = m_sandbox.name();
        if (ending != QLatin1String("down")) {
            const KivSandbox::Result up = KivSandbox::run(tool, {"up", "--owner", QString::number(owner.processId())}, 60000);
            QVERIFY2(up.ok(), up.output.constData());
            name = QString::fromUtf8(up.output.trimmed()).section('\n', -1);
        }
        // A program and a soft-AP interface in the device.
        const QString dir = QStringLiteral("/run/kiv-sandbox/") + name;
        QVERIFY(KivSandbox::run(tool, {"exec", name, "--detach", dir + "/tmp/sleeper.pid", "--", "sleep", "300"}).ok());
        QVERIFY(KivSandbox::run(tool, {"exec", name, "--", "iw", "phy", "phy0", "interface", "add", "uap0", "type", "__ap"}).ok());
        QList<qint64> pids{pidIn(dir + "/tmp/sleeper.pid")};
        for (const QString &file : QDir(dir).entryList({"*.pid", "guard"}, QDir::Files))
            pids << pidIn(dir + '/' + file);
        QVERIFY2(pids.size() >= 7 && leftovers(name, pids).size() >= 7, qPrintable(leftovers(name, pids).join(", ")));

        if (ending == QLatin1String("down")) {
            QVERIFY(KivSandbox::run(tool, {"down", name}).ok());
            QCOMPARE(leftovers(name, pids), QStringList());
            QVERIFY(m_sandbox.down());
        } else if (ending == QLatin1String("owner")) {
            owner.kill();
            QTRY_COMPARE_WITH_TIMEOUT(leftovers(name, pids), QStringList(), Patience);
        } else {
            const qint64 guard = pidIn(dir + "/guard");
            QVERIFY(guard > 0);
            QCOMPARE(kill(static_cast<pid_t>(-guard), SIGKILL), 0);
            QTRY_VERIFY_WITH_TIMEOUT(leftovers(name, {guard}).filter("process").isEmpty(), Patience);
            owner.kill();
            QVERIFY(owner.waitForFinished());
            const KivSandbox::Result sweep = KivSandbox::run(tool, {"sweep"});
            QVERIFY2(sweep.ok(), sweep.output.constData());
            QCOMPARE(leftovers(name, pids), QStringList());
            // The sweep spares a sandbox whose owner lives.
            QVERIFY(!sweep.output.contains(m_sandbox.name().toUtf8()) && m_sandbox.exec({"true"}).ok());
        }
    }
};

QTEST_GUILESS_MAIN(TestSandboxSafety)
#include "tst_sandbox_safety.moc"
