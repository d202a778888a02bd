// kivctl's command line and output, without a bus: the values it would send, the refusals of
// bad input, and what it prints (tables, JSON, signal lines), never a network key. Bus failures
// and exit statuses are tst_manager_system's.
#include "KivctlCommand.h"
#include "KivctlFormat.h"

#include <QtTest>

using namespace Kivctl;

Q_DECLARE_METATYPE(Kivctl::Action)

namespace {

const QString Secret = QStringLiteral("secret123");

const QVariantMap StoredNetworks{{"Home", QVariantMap{{"ssid", "Home"}, {"type", "wpa-psk"}, {"wpa_psk", Secret}, {"priority", 2}}},
                                  {"Old", QVariantMap{{"ssid", "Old"}, {"type", "wep"}, {"wep_key", "abcde"}}},
                                  {"Cafe", QVariantMap{{"ssid", "Cafe"}, {"type", "unsecured"}}}};

} // namespace

class TestKivctl : public QObject
{
    Q_OBJECT

private slots:
    void commandLineBecomesBusValues_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<Action>("action");
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("property");
        QTest::addColumn<QVariantMap>("map");
        QTest::addColumn<bool>("json");

        QTest::newRow("mode alone reads") << "--json mode" << Action::GetMode << "" << "" << QVariantMap() << true;
        QTest::newRow("a negative number is no option") << "loglevel -1" << Action::SetLogLevel << "" << "" << QVariantMap() << false;
        QTest::newRow("ssid= for a credential-like SSID")
            << "networks add ssid=priority=1 wep_key=0123456789" << Action::AddNetworks << "" << ""
            << QVariantMap{{"priority=1", QVariantMap{{"wep_key", "0123456789"}}}} << false;
        QTest::newRow("static IPv4")
            << "ip wired static 192.168.1.20/24 gw 192.168.1.1 dns \"1.1.1.1, 9.9.9.9\" search \"a.lan b.lan\"" << Action::SetIp << ""
            << "WiredIpSettings" << QVariantMap{{"Ip", "192.168.1.20"}, {"Netmask", "255.255.255.0"}, {"Gateway", "192.168.1.1"},
                                                {"Dns", "1.1.1.1 9.9.9.9"}, {"SearchDomains", "a.lan b.lan"}} << false;
        QTest::newRow("static IPv6") << "ip wireless static fd00::5/64" << Action::SetIp << "" << "WirelessIpSettings"
            << QVariantMap{{"Ip", "fd00::5"}, {"Netmask", "ffff:ffff:ffff:ffff::"}, {"Dns", ""}, {"SearchDomains", ""}} << false;
        QTest::newRow("soft AP with int channel") << "softap start uap0 ssid=Setup channel=6 apAddress=10.0.0.1" << Action::StartSoftAp
            << "uap0" << "" << QVariantMap{{"ssid", "Setup"}, {"channel", 6}, {"apAddress", "10.0.0.1"}} << false;
    }

    void commandLineBecomesBusValues()
    {
        QFETCH(QString, line);
        const Parsed parsed = parse(QProcess::splitCommand(line));
        QVERIFY2(parsed.ok(), qPrintable(parsed.error));
        QTEST(parsed.command.action, "action");
        QTEST(parsed.command.argument, "argument");
        QTEST(parsed.command.property, "property");
        QTEST(parsed.command.map, "map");
        QTEST(parsed.command.json, "json");
    }

    void badCommandLinesAreRefusedWithOneLine_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("error");

        QTest::newRow("unknown command") << "frobnicate" << "unknown command 'frobnicate'; see 'kivctl --help'";
        QTest::newRow("unknown option") << "status --verbose" << "unknown option '--verbose'";
        QTest::newRow("extra argument") << "status now" << "too many arguments for 'status'";
        QTest::newRow("missing interface") << "details" << "'details' needs more arguments";
        QTest::newRow("count outside monitor") << "status --count 2" << "--count applies to 'monitor' only";
        QTest::newRow("zero timeout") << "scan --timeout=0" << "--timeout needs a positive number of seconds, not '0'";
        QTest::newRow("priority only") << "networks set Home priority=1" << "needs wpa_psk=KEY, wep_key=KEY or unsecured";
        QTest::newRow("short WPA key") << "networks set Home wpa_psk=short" << "8 to 63 printable characters";
        QTest::newRow("WEP key of 10 non-hex") << "networks set Home wep_key=abcdefghij" << "10 or 26 hex digits";
        QTest::newRow("two securities") << "networks set Home unsecured wpa_psk=secret123" << "more than one of";
        QTest::newRow("same SSID twice") << "networks set Home unsecured Home unsecured" << "'Home' is given twice";
        QTest::newRow("33-byte SSID") << "networks set " + QString(33, 'x') + " unsecured" << "longer than 32 bytes";
        QTest::newRow("negative priority") << "networks set Home unsecured priority=-1" << "must not be negative";
        QTest::newRow("address without prefix") << "ip wired static 192.168.1.20" << "no address of the form ADDR/PREFIX";
        QTest::newRow("gateway of other family") << "ip wired static 192.168.1.20/24 gw fd00::1" << "same family";
        QTest::newRow("unknown soft-AP key") << "softap start uap0 colour=red" << "unknown soft-AP setting 'colour'";
        QTest::newRow("channel zero") << "softap start uap0 channel=0" << "channel '0' is not a channel number";
        QTest::newRow("lower-case country") << "softap start uap0 countryCode=de" << "not two capital letters";
        QTest::newRow("three-digit PIN") << "wps pin 123" << "a WPS PIN has 4 or 8 digits";
        QTest::newRow("unknown signal") << "monitor Bogus" << "unknown signal 'Bogus'";
    }

    void badCommandLinesAreRefusedWithOneLine()
    {
        QFETCH(QString, line);
        QFETCH(QString, error);
        const Parsed parsed = parse(QProcess::splitCommand(line));
        QVERIFY2(parsed.error.contains(error), qPrintable(parsed.error));
        QVERIFY(!parsed.error.contains(QLatin1Char('\n')));
    }

    void everyCommandHasItsHelp()
    {
        for (const QString &name : QStringList{"status", "mode", "details", "scan", "networks", "ip", "wps", "softap", "loglevel",
                                    "monitor", "reconnect"}) {
            QVERIFY2(helpText(parse({name, "--help"}).command.topic).startsWith("Usage: kivctl " + name), qPrintable(name));
            QVERIFY2(helpText(QString()).contains("\n  " + name + ' '), qPrintable(name));
        }
    }

    void badNetworksFilesAreRefused()
    {
        QVariantMap networks{{"Home", QVariantMap{{"unsecured", true}}}};
        QVERIFY(networksFromJson(R"({"Home": {}})", &networks).contains("given twice"));
        QVERIFY(networksFromJson(R"({"A": {"priority": 1.5, "unsecured": true}})", &networks).contains("'priority'"));
        QVERIFY(networksFromJson(R"({"A": {"wpa_psk": 12345678}})", &networks).contains("'wpa_psk'"));
        QVERIFY(networksFromJson(R"(["A"])", &networks).contains("one JSON object"));
        QVERIFY(networksFromJson("{", &networks).startsWith("not JSON"));
    }

    // Equal signals keep the SSIDs' order; the table of live results is the daemon system test's.
    void scanResultsAreSortedByDescendingSignal()
    {
        auto result = [](const QString &type, int signal, int channel) {
            return QVariantMap{{"type", type}, {"signal", signal}, {"channel", channel}, {"ies", QByteArray("\x01", 1)}};
        };
        const QVariantMap results{{"Beta", result("wpa_psk", -60, 6)}, {"Alpha", result("unsecured", -60, 36)},
                                  {"Strong", result("wep", -40, 11)}};
        const QString json = jsonText(sortedScanResults(results), true);
        QVERIFY2(json.startsWith(R"([{"channel":11,"ies":"01","signal":-40,"ssid":"Strong")")
                     && json.indexOf("Alpha") < json.indexOf("Beta"), qPrintable(json));
    }

    void statusSummarisesMonitorAndManagerDetails()
    {
        const QVariantMap monitor{
            {"Mode", "Passive"}, {"Connected", true}, {"LogLevel", 1}, {"WirelessNetworks", QVariantMap()},
            {"Details", QVariantMap{{"wired", QVariantMap{{"Interface", "eth0"}, {"Ip", "192.168.50.7"}, {"Netmask", "255.255.255.0"},
                                                          {"Connected", true}, {"CableStatus", true}, {"Gateway", "192.168.50.1"},
                                                          {"Dns", "192.168.50.53"}}},
                                    {"wireless", QVariantMap()}}}};
        QCOMPARE(statusText(monitor), QStringLiteral("Mode:      Passive\n"
                                                     "Connected: yes\n"
                                                     "Log level: 1\n"
                                                     "Networks:  none\n"
                                                     "Gateway:   192.168.50.1\n"
                                                     "DNS:       192.168.50.53\n"
                                                     "\n"
                                                     "INTERFACE  ROLE      LINK    CONNECTED  CABLE  IP  ADDRESSES        NETWORK\n"
                                                     "eth0       wired     -       yes        in     -   192.168.50.7/24  -\n"
                                                     "-          wireless  absent  -          -      -   -                -\n"));

        const QVariantMap manager{
            {"Mode", "WirelessMode"}, {"Connected", true}, {"LogLevel", 0}, {"WirelessNetworks", StoredNetworks},
            {"WirelessIpSettings", QVariantMap{{"Ip", ""}, {"Dns", ""}}},
            {"SoftApModeSettings", QVariantMap{{"uap0", QVariantMap{{"ssid", "Setup"}, {"apInterface", "uap0"}, {"channel", 11}}},
                                               {"uap1", QVariantMap{{"ssid", ""}, {"channel", 11}}}}},
            {"Details", QVariantMap{{"wireless", QVariantMap{{"Interface", "wlan0"}, {"Present", 2}, {"Connected", true},
                                                             {"Ips", "192.168.60.7/24 169.254.3.4/16l"}, {"Ssid", "Home"},
                                                             {"Signal", -55}, {"Channel", 6}}}}}};
        const QString text = statusText(manager);
        QVERIFY2(text.contains("Networks:  Cafe, Home, Old\n"), qPrintable(text));
        QVERIFY2(text.contains("Soft AP:   Setup on uap0, channel 11\n"), qPrintable(text));
        QCOMPARE(text.count("Soft AP:"), 1);
        QCOMPARE(softApSettingsText(manager.value("SoftApModeSettings").toMap()),
                 QStringLiteral("uap0:\n  apInterface: uap0\n  channel:     11\n  ssid:        Setup\n"
                                "uap1:\n  channel: 11\n  ssid:    -\n"));
        QVERIFY2(text.contains("wlan0      wireless  up      yes        -      dhcp  192.168.60.7/24 169.254.3.4/16l  "
                               "Home (signal -55, channel 6)\n"),
                 qPrintable(text));
        QVERIFY(!text.contains(Secret));
    }

    void networkKeysAreNeverPrinted()
    {
        const QVariantMap credentials{{"ssid", "Home"}, {"type", "wpa-psk"}, {"wpa_psk", Secret}};
        const QStringList outputs{networksTable(StoredNetworks), jsonText(networkList(StoredNetworks)), fieldLines(credentials),
                                  jsonText(redacted(QVariantMap{{"WirelessNetworks", StoredNetworks}})),
                                  signalLine(QDateTime::currentDateTime(), "WpsCredentials", {credentials}, false),
                                  signalLine(QDateTime::currentDateTime(), "WpsCredentials", {credentials}, true)};
        for (const QString &output : outputs) {
            QVERIFY2(!output.contains(Secret) && !output.contains("abcde"), qPrintable(output));
            QVERIFY2(output.contains("Home"), qPrintable(output));
        }
    }

    void signalLinesCarryTimeNameAndArguments()
    {
        QCOMPARE(signalLine(QDateTime(QDate(2024, 5, 1), QTime(12, 0, 0, 123)), "CableStatus", {"eth0", 2, true}, false),
                 QStringLiteral("2024-05-01 12:00:00.123 CableStatus eth0 2 true"));
    }
};

QTEST_GUILESS_MAIN(TestKivctl)
#include "tst_kivctl.moc"
