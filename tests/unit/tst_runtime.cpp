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
#include <ctime>
#include <memory>
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
    QObject object;
    if (mode == "levels") {
        KivLog::debugLevel = 1;
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
        KivCommon::connect(&object, SIGNAL(noSuchSignal()), &object, SLOT(deleteLater()));
    } else if (mode == "disconnect-missing") {
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

const QString Failed = QStringLiteral("ERROR KivProcess.cpp KivProcess: \"%1\" finished with error code: %2");
const QString Output = QStringLiteral("ERROR KivProcess.cpp KivProcess output: %1");

QStringList cleanUpFor(const QStringList &names)
{
    QStringList commands{QStringLiteral("killall wpa_supplicant udhcpd udhcpc hostapd dnsd")};
    for (const QString &name : names)
        commands << "ip link set dev " + name + " down" << "ip -4 addr flush dev " + name
                 << "ip -6 addr flush dev " + name + " scope global";
    return commands;
}

} // namespace

class TestRuntime : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        qputenv("TZ", "UTC");
        tzset();
        KivLog::debugLevel = 0;
    }

    void logLineAndCrashHeadShareOneFormat_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<qlonglong>("seconds");
        QTest::addColumn<qlonglong>("microseconds");
        QTest::addColumn<qulonglong>("tid");
        QTest::addColumn<QByteArray>("expected");
        const auto row = [](const char *name, const char *zone, qlonglong seconds, qlonglong microseconds,
                            qulonglong tid, const char *expected) {
            QTest::newRow(name) << QByteArray(zone) << seconds << microseconds << tid << QByteArray(expected);
        };
        row("microseconds truncated", "UTC", 1700000000, 999999, 43, "20231114 22:13:20.999 [7.43] WARN y\n");
        row("debug on a leap day", "UTC", 951782400, 0, 8, "20000229 00:00:00.000 [7.8] DEBUG d\n");
        row("thread id beyond 32 bits, text as UTF-8", "UTC", 0, 0, 4294967296,
            "19700101 00:00:00.000 [7.4294967296] ERROR Gr\xc3\xbc\xc3\x9f" "e\n");
        row("east of UTC crosses into the next year", "UTC-2", 946684799, 999999, 8, "20000101 01:59:59.999 [7.8] FATAL f\n");
        row("west of UTC before the epoch", "UTC+5", 3600, 1000, 8, "19691231 20:00:00.001 [7.8] INFO w\n");
        row("half-hour zone", "UTC-05:30", 1700000000, 5000, 8, "20231115 03:43:20.005 [7.8] INFO h\n");
    }

    void logLineAndCrashHeadShareOneFormat()
    {
        QFETCH(QByteArray, zone);
        QFETCH(qlonglong, seconds);
        QFETCH(qlonglong, microseconds);
        QFETCH(qulonglong, tid);
        QFETCH(QByteArray, expected);

        // Level and text are the row's last words; the level names are in QtMsgType's order.
        const QByteArray level = expected.split(' ').at(3);
        const QtMsgType type = QtMsgType(QByteArrayList{"DEBUG", "WARN", "ERROR", "FATAL", "INFO"}.indexOf(level));
        const QString text = QString::fromUtf8(expected.mid(expected.indexOf(level) + level.size() + 1).chopped(1));
        qputenv("TZ", zone);
        tzset();
        QCOMPARE(KivLog::formatLine(type, text, long(seconds), long(microseconds), 7, static_cast<unsigned long>(tid)),
                 expected);

        // The crash handler cannot call localtime: it is given the zone's offset.
        const time_t moment = static_cast<time_t>(seconds);
        struct tm local = {};
        localtime_r(&moment, &local);
        char head[128];
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

        const QStringList always{"DEBUG tst_runtime.cpp debug text 1", "INFO tst_runtime.cpp info text 2", "WARN tst_runtime.cpp warning text 3",
                                 "ERROR tst_runtime.cpp critical text 4", "INFO tst_runtime.cpp worker text",
                                 "INFO tst_runtime.cpp probe finished"};
        const auto aborts = [](const char *name, const char *mode, const QString &line, const char *file) {
            QTest::newRow(name) << QStringList{mode} << SIGABRT
                                << QStringList{line, QStringLiteral("FATAL %1 Aborting program due to fatal error!").arg(file)}
                                << QString();
        };
        const auto crash = [](const char *name, const QString &kind, int signal, const char *signalName, const char *function) {
            QTest::newRow(name) << QStringList{"crash", kind} << signal
                                << QStringList{"INFO tst_runtime.cpp about to crash: " + kind,
                                               QStringLiteral("FATAL TavuStacktrace.cpp Caught signal %1 (%2)").arg(signal).arg(signalName)}
                                << function;
        };
        QTest::newRow("one line per message, the worker's included") << QStringList{"levels"} << 0 << always << QString();
        aborts("fatal message writes its line then aborts", "fatal", "ERROR tst_runtime.cpp probe failure", "tst_runtime.cpp");
        aborts("connect of a missing signal ends the process", "connect-missing",
               "ERROR KivCommon.cpp Couldn't connect: 2noSuchSignal() -> 1deleteLater()", "KivCommon.cpp");
        aborts("disconnect of a connection that does not exist ends the process", "disconnect-missing",
               "ERROR KivCommon.cpp Couldn't disconnect: 2destroyed() -> 1deleteLater()", "KivCommon.cpp");
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
            const QRegularExpressionMatch head = ChildRun::logHead().match(raw);
            QVERIFY2(head.hasMatch(), qPrintable(raw));
            QCOMPARE(head.captured(2).toLongLong(), run.pid);
            QCOMPARE(head.captured(3).toLongLong() == run.pid, !raw.endsWith(QLatin1String("worker text")));
            const QDateTime written = QDateTime::fromString(head.captured(1), QStringLiteral("yyyyMMdd HH:mm:ss.zzz"));
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
        const auto value = [&composed] { return QString::number(++composed); };
        kivDebug() << "level zero " << value();
        KivLog::debugLevel = 1;
        kivDebug() << "level one " << value();
        // Each macro is one statement: it needs no braces and does not capture a following else.
        if (composed > 1)
            kivDebug() << "not taken";
        else
            kivInfo() << "count=" << 3 << ' ' << QStringLiteral("name \"x\"") << ' ' << QByteArray("raw");
        QCOMPARE(recorder.lines(), QStringList({"DEBUG tst_runtime.cpp level one 1",
                                                "INFO tst_runtime.cpp count=3 name \"x\" raw"}));
    }

    void levelFromPropertyAboveOneIsCappedAtTwo()
    {
        LogCapture recorder;
        QList<int> stored;
        for (const int value : {1, 2, -1}) {
            KivLog::setLevelFromProperty(value);
            stored << KivLog::debugLevel;
        }
        QCOMPARE(stored, QList<int>({1, 2, 2}));
        const QString warning = QStringLiteral("WARN LogHandler.cpp LogLevel: %1 greater than maximum log level, "
                                               "capping at maximum log level!");
        QCOMPARE(recorder.lines(), QStringList({warning.arg(2), warning.arg(-1)}));
    }

    void commandLogsFailureAndOutput_data()
    {
        QTest::addColumn<QStringList>("command");
        QTest::addColumn<int>("debugLevel");
        QTest::addColumn<bool>("inWorker");
        QTest::addColumn<QStringList>("expected");
        const auto failing = [](const char *name, const QStringList &command, int code, const QStringList &output,
                                bool inWorker = false) {
            QStringList expected{Failed.arg(command.join(' ')).arg(code)};
            for (const QString &line : output)
                expected << Output.arg(line);
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
        QTest::newRow("missing program fails to start")
            << QStringList{"/nonexistent/kiv-no-such-program", "a"} << 0 << false
            << QStringList{"ERROR KivProcess.cpp KivProcess: \"/nonexistent/kiv-no-such-program a\" failed to start!: "
                           "execvp: " + QString::fromLocal8Bit(strerror(ENOENT))};
        QTest::newRow("success is silent at level 0")
            << QStringList{"sh", "-c", "echo discarded; echo also >&2"} << 0 << false << QStringList();
        QTest::newRow("hanging command is killed after five seconds")
            << QStringList{"sh", "-c", "echo started; exec sleep 60"} << 0 << false
            << QStringList{"ERROR KivProcess.cpp KivProcess: \"sh -c echo started; exec sleep 60\" timed out, SIGKILL sent!",
                           Output.arg("started")};
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

    void optionsParse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QStringList>("logged");

        const QString unknown = QStringLiteral("ERROR KivdOptions.cpp Unknown argument '%1'");
        QTest::newRow("names from their options, soft-AP names split at every comma")
            << QStringList{"--wireless", "wlan7", "--wired", "eth3", "--softap", "a,,b"} << "eth3 wlan7 a||b" << QStringList();
        QTest::newRow("value that looks like an option is a name, flags repeat")
            << QStringList{"-m", "--wired", "-d", "-m"} << "-d wlan0 uap0 monitor" << QStringList();
        QTest::newRow("option as last argument misses its value")
            << QStringList{"--wireless", "wlan1", "--softap"} << "exit -1"
            << QStringList{"ERROR KivdOptions.cpp Missing value for argument '--softap'"};
        QTest::newRow("help ends parsing") << QStringList{"--bogus", "-h", "--wired"} << "exit 1"
                                           << QStringList{unknown.arg("--bogus")};
        QTest::newRow("help text's wired-interface is two unknown arguments, options are exact")
            << QStringList{"--wired-interface", "eth5", "-D", "--WIRED", "-m ", ""} << "eth0 wlan0 uap0"
            << QStringList{unknown.arg("--wired-interface"), unknown.arg("eth5"), unknown.arg("-D"), unknown.arg("--WIRED"),
                           unknown.arg("-m "), unknown.arg("")};
    }

    void optionsParse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, result);
        QFETCH(QStringList, logged);

        LogCapture recorder;
        const KivdOptions options = KivdOptions::parse(arguments);
        const QStringList fields{options.wired, options.wireless, options.softaps.join('|'),
                                 options.monitor ? "monitor" : "", options.debug ? "debug" : ""};
        const bool run = options.outcome == KivdOptions::Outcome::Run;
        QCOMPARE(run ? fields.join(' ').trimmed() : QStringLiteral("exit %1").arg(options.exitStatus()), result);
        QCOMPARE(recorder.lines(), logged);
        // Start-up kills what an earlier run left behind and takes every interface named down, in order.
        QStringList commands;
        for (const KivdCommand &command : Kivd::cleanupCommands(options))
            commands << (QStringList{command.program} + command.arguments).join(' ');
        QCOMPARE(commands, cleanUpFor(QStringList{options.wired, options.wireless} + options.softaps));
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
