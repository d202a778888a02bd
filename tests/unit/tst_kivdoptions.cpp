#include "KivdOptions.h"
#include "LogExpect.h"
#include "TestSupport.h"

#include <QtTest>

Q_DECLARE_METATYPE(KivdOptions::Outcome)

namespace {

QStringList unknown(const QStringList &arguments)
{
    QStringList lines;
    for (const QString &argument : arguments)
        lines << QStringLiteral("ERROR KivdOptions.cpp Unknown argument '%1'").arg(argument);
    return lines;
}

QString missing(const QString &option)
{
    return QStringLiteral("ERROR KivdOptions.cpp Missing value for argument '%1'").arg(option);
}

} // namespace

class TestKivdOptions : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("wired");
        QTest::addColumn<QString>("wireless");
        QTest::addColumn<QStringList>("softaps");
        QTest::addColumn<bool>("monitor");
        QTest::addColumn<bool>("debug");
        QTest::addColumn<KivdOptions::Outcome>("outcome");
        QTest::addColumn<int>("exitStatus");
        QTest::addColumn<QStringList>("logged");

        using O = KivdOptions::Outcome;
        const QStringList uap0 = {QStringLiteral("uap0")};

        QTest::newRow("no arguments give the defaults")
            << QStringList() << "eth0" << "wlan0" << uap0 << false << false << O::Run << 0 << QStringList();
        QTest::newRow("interface names taken from their options")
            << QStringList{"--wireless", "wlan7", "--wired", "eth3"} << "eth3" << "wlan7" << uap0 << false << false
            << O::Run << 0 << QStringList();
        QTest::newRow("softap value split at commas")
            << QStringList{"--softap", "a,b"} << "eth0" << "wlan0" << QStringList{"a", "b"} << false << false << O::Run
            << 0 << QStringList();
        QTest::newRow("two commas keep an empty name")
            << QStringList{"--softap", "a,,b"} << "eth0" << "wlan0" << QStringList{"a", "", "b"} << false << false
            << O::Run << 0 << QStringList();
        QTest::newRow("second softap replaces the first")
            << QStringList{"--softap", "a,b", "--softap", "c"} << "eth0" << "wlan0" << QStringList{"c"} << false
            << false << O::Run << 0 << QStringList();
        QTest::newRow("repeated flags set monitor and debug once")
            << QStringList{"-d", "-m", "-d"} << "eth0" << "wlan0" << uap0 << true << true << O::Run << 0
            << QStringList();
        QTest::newRow("value that looks like an option is a name")
            << QStringList{"--wired", "-d"} << "-d" << "wlan0" << uap0 << false << false << O::Run << 0 << QStringList();
        QTest::newRow("wired as last argument is missing its value")
            << QStringList{"--wired"} << "eth0" << "wlan0" << uap0 << false << false << O::MissingValue << -1
            << QStringList{missing("--wired")};
        QTest::newRow("softap as last argument after other options")
            << QStringList{"--wireless", "wlan1", "--softap"} << "eth0" << "wlan1" << uap0 << false << false
            << O::MissingValue << -1 << QStringList{missing("--softap")};
        QTest::newRow("unknown argument then help")
            << QStringList{"--bogus", "-h", "--wired"} << "eth0" << "wlan0" << uap0 << false << false << O::ShowHelp << 1
            << unknown({"--bogus"});
        QTest::newRow("long help") << QStringList{"--help"} << "eth0" << "wlan0" << uap0 << false << false
                                   << O::ShowHelp << 1 << QStringList();
        QTest::newRow("wired-interface is two unknown arguments")
            << QStringList{"--wired-interface", "eth5"} << "eth0" << "wlan0" << uap0 << false << false << O::Run << 0
            << unknown({"--wired-interface", "eth5"});
        QTest::newRow("options are case-sensitive and exact")
            << QStringList{"-D", "--WIRED", "-m ", ""} << "eth0" << "wlan0" << uap0 << false << false << O::Run << 0
            << unknown({"-D", "--WIRED", "-m ", ""});
    }

    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, wired);
        QFETCH(QString, wireless);
        QFETCH(QStringList, softaps);
        QFETCH(bool, monitor);
        QFETCH(bool, debug);
        QFETCH(KivdOptions::Outcome, outcome);
        QFETCH(int, exitStatus);
        QFETCH(QStringList, logged);

        LogCapture recorder;
        const KivdOptions options = KivdOptions::parse(arguments);
        QCOMPARE(options.outcome, outcome);
        QCOMPARE(options.exitStatus(), exitStatus);
        QCOMPARE(recorder.lines(), logged);
        if (outcome != KivdOptions::Outcome::Run)
            return;
        QCOMPARE(options.wired, wired);
        QCOMPARE(options.wireless, wireless);
        QCOMPARE(options.softaps, softaps);
        QCOMPARE(options.monitor, monitor);
        QCOMPARE(options.debug, debug);
    }
};

QTEST_GUILESS_MAIN(TestKivdOptions)
#include "tst_kivdoptions.moc"
