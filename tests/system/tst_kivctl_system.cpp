// kivctl inside the device sandbox against kivd in monitor mode: the property writes it accepts and
// ignores, a counted monitor, and the failures a user meets (no daemon, not root, no answer).
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

    void unknownInterfaceIsReportedInOneLine()
    {
        const KivctlRun unknown = m_kivctl.run({"details", "nope0"});
        QCOMPARE(unknown.exitCode, 1);
        QCOMPARE(unknown.out, QByteArray());
        QCOMPARE(unknown.err, QByteArray("kivctl: kivd knows no interface 'nope0'\n"));
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

    // Property writes; the monitor system test calls the ignored methods on the bus.
    void propertyWritesAreAcceptedAndIgnored_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("log");

        QTest::newRow("networks set") << QStringList{"networks", "set", "Home", "wpa_psk=secret123", "Cafe", "unsecured"}
                                      << QByteArray("COMMAND: Ignoring wireless networks: ");
        QTest::newRow("static wired IP") << QStringList{"ip", "wired", "static", "192.168.50.9/24", "gw", "192.168.50.1"}
                                         << QByteArray("COMMAND: Ignoring Wired Ip settings: ");
        QTest::newRow("wireless DHCP") << QStringList{"ip", "wireless", "dhcp"} << QByteArray("COMMAND: Ignoring Wireless Ip settings: ");
    }

    void propertyWritesAreAcceptedAndIgnored()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, log);
        const KivctlRun run = m_kivctl.run(arguments);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.out, QByteArray());
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
