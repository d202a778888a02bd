// Runs the built daemon, always inside private network, mount and PID namespaces, with recording
// stand-ins for "ip" and "killall" first on its search path.
#include "TestSupport.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QStringList NamespaceArguments{"--net", "--mount", "--propagation", "private", "--pid", "--fork", "--mount-proc"};

const QString MainLoop = QStringLiteral("INFO Kivd.cpp Finished setting up, starting main loop...");
// Marks rows whose run goes on to the manager and ends at its registration.
const int EndsAtRegistration = -1;

const QString HelpText = QStringLiteral(
    "kivd arguments:\n\t-d\tIncrease debug level\n\t-m\tMonitor mode (Don't change anything)\n"
    "\t--wired-interface - default wired interface: eth0\n\t--wireless interface - default wireless interface: "
    "wlan0\t--softap interfaces (separated by comma) - default sofap interface: uap0\n");

QStringList helpLines()
{
    return HelpText.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList ipCommands(const QString &name)
{
    return {QStringLiteral("ip link set dev %1 down").arg(name), QStringLiteral("ip -4 addr flush dev %1").arg(name),
            QStringLiteral("ip -6 addr flush dev %1 scope global").arg(name)};
}

QStringList cleanUpFor(const QStringList &names)
{
    QStringList commands{QStringLiteral("killall wpa_supplicant udhcpd udhcpc hostapd dnsd")};
    for (const QString &name : names)
        commands += ipCommands(name);
    return commands;
}

} // namespace

class TestKivd : public QObject
{
    Q_OBJECT

    QString m_unshare;
    QTemporaryDir m_dir;
    QString m_fakes;

