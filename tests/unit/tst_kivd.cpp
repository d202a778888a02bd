// Runs the built daemon, always inside private network, mount and PID namespaces, with recording
// stand-ins for "ip" and "killall" first on its search path.
#include "TestSupport.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestKivd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void runsCommandsThenEndsWithStatus_data();
    void runsCommandsThenEndsWithStatus();
    void commandsRunInsidePrivateNamespaces();
    void monitorModeRunsNoCommandAndEndsWithoutBus();
    void existingPathIsKept();
    void unsetPathGetsDefault();

private:
    // Runs kivd with the stand-ins first on the given search path (the default one when empty).
    ChildRun runKivd(const QStringList &arguments, const QString &path = QString(),
                     const QString &busAddress = QString()) const;
    ChildRun runKivdWithoutPath(const QStringList &arguments) const;
    QStringList recordedCommands() const;
    QString readFile(const QString &name) const;
    void writeFake(const QString &name) const;
    void verifyBannerThenTail(const ChildRun &run, const QStringList &tail) const;
    void verifyEndsAtRegistration(const ChildRun &run) const;
    QString noBus() const { return QStringLiteral("unix:path=") + m_dir.filePath(QStringLiteral("no-bus")); }

    QString m_unshare;
    QTemporaryDir m_dir;
    QString m_fakes;
};

namespace {

const QStringList NamespaceArguments = {
    QStringLiteral("--net"), QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
    QStringLiteral("--pid"), QStringLiteral("--fork"), QStringLiteral("--mount-proc"),
};

const QString MainLoop = QStringLiteral("INFO Kivd.cpp Finished setting up, starting main loop...");

// Without a system bus the manager cannot register, which ends the process after clean-up.
const QStringList RegistrationFails = {
    QStringLiteral("ERROR ControlInterface.cpp There is already a dbus object at/com/tarvel/kiv, exiting!"),
    QStringLiteral("FATAL ControlInterface.cpp Aborting program due to fatal error!"),
};
// Marks rows whose run goes on to the manager and ends at its registration.
const int EndsAtRegistration = -1;

const QString HelpText = QStringLiteral(
    "kivd arguments:\n\t-d\tIncrease debug level\n\t-m\tMonitor mode (Don't change anything)\n"
    "\t--wired-interface - default wired interface: eth0\n\t--wireless interface - default wireless interface: "
    "wlan0\t--softap interfaces (separated by comma) - default sofap interface: uap0\n");

QStringList helpLines()
{
    QStringList lines = HelpText.split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}

QString killall()
{
    return QStringLiteral("killall wpa_supplicant udhcpd udhcpc hostapd dnsd");
}

QStringList ipCommands(const QString &name)
{
    return {QStringLiteral("ip link set dev %1 down").arg(name), QStringLiteral("ip -4 addr flush dev %1").arg(name),
            QStringLiteral("ip -6 addr flush dev %1 scope global").arg(name)};
}

QStringList cleanUpFor(const QStringList &names)
{
    QStringList commands = {killall()};
    for (const QString &name : names)
        commands += ipCommands(name);
    return commands;
}

} // namespace

void TestKivd::initTestCase()
{
    m_unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (m_unshare.isEmpty())
        QSKIP("unshare is not installed: kivd is only ever started inside private namespaces");
    const ChildRun probe = ChildRun::run(m_unshare, NamespaceArguments + QStringList{QStringLiteral("true")});
    if (!probe.finished || probe.exitStatus != QProcess::NormalExit || probe.exitCode != 0)
        QSKIP("cannot create private network, mount and PID namespaces (root needed): kivd is not started");

    QVERIFY(m_dir.isValid());
    m_fakes = m_dir.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(m_fakes));
    writeFake(QStringLiteral("ip"));
    writeFake(QStringLiteral("killall"));
}

void TestKivd::init()
{
    for (const char *name : {"commands", "path", "netns", "mntns"})
        QFile::remove(m_dir.filePath(QLatin1String(name)));
}

