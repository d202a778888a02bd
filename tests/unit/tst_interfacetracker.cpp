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
    void setUpState(const InterfaceName &name, bool up) override { calls << QStringLiteral("up %1 %2").arg(name.toString()).arg(up); }
    void setRunningState(bool running) override { calls << QStringLiteral("running %1").arg(running); }

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
        m_tracker.addFound(QStringLiteral("eth0"), false, false);
        m_tracker.addFound(QStringLiteral("wlan0"), true, true);
        m_tracker.route(QStringLiteral("eth0"), &m_wired, false);
        m_tracker.route(QStringLiteral("wlan0"), &m_wireless, false);
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
        QTest::newRow("coming up: up, then running") << QStringList{"11"} << QStringList{"up eth0 1", "running 1"};
        QTest::newRow("repeated report does nothing") << QStringList{"10", "10", "10"} << QStringList{"up eth0 1"};
        QTest::newRow("cable in and out while up")
            << QStringList{"10", "11", "10", "11"} << QStringList{"up eth0 1", "running 1", "running 0", "running 1"};
        QTest::newRow("going down: not running, then down")
            << QStringList{"11", "00"} << QStringList{"up eth0 1", "running 1", "running 0", "up eth0 0"};
    }

    void onlyChangesReachTheController()
    {
        QFETCH(QStringList, reports);
        QFETCH(QStringList, calls);
        KivLog::debugLevel = 1;
        LogCapture log;
        for (const QString &report : reports)
            m_tracker.linkChanged(QStringLiteral("eth0"), report[0] == '1', report[1] == '1');
        QCOMPARE(m_wired.calls, calls);
        QCOMPARE(m_wireless.calls, QStringList());
        QCOMPARE(m_tracker.isUp(QStringLiteral("eth0")), reports.last()[0] == '1');
        QCOMPARE(m_tracker.isRunning(QStringLiteral("eth0")), reports.last()[1] == '1');
        // A debug line names each change.
        static const QHash<QString, QString> lines{{"up eth0 1", "Interface eth0 up"}, {"up eth0 0", "Interface eth0 down"},
                                                   {"running 1", "Interface eth0 running"},
                                                   {"running 0", "Interface eth0 not running"}};
        QStringList expected, logged;
        for (const QString &call : calls)
            expected << lines.value(call);
        for (const QString &text : log.texts())
            logged << text.section(' ', 1);
        QCOMPARE(logged, expected);
    }

    void addedRemovedAndUnknownNames()
    {
        m_tracker.route(QStringLiteral("uap0"), &m_wireless, true);
        expectLog(QtInfoMsg, QStringLiteral("Interface uap0 added"));
        m_tracker.added(QStringLiteral("uap0"));
        m_tracker.added(QStringLiteral("uap0"));
        m_tracker.added(QStringLiteral("eth0"));
        m_tracker.linkChanged(QStringLiteral("uap0"), true, true);
        QCOMPARE(m_wireless.calls, (QStringList{"added uap0", "up uap0 1", "running 1"}));
        QCOMPARE(m_wired.calls, QStringList());

        m_wireless.calls.clear();
        expectLog(QtInfoMsg, QStringLiteral("Interface wlan0 removed"));
        m_tracker.removed(QStringLiteral("wlan0"));
        QCOMPARE(m_wireless.calls, (QStringList{"running 0", "up wlan0 0", "removed wlan0"}));
        // Gone or never seen: removals and link reports are dropped with a warning each.
        expectLog(QtWarningMsg, QStringLiteral("Ignoring netlink update for non-existent interface: wlan0"));
        m_tracker.removed(QStringLiteral("wlan0"));
        expectLog(QtWarningMsg, QStringLiteral("Ignoring netlink update for non-existent interface: veth9"));
        m_tracker.linkChanged(QStringLiteral("veth9"), true, true);
        QCOMPARE(m_wireless.calls.size(), 3);

        // A route is replaced only when asked to.
        RecordingController other;
        m_tracker.route(QStringLiteral("eth0"), &other, false);
        QCOMPARE(m_tracker.controller(QStringLiteral("eth0")), static_cast<InterfaceBase *>(&m_wired));
        m_tracker.route(QStringLiteral("eth0"), &other, true);
        QCOMPARE(m_tracker.controller(QStringLiteral("eth0")), static_cast<InterfaceBase *>(&other));
    }
};

QTEST_GUILESS_MAIN(TestInterfaceTracker)
#include "tst_interfacetracker.moc"
