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
    void setUpState(const InterfaceName &name, bool up) override
    {
        calls << QStringLiteral("up %1 %2").arg(name.toString()).arg(up);
    }
    void setRunningState(bool running) override { calls << QStringLiteral("running %1").arg(running); }

    QStringList take()
    {
        const QStringList taken = calls;
        calls.clear();
        return taken;
    }

    QStringList calls;
};

struct Report
{
    bool up;
    bool running;
};

} // namespace

Q_DECLARE_METATYPE(QList<Report>)

class TestInterfaceTracker : public QObject
{
    Q_OBJECT

    RecordingController m_wired;
    RecordingController m_wireless;
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

    void cleanup()
    {
        KivLog::debugLevel = 0;
    }

    void onlyChangesReachTheController_data()
    {
        QTest::addColumn<QList<Report>>("reports");
        QTest::addColumn<QStringList>("calls");

        QTest::newRow("same flags as found") << QList<Report>{{false, false}} << QStringList();
        QTest::newRow("coming up: up, then running")
            << QList<Report>{{true, true}} << QStringList{"up eth0 1", "running 1"};
        QTest::newRow("repeated report does nothing")
            << QList<Report>{{true, false}, {true, false}, {true, false}} << QStringList{"up eth0 1"};
        QTest::newRow("cable in and out while up")
            << QList<Report>{{true, false}, {true, true}, {true, false}, {true, true}}
            << QStringList{"up eth0 1", "running 1", "running 0", "running 1"};
        QTest::newRow("going down: not running, then down")
            << QList<Report>{{true, true}, {false, false}}
            << QStringList{"up eth0 1", "running 1", "running 0", "up eth0 0"};
    }

    void onlyChangesReachTheController()
    {
        QFETCH(QList<Report>, reports);
        QFETCH(QStringList, calls);

        for (const Report &report : reports)
            m_tracker.linkChanged(QStringLiteral("eth0"), report.up, report.running);
        QCOMPARE(m_wired.take(), calls);
        QCOMPARE(m_wireless.take(), QStringList());
        const Report last = reports.constLast();
        QCOMPARE(m_tracker.isUp(QStringLiteral("eth0")), last.up);
        QCOMPARE(m_tracker.isRunning(QStringLiteral("eth0")), last.running);
    }

    void removalReportsRunningThenDownThenRemoval()
    {
        expectLog(QtInfoMsg, QStringLiteral("Interface wlan0 removed"));
        m_tracker.removed(QStringLiteral("wlan0"));
        QCOMPARE(m_wireless.take(), (QStringList{"running 0", "up wlan0 0", "removed wlan0"}));
        QVERIFY(!m_tracker.exists(QStringLiteral("wlan0")));

        // Gone now: a second removal and link reports are dropped with a warning each.
        expectLog(QtWarningMsg, QStringLiteral("Ignoring netlink update for non-existent interface: wlan0"));
        m_tracker.removed(QStringLiteral("wlan0"));
        expectLog(QtWarningMsg, QStringLiteral("Ignoring netlink update for non-existent interface: wlan0"));
        m_tracker.linkChanged(QStringLiteral("wlan0"), true, true);
        QCOMPARE(m_wireless.take(), QStringList());
    }

    void reportsForUnseenNamesAreDropped()
    {
        expectLog(QtWarningMsg, QStringLiteral("Ignoring netlink update for non-existent interface: veth9"));
        m_tracker.linkChanged(QStringLiteral("veth9"), true, true);
        QVERIFY(!m_tracker.isUp(QStringLiteral("veth9")));

        // Known but unrouted names are tracked without anyone to tell.
        m_tracker.addFound(QStringLiteral("lo"), true, true);
        m_tracker.linkChanged(QStringLiteral("lo"), false, false);
        QVERIFY(!m_tracker.isUp(QStringLiteral("lo")));
        QCOMPARE(m_wired.calls + m_wireless.calls, QStringList());
    }

    void addedIsReportedOnceAndOnlyForNewNames()
    {
        m_tracker.route(QStringLiteral("uap0"), &m_wireless, true);
        expectLog(QtInfoMsg, QStringLiteral("Interface uap0 added"));
        m_tracker.added(QStringLiteral("uap0"));
        m_tracker.added(QStringLiteral("uap0"));
        m_tracker.added(QStringLiteral("eth0"));
        QCOMPARE(m_wireless.take(), QStringList{"added uap0"});
        QCOMPARE(m_wired.take(), QStringList());

        // Once added, its link reports go through.
        m_tracker.linkChanged(QStringLiteral("uap0"), true, true);
        QCOMPARE(m_wireless.take(), (QStringList{"up uap0 1", "running 1"}));
    }

    void routesKeepTheFirstUnlessReplaced()
    {
        RecordingController other;
        m_tracker.route(QStringLiteral("eth0"), &other, false);
        QCOMPARE(m_tracker.controller(QStringLiteral("eth0")), static_cast<InterfaceBase *>(&m_wired));
        m_tracker.route(QStringLiteral("eth0"), &other, true);
        QCOMPARE(m_tracker.controller(QStringLiteral("eth0")), static_cast<InterfaceBase *>(&other));
        QCOMPARE(m_tracker.controller(QStringLiteral("uap9")), nullptr);
    }

    void debugLinesNameEveryChange()
    {
        KivLog::debugLevel = 1;
        LogCapture capture;
        m_tracker.linkChanged(QStringLiteral("eth0"), true, true);
        m_tracker.linkChanged(QStringLiteral("eth0"), false, false);
        QStringList texts;
        for (const QString &text : capture.texts())
            texts << text.section(QLatin1Char(' '), 1);
        QCOMPARE(texts, (QStringList{"Interface eth0 up", "Interface eth0 running", "Interface eth0 not running",
                                     "Interface eth0 down"}));
    }
};

QTEST_GUILESS_MAIN(TestInterfaceTracker)
#include "tst_interfacetracker.moc"
