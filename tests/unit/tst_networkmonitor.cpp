// The monitor's address re-check rule; its bus and kernel behaviour is tested on the real daemon
// in tests/system/tst_monitor_system.cpp.
#include "NetworkMonitor.h"

#include <QtTest>

class TestNetworkMonitor : public QObject
{
    Q_OBJECT

private slots:
    void recheckMovesBetweenStates_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("hasIpv4");
        QTest::addColumn<int>("newState");
        QTest::addColumn<NetworkMonitor::Report>("report");

        using R = NetworkMonitor::Report;
        QTest::newRow("not running stays, even with an address") << 0 << true << 0 << R::Nothing;
        QTest::newRow("not running stays without an address") << 0 << false << 0 << R::Nothing;
        QTest::newRow("running gains IPv4: connected") << 1 << true << 2 << R::Connected;
        QTest::newRow("running still without IPv4: reported disconnected") << 1 << false << 1 << R::Disconnected;
        QTest::newRow("connected keeps IPv4: silent") << 2 << true << 2 << R::Nothing;
        QTest::newRow("connected loses IPv4: disconnected") << 2 << false << 1 << R::Disconnected;
    }

    void recheckMovesBetweenStates()
    {
        QFETCH(int, state);
        QFETCH(bool, hasIpv4);
        QFETCH(int, newState);
        QFETCH(NetworkMonitor::Report, report);

        const NetworkMonitor::Recheck result = NetworkMonitor::recheck(state, hasIpv4);
        QCOMPARE(result.state, newState);
        QCOMPARE(result.report, report);
    }
};

QTEST_GUILESS_MAIN(TestNetworkMonitor)
#include "tst_networkmonitor.moc"
