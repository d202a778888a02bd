// Runtime core: log lines, commands, crash reports, the command line and the daemon binary.
// Run as "tst_runtime probe MODE [PARAMETER]" the executable is its own child with the real handlers.
#include "KivCommon.h"
#include "KivProcess.h"
#include "KivdOptions.h"
#include "LogExpect.h"
#include "LogHandler.h"
#include "TavuStacktrace.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <ctime>
#include <sys/mman.h>

// Exported and kept out of line, so that the backtrace names them.
volatile int sideEffect = 0;
void (*volatile abortFunction)() = abort;

// Writes to a page mapped without access (a null pointer would be caught by the sanitizer first).
__attribute__((noinline)) void crashBySegmentationFault()
{
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int *>(page) = 1;
}

__attribute__((noinline)) int crashByStackOverflow(int depth)
{
    if (depth > 100000000)
        return 0;
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    sideEffect = crashByStackOverflow(depth + 1) + frame[0];
    return sideEffect;
}

// Called through a pointer and followed by a store, so that the call stays inside this function.
__attribute__((noinline)) void crashByAbort()
{
    abortFunction();
    sideEffect = 0;
}

__attribute__((noinline)) void crashBySignal(int signal)
{
    raise(signal);
    sideEffect = 0;
}

namespace {

int probe(const QByteArray &mode, const char *parameter)
{
    KivLog::install();
    if (mode == "levels") {
        KivLog::debugLevel = atoi(parameter);
        kivDebug() << "debug text " << 1;
        kivInfo() << "info text " << 2;
        kivWarning() << "warning text " << 3;
        kivCritical() << "critical text " << 4;
        QThread *worker = QThread::create([] { kivInfo() << "worker text"; });
        worker->start();
        worker->wait();
        delete worker;
    } else if (mode == "fatal") {
        kivCritical() << "probe failure";
        kivAbort();
    } else if (mode == "connect-missing") {
        QObject object;
        KivCommon::connect(&object, SIGNAL(noSuchSignal()), &object, SLOT(deleteLater()));
    } else if (mode == "disconnect-missing") {
        QObject object;
        KivCommon::disconnect(&object, SIGNAL(destroyed()), &object, SLOT(deleteLater()));
    } else {
        tavuStacktrace::install();
        kivInfo() << "about to crash: " << parameter;
        if (!strcmp(parameter, "segv"))
            crashBySegmentationFault();
        else if (!strcmp(parameter, "overflow"))
            return crashByStackOverflow(0);
        else if (!strcmp(parameter, "abort"))
            crashByAbort();
        else
            crashBySignal(atoi(parameter));
    }
    kivInfo() << "probe finished";
    return 0;
}

const QStringList NamespaceArguments{"--net", "--mount", "--propagation", "private", "--pid", "--fork", "--mount-proc"};
// Marks rows whose run goes on to the manager, which ends at its bus registration without a bus.
const int EndsAtRegistration = -1;
const QString HelpText = QStringLiteral(
    "kivd arguments:\n\t-d\tIncrease debug level\n\t-m\tMonitor mode (Don't change anything)\n"
    "\t--wired-interface - default wired interface: eth0\n\t--wireless interface - default wireless interface: "
    "wlan0\t--softap interfaces (separated by comma) - default sofap interface: uap0\n");

QStringList cleanUpFor(const QStringList &names)
{
    QStringList commands{QStringLiteral("killall wpa_supplicant udhcpd udhcpc hostapd dnsd")};
    for (const QString &name : names)
        commands << QStringLiteral("ip link set dev %1 down").arg(name) << QStringLiteral("ip -4 addr flush dev %1").arg(name)
                 << QStringLiteral("ip -6 addr flush dev %1 scope global").arg(name);
    return commands;
}

QString commandFailed(const QString &command, int code)
{
    return QStringLiteral("ERROR KivProcess.cpp KivProcess: \"%1\" finished with error code: %2").arg(command).arg(code);
}

QString commandOutput(const QString &line)
{
    return QStringLiteral("ERROR KivProcess.cpp KivProcess output: ") + line;
}

QString parsed(const KivdOptions &options)
{
    if (options.outcome != KivdOptions::Outcome::Run)
        return QStringLiteral("exit %1").arg(options.exitStatus());
    return QStringList{options.wired, options.wireless, options.softaps.join('|'), options.monitor ? "monitor" : "",
                       options.debug ? "debug" : ""}
        .join(' ')
        .trimmed();
}

} // namespace

