#include "InterfaceBase.h"
#include "InterfaceTracker.h"
#include "LogExpect.h"
#include "LogHandler.h"

#include <QtTest>

namespace {

// Writes down every report it gets, one line each.
class RecordingController : public InterfaceBase
{
public:
    void interfaceAdded(const InterfaceName &name) override { calls << "added " + name.toString(); }
    void interfaceRemoved(const InterfaceName &name) override { calls << "removed " + name.toString(); }
    void setUpState(const InterfaceName &name, bool up) override { calls << name.toString() + (up ? " up" : " down"); }
    void setRunningState(bool running) override { calls << (running ? "running" : "not running"); }

    QStringList calls;
};

} // namespace

class TestInterfaceTracker : public QObject
{
    Q_OBJECT

    RecordingController m_wired, m_wireless;
    InterfaceTracker m_tracker;

private slots:
    void init()
    {
        m_tracker = InterfaceTracker();
        m_tracker.addFound("eth0", false, false);
        m_tracker.addFound("wlan0", true, true);
        m_tracker.route("eth0", &m_wired, false);
        m_tracker.route("wlan0", &m_wireless, false);
        m_wired.calls.clear();
        m_wireless.calls.clear();
    }

    void cleanup() { KivLog::debugLevel = 0; }

    // Reports as "UR" flags (up, running); only changes reach the controller, up before running.
    void onlyChangesReachTheController_data()
    {
        QTest::addColumn<QStringList>("reports");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("same flags as found") << QStringList{"00"} << QStringList();
        QTest::newRow("coming up: up, then running") << QStringList{"11"} << QStringList{"eth0 up", "running"};
        QTest::newRow("repeated report does nothing") << QStringList{"10", "10", "10"} << QStringList{"eth0 up"};
        QTest::newRow("cable in and out while up") << QStringList{"10", "11", "10", "11"}
                                                   << QStringList{"eth0 up", "running", "not running", "running"};
        QTest::newRow("going down: not running, then down") << QStringList{"11", "00"}
                                                            << QStringList{"eth0 up", "running", "not running", "eth0 down"};
    }

    void onlyChangesReachTheController()
    {
        QFETCH(QStringList, reports);
        QFETCH(QStringList, calls);
        KivLog::debugLevel = 1;
        LogCapture log;
        for (const QString &report : reports)
            m_tracker.linkChanged("eth0", report[0] == '1', report[1] == '1');
        QCOMPARE(m_wired.calls, calls);
        QCOMPARE(m_wireless.calls, QStringList());
        // A debug line names each change.
        QCOMPARE(log.lines(), calls.replaceInStrings(QRegularExpression("^(eth0 )?"), "DEBUG InterfaceTracker.cpp Interface eth0 "));
    }

    void addedRemovedAndUnknownNames()
    {
        m_tracker.route("uap0", &m_wireless, true);
        expectLog(QtInfoMsg, "Interface uap0 added");
        m_tracker.added("uap0");
        m_tracker.added("uap0");
        m_tracker.added("eth0");
        m_tracker.linkChanged("uap0", true, true);
        expectLog(QtInfoMsg, "Interface wlan0 removed");
        m_tracker.removed("wlan0");
        // Gone or never seen: removals and link reports are dropped with a warning each.
        expectLog(QtWarningMsg, "Ignoring netlink update for non-existent interface: wlan0");
        m_tracker.removed("wlan0");
        expectLog(QtWarningMsg, "Ignoring netlink update for non-existent interface: veth9");
        m_tracker.linkChanged("veth9", true, true);
        QCOMPARE(m_wireless.calls, (QStringList{"added uap0", "uap0 up", "running", "not running", "wlan0 down", "removed wlan0"}));
        QCOMPARE(m_wired.calls, QStringList());

        // A route is replaced only when asked to.
        RecordingController other;
        m_tracker.route("eth0", &other, false);
        QVERIFY(m_tracker.controller("eth0") == &m_wired);
        m_tracker.route("eth0", &other, true);
        QVERIFY(m_tracker.controller("eth0") == &other);
    }
};

QTEST_GUILESS_MAIN(TestInterfaceTracker)
#include "tst_interfacetracker.moc"
