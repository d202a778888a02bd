// kivctl inside the device sandbox against the real kivd: what monitor mode answers, the commands
// it accepts and ignores, and the failures a user meets (no daemon, not root, no answer).
#include "KivctlDriver.h"
#include "KivSandbox.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

namespace {

const int Patience = 20000;

QStringList asNobody()
{
    return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

} // namespace

class TestKivctlSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_sandbox.up({"--no-dhcp", "--no-ra"}), qPrintable(m_sandbox.lastError()));
        device({"ip", "link", "set", "eth0", "addrgenmode", "none"});
        device({"ip", "link", "set", "eth0", "up"});
        QTRY_COMPARE_WITH_TIMEOUT(m_sandbox.exec({"cat", "/sys/class/net/eth0/carrier"}).output, QByteArray("1\n"), Patience);
        m_kivd = m_sandbox.startKivd({QStringLiteral("-m")});
        QVERIFY2(m_kivd, qPrintable(m_sandbox.lastError()));
        QVERIFY(awaitLog("Finished setting up, starting main loop..."));
    }

    void cleanupTestCase()
    {
        if (m_kivd)
            m_sandbox.stop(m_kivd);
    }

    void statusDescribesThePassiveDaemon()
    {
        const KivctlRun text = m_kivctl.run({"status"});
        QCOMPARE(text.exitCode, 0);
        QCOMPARE(text.err, QByteArray());
        QVERIFY2(text.out.startsWith("Mode:      Passive\nConnected: no\n"), text.out.constData());
        QVERIFY2(QRegularExpression("\neth0 +wired +- +no +in ").match(QString::fromUtf8(text.out)).hasMatch(), text.out.constData());
        QVERIFY2(QRegularExpression("\nwlan0 +wireless +- +no +- ").match(QString::fromUtf8(text.out)).hasMatch(), text.out.constData());

        const KivctlRun json = m_kivctl.run({"status", "--json"});
        QCOMPARE(json.exitCode, 0);
        const QJsonObject status = json.json.object();
        QCOMPARE(status.value("Mode").toString(), QStringLiteral("Passive"));
        QCOMPARE(status.value("Connected"), QJsonValue(false));
        QCOMPARE(status.value("LogLevel"), QJsonValue(0));
        QCOMPARE(status.value("WirelessNetworks").toObject(), QJsonObject());
        const QJsonObject wired = status.value("Details").toObject().value("wired").toObject();
        QCOMPARE(wired.value("Interface").toString(), QStringLiteral("eth0"));
        QCOMPARE(wired.value("CableStatus"), QJsonValue(true));
    }

    void detailsInTextAndJson()
    {
        device({"ip", "addr", "add", "192.168.50.7/24", "dev", "eth0"});
        QTRY_VERIFY_WITH_TIMEOUT(m_kivctl.run({"details", "eth0", "--json"}).json.object().value("Connected") == QJsonValue(true),
                                 Patience);

        const KivctlRun json = m_kivctl.run({"details", "eth0", "--json"});
        QCOMPARE(json.exitCode, 0);
        const QJsonObject details = json.json.object();
        QCOMPARE(details.value("Interface").toString(), QStringLiteral("eth0"));
        QCOMPARE(details.value("Ip").toString(), QStringLiteral("192.168.50.7"));
        QCOMPARE(details.value("Netmask").toString(), QStringLiteral("255.255.255.0"));
        QCOMPARE(details.value("Connected"), QJsonValue(true));

        const KivctlRun text = m_kivctl.run({"details", "eth0"});
        QCOMPARE(text.exitCode, 0);
        for (const char *line : {"Connected:   yes\n", "Interface:   eth0\n", "Ip:          192.168.50.7\n",
                                 "Netmask:     255.255.255.0\n"})
            QVERIFY2(text.out.contains(line), text.out.constData());
        QVERIFY(m_kivctl.run({"status"}).out.contains(" 192.168.50.7/24 "));

        const KivctlRun unknown = m_kivctl.run({"details", "nope0"});
        QCOMPARE(unknown.exitCode, 1);
        QCOMPARE(unknown.out, QByteArray());
        QCOMPARE(unknown.err, QByteArray("kivctl: kivd knows no interface 'nope0'\n"));
    }

    void logLevelIsReadSetAndCapped()
    {
        QCOMPARE(m_kivctl.run({"loglevel"}).out, QByteArray("Log level: 0\n"));
        const KivctlRun capped = m_kivctl.run({"loglevel", "5"});
        QCOMPARE(capped.exitCode, 0);
        QCOMPARE(capped.out, QByteArray("Log level: 2 (kivd capped 5)\n"));
        QVERIFY(awaitLog("SET: LogLevel: 5"));
        QCOMPARE(m_kivctl.run({"loglevel", "--json"}).json.object().value("LogLevel"), QJsonValue(2));
        QCOMPARE(m_kivctl.run({"loglevel", "0"}).out, QByteArray("Log level: 0\n"));
    }

    void monitorStopsAfterCountedCableSignals()
    {
        const QString errFile = QStringLiteral("/tmp/monitor.err");
        QProcess *monitor = m_kivctl.start({"monitor", "CableStatus", "--count", "2", "--timeout", "60", "--json"}, errFile);
        QVERIFY(monitor);
        QTRY_VERIFY_WITH_TIMEOUT(m_kivctl.deviceFile(errFile).contains("kivctl: listening for kivd's signals\n"), Patience);

        QByteArray out;
        QVERIFY(m_sandbox.unplug("eth0"));
        QTRY_VERIFY_WITH_TIMEOUT((out += monitor->readAll()).contains("\n"), Patience);
        QVERIFY(m_sandbox.plug("eth0"));
        QVERIFY(monitor->waitForFinished(Patience));
        QCOMPARE(monitor->exitCode(), 0);
        out += monitor->readAll();

        const QList<QByteArray> lines = out.trimmed().split('\n');
        QCOMPARE(lines.size(), 2);
        QList<QJsonValue> values;
        for (const QByteArray &line : lines) {
            const QJsonObject signal = QJsonDocument::fromJson(line).object();
            QCOMPARE(signal.value("signal").toString(), QStringLiteral("CableStatus"));
            QVERIFY(!signal.value("time").toString().isEmpty());
            values << signal.value("args").toArray().at(0);
        }
        QCOMPARE(values, (QList<QJsonValue>{false, true}));
    }

    void commandsAreAcceptedAndIgnored_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("log");

        QTest::newRow("mode wired") << QStringList{"mode", "wired"} << QByteArray("COMMAND: Ignoring normal mode request: wired\n");
        QTest::newRow("mode off") << QStringList{"mode", "off"} << QByteArray("COMMAND: Ignoring off mode request!\n");
        QTest::newRow("networks set") << QStringList{"networks", "set", "Home", "wpa_psk=secret123", "Cafe", "unsecured"}
                                      << QByteArray("COMMAND: Ignoring wireless networks: ");
        QTest::newRow("static wired IP") << QStringList{"ip", "wired", "static", "192.168.50.9/24", "gw", "192.168.50.1"}
                                         << QByteArray("COMMAND: Ignoring Wired Ip settings: ");
        QTest::newRow("wireless DHCP") << QStringList{"ip", "wireless", "dhcp"} << QByteArray("COMMAND: Ignoring Wireless Ip settings: ");
        QTest::newRow("soft AP start") << QStringList{"softap", "start", "uap0", "ssid=Setup", "channel=6"} << QByteArray();
        QTest::newRow("soft AP stop") << QStringList{"softap", "stop", "uap0"} << QByteArray();
        QTest::newRow("reconnect") << QStringList{"reconnect"} << QByteArray();
    }

    void commandsAreAcceptedAndIgnored()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, log);
        const KivctlRun run = m_kivctl.run(arguments);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QByteArray());
        if (!log.isEmpty())
            QVERIFY(awaitLog(log));
        QCOMPARE(m_kivctl.run({"networks", "list"}).out, QByteArray("No networks configured.\n"));
        QCOMPARE(m_kivctl.run({"ip"}).out, QByteArray("wired: not reported by kivd\nwireless: not reported by kivd\n"));
        QCOMPARE(m_kivd->state(), QProcess::Running);
    }

    void scanGivesUpAtItsTimeout()
    {
        const KivctlRun run = m_kivctl.run({"scan", "--timeout", "1"});
        QCOMPARE(run.exitCode, 124);
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(run.err, QByteArray("kivctl: no ScanResults from kivd within 1 s\n"));
        QVERIFY(awaitLog("COMMAND: Ignoring scan request!"));
    }

    void nonRootCallerIsRefused()
    {
        for (const QStringList &arguments : {QStringList{"status"}, QStringList{"mode", "off"}}) {
            const KivctlRun run = m_kivctl.run(arguments, asNobody());
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(run.out, QByteArray());
            QCOMPARE(run.err, QByteArray("kivctl: access denied: only root may control kivd\n"));
        }
    }

    void stalledDaemonTimesOutTheCall()
    {
        const QByteArray pid = m_sandbox.exec({"pidof", "kivd"}).output.trimmed();
        QVERIFY2(!pid.isEmpty() && !pid.contains(' '), pid.constData());
        device({"kill", "-STOP", QString::fromLatin1(pid)});
        const KivctlRun run = m_kivctl.run({"--timeout", "1.5", "status"});
        device({"kill", "-CONT", QString::fromLatin1(pid)});
        QCOMPARE(run.exitCode, 124);
        QCOMPARE(run.out, QByteArray());
        QCOMPARE(run.err, QByteArray("kivctl: kivd did not answer within 1.5 s\n"));
        QCOMPARE(m_kivctl.run({"mode"}).out, QByteArray("Mode: Passive\n"));
    }

    void missingDaemonIsReportedInOneLine()
    {
        QVERIFY(m_sandbox.stop(m_kivd));
        m_kivd = nullptr;
        for (const QStringList &arguments : {QStringList{"status"}, QStringList{"scan"}, QStringList{"loglevel", "1"}}) {
            const KivctlRun run = m_kivctl.run(arguments);
            QCOMPARE(run.exitCode, 1);
            QCOMPARE(run.out, QByteArray());
            QCOMPARE(run.err, QByteArray("kivctl: kivd is not running\n"));
        }
    }

private:
    void device(const QStringList &command)
    {
        const KivSandbox::Result result = m_sandbox.exec(command);
        QVERIFY2(result.ok(), result.output.constData());
    }

    bool awaitLog(const QByteArray &text)
    {
        return QTest::qWaitFor(
            [&] {
                m_log += m_kivd->readAll();
                return m_log.contains(text);
            },
            Patience);
    }

    KivSandbox m_sandbox;
    KivctlDriver m_kivctl{m_sandbox};
    QProcess *m_kivd = nullptr;
    QByteArray m_log;
};

QTEST_GUILESS_MAIN(TestKivctlSystem)
#include "tst_kivctl_system.moc"
