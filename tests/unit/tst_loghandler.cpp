#include "LogExpect.h"
#include "LogHandler.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QtTest>

#include <csignal>
#include <ctime>

class TestLogHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        qputenv("TZ", "UTC");
        tzset();
    }

    void cleanup()
    {
        KivLog::debugLevel = 0;
    }

    void formatsLineAtGivenMoment_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qlonglong>("seconds");
        QTest::addColumn<qlonglong>("microseconds");
        QTest::addColumn<int>("pid");
        QTest::addColumn<qulonglong>("tid");
        QTest::addColumn<QByteArray>("expected");

        // The other level names are written by the child runs below.
        QTest::newRow("milliseconds zero padded")
            << int(QtInfoMsg) << "x" << 0ll << 5000ll << 1 << 1ull << QByteArray("19700101 00:00:00.005 [1.1] INFO x\n");
        QTest::newRow("microseconds truncated to milliseconds")
            << int(QtInfoMsg) << "y" << 1700000000ll << 999999ll << 42 << 43ull
            << QByteArray("20231114 22:13:20.999 [42.43] INFO y\n");
        QTest::newRow("debug on a leap day")
            << int(QtDebugMsg) << "d" << 951782400ll << 0ll << 7 << 8ull
            << QByteArray("20000229 00:00:00.000 [7.8] DEBUG d\n");
        QTest::newRow("thread id beyond 32 bits")
            << int(QtInfoMsg) << "t" << 0ll << 0ll << 7 << 4294967296ull
            << QByteArray("19700101 00:00:00.000 [7.4294967296] INFO t\n");
        QTest::newRow("text written as UTF-8")
            << int(QtInfoMsg) << QStringLiteral("Gr\u00fc\u00dfe") << 0ll << 0ll << 7 << 8ull
            << QByteArray("19700101 00:00:00.000 [7.8] INFO Gr\xc3\xbc\xc3\x9f" "e\n");
    }

    void formatsLineAtGivenMoment()
    {
        QFETCH(int, type);
        QFETCH(QString, text);
        QFETCH(qlonglong, seconds);
        QFETCH(qlonglong, microseconds);
        QFETCH(int, pid);
        QFETCH(qulonglong, tid);
        QFETCH(QByteArray, expected);

        QCOMPARE(KivLog::formatLine(static_cast<QtMsgType>(type), text, long(seconds), long(microseconds), pid,
                                    static_cast<unsigned long>(tid)),
                 expected);
    }

    void childWritesOneLinePerMessageWithIds_data()
    {
        QTest::addColumn<QString>("debugLevel");
        QTest::addColumn<QStringList>("expected");

        const QStringList alwaysWritten = {
            QStringLiteral("INFO runtime_probe.cpp info text 2"),
            QStringLiteral("WARN runtime_probe.cpp warning text 3"),
            QStringLiteral("ERROR runtime_probe.cpp critical text 4"),
            QStringLiteral("INFO runtime_probe.cpp worker text"),
            QStringLiteral("INFO runtime_probe.cpp probe finished"),
        };
        QTest::newRow("level 0 writes no debug line") << "0" << alwaysWritten;
        QTest::newRow("level 1 writes the debug line")
            << "1" << QStringList{QStringLiteral("DEBUG runtime_probe.cpp debug text 1")} + alwaysWritten;
    }

    void childWritesOneLinePerMessageWithIds()
    {
        QFETCH(QString, debugLevel);
        QFETCH(QStringList, expected);

        const ChildRun run = ChildRun::run(QStringLiteral(KIV_RUNTIME_PROBE), {QStringLiteral("levels"), debugLevel});
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.normalized(), expected);

        const QDateTime now = QDateTime::currentDateTime();
        for (const QString &raw : run.lines) {
            LogLine line;
            QVERIFY2(LogLine::parse(raw, &line), qPrintable(raw));
            QCOMPARE(line.pid, run.pid);
            const QDateTime written =
                QDateTime::fromString(line.date + QLatin1Char(' ') + line.time, QStringLiteral("yyyyMMdd HH:mm:ss.zzz"));
            QVERIFY2(written.isValid() && qAbs(written.secsTo(now)) < 120, qPrintable(raw));
            if (line.text == QLatin1String("worker text"))
                QVERIFY2(line.tid != run.pid, qPrintable(raw));
            else
                QCOMPARE(line.tid, run.pid);
        }
    }

    void streamJoinsPiecesWithoutBlanksOrQuotes()
    {
        LogCapture recorder;
        kivInfo() << "count=" << 3 << ' ' << QStringLiteral("name \"x\"") << ' ' << QByteArray("raw");
        kivCritical() << "critical";
        kivWarning() << "warning";
        QCOMPARE(recorder.lines(), QStringList({
                                       QStringLiteral("INFO tst_loghandler.cpp count=3 name \"x\" raw"),
                                       QStringLiteral("ERROR tst_loghandler.cpp critical"),
                                       QStringLiteral("WARN tst_loghandler.cpp warning"),
                                   }));
    }

    void debugMessageIsComposedOnlyAboveLevelZero()
    {
        LogCapture recorder;
        int composed = 0;
        auto value = [&composed] {
            ++composed;
            return QStringLiteral("value");
        };

        KivLog::debugLevel = 0;
        kivDebug() << "level zero " << value();
        QCOMPARE(composed, 0);
        QVERIFY(recorder.lines().isEmpty());

        KivLog::debugLevel = 1;
        kivDebug() << "level one " << value();
        QCOMPARE(composed, 1);

        // The macro is one statement: it neither captures a following else nor needs braces.
        const bool chooseDebug = composed > 1;
        if (chooseDebug)
            kivDebug() << "not taken";
        else
            kivInfo() << "else branch";
        if (!chooseDebug)
            kivDebug() << "taken";

        QCOMPARE(recorder.lines(), QStringList({
                                       QStringLiteral("DEBUG tst_loghandler.cpp level one value"),
                                       QStringLiteral("INFO tst_loghandler.cpp else branch"),
                                       QStringLiteral("DEBUG tst_loghandler.cpp taken"),
                                   }));
    }

    void levelFromPropertyIsCappedAtTwo_data()
    {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("stored");
        QTest::addColumn<bool>("warned");

        QTest::newRow("0 stored") << 0 << 0 << false;
        QTest::newRow("1 stored without warning") << 1 << 1 << false;
        QTest::newRow("2 warns and stores 2") << 2 << 2 << true;
        QTest::newRow("5 warns and stores 2") << 5 << 2 << true;
        QTest::newRow("-1 warns and stores 2") << -1 << 2 << true;
    }

    void levelFromPropertyIsCappedAtTwo()
    {
        QFETCH(int, value);
        QFETCH(int, stored);
        QFETCH(bool, warned);

        LogCapture recorder;
        KivLog::setLevelFromProperty(value);
        QCOMPARE(KivLog::debugLevel, stored);
        const QStringList expected = warned
            ? QStringList{QStringLiteral("WARN LogHandler.cpp LogLevel: %1 greater than maximum log level, "
                                         "capping at maximum log level!").arg(value)}
            : QStringList();
        QCOMPARE(recorder.lines(), expected);
    }

    void fatalMessageWritesLineThenAborts()
    {
        const ChildRun run = ChildRun::run(QStringLiteral(KIV_RUNTIME_PROBE), {QStringLiteral("fatal")});
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::CrashExit);
        QCOMPARE(run.exitCode, SIGABRT);
        QCOMPARE(run.normalized(), QStringList({
                                       QStringLiteral("ERROR runtime_probe.cpp probe failure"),
                                       QStringLiteral("FATAL runtime_probe.cpp Aborting program due to fatal error!"),
                                   }));
    }
};

QTEST_GUILESS_MAIN(TestLogHandler)
#include "tst_loghandler.moc"
