// Runtime core: log lines, commands, wiring, crash reports and the command line.
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
#include <QThread>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <thread>

// Exported and kept out of line, so that the backtrace names them.
volatile int sideEffect = 0;

__attribute__((noinline)) int crashByStackOverflow(int depth)
{
    if (depth > 100000000)
        return 0;
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    sideEffect = crashByStackOverflow(depth + 1) + frame[0];
    return sideEffect;
}

// Followed by a store, so that the call stays inside this function.
__attribute__((noinline)) void crashBySignal(int signal)
{
    raise(signal);
    sideEffect = 0;
}

namespace {

// Every mode but "levels" ends the process: by a fatal message or by a crash.
int probe(const QByteArray &mode, const char *parameter)
{
    KivLog::install();
    QObject object;
    if (mode == "levels") {
        KivLog::debugLevel = 1;
        kivDebug() << "debug text " << 1;
        kivInfo() << "info text " << 2;
        kivWarning() << "warning text " << 3;
        std::thread([] { kivInfo() << "worker text"; }).join();
        kivCritical() << "critical text " << 4;
        return 0;
    }
    if (mode == "connect-missing") {
        KivCommon::connect(&object, SIGNAL(noSuchSignal()), &object, SLOT(deleteLater()));
    } else if (mode == "disconnect-missing") {
        KivCommon::disconnect(&object, SIGNAL(destroyed()), &object, SLOT(deleteLater()));
    }
    tavuStacktrace::install();
    kivInfo() << "about to crash: " << parameter;
    if (!strcmp(parameter, "overflow"))
        return crashByStackOverflow(0);
    crashBySignal(atoi(parameter));
    return 0;
}

const QString Output = QStringLiteral("ERROR KivProcess.cpp KivProcess output: %1");

} // namespace

class TestRuntime : public QObject
{
    Q_OBJECT

private slots:
    void init() { KivLog::debugLevel = 0; }

