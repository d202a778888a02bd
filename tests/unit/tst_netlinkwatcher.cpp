#include "NetlinkWatcher.h"

#include <QtTest>

#include <linux/if.h>

class TestNetlinkWatcher : public QObject
{
    Q_OBJECT

private slots:
    void runningNeedsRunningAndLowerUpWithoutDormant_data()
    {
        QTest::addColumn<uint>("flags");
        QTest::addColumn<bool>("running");
        QTest::newRow("upRunningLowerUp") << uint(IFF_UP | IFF_RUNNING | IFF_LOWER_UP) << true;
        QTest::newRow("runningLowerUpWhileAdministrativelyDown") << uint(IFF_RUNNING | IFF_LOWER_UP) << true;
        QTest::newRow("dormantIsNotRunning") << uint(IFF_UP | IFF_RUNNING | IFF_LOWER_UP | IFF_DORMANT) << false;
        QTest::newRow("onlyRunning") << uint(IFF_UP | IFF_RUNNING) << false;
        QTest::newRow("onlyLowerUp") << uint(IFF_UP | IFF_LOWER_UP) << false;
        QTest::newRow("nothing") << uint(0) << false;
        QTest::newRow("otherFlagsIgnored") << uint(IFF_UP | IFF_BROADCAST | IFF_MULTICAST | IFF_RUNNING | IFF_LOWER_UP)
                                           << true;
    }

    void runningNeedsRunningAndLowerUpWithoutDormant()
    {
        QFETCH(uint, flags);
        QFETCH(bool, running);
        QCOMPARE(NetlinkWatcher::isRunning(flags), running);
    }

    void statusTextMarksEachReportedFlag()
    {
        QCOMPARE(NetlinkWatcher::statusText("eth0", IFF_UP | IFF_LOWER_UP | IFF_MULTICAST),
                 QStringLiteral("eth0: +UP -RUNNING +LOWER_UP -DORMANT "));
        QCOMPARE(NetlinkWatcher::statusText("wlan0", IFF_RUNNING | IFF_DORMANT),
                 QStringLiteral("wlan0: -UP +RUNNING -LOWER_UP +DORMANT "));
    }
};

QTEST_GUILESS_MAIN(TestNetlinkWatcher)
#include "tst_netlinkwatcher.moc"