// The stand-in records its argument list, search path and namespaces, and fails like "ip" does
// for an interface named missing0.
void TestKivd::writeFake(const QString &name) const
{
    QFile script(m_fakes + QLatin1Char('/') + name);
    QVERIFY(script.open(QIODevice::WriteOnly));
    const QString text = QStringLiteral(
        "#!/bin/sh\n"
        "{ printf '%s' '%1'; for a in \"$@\"; do printf ' %s' \"$a\"; done; printf '\\n'; } >> '%2/commands'\n"
        "printf '%s\\n' \"$PATH\" > '%2/path'\n"
        "readlink /proc/self/ns/net > '%2/netns'\n"
        "readlink /proc/self/ns/mnt > '%2/mntns'\n"
        "for a in \"$@\"; do\n"
        "    if [ \"$a\" = missing0 ]; then echo 'Cannot find device \"missing0\"'; exit 1; fi\n"
        "done\n"
        "exit 0\n")
                             .arg(name, m_dir.path());
    script.write(text.toUtf8());
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                  | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                  | QFileDevice::ExeOther));
}

ChildRun TestKivd::runKivd(const QStringList &arguments, const QString &path, const QString &busAddress) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), path.isEmpty() ? m_fakes + QStringLiteral(":/usr/bin:/bin") : path);
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress.isEmpty() ? noBus() : busAddress);
    return ChildRun::run(m_unshare, NamespaceArguments + QStringList{QStringLiteral(KIVD_BINARY)} + arguments,
                         environment);
}

// The stand-ins are mounted over /sbin in the private mount namespace, then kivd starts without PATH.
ChildRun TestKivd::runKivdWithoutPath(const QStringList &arguments) const
{
    const QStringList wrapper = {QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                 QStringLiteral("mount --bind \"$0\" /sbin && exec env -u PATH \"$@\""), m_fakes,
                                 QStringLiteral(KIVD_BINARY)};
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), noBus());
    return ChildRun::run(m_unshare, NamespaceArguments + wrapper + arguments, environment);
}

QString TestKivd::readFile(const QString &name) const
{
    QFile file(m_dir.filePath(name));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

QStringList TestKivd::recordedCommands() const
{
    return readFile(QStringLiteral("commands")).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestKivd::verifyBannerThenTail(const ChildRun &run, const QStringList &tail) const
{
    const QStringList lines = run.normalized();
    QVERIFY2(lines.size() >= 2, run.output.constData());
    QCOMPARE(lines.at(0), QStringLiteral("INFO Kivd.cpp kivd version: 1.99"));
    QVERIFY2(lines.at(1).startsWith(QLatin1String("INFO Kivd.cpp ")), qPrintable(lines.at(1)));
    QCOMPARE(lines.mid(2), tail);
}

void TestKivd::verifyEndsAtRegistration(const ChildRun &run) const
{
    QVERIFY(run.finished);
    QVERIFY(run.exitStatus == QProcess::CrashExit || run.exitCode != 0);
    const QStringList lines = run.normalized();
    const int critical = lines.indexOf(RegistrationFails.at(0));
    QVERIFY2(critical > 0, run.output.constData());
    QCOMPARE(lines.value(critical + 1), RegistrationFails.at(1));
    QVERIFY(!lines.contains(MainLoop));
}

void TestKivd::runsCommandsThenEndsWithStatus_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QStringList>("tail");

    QTest::newRow("short help") << QStringList{"-h"} << 1 << QStringList() << helpLines();
    QTest::newRow("unknown argument then long help")
        << QStringList{"--bogus", "--help", "--wired"} << 1 << QStringList()
        << QStringList{QStringLiteral("ERROR KivdOptions.cpp Unknown argument '--bogus'")} + helpLines();
    QTest::newRow("missing value ends with 255 and no help")
        << QStringList{"-m", "--wireless"} << 255 << QStringList()
        << QStringList{QStringLiteral("ERROR KivdOptions.cpp Missing value for argument '--wireless'")};

    QTest::newRow("defaults clean up every interface")
        << QStringList() << EndsAtRegistration << cleanUpFor({"eth0", "wlan0", "uap0"}) << QStringList();

    const QStringList duplicated = cleanUpFor({"wlan0", "wlan0", "uap1", "uap1"});
    QStringList debugLines;
    for (const QString &command : duplicated)
        debugLines << QStringLiteral("DEBUG KivProcess.cpp KivProcess executing: \"%1\"").arg(command)
                   << QStringLiteral("DEBUG KivProcess.cpp KivProcess: \"%1\" finished successfully.").arg(command);
    QTest::newRow("duplicate names treated twice, each command logged at debug level")
        << QStringList{"-d", "--wired", "wlan0", "--softap", "uap1,uap1"} << EndsAtRegistration << duplicated
        << debugLines;
    QTest::newRow("empty soft-AP names kept")
        << QStringList{"--softap", ","} << EndsAtRegistration << cleanUpFor({"eth0", "wlan0", "", ""}) << QStringList();

    QStringList failures;
    for (const QString &command : ipCommands(QStringLiteral("missing0")))
        failures << QStringLiteral("ERROR KivProcess.cpp KivProcess: \"%1\" finished with error code: 1").arg(command)
                 << QStringLiteral("ERROR KivProcess.cpp KivProcess output: Cannot find device \"missing0\"");
    QTest::newRow("failing command is logged and start-up goes on")
        << QStringList{"--wired", "missing0"} << EndsAtRegistration << cleanUpFor({"missing0", "wlan0", "uap0"})
        << failures;
}

void TestKivd::runsCommandsThenEndsWithStatus()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, commands);
    QFETCH(QStringList, tail);

    const ChildRun run = runKivd(arguments);
    if (exitCode == EndsAtRegistration) {
        // The controllers run commands of their own after the clean-up.
        QCOMPARE(recordedCommands().mid(0, commands.size()), commands);
        // The clean-up lines come right after the banner; the manager's own lines follow.
        ChildRun start = run;
        start.lines = run.lines.mid(0, 2 + tail.size());
        verifyBannerThenTail(start, tail);
        verifyEndsAtRegistration(run);
        return;
    }
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(recordedCommands(), commands);
    verifyBannerThenTail(run, tail);
    if (exitCode == 1)
        QVERIFY2(run.output.endsWith(HelpText.toUtf8()), run.output.constData());
}

