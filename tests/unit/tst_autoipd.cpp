#include "AddressTestSupport.h"
#include "AutoIpD.h"
#include "LogExpect.h"

#include <QtTest>

// avahi-autoipd is a recording stand-in first on PATH; the interface does not exist.
class TestAutoIpD : public QObject
{
    Q_OBJECT

private:
    FakePrograms m_fakes;

private slots:
    void initTestCase()
    {
        QVERIFY(m_fakes.isValid());
        QVERIFY(m_fakes.install(AutoIpD::Program));
        m_fakes.putFirstOnPath();
    }

    void init() { m_fakes.clear(AutoIpD::Program); }

    void constructionKillsBeforeStartAndDestructionKillsAgain()
    {
        LogCapture log;
        auto *autoIpD = new AutoIpD(nullptr, InterfaceName(QStringLiteral("kivtest0")));
        QCOMPARE(m_fakes.calls(AutoIpD::Program), QStringList{"-k kivtest0"});
        autoIpD->start();
        QCOMPARE(m_fakes.calls(AutoIpD::Program), (QStringList{"-k kivtest0", "-D kivtest0"}));
        delete autoIpD;
        QCOMPARE(m_fakes.calls(AutoIpD::Program), (QStringList{"-k kivtest0", "-D kivtest0", "-k kivtest0"}));

        QStringList texts;
        for (const QString &text : log.texts())
            texts << withoutLocation(text);
        QCOMPARE(texts, (QStringList{"Stopping autoipd on kivtest0", "Starting autoipd on kivtest0",
                                     "Stopping autoipd on kivtest0"}));
    }

    void replacingTheDaemonKillsTwiceBeforeStartingAgain()
    {
        LogCapture log;
        QObject owner;
        auto *first = new AutoIpD(&owner, InterfaceName(QStringLiteral("kivtest1")));
        first->start();
        m_fakes.clear(AutoIpD::Program);
        delete first;
        auto *second = new AutoIpD(&owner, InterfaceName(QStringLiteral("kivtest1")));
        second->start();
        QCOMPARE(m_fakes.calls(AutoIpD::Program), (QStringList{"-k kivtest1", "-k kivtest1", "-D kivtest1"}));
        QCOMPARE(second->parent(), &owner);
    }

    void ownerDeletionStopsTheDaemon()
    {
        LogCapture log;
        auto *owner = new QObject;
        (new AutoIpD(owner, InterfaceName(QStringLiteral("kivtest2"))))->start();
        m_fakes.clear(AutoIpD::Program);
        delete owner;
        QCOMPARE(m_fakes.calls(AutoIpD::Program), QStringList{"-k kivtest2"});
    }
};

QTEST_GUILESS_MAIN(TestAutoIpD)
#include "tst_autoipd.moc"
