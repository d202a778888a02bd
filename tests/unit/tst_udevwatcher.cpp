#include "UDevWatcher.h"

#include <QtTest>

Q_DECLARE_METATYPE(UDevWatcher::Action)

class TestUDevWatcher : public QObject
{
    Q_OBJECT

private slots:
    void mapsActionsToReports_data()
    {
        QTest::addColumn<QByteArray>("action");
        QTest::addColumn<UDevWatcher::Action>("report");
        QTest::newRow("addIsAdded") << QByteArray("add") << UDevWatcher::Action::Added;
        QTest::newRow("renamedInterfaceIsAdded") << QByteArray("move") << UDevWatcher::Action::Added;
        QTest::newRow("removeIsRemoved") << QByteArray("remove") << UDevWatcher::Action::Removed;
        QTest::newRow("changeIgnored") << QByteArray("change") << UDevWatcher::Action::Ignored;
        QTest::newRow("bindIgnored") << QByteArray("bind") << UDevWatcher::Action::Ignored;
        QTest::newRow("caseMatters") << QByteArray("ADD") << UDevWatcher::Action::Ignored;
        QTest::newRow("missingActionIgnored") << QByteArray() << UDevWatcher::Action::Ignored;
    }

    void mapsActionsToReports()
    {
        QFETCH(QByteArray, action);
        QFETCH(UDevWatcher::Action, report);
        QCOMPARE(UDevWatcher::actionFor(action), report);
    }
};

QTEST_GUILESS_MAIN(TestUDevWatcher)
#include "tst_udevwatcher.moc"