    void logLineAndCrashHeadShareOneFormat_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<qlonglong>("seconds");
        QTest::addColumn<qlonglong>("microseconds");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char *name, const char *zone, qlonglong seconds, qlonglong microseconds, const char *expected) {
            QTest::newRow(name) << QByteArray(zone) << seconds << microseconds << QByteArray(expected);
        };
        row("microseconds truncated", "UTC", 1700000000, 999999, "20231114 22:13:20.999 [7.43] WARN y\n");
        row("debug on a leap day", "UTC", 951782400, 0, "20000229 00:00:00.000 [7.8] DEBUG d\n");
        row("thread id beyond 32 bits, text as UTF-8", "UTC", 0, 0, "19700101 00:00:00.000 [7.4294967296] ERROR Gr\xc3\xbc\xc3\x9f" "e\n");
        row("east of UTC crosses into the next year", "UTC-2", 946684799, 999999, "20000101 01:59:59.999 [7.8] FATAL f\n");
        row("west of UTC before the epoch", "UTC+5", 3600, 1000, "19691231 20:00:00.001 [7.8] INFO w\n");
        row("half-hour zone", "UTC-05:30", 1700000000, 5000, "20231115 03:43:20.005 [7.8] INFO h\n");
    }

    void logLineAndCrashHeadShareOneFormat()
    {
        QFETCH(QByteArray, zone);
        QFETCH(qlonglong, seconds);
        QFETCH(qlonglong, microseconds);
        QFETCH(QByteArray, expected);

        // Thread id, level and text come from the row's line; the level names are in QtMsgType's order.
        const unsigned long tid = expected.split(']').at(0).split('.').last().toULong();
        const QByteArray level = expected.split(' ').at(3);
        const QtMsgType type = QtMsgType(QByteArrayList{"DEBUG", "WARN", "ERROR", "FATAL", "INFO"}.indexOf(level));
        const QString text = QString::fromUtf8(expected.mid(expected.indexOf(level) + level.size() + 1).chopped(1));
        qputenv("TZ", zone);
        tzset();
        QCOMPARE(KivLog::formatLine(type, text, long(seconds), long(microseconds), 7, tid), expected);

        // The crash handler cannot call localtime: it is given the zone's offset.
        const long offset = QDateTime::fromSecsSinceEpoch(seconds).offsetFromUtc();
        char head[128];
        const std::size_t length =
            tavuStacktrace::formatLineHead(head, sizeof head, long(seconds), long(microseconds), offset, 7, tid, level.constData());
        QCOMPARE(QByteArray(head, int(length)) + text.toUtf8() + '\n', expected);
        QCOMPARE(tavuStacktrace::formatLineHead(head, 16, long(seconds), 0, 0, 7, 1, "FATAL"), std::size_t(0));
    }

    // Log lines, some that end in a fatal message and an abort, or a crash report: a header,
    // numbered frames naming the crashing function, and their count.
    void childLinesCarryIdsAndEndAsRequested_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QString>("crashingFunction");
        const QString aborted = QStringLiteral("FATAL KivCommon.cpp Aborting program due to fatal error!");
        const auto crash = [](const char *name, const QString &kind, int signal, const char *signalName, const char *function) {
            const QString caught = QStringLiteral("FATAL TavuStacktrace.cpp Caught signal %1 (%2)").arg(signal).arg(signalName);
            QTest::newRow(name) << QStringList{"crash", kind} << signal << QStringList{"INFO tst_runtime.cpp about to crash: " + kind, caught} << function;
        };
        QTest::newRow("one line per message, the worker's included") << QStringList{"levels"} << 0
            << QStringList{"DEBUG tst_runtime.cpp debug text 1", "INFO tst_runtime.cpp info text 2", "WARN tst_runtime.cpp warning text 3",
                           "INFO tst_runtime.cpp worker text", "ERROR tst_runtime.cpp critical text 4"} << QString();
        QTest::newRow("connect of a missing signal ends the process") << QStringList{"connect-missing"} << SIGABRT
            << QStringList{"ERROR KivCommon.cpp Couldn't connect: 2noSuchSignal() -> 1deleteLater()", aborted} << QString();
        QTest::newRow("disconnect of a connection that does not exist ends the process") << QStringList{"disconnect-missing"} << SIGABRT
            << QStringList{"ERROR KivCommon.cpp Couldn't disconnect: 2destroyed() -> 1deleteLater()", aborted} << QString();
        // A segmentation fault on the alternate stack.
        crash("stack overflow", "overflow", SIGSEGV, "SIGSEGV", "crashByStackOverflow");
        for (const auto &[signal, name] : {std::pair{SIGABRT, "SIGABRT"}, {SIGFPE, "SIGFPE"}, {SIGILL, "SIGILL"}, {SIGBUS, "SIGBUS"}})
            crash(name, QString::number(signal), signal, name, "crashBySignal");
    }

    void childLinesCarryIdsAndEndAsRequested()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, signal);
        QFETCH(QStringList, expected);
        QFETCH(QString, crashingFunction);

        const ChildRun run = ChildRun::run(QCoreApplication::applicationFilePath(), QStringList{"probe"} + arguments);
        QCOMPARE(run.exitStatus, signal ? QProcess::CrashExit : QProcess::NormalExit);
        QCOMPARE(run.exitCode, signal);
        // Every line is the child's, written now, from its main thread unless it is the worker's.
        const QDateTime now = QDateTime::currentDateTime();
        for (const QString &raw : run.lines) {
            const QRegularExpressionMatch head = ChildRun::LogHead.match(raw);
            const QDateTime written = QDateTime::fromString(head.captured(1), QStringLiteral("yyyyMMdd HH:mm:ss.zzz"));
            QVERIFY2(head.hasMatch() && written.isValid() && qAbs(written.secsTo(now)) < 120, qPrintable(raw));
            QCOMPARE(head.captured(2).toLongLong(), run.pid);
            QCOMPARE(head.captured(3).toLongLong() == run.pid, !raw.endsWith(QLatin1String("worker text")));
        }
        // Qt's own warnings before a wiring failure are left out.
        const QStringList lines = run.normalized().filter(QRegularExpression(QStringLiteral("^(?!WARN QObject::)")));
        if (crashingFunction.isEmpty()) {
            QCOMPARE(lines, expected);
            return;
        }
        QVERIFY2(lines.size() >= 4, qPrintable(run.lines.join('\n')));
        QCOMPARE(lines.first(), expected.first());
        QVERIFY2(lines.at(1).startsWith(expected.at(1)) && lines.at(1).endsWith(", backtrace follows:"), qPrintable(lines.at(1)));
        const QStringList frames = lines.mid(2, lines.size() - 3);
        for (int i = 0; i < frames.size(); ++i)
            QVERIFY2(frames.at(i).startsWith(QStringLiteral("FATAL TavuStacktrace.cpp #%1 ").arg(i, 2, 10, QLatin1Char('0'))),
                     qPrintable(frames.at(i)));
        QVERIFY2(frames.join('\n').contains(crashingFunction), qPrintable(run.lines.join('\n')));
        QCOMPARE(lines.last(), QStringLiteral("FATAL TavuStacktrace.cpp End of backtrace (%1 frames)").arg(frames.size()));
    }

    // Debug pieces are composed only when enabled; each macro is one statement, which needs no
    // braces and does not capture a following else. The LogLevel property's values above 1,
    // negatives included, are capped at 2.
    void macrosJoinPiecesAndLevelIsCapped()
    {
        LogCapture recorder;
        int composed = 0;
        const auto value = [&composed] { return QString::number(++composed); };
        kivDebug() << "level zero " << value();
        KivLog::debugLevel = 1;
        kivDebug() << "level one " << value();
        if (composed > 1)
            kivDebug() << "not taken";
        else
            kivInfo() << "count=" << 3 << ' ' << QStringLiteral("name \"x\"") << ' ' << QByteArray("raw");
        for (const int level : {1, 2, -1})
            KivLog::setLevelFromProperty(level);
        QCOMPARE(KivLog::debugLevel, 2);
        const QString capped("WARN LogHandler.cpp LogLevel: %1 greater than maximum log level, capping at maximum log level!");
        QCOMPARE(recorder.lines(), QStringList({"DEBUG tst_runtime.cpp level one 1", "INFO tst_runtime.cpp count=3 name \"x\" raw",
                                                capped.arg(2), capped.arg(-1)}));
    }

    void commandLogsFailureAndOutput_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("debugLevel");
        QTest::addColumn<bool>("inWorker");
        QTest::addColumn<QStringList>("expected");
        const auto sh = [](const QString &script) { return QStringList{"sh", "-c", script}; };
        const auto failing = [](const char *name, const QStringList &command, int code, const QStringList &output, bool inWorker = false) {
            QStringList expected{
                QStringLiteral("ERROR KivProcess.cpp KivProcess: \"%1\" finished with error code: %2").arg(command.join(' ')).arg(code)};
            for (const QString &line : output)
                expected << Output.arg(line);
            QTest::newRow(name) << command << 0 << inWorker << expected;
        };
        failing("stdout and stderr merged in order", sh("echo one; echo two >&2; exit 3"), 3, {"one", "two"});
        failing("lines trimmed, inner empty line kept", sh("printf '\\n  one  \\n\\n\\ttwo \\n\\n'; exit 4"), 4, {"one", "", "two"});
        // Two positional parameters: neither the blank nor the semicolon was interpreted; no output
        // gives one empty output line.
        failing("arguments passed without shell", sh("exit $#") + QStringList{"sh", "a b", "$HOME;x"}, 2, {""});
        failing("run from a worker thread", sh("echo worker; exit 6"), 6, {"worker"}, true);
        QTest::newRow("missing program fails to start") << QStringList{"/nonexistent/kiv-no-such-program", "a"} << 0 << false
            << QStringList{"ERROR KivProcess.cpp KivProcess: \"/nonexistent/kiv-no-such-program a\" failed to start!: execvp: "
                           + QString::fromLocal8Bit(strerror(ENOENT))};
        QTest::newRow("success is silent at level 0") << sh("echo discarded; echo also >&2") << 0 << false << QStringList();
        QTest::newRow("hanging command is killed after five seconds") << sh("echo started; exec sleep 60") << 0 << false
            << QStringList{"ERROR KivProcess.cpp KivProcess: \"sh -c echo started; exec sleep 60\" timed out, SIGKILL sent!", Output.arg("started")};
        QTest::newRow("success is logged above level 0") << QStringList{"true"} << 1 << false
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
        QElapsedTimer elapsed;
        elapsed.start();
        const auto execute = [command] { KivProcess::execute(command.first(), command.mid(1)); };
        const std::unique_ptr<QThread> worker(QThread::create(execute));
        if (inWorker)
            worker->start();
        else
            execute();
        QVERIFY(worker->wait(15000));
        QCOMPARE(recorder.lines(), expected);
        // A hanging command is killed far below its own minute, with room for a loaded machine.
        const bool killed = expected.value(0).endsWith(QLatin1String("SIGKILL sent!"));
        QVERIFY2(elapsed.elapsed() < (killed ? 30000 : 15000) && (!killed || elapsed.elapsed() >= 4900),
                 qPrintable(QString::number(elapsed.elapsed())));
    }

    // The parsed options, or how the process exits, and the arguments logged as unknown. Start-up
    // kills what an earlier run left behind and takes every interface named down, in order.
    void optionsParse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("unknown");
        QTest::newRow("names from their options, soft-AP names split at every comma")
            << QStringList{"--wireless", "wlan7", "--wired", "eth3", "--softap", "a,,b"} << "eth3 wlan7 a||b" << QStringList();
        QTest::newRow("value that looks like an option is a name, flags repeat")
            << QStringList{"-m", "--wired", "-d", "-m"} << "-d wlan0 uap0 monitor" << QStringList();
        QTest::newRow("option as last argument misses its value") << QStringList{"--wireless", "wlan1", "--softap"} << "exit -1"
                                                                  << QStringList();
        QTest::newRow("help ends parsing") << QStringList{"--bogus", "-h", "--wired"} << "exit 1" << QStringList{"--bogus"};
        QTest::newRow("help text's wired-interface is two unknown arguments, options are exact")
            << QStringList{"--wired-interface", "eth5", "-D", "--WIRED", "-m ", ""} << "eth0 wlan0 uap0"
            << QStringList{"--wired-interface", "eth5", "-D", "--WIRED", "-m ", ""};
    }

    void optionsParse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, result);
        QFETCH(QStringList, unknown);

        LogCapture recorder;
        const KivdOptions options = KivdOptions::parse(arguments);
        const QStringList fields{options.wired, options.wireless, options.softaps.join('|'),
                                 options.monitor ? "monitor" : "", options.debug ? "debug" : ""};
        const bool run = options.outcome == KivdOptions::Outcome::Run;
        QCOMPARE(run ? fields.join(' ').trimmed() : QStringLiteral("exit %1").arg(options.exitStatus()), result);
        QStringList logged = unknown.replaceInStrings(QRegularExpression("^(.*)$"), "ERROR KivdOptions.cpp Unknown argument '\\1'");
        if (result == QLatin1String("exit -1"))
            logged << "ERROR KivdOptions.cpp Missing value for argument '" + arguments.last() + "'";
        QCOMPARE(recorder.lines(), logged);
        QStringList cleanUp{QStringLiteral("killall wpa_supplicant udhcpd udhcpc hostapd dnsd")};
        for (const QString &name : QStringList{options.wired, options.wireless} + options.softaps)
            cleanUp << "ip link set dev " + name + " down" << "ip -4 addr flush dev " + name << "ip -6 addr flush dev " + name + " scope global";
        QStringList commands;
        for (const KivdCommand &command : Kivd::cleanupCommands(options))
            commands << (QStringList{command.program} + command.arguments).join(' ');
        QCOMPARE(commands, cleanUp);
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