class TestRuntime : public QObject
{
    Q_OBJECT

    QString m_unshare;
    QTemporaryDir m_dir;
    QString m_fakes;
    QString m_path;

    QString readFile(const QString &name) const
    {
        QFile file(m_dir.filePath(name));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private slots:
    // The stand-ins for "ip" and "killall" record their arguments and search path, and fail like "ip"
    // for an interface named missing0; kivd only ever starts inside private namespaces.
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_fakes = m_dir.filePath(QStringLiteral("bin"));
        m_path = m_fakes + QStringLiteral(":/usr/bin:/bin:/kiv-not-a-directory");
        QVERIFY(QDir().mkpath(m_fakes));
        for (const QString name : {"ip", "killall"}) {
            QFile script(m_fakes + QLatin1Char('/') + name);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write(QStringLiteral("#!/bin/sh\n"
                                        "{ printf '%s' '%1'; for a in \"$@\"; do printf ' %s' \"$a\"; done; echo; } >> '%2/commands'\n"
                                        "printf '%s\\n' \"$PATH\" > '%2/path'\n"
                                        "for a in \"$@\"; do\n"
                                        "    if [ \"$a\" = missing0 ]; then echo 'Cannot find device \"missing0\"'; exit 1; fi\n"
                                        "done\n")
                             .arg(name, m_dir.path())
                             .toUtf8());
            script.close();
            QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                          | QFileDevice::ReadOther | QFileDevice::ExeOther));
        }
        const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
        const ChildRun probe = ChildRun::run(unshare, NamespaceArguments + QStringList{QStringLiteral("true")});
        if (!unshare.isEmpty() && probe.finished && probe.exitStatus == QProcess::NormalExit && probe.exitCode == 0)
            m_unshare = unshare;
    }

    void init()
    {
        qputenv("TZ", "UTC");
        tzset();
        KivLog::debugLevel = 0;
        for (const char *name : {"commands", "path"})
            QFile::remove(m_dir.filePath(QLatin1String(name)));
    }

    void logLineAndCrashHeadShareOneFormat_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qlonglong>("seconds");
        QTest::addColumn<qlonglong>("microseconds");
        QTest::addColumn<qulonglong>("tid");
        QTest::addColumn<QByteArray>("expected");

        QTest::newRow("milliseconds zero padded") << QByteArray("UTC") << int(QtInfoMsg) << "x" << 0ll << 5000ll << 1ull
                                                  << QByteArray("19700101 00:00:00.005 [7.1] INFO x\n");
        QTest::newRow("microseconds truncated") << QByteArray("UTC") << int(QtWarningMsg) << "y" << 1700000000ll << 999999ll
                                                << 43ull << QByteArray("20231114 22:13:20.999 [7.43] WARN y\n");
        QTest::newRow("debug on a leap day") << QByteArray("UTC") << int(QtDebugMsg) << "d" << 951782400ll << 0ll << 8ull
                                             << QByteArray("20000229 00:00:00.000 [7.8] DEBUG d\n");
        QTest::newRow("thread id beyond 32 bits, text as UTF-8")
            << QByteArray("UTC") << int(QtCriticalMsg) << QStringLiteral("Gr\u00fc\u00dfe") << 0ll << 0ll << 4294967296ull
            << QByteArray("19700101 00:00:00.000 [7.4294967296] ERROR Gr\xc3\xbc\xc3\x9f" "e\n");
        QTest::newRow("east of UTC crosses into the next year")
            << QByteArray("UTC-2") << int(QtFatalMsg) << "f" << 946684799ll << 999999ll << 8ull
            << QByteArray("20000101 01:59:59.999 [7.8] FATAL f\n");
        QTest::newRow("west of UTC before the epoch") << QByteArray("UTC+5") << int(QtInfoMsg) << "w" << 3600ll << 1000ll
                                                      << 8ull << QByteArray("19691231 20:00:00.001 [7.8] INFO w\n");
        QTest::newRow("half-hour zone") << QByteArray("UTC-05:30") << int(QtInfoMsg) << "h" << 1700000000ll << 5000ll
                                        << 8ull << QByteArray("20231115 03:43:20.005 [7.8] INFO h\n");
        QTest::newRow("far future") << QByteArray("UTC") << int(QtInfoMsg) << "z" << 4102444800ll << 42000ll << 8ull
                                    << QByteArray("21000101 00:00:00.042 [7.8] INFO z\n");
    }

    void logLineAndCrashHeadShareOneFormat()
    {
        QFETCH(QByteArray, zone);
        QFETCH(int, type);
        QFETCH(QString, text);
        QFETCH(qlonglong, seconds);
        QFETCH(qlonglong, microseconds);
        QFETCH(qulonglong, tid);
        QFETCH(QByteArray, expected);

        qputenv("TZ", zone);
        tzset();
        QCOMPARE(KivLog::formatLine(QtMsgType(type), text, long(seconds), long(microseconds), 7,
                                     static_cast<unsigned long>(tid)),
                 expected);

        // The crash handler cannot call localtime: it gets the zone's offset.
        const time_t moment = static_cast<time_t>(seconds);
        struct tm local = {};
        localtime_r(&moment, &local);
        char head[128];
        const QByteArray level = expected.split(' ').at(3);
        const std::size_t length = tavuStacktrace::formatLineHead(head, sizeof head, long(seconds), long(microseconds),
                                                                  local.tm_gmtoff, 7, static_cast<unsigned long>(tid),
                                                                  level.constData());
        QCOMPARE(QByteArray(head, int(length)) + text.toUtf8() + '\n', expected);
        QCOMPARE(tavuStacktrace::formatLineHead(head, 16, long(seconds), 0, 0, 7, 1, "FATAL"), std::size_t(0));
    }

    void childLinesCarryIdsAndEndAsRequested_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("crashingFunction");

        const QStringList always{"INFO tst_runtime.cpp info text 2", "WARN tst_runtime.cpp warning text 3",
                                 "ERROR tst_runtime.cpp critical text 4", "INFO tst_runtime.cpp worker text",
                                 "INFO tst_runtime.cpp probe finished"};
        const QString aborting = QStringLiteral("FATAL %1 Aborting program due to fatal error!");
        QTest::newRow("level 0 writes no debug line") << QStringList{"levels", "0"} << 0 << always << QString();
        QTest::newRow("level 1 writes the debug line")
            << QStringList{"levels", "1"} << 0 << QStringList{"DEBUG tst_runtime.cpp debug text 1"} + always << QString();
        QTest::newRow("fatal message writes its line then aborts")
            << QStringList{"fatal"} << SIGABRT
            << QStringList{"ERROR tst_runtime.cpp probe failure", aborting.arg("tst_runtime.cpp")} << QString();
        QTest::newRow("connect of a missing signal ends the process")
            << QStringList{"connect-missing"} << SIGABRT
            << QStringList{"ERROR KivCommon.cpp Couldn't connect: 2noSuchSignal() -> 1deleteLater()",
                           aborting.arg("KivCommon.cpp")}
            << QString();
        QTest::newRow("disconnect of a connection that does not exist ends the process")
            << QStringList{"disconnect-missing"} << SIGABRT
            << QStringList{"ERROR KivCommon.cpp Couldn't disconnect: 2destroyed() -> 1deleteLater()",
                           aborting.arg("KivCommon.cpp")}
            << QString();
        const auto crash = [](const char *name, const QString &kind, int signal, const char *signalName, const char *function) {
            QTest::newRow(name) << QStringList{"crash", kind} << signal
                                << QStringList{"INFO tst_runtime.cpp about to crash: " + kind,
                                               QStringLiteral("FATAL TavuStacktrace.cpp Caught signal %1 (%2)").arg(signal).arg(signalName)}
                                << function;
        };
        crash("write to an inaccessible page", "segv", SIGSEGV, "SIGSEGV", "crashBySegmentationFault");
        crash("stack overflow", "overflow", SIGSEGV, "SIGSEGV", "crashByStackOverflow");
        crash("abort", "abort", SIGABRT, "SIGABRT", "crashByAbort");
        crash("floating point exception", QString::number(SIGFPE), SIGFPE, "SIGFPE", "crashBySignal");
        crash("illegal instruction", QString::number(SIGILL), SIGILL, "SIGILL", "crashBySignal");
        crash("bus error", QString::number(SIGBUS), SIGBUS, "SIGBUS", "crashBySignal");
    }

    void childLinesCarryIdsAndEndAsRequested()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, signal);
        QFETCH(QStringList, expected);
        QFETCH(QString, crashingFunction);

        const ChildRun run = ChildRun::run(QCoreApplication::applicationFilePath(), QStringList{"probe"} + arguments);
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, signal ? QProcess::CrashExit : QProcess::NormalExit);
        QCOMPARE(run.exitCode, signal);
        // Every line is the child's, written now, from its main thread unless it is the worker's.
        const QDateTime now = QDateTime::currentDateTime();
        for (const QString &raw : run.lines) {
            LogLine line;
            QVERIFY2(LogLine::parse(raw, &line), qPrintable(raw));
            QCOMPARE(line.pid, run.pid);
            QCOMPARE(line.tid == run.pid, line.text != QLatin1String("worker text"));
            const QDateTime written = QDateTime::fromString(line.date + ' ' + line.time, "yyyyMMdd HH:mm:ss.zzz");
            QVERIFY2(written.isValid() && qAbs(written.secsTo(now)) < 120, qPrintable(raw));
        }
        // Qt's own warnings before a wiring failure are left out.
        const QStringList lines = run.normalized().filter(QRegularExpression(QStringLiteral("^(?!WARN QObject::)")));
        if (crashingFunction.isEmpty()) {
            QCOMPARE(lines, expected);
            return;
        }
        // A header, numbered frames naming the crashing function, and their count.
        QVERIFY2(lines.size() >= 4, qPrintable(run.lines.join('\n')));
        QCOMPARE(lines.first(), expected.first());
        QVERIFY2(lines.at(1).startsWith(expected.at(1)) && lines.at(1).endsWith(", backtrace follows:"),
                 qPrintable(lines.at(1)));
        const QStringList frames = lines.mid(2, lines.size() - 3);
        for (int i = 0; i < frames.size(); ++i)
            QVERIFY2(frames.at(i).startsWith(QStringLiteral("FATAL TavuStacktrace.cpp #%1 ").arg(i, 2, 10, QLatin1Char('0'))),
                     qPrintable(frames.at(i)));
        QVERIFY2(frames.join('\n').contains(crashingFunction), qPrintable(run.lines.join('\n')));
        QCOMPARE(lines.last(), QStringLiteral("FATAL TavuStacktrace.cpp End of backtrace (%1 frames)").arg(frames.size()));
    }

    void macrosJoinPiecesAndComposeDebugOnlyWhenEnabled()
    {
        LogCapture recorder;
        int composed = 0;
        const auto value = [&composed] {
            ++composed;
            return QStringLiteral("value");
        };
        kivDebug() << "level zero " << value();
        QCOMPARE(composed, 0);
        KivLog::debugLevel = 1;
        kivDebug() << "level one " << value();
        QCOMPARE(composed, 1);
        // Each macro is one statement: it needs no braces and does not capture a following else.
        if (composed > 1)
            kivDebug() << "not taken";
        else
            kivInfo() << "count=" << 3 << ' ' << QStringLiteral("name \"x\"") << ' ' << QByteArray("raw");
        QCOMPARE(recorder.lines(), QStringList({"DEBUG tst_runtime.cpp level one value",
                                                "INFO tst_runtime.cpp count=3 name \"x\" raw"}));
    }

    void levelFromPropertyAboveOneIsCappedAtTwo_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("stored");
        QTest::newRow("1 stored without warning") << 1 << 1;
        QTest::newRow("2 warns") << 2 << 2;
        QTest::newRow("-1 warns and stores 2") << -1 << 2;
    }

    void levelFromPropertyAboveOneIsCappedAtTwo()
    {
        QFETCH(int, value);
        QFETCH(int, stored);

        LogCapture recorder;
        KivLog::setLevelFromProperty(value);
        QCOMPARE(KivLog::debugLevel, stored);
        QCOMPARE(recorder.lines(), value == 1 ? QStringList()
                                              : QStringList{QStringLiteral("WARN LogHandler.cpp LogLevel: %1 greater than maximum "
                                                                           "log level, capping at maximum log level!").arg(value)});
    }

    void commandLogsFailureAndOutput_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("debugLevel");
        QTest::addColumn<bool>("inWorker");
        QTest::addColumn<QStringList>("expected");

        const auto failing = [](const char *name, const QStringList &command, int code, const QStringList &output,
                                bool inWorker = false) {
            QStringList expected{commandFailed(command.join(' '), code)};
            for (const QString &line : output)
                expected << commandOutput(line);
            QTest::newRow(name) << command << 0 << inWorker << expected;
        };
        failing("two lines on stdout", {"sh", "-c", "echo one; echo two; exit 1"}, 1, {"one", "two"});
        failing("stderr merged in order", {"sh", "-c", "echo one; echo two >&2; exit 3"}, 3, {"one", "two"});
        failing("lines trimmed, inner empty line kept", {"sh", "-c", "printf '\\n  one  \\n\\n\\ttwo \\n\\n'; exit 4"}, 4,
                {"one", "", "two"});
        failing("no output gives one empty output line", {"sh", "-c", "exit 5"}, 5, {""});
        // Two positional parameters: neither the blank nor the semicolon was interpreted.
        failing("arguments passed without shell", {"sh", "-c", "exit $#", "sh", "a b", "$HOME;x"}, 2, {""});
        failing("run from a worker thread", {"sh", "-c", "echo worker; exit 6"}, 6, {"worker"}, true);
        QTest::newRow("success is silent at level 0")
            << QStringList{"sh", "-c", "echo discarded; echo also >&2"} << 0 << false << QStringList();
        QTest::newRow("success is logged above level 0")
            << QStringList{"true"} << 1 << false
            << QStringList{"DEBUG KivProcess.cpp KivProcess executing: \"true \"",
                           "DEBUG KivProcess.cpp KivProcess: \"true \" finished successfully."};
    }

    void commandLogsFailureAndOutput()
    {
        QFETCH(QStringList, command);
        QFETCH(int, debugLevel);
        QFETCH(bool, inWorker);
        QFETCH(QStringList, expected);

        LogCapture recorder;
        KivLog::debugLevel = debugLevel;
        const auto execute = [command] { KivProcess::execute(command.first(), command.mid(1)); };
        if (inWorker) {
            QThread *worker = QThread::create(execute);
            worker->start();
            QVERIFY(worker->wait(15000));
            delete worker;
        } else {
            execute();
        }
        QCOMPARE(recorder.lines(), expected);
    }

    void missingProgramLogsOneStartFailure()
    {
        LogCapture recorder;
        KivProcess::execute(QStringLiteral("/nonexistent/kiv-no-such-program"), {QStringLiteral("a")});
        QCOMPARE(recorder.lines().size(), 1);
        QVERIFY2(recorder.lines().first().startsWith(
                     "ERROR KivProcess.cpp KivProcess: \"/nonexistent/kiv-no-such-program a\" failed to start!: "),
                 qPrintable(recorder.lines().first()));
    }

    void hangingCommandIsKilledAfterFiveSeconds()
    {
        LogCapture recorder;
        QElapsedTimer elapsed;
        elapsed.start();
        KivProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo started; exec sleep 60")});
        // Far below the command's own minute, with room for a loaded machine.
        QVERIFY2(elapsed.elapsed() >= 4900 && elapsed.elapsed() < 30000, qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(recorder.lines(),
                 QStringList({"ERROR KivProcess.cpp KivProcess: \"sh -c echo started; exec sleep 60\" timed out, SIGKILL sent!",
                              commandOutput("started")}));
    }

    void optionsParse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("logged");

        const QString unknown = QStringLiteral("ERROR KivdOptions.cpp Unknown argument '%1'");
        QTest::newRow("names from their options, soft-AP names split at every comma")
            << QStringList{"--wireless", "wlan7", "--wired", "eth3", "--softap", "a,,b"} << "eth3 wlan7 a||b" << QStringList();
        QTest::newRow("second softap replaces the first")
            << QStringList{"--softap", "a,b", "--softap", "c"} << "eth0 wlan0 c" << QStringList();
        QTest::newRow("repeated flags") << QStringList{"-d", "-m", "-d"} << "eth0 wlan0 uap0 monitor debug" << QStringList();
        QTest::newRow("value that looks like an option is a name")
            << QStringList{"--wired", "-d"} << "-d wlan0 uap0" << QStringList();
        QTest::newRow("option as last argument misses its value")
            << QStringList{"--wireless", "wlan1", "--softap"} << "exit -1"
            << QStringList{"ERROR KivdOptions.cpp Missing value for argument '--softap'"};
        QTest::newRow("help ends parsing") << QStringList{"--bogus", "-h", "--wired"} << "exit 1"
                                           << QStringList{unknown.arg("--bogus")};
        QTest::newRow("long help") << QStringList{"--help"} << "exit 1" << QStringList();
        QTest::newRow("wired-interface of the help text is two unknown arguments")
            << QStringList{"--wired-interface", "eth5"} << "eth0 wlan0 uap0"
            << QStringList{unknown.arg("--wired-interface"), unknown.arg("eth5")};
        QTest::newRow("options are case-sensitive and exact")
            << QStringList{"-D", "--WIRED", "-m ", ""} << "eth0 wlan0 uap0"
            << QStringList{unknown.arg("-D"), unknown.arg("--WIRED"), unknown.arg("-m "), unknown.arg("")};
    }

    void optionsParse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, result);
        QFETCH(QStringList, logged);

        LogCapture recorder;
        QCOMPARE(parsed(KivdOptions::parse(arguments)), result);
        QCOMPARE(recorder.lines(), logged);
    }

    void daemonRunsCleanUpThenEndsWithStatus_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("withPath");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QStringList>("tail");

        const QStringList help = HelpText.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QTest::newRow("unknown argument then help")
            << QStringList{"--bogus", "--help", "--wired"} << true << 1 << QStringList()
            << QStringList{"ERROR KivdOptions.cpp Unknown argument '--bogus'"} + help;
        QTest::newRow("missing value ends with 255 and no help")
            << QStringList{"-m", "--wireless"} << true << 255 << QStringList()
            << QStringList{"ERROR KivdOptions.cpp Missing value for argument '--wireless'"};
        QTest::newRow("without PATH the default one, every default interface cleaned up")
            << QStringList() << false << EndsAtRegistration << cleanUpFor({"eth0", "wlan0", "uap0"}) << QStringList();

        const QStringList named = cleanUpFor({"wlan0", "wlan0", "uap1", "", "uap1"});
        QStringList debugLines;
        for (const QString &command : named)
            debugLines << QStringLiteral("DEBUG KivProcess.cpp KivProcess executing: \"%1\"").arg(command)
                       << QStringLiteral("DEBUG KivProcess.cpp KivProcess: \"%1\" finished successfully.").arg(command);
        QTest::newRow("duplicate and empty names each cleaned up, commands logged at debug level")
            << QStringList{"-d", "--wired", "wlan0", "--softap", "uap1,,uap1"} << true << EndsAtRegistration << named
            << debugLines;

        const QStringList failing = cleanUpFor({"missing0", "wlan0", "uap0"});
        QStringList failures;
        for (const QString &command : failing.mid(1, 3))
            failures << commandFailed(command, 1) << commandOutput("Cannot find device \"missing0\"");
        QTest::newRow("failing command is logged and start-up goes on")
            << QStringList{"--wired", "missing0"} << true << EndsAtRegistration << failing << failures;
        QTest::newRow("monitor runs no command")
            << QStringList{"-m", "--wired", "eth7"} << true << EndsAtRegistration << QStringList()
            << QStringList{"INFO NetworkMonitor.cpp Interface eth7 is disconnected"};
    }

    void daemonRunsCleanUpThenEndsWithStatus()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, withPath);
        QFETCH(int, exitCode);
        QFETCH(QStringList, commands);
        QFETCH(QStringList, tail);

        if (m_unshare.isEmpty())
            QSKIP("cannot create private network, mount and PID namespaces (root needed): kivd is not started");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), m_path);
        environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), "unix:path=" + m_dir.filePath("no-bus"));
        // Without PATH the stand-ins are mounted over /sbin in the private mount namespace.
        const QStringList start = withPath ? QStringList{KIVD_BINARY}
                                           : QStringList{"/bin/sh", "-c", "mount --bind \"$0\" /sbin && exec env -u PATH \"$@\"",
                                                         m_fakes, KIVD_BINARY};
        const ChildRun run = ChildRun::run(m_unshare, NamespaceArguments + start + arguments, environment);
        QVERIFY(run.finished);

        // Rows without commands expect none at all; the others expect the clean-up before the controllers' commands.
        const QStringList recorded = readFile("commands").split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        QCOMPARE(commands.isEmpty() ? recorded : QStringList(recorded.mid(0, commands.size())), commands);
        const QStringList lines = run.normalized();
        QVERIFY2(lines.size() >= 2, run.output.constData());
        QCOMPARE(lines.at(0), QStringLiteral("INFO Kivd.cpp kivd version: 1.99"));
        QVERIFY2(lines.at(1).startsWith(QLatin1String("INFO Kivd.cpp ")), qPrintable(lines.at(1)));
        if (exitCode != EndsAtRegistration) {
            QCOMPARE(run.exitStatus, QProcess::NormalExit);
            QCOMPARE(run.exitCode, exitCode);
            QCOMPARE(lines.mid(2), tail);
            QVERIFY2(exitCode != 1 || run.output.endsWith(HelpText.toUtf8()), run.output.constData());
            return;
        }
        QCOMPARE(lines.mid(2, tail.size()), tail);
        if (!commands.isEmpty())
            QCOMPARE(readFile("path"), (withPath ? m_path : QStringLiteral("/sbin:/bin:/usr/sbin:/usr/bin")) + '\n');
        QVERIFY(run.exitStatus == QProcess::CrashExit || run.exitCode != 0);
        const int critical = lines.indexOf("ERROR ControlInterface.cpp There is already a dbus object at/com/tarvel/kiv, exiting!");
        QVERIFY2(critical > 0, run.output.constData());
        QCOMPARE(lines.value(critical + 1), QStringLiteral("FATAL ControlInterface.cpp Aborting program due to fatal error!"));
        QVERIFY(!lines.contains("INFO Kivd.cpp Finished setting up, starting main loop..."));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc > 2 && !strcmp(argv[1], "probe"))
        return probe(argv[2], argc > 3 ? argv[3] : "");
    TestRuntime test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_runtime.moc"
