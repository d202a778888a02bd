// Self-tests of the sandbox's clean-up: an explicit down, the guard after the owner is killed, and
// the sweeper after both owner and guard are killed all leave nothing behind.

#include "KivSandbox.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <csignal>

namespace {

// Waits end as soon as their condition holds; the limit only matters on a very busy machine.
const int Patience = 20000;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A live process, not a zombie waiting to be reaped.
bool running(qint64 pid)
{
    const QByteArray stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const int end = stat.lastIndexOf(')');
    return end > 0 && stat.size() > end + 2 && stat.at(end + 2) != 'Z';
}

// Everything a sandbox made on the machine, recorded while it runs.
struct Footprint
{
    QString name;
    QList<qint64> pids;

    static Footprint of(const QString &name)
    {
        Footprint f{name, {}};
        const QString dir = QStringLiteral("/run/kiv-sandbox/") + name;
        for (const QString &file : QDir(dir).entryList({"*.pid", "guard"}, QDir::Files))
            f.pids << readFile(dir + QLatin1Char('/') + file).split(' ').first().trimmed().toLongLong();
        f.pids << readFile(dir + QStringLiteral("/tmp/sleeper.pid")).trimmed().toLongLong();
        return f;
    }

    QStringList leftovers() const
    {
        QStringList left;
        const KivSandbox::Result namespaces = KivSandbox::run(QStringLiteral("ip"), {"netns", "list"});
        for (const QByteArray &line : namespaces.output.split('\n')) {
            if (line.startsWith(name.toUtf8()))
                left << QStringLiteral("namespace ") + QString::fromUtf8(line);
        }
        if (QFile::exists(QStringLiteral("/run/kiv-sandbox/") + name))
            left << QStringLiteral("directory");
        for (qint64 pid : pids) {
            if (pid > 0 && running(pid))
                left << QStringLiteral("process %1 (%2)").arg(pid).arg(QString::fromUtf8(readFile(QStringLiteral("/proc/%1/comm").arg(pid))).trimmed());
        }
        if (readFile(QStringLiteral("/proc/self/mountinfo")).contains(name.toUtf8()))
            left << QStringLiteral("mount");
        return left;
    }
};

} // namespace

class SandboxLifecycleTest : public QObject
{
    Q_OBJECT

    QProcess owner;

    // A sandbox owned by a separate process, with a program and a soft-AP interface in its device.
    Footprint busySandbox()
    {
        owner.start(QStringLiteral("sleep"), {"300"});
        if (!owner.waitForStarted())
            return {};
        const KivSandbox::Result up = KivSandbox::run(KivSandbox::toolPath(), {"up", "--owner", QString::number(owner.processId())});
        const QString name = QString::fromUtf8(up.output.trimmed()).section('\n', -1);
        if (!up.ok())
            return {};
        const QString tool = KivSandbox::toolPath();
        KivSandbox::run(tool, {"exec", name, "--detach", "/run/kiv-sandbox/" + name + "/tmp/sleeper.pid", "--", "sleep", "300"});
        KivSandbox::run(tool, {"exec", name, "--", "iw", "phy", "phy0", "interface", "add", "uap0", "type", "__ap"});
        return Footprint::of(name);
    }

private slots:
    void cleanup()
    {
        owner.kill();
        owner.waitForFinished();
    }

    void downRemovesEverythingAndCanBeRepeated()
    {
        const Footprint sandbox = busySandbox();
        QVERIFY(!sandbox.name.isEmpty());
        QVERIFY2(sandbox.pids.size() >= 7 && sandbox.leftovers().size() >= 7, qPrintable(sandbox.leftovers().join(", ")));
        QVERIFY(KivSandbox::run(KivSandbox::toolPath(), {"down", sandbox.name}).ok());
        QVERIFY2(sandbox.leftovers().isEmpty(), qPrintable(sandbox.leftovers().join(", ")));
        QVERIFY(KivSandbox::run(KivSandbox::toolPath(), {"down", sandbox.name}).ok());
    }

    void killedOwnerLeavesNothingBehind()
    {
        const Footprint sandbox = busySandbox();
        QVERIFY(!sandbox.name.isEmpty());
        owner.kill();
        QTRY_COMPARE_WITH_TIMEOUT(sandbox.leftovers(), QStringList(), 20000);
    }

    void sweeperRemovesWhatAKilledRunLeft()
    {
        const Footprint sandbox = busySandbox();
        QVERIFY(!sandbox.name.isEmpty());
        const qint64 guard = readFile("/run/kiv-sandbox/" + sandbox.name + "/guard").split(' ').first().toLongLong();
        QVERIFY(guard > 0);
        QCOMPARE(kill(static_cast<pid_t>(-guard), SIGKILL), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!running(guard), Patience);
        owner.kill();
        QVERIFY(owner.waitForFinished());

        // Any sandbox tool run may sweep it now, this one or that of a test running in parallel.
        const KivSandbox::Result sweep = KivSandbox::run(KivSandbox::toolPath(), {"sweep"});
        QVERIFY2(sweep.ok(), sweep.output.constData());
        QVERIFY2(sandbox.leftovers().isEmpty(), qPrintable(sandbox.leftovers().join(", ")));
    }

    void sweeperSparesSandboxesWhoseOwnerLives()
    {
        KivSandbox alive;
        QVERIFY2(alive.up(), qPrintable(alive.lastError()));
        const KivSandbox::Result sweep = KivSandbox::run(KivSandbox::toolPath(), {"sweep"});
        QVERIFY(sweep.ok());
        QVERIFY(!sweep.output.contains(alive.name().toUtf8()));
        QVERIFY(alive.exec({"true"}).ok());
    }
};

QTEST_GUILESS_MAIN(SandboxLifecycleTest)
#include "tst_SandboxLifecycle.moc"
