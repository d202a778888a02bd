#include "KivCommon.h"
#include "KivProcess.h"
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
    void cleanup();

    void missingProgramLogsOneStartFailure();
    void failingCommandLogsCodeThenEachOutputLine_data();
    void failingCommandLogsCodeThenEachOutputLine();
    void argumentsArePassedWithoutShell();
    void successIsSilentAtLevelZero();
    void debugLevelLogsCommandAndSuccess();
    void runsFromWorkerThread();
    void hangingCommandIsKilledAfterFiveSeconds();

    void connectAndDisconnectWireSignals();
    void wiringFailureEndsProcess_data();
    void wiringFailureEndsProcess();
};

void TestKivProcess::cleanup()
{
    KivLog::debugLevel = 0;
}

void TestKivProcess::missingProgramLogsOneStartFailure()
{
    LogRecorder recorder;
    KivProcess::execute(QStringLiteral("/nonexistent/kiv-no-such-program"), {QStringLiteral("a")});
    const QStringList lines = recorder.lines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral(
                 "^ERROR KivProcess\\.cpp KivProcess: \"/nonexistent/kiv-no-such-program a\" failed to start!: \\S.*$"))
                 .match(lines.first())
                 .hasMatch(),
             qPrintable(lines.first()));
}

void TestKivProcess::failingCommandLogsCodeThenEachOutputLine_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QStringList>("expected");

    const QString head = QStringLiteral("ERROR KivProcess.cpp KivProcess: \"sh -c %1\" finished with error code: %2");
    const QString output = QStringLiteral("ERROR KivProcess.cpp KivProcess output: %1");

    QString script = QStringLiteral("echo one; echo two; exit 1");
    QTest::newRow("two lines on stdout") << script
                                         << QStringList{head.arg(script).arg(1), output.arg("one"), output.arg("two")};
    script = QStringLiteral("echo one; echo two >&2; exit 3");
    QTest::newRow("stderr merged in order")
        << script << QStringList{head.arg(script).arg(3), output.arg("one"), output.arg("two")};
    script = QStringLiteral("printf '\\n  one  \\n\\n\\ttwo \\n\\n'; exit 4");
    QTest::newRow("lines trimmed, inner empty line kept")
        << script << QStringList{head.arg(script).arg(4), output.arg("one"), output.arg(""), output.arg("two")};
    script = QStringLiteral("exit 5");
    QTest::newRow("no output gives one empty output line")
        << script << QStringList{head.arg(script).arg(5), output.arg("")};
}

void TestKivProcess::failingCommandLogsCodeThenEachOutputLine()
{
    QFETCH(QString, script);
    QFETCH(QStringList, expected);

    LogRecorder recorder;
    KivProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), script});
    QCOMPARE(recorder.lines(), expected);
}

void TestKivProcess::argumentsArePassedWithoutShell()
{
    LogRecorder recorder;
    const QStringList arguments = {QStringLiteral("-c"), QStringLiteral("exit $#"), QStringLiteral("sh"),
                                   QStringLiteral("a b"), QStringLiteral("$HOME;x")};
    KivProcess::execute(QStringLiteral("sh"), arguments);
    // Two positional parameters: neither the blank nor the semicolon was interpreted.
    QCOMPARE(recorder.lines(),
             QStringList({QStringLiteral("ERROR KivProcess.cpp KivProcess: \"sh -c exit $# sh a b $HOME;x\" "
                                         "finished with error code: 2"),
                          QStringLiteral("ERROR KivProcess.cpp KivProcess output: ")}));
}

void TestKivProcess::successIsSilentAtLevelZero()
{
    LogRecorder recorder;
    KivProcess::execute(QStringLiteral("true"));
    KivProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo discarded; echo also >&2")});
    QCOMPARE(recorder.lines(), QStringList());
}

void TestKivProcess::debugLevelLogsCommandAndSuccess()
{
    LogRecorder recorder;
    KivLog::debugLevel = 1;
    KivProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo discarded")});
    KivProcess::execute(QStringLiteral("true"));
    QCOMPARE(recorder.lines(), QStringList({
                                   QStringLiteral("DEBUG KivProcess.cpp KivProcess executing: \"sh -c echo discarded\""),
                                   QStringLiteral("DEBUG KivProcess.cpp KivProcess: \"sh -c echo discarded\" "
                                                  "finished successfully."),
                                   QStringLiteral("DEBUG KivProcess.cpp KivProcess executing: \"true \""),
                                   QStringLiteral("DEBUG KivProcess.cpp KivProcess: \"true \" finished successfully."),
                               }));
}

void TestKivProcess::runsFromWorkerThread()
{
    LogRecorder recorder;
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

void TestKivProcess::hangingCommandIsKilledAfterFiveSeconds()
{
    LogRecorder recorder;
    QElapsedTimer elapsed;
    elapsed.start();
    KivProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), QStringLiteral("echo started; exec sleep 7")});
    const qint64 ms = elapsed.elapsed();
    QVERIFY2(ms >= 4900 && ms < 6500, qPrintable(QString::number(ms)));
    QCOMPARE(recorder.lines(), QStringList({
                                   QStringLiteral("ERROR KivProcess.cpp KivProcess: \"sh -c echo started; exec sleep 7\" "
                                                  "timed out, SIGKILL sent!"),
                                   QStringLiteral("ERROR KivProcess.cpp KivProcess output: started"),
                               }));
}

void TestKivProcess::connectAndDisconnectWireSignals()
{
    LogRecorder recorder;
    QObject sender;
    QObject receiver;
    QSignalSpy forwarded(&receiver, &QObject::objectNameChanged);

    QVERIFY(KivCommon::connect(&sender, SIGNAL(objectNameChanged(QString)), &receiver,
                               SIGNAL(objectNameChanged(QString))));
    sender.setObjectName(QStringLiteral("first"));
    QCOMPARE(forwarded.count(), 1);
    QCOMPARE(forwarded.at(0).at(0).toString(), QStringLiteral("first"));

    QVERIFY(KivCommon::disconnect(&sender, SIGNAL(objectNameChanged(QString)), &receiver,
                                  SIGNAL(objectNameChanged(QString))));
    sender.setObjectName(QStringLiteral("second"));
    QCOMPARE(forwarded.count(), 1);
    QCOMPARE(recorder.lines(), QStringList());
}

void TestKivProcess::wiringFailureEndsProcess_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("failure");

    QTest::newRow("connect of a missing signal")
        << "connect-missing" << "ERROR KivCommon.cpp Couldn't connect: 2noSuchSignal() -> 1deleteLater()";
    QTest::newRow("disconnect of a connection that does not exist")
        << "disconnect-missing" << "ERROR KivCommon.cpp Couldn't disconnect: 2destroyed() -> 1deleteLater()";
}

void TestKivProcess::wiringFailureEndsProcess()
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

QTEST_GUILESS_MAIN(TestKivProcess)
#include "tst_kivprocess.moc"