    // Runs kivd with the stand-ins first on the given search path (the default one when empty).
    ChildRun runKivd(const QStringList &arguments, const QString &path = QString()) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), path.isEmpty() ? m_fakes + QStringLiteral(":/usr/bin:/bin") : path);
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), "unix:path=" + m_dir.filePath("no-bus"));
        return ChildRun::run(m_unshare, NamespaceArguments + QStringList{QStringLiteral(KIVD_BINARY)} + arguments,
                             environment);
    }

    QString readFile(const QString &name) const
    {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QStringList recordedCommands() const { return readFile("commands").split(QLatin1Char('\n'), Qt::SkipEmptyParts); }

    static void verifyBannerThenTail(const QStringList &lines, const QStringList &tail)
    {
        QVERIFY2(lines.size() >= 2, qPrintable(lines.join('\n')));
        QCOMPARE(lines.at(0), QStringLiteral("INFO Kivd.cpp kivd version: 1.99"));
        QVERIFY2(lines.at(1).startsWith(QLatin1String("INFO Kivd.cpp ")), qPrintable(lines.at(1)));
        QCOMPARE(lines.mid(2), tail);
    }

    // Without a system bus the manager (or monitor) cannot register, which ends the process.
    static void verifyEndsAtRegistration(const ChildRun &run)
    {
        QVERIFY(run.finished);
        QVERIFY(run.exitStatus == QProcess::CrashExit || run.exitCode != 0);
        const QStringList lines = run.normalized();
        const int critical =
            lines.indexOf("ERROR ControlInterface.cpp There is already a dbus object at/com/tarvel/kiv, exiting!");
        QVERIFY2(critical > 0, run.output.constData());
        QCOMPARE(lines.value(critical + 1), QStringLiteral("FATAL ControlInterface.cpp Aborting program due to fatal error!"));
        QVERIFY(!lines.contains(MainLoop));
    }

private slots:
    void initTestCase()
    {
        m_unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
        if (m_unshare.isEmpty())
            QSKIP("unshare is not installed: kivd is only ever started inside private namespaces");
        const ChildRun probe = ChildRun::run(m_unshare, NamespaceArguments + QStringList{QStringLiteral("true")});
        if (!probe.finished || probe.exitStatus != QProcess::NormalExit || probe.exitCode != 0)
            QSKIP("cannot create private network, mount and PID namespaces (root needed): kivd is not started");

        // The stand-ins record their argument list, search path and namespaces, and fail like "ip"
        // does for an interface named missing0.
        QVERIFY(m_dir.isValid());
        m_fakes = m_dir.filePath(QStringLiteral("bin"));
        QVERIFY(QDir().mkpath(m_fakes));
        for (const QString name : {"ip", "killall"}) {
            QFile script(m_fakes + QLatin1Char('/') + name);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write(QStringLiteral(
                             "#!/bin/sh\n"
                             "{ printf '%s' '%1'; for a in \"$@\"; do printf ' %s' \"$a\"; done; printf '\\n'; } >> '%2/commands'\n"
                             "printf '%s\\n' \"$PATH\" > '%2/path'\n"
                             "readlink /proc/self/ns/net > '%2/netns'\n"
                             "readlink /proc/self/ns/mnt > '%2/mntns'\n"
                             "for a in \"$@\"; do\n"
                             "    if [ \"$a\" = missing0 ]; then echo 'Cannot find device \"missing0\"'; exit 1; fi\n"
                             "done\n")
                             .arg(name, m_dir.path())
                             .toUtf8());
            script.close();
            QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                          | QFileDevice::ReadOther | QFileDevice::ExeOther));
        }
    }

    void init()
    {
        for (const char *name : {"commands", "path", "netns", "mntns"})
            QFile::remove(m_dir.filePath(QLatin1String(name)));
    }

    void runsCommandsThenEndsWithStatus_data()
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

    void runsCommandsThenEndsWithStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QStringList, commands);
        QFETCH(QStringList, tail);

        const ChildRun run = runKivd(arguments);
        if (exitCode == EndsAtRegistration) {
            // The clean-up lines come right after the banner; the controllers' commands and lines follow.
            QCOMPARE(recordedCommands().mid(0, commands.size()), commands);
            verifyBannerThenTail(run.normalized().mid(0, 2 + tail.size()), tail);
            verifyEndsAtRegistration(run);
            return;
        }
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(recordedCommands(), commands);
        verifyBannerThenTail(run.normalized(), tail);
        if (exitCode == 1)
            QVERIFY2(run.output.endsWith(HelpText.toUtf8()), run.output.constData());
    }

    // The monitor observes only, and ends at the same fatal line without a bus.
    void monitorModeRunsNoCommand()
    {
        const ChildRun run = runKivd({QStringLiteral("-m"), QStringLiteral("--wired"), QStringLiteral("eth7")});
        verifyEndsAtRegistration(run);
        QCOMPARE(recordedCommands(), QStringList());
        QVERIFY2(run.normalized().contains("INFO NetworkMonitor.cpp Interface eth7 is disconnected"), run.output.constData());
    }

    void existingPathIsKeptAndCommandsRunInsidePrivateNamespaces()
    {
        const QString path = m_fakes + QStringLiteral(":/usr/bin:/bin:/kiv-not-a-directory");
        verifyEndsAtRegistration(runKivd({}, path));
        QCOMPARE(readFile(QStringLiteral("path")), path + QLatin1Char('\n'));
        for (const char *kind : {"net", "mnt"}) {
            const QString own = QFile::symLinkTarget(QStringLiteral("/proc/self/ns/") + QLatin1String(kind));
            QVERIFY(!readFile(QLatin1String(kind) + QStringLiteral("ns")).isEmpty());
            QVERIFY(!readFile(QLatin1String(kind) + QStringLiteral("ns")).contains(QFileInfo(own).fileName()));
        }
    }

    // The stand-ins are mounted over /sbin in the private mount namespace, then kivd starts without PATH.
    void unsetPathGetsDefault()
    {
        const QStringList wrapper{"/bin/sh", "-c", "mount --bind \"$0\" /sbin && exec env -u PATH \"$@\"", m_fakes,
                                  QStringLiteral(KIVD_BINARY)};
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), "unix:path=" + m_dir.filePath("no-bus"));
        verifyEndsAtRegistration(ChildRun::run(m_unshare, NamespaceArguments + wrapper, environment));
        QCOMPARE(readFile(QStringLiteral("path")), QStringLiteral("/sbin:/bin:/usr/sbin:/usr/bin\n"));
        const QStringList cleanUp = cleanUpFor({"eth0", "wlan0", "uap0"});
        QCOMPARE(recordedCommands().mid(0, cleanUp.size()), cleanUp);
    }
};

QTEST_GUILESS_MAIN(TestKivd)
#include "tst_kivd.moc"
