#include "KivCommon.h"
#include "KivProcess.h"
#include "LogExpect.h"
#include "LogHandler.h"
#include "TestSupport.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>

#include <csignal>

class TestKivProcess : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        KivLog::debugLevel = 0;
    }

    void missingProgramLogsOneStartFailure()
    {
        LogCapture recorder;
        KivProcess::execute(QStringLiteral("/nonexistent/kiv-no-such-program"), {QStringLiteral("a")});
        const QStringList lines = recorder.lines();
        QCOMPARE(lines.size(), 1);
        QVERIFY2(QRegularExpression(QStringLiteral(
                     "^ERROR KivProcess\\.cpp KivProcess: \"/nonexistent/kiv-no-such-program a\" failed to start!: \\S.*$"))
                     .match(lines.first())
                     .hasMatch(),
                 qPrintable(lines.first()));
    }

    void failingCommandLogsCodeThenEachOutputLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("expected");

        const QString head = QStringLiteral("ERROR KivProcess.cpp KivProcess: \"sh %1\" finished with error code: %2");
        const QString output = QStringLiteral("ERROR KivProcess.cpp KivProcess output: %1");
        const auto row = [&](const char *name, const QStringList &arguments, int code, const QStringList &lines) {
            QStringList expected{head.arg(arguments.join(' ')).arg(code)};
            for (const QString &line : lines)
                expected << output.arg(line);
            QTest::newRow(name) << arguments << expected;
        };
        row("two lines on stdout", {"-c", "echo one; echo two; exit 1"}, 1, {"one", "two"});
        row("stderr merged in order", {"-c", "echo one; echo two >&2; exit 3"}, 3, {"one", "two"});
        row("lines trimmed, inner empty line kept", {"-c", "printf '\\n  one  \\n\\n\\ttwo \\n\\n'; exit 4"}, 4,
            {"one", "", "two"});
        row("no output gives one empty output line", {"-c", "exit 5"}, 5, {""});
        // Two positional parameters: neither the blank nor the semicolon was interpreted.
        row("arguments passed without shell", {"-c", "exit $#", "sh", "a b", "$HOME;x"}, 2, {""});
    }

    void failingCommandLogsCodeThenEachOutputLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, expected);

        LogCapture recorder;
        KivProcess::execute(QStringLiteral("sh"), arguments);
        QCOMPARE(recorder.lines(), expected);
    }

    void successLogsOnlyAboveLevelZero()
    {
        LogCapture recorder;
        KivProcess::execute(QStringLiteral("true"));
        KivProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo discarded; echo also >&2")});
        QCOMPARE(recorder.lines(), QStringList());

        KivLog::debugLevel = 1;
        KivProcess::execute(QStringLiteral("true"));
        QCOMPARE(recorder.lines(), QStringList({
                                       QStringLiteral("DEBUG KivProcess.cpp KivProcess executing: \"true \""),
                                       QStringLiteral("DEBUG KivProcess.cpp KivProcess: \"true \" finished successfully."),
                                   }));
    }

    void runsFromWorkerThread()
    {
        LogCapture recorder;
        QThread *worker = QThread::create(
            [] { KivProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo worker; exit 6")}); });
        worker->start();
        QVERIFY(worker->wait(15000));
        delete worker;
        QCOMPARE(recorder.lines(),
                 QStringList({QStringLiteral("ERROR KivProcess.cpp KivProcess: \"sh -c echo worker; exit 6\" "
                                             "finished with error code: 6"),
                              QStringLiteral("ERROR KivProcess.cpp KivProcess output: worker")}));
    }

    void hangingCommandIsKilledAfterFiveSeconds()
    {
        LogCapture recorder;
        QElapsedTimer elapsed;
        elapsed.start();
        KivProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo started; exec sleep 60")});
        const qint64 ms = elapsed.elapsed();
        // Far below the command's own minute, with room for a loaded machine.
        QVERIFY2(ms >= 4900 && ms < 30000, qPrintable(QString::number(ms)));
        QCOMPARE(recorder.lines(), QStringList({
                                       QStringLiteral("ERROR KivProcess.cpp KivProcess: \"sh -c echo started; exec sleep 60\" "
                                                      "timed out, SIGKILL sent!"),
                                       QStringLiteral("ERROR KivProcess.cpp KivProcess output: started"),
                                   }));
    }

    void connectAndDisconnectWireSignals()
    {
        LogCapture recorder;
        QObject sender;
        QObject receiver;
        QSignalSpy forwarded(&receiver, &QObject::objectNameChanged);

        QVERIFY(KivCommon::connect(&sender, SIGNAL(objectNameChanged(QString)), &receiver,
                                   SIGNAL(objectNameChanged(QString))));
        sender.setObjectName(QStringLiteral("first"));
        QCOMPARE(forwarded.count(), 1);

        QVERIFY(KivCommon::disconnect(&sender, SIGNAL(objectNameChanged(QString)), &receiver,
                                      SIGNAL(objectNameChanged(QString))));
        sender.setObjectName(QStringLiteral("second"));
        QCOMPARE(forwarded.count(), 1);
        QCOMPARE(recorder.lines(), QStringList());
    }

    void wiringFailureEndsProcess_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("failure");

        QTest::newRow("connect of a missing signal")
            << "connect-missing" << "ERROR KivCommon.cpp Couldn't connect: 2noSuchSignal() -> 1deleteLater()";
        QTest::newRow("disconnect of a connection that does not exist")
            << "disconnect-missing" << "ERROR KivCommon.cpp Couldn't disconnect: 2destroyed() -> 1deleteLater()";
    }

    void wiringFailureEndsProcess()
    {
        QFETCH(QString, mode);
        QFETCH(QString, failure);

        const ChildRun run = ChildRun::run(QStringLiteral(KIV_RUNTIME_PROBE), {mode});
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::CrashExit);
        QCOMPARE(run.exitCode, SIGABRT);
        // The framework may add its own warning first; ours are the last two lines.
        const QStringList lines = run.normalized();
        QVERIFY2(lines.size() >= 2, qPrintable(lines.join('\n')));
        QCOMPARE(lines.mid(lines.size() - 2),
                 QStringList({failure, QStringLiteral("FATAL KivCommon.cpp Aborting program due to fatal error!")}));
        for (const QString &line : lines.mid(0, lines.size() - 2))
            QVERIFY2(line.startsWith(QLatin1String("WARN QObject::")), qPrintable(line));
    }
};

QTEST_GUILESS_MAIN(TestKivProcess)
#include "tst_kivprocess.moc"
