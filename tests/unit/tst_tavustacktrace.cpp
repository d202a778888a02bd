#include "LogHandler.h"
#include "TavuStacktrace.h"
#include "TestSupport.h"

#include <QtTest>

#include <csignal>
#include <ctime>

class TestTavuStacktrace : public QObject
{
    Q_OBJECT

private slots:
    void cleanupTestCase()
    {
        qunsetenv("TZ");
        tzset();
    }

    void lineHeadMatchesLogLine_data()
    {
        QTest::addColumn<QByteArray>("zone");
        QTest::addColumn<qlonglong>("seconds");
        QTest::addColumn<qlonglong>("microseconds");

        QTest::newRow("epoch in UTC") << QByteArray("UTC") << 0ll << 0ll;
        QTest::newRow("leap day with milliseconds") << QByteArray("UTC") << 1709210096ll << 789123ll;
        QTest::newRow("east of UTC crosses into the next year") << QByteArray("UTC-2") << 946684799ll << 999999ll;
        QTest::newRow("west of UTC before the epoch") << QByteArray("UTC+5") << 3600ll << 1000ll;
        QTest::newRow("half-hour zone") << QByteArray("UTC-05:30") << 1700000000ll << 5000ll;
        QTest::newRow("far future") << QByteArray("UTC") << 4102444800ll << 42000ll;
    }

    void lineHeadMatchesLogLine()
    {
        QFETCH(QByteArray, zone);
        QFETCH(qlonglong, seconds);
        QFETCH(qlonglong, microseconds);

        qputenv("TZ", zone);
        tzset();
        const time_t moment = static_cast<time_t>(seconds);
        struct tm local = {};
        localtime_r(&moment, &local);

        char head[128];
        const std::size_t length = tavuStacktrace::formatLineHead(head, sizeof head, long(seconds), long(microseconds),
                                                                  local.tm_gmtoff, 4321, 98765, "FATAL");
        const QByteArray expected =
            KivLog::formatLine(QtFatalMsg, QStringLiteral("text"), long(seconds), long(microseconds), 4321, 98765);
        QVERIFY(length > 0);
        QCOMPARE(QByteArray(head, int(length)) + "text\n", expected);
    }

    void lineHeadThatDoesNotFitGivesZero()
    {
        char head[16];
        QCOMPARE(tavuStacktrace::formatLineHead(head, sizeof head, 0, 0, 0, 1, 1, "FATAL"), std::size_t(0));
    }

    void crashWritesBacktraceAndDiesBySignal_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("signalName");
        QTest::addColumn<QString>("crashingFunction");

        QTest::newRow("write to an inaccessible page") << "segv" << SIGSEGV << "SIGSEGV" << "crashBySegmentationFault";
        QTest::newRow("stack overflow") << "overflow" << SIGSEGV << "SIGSEGV" << "crashByStackOverflow";
        QTest::newRow("abort") << "abort" << SIGABRT << "SIGABRT" << "crashByAbort";
        QTest::newRow("floating point exception") << "fpe" << SIGFPE << "SIGFPE" << "crashBySignal";
        QTest::newRow("illegal instruction") << "ill" << SIGILL << "SIGILL" << "crashBySignal";
        QTest::newRow("bus error") << "bus" << SIGBUS << "SIGBUS" << "crashBySignal";
    }

    void crashWritesBacktraceAndDiesBySignal()
    {
        QFETCH(QString, kind);
        QFETCH(int, signal);
        QFETCH(QString, signalName);
        QFETCH(QString, crashingFunction);

        const ChildRun run = ChildRun::run(QStringLiteral(KIV_RUNTIME_PROBE), {QStringLiteral("crash"), kind});
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::CrashExit);
        QCOMPARE(run.exitCode, signal);

        QVector<LogLine> lines;
        for (const QString &raw : run.lines) {
            LogLine line;
            QVERIFY2(LogLine::parse(raw, &line), qPrintable(raw));
            QCOMPARE(line.pid, run.pid);
            QCOMPARE(line.tid, run.pid);
            lines.append(line);
        }
        QVERIFY2(lines.size() >= 4, qPrintable(run.lines.join('\n')));
        QCOMPARE(lines.first().text, QStringLiteral("about to crash: ") + kind);

        const LogLine &header = lines.at(1);
        QCOMPARE(header.level, QStringLiteral("FATAL"));
        QCOMPARE(header.file, QStringLiteral("TavuStacktrace.cpp"));
        QVERIFY2(header.text.startsWith(QStringLiteral("Caught signal %1 (%2)").arg(signal).arg(signalName)),
                 qPrintable(header.text));
        QVERIFY2(header.text.endsWith(QLatin1String(", backtrace follows:")), qPrintable(header.text));

        const int frames = lines.size() - 3;
        bool namesCrashingFunction = false;
        for (int i = 0; i < frames; ++i) {
            const LogLine &frame = lines.at(2 + i);
            QCOMPARE(frame.level, QStringLiteral("FATAL"));
            QCOMPARE(frame.file, QStringLiteral("TavuStacktrace.cpp"));
            const QString number = QStringLiteral("#%1 ").arg(i, 2, 10, QLatin1Char('0'));
            QVERIFY2(frame.text.startsWith(number) && frame.text.size() > number.size(), qPrintable(frame.text));
            namesCrashingFunction = namesCrashingFunction || frame.text.contains(crashingFunction);
        }
        QVERIFY2(namesCrashingFunction, qPrintable(run.lines.join('\n')));
        QCOMPARE(lines.last().text, QStringLiteral("End of backtrace (%1 frames)").arg(frames));
    }
};

QTEST_GUILESS_MAIN(TestTavuStacktrace)
#include "tst_tavustacktrace.moc"