void TestKivd::commandsRunInsidePrivateNamespaces()
{
    const ChildRun run = runKivd({});
    verifyEndsAtRegistration(run);
    const QString ownNet = QFile::symLinkTarget(QStringLiteral("/proc/self/ns/net"));
    const QString ownMnt = QFile::symLinkTarget(QStringLiteral("/proc/self/ns/mnt"));
    QVERIFY(!readFile(QStringLiteral("netns")).isEmpty());
    QVERIFY(!readFile(QStringLiteral("netns")).contains(QFileInfo(ownNet).fileName()));
    QVERIFY(!readFile(QStringLiteral("mntns")).contains(QFileInfo(ownMnt).fileName()));
}

// The monitor observes only: without a system bus it cannot register and ends at the fatal line.
void TestKivd::monitorModeRunsNoCommandAndEndsWithoutBus()
{
    const ChildRun run = runKivd({QStringLiteral("-m"), QStringLiteral("--wired"), QStringLiteral("eth7")}, QString(),
                                 QStringLiteral("unix:path=") + m_dir.filePath(QStringLiteral("no-bus")));
    QVERIFY(run.finished);
    QVERIFY(run.exitStatus == QProcess::CrashExit || run.exitCode != 0);
    QCOMPARE(recordedCommands(), QStringList());
    const QStringList lines = run.normalized();
    QVERIFY2(lines.contains(QStringLiteral("INFO NetworkMonitor.cpp Interface eth7 is disconnected")), run.output.constData());
    const int critical =
        lines.indexOf(QStringLiteral("ERROR ControlInterface.cpp There is already a dbus object at/com/tarvel/kiv, exiting!"));
    QVERIFY2(critical > 0, run.output.constData());
    QCOMPARE(lines.value(critical + 1), QStringLiteral("FATAL ControlInterface.cpp Aborting program due to fatal error!"));
    QVERIFY(!lines.contains(MainLoop));
}

void TestKivd::existingPathIsKept()
{
    const QString path = m_fakes + QStringLiteral(":/usr/bin:/bin:/kiv-not-a-directory");
    const ChildRun run = runKivd({}, path);
    verifyEndsAtRegistration(run);
    QCOMPARE(readFile(QStringLiteral("path")), path + QLatin1Char('\n'));
}

void TestKivd::unsetPathGetsDefault()
{
    const ChildRun run = runKivdWithoutPath({});
    verifyEndsAtRegistration(run);
    QCOMPARE(readFile(QStringLiteral("path")), QStringLiteral("/sbin:/bin:/usr/sbin:/usr/bin\n"));
    const QStringList cleanUp = cleanUpFor({"eth0", "wlan0", "uap0"});
    QCOMPARE(recordedCommands().mid(0, cleanUp.size()), cleanUp);
}

QTEST_GUILESS_MAIN(TestKivd)
#include "tst_kivd.moc"
