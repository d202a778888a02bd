// Registration of the control interface on a private dbus-daemon acting as the system bus; the
// relayed signals and properties are the system tests' (tst_manager_system).
#include "ControlInterface.h"
#include "LogExpect.h"
#include "LogHandler.h"
#include "PrivateBus.h"
#include "TestSupport.h"
#include "com_tarvel_kiv_adaptor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QtTest>

class TestControlInterface : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(m_bus.start(), "dbus-daemon did not start");
        KivLog::debugLevel = 1;
        expectLog(QtDebugMsg, QStringLiteral("Creating DBus interface..."));
        com_tarvel_kiv *adaptor =
            ControlInterface::registerOnSystemBus(&m_target, ControlInterface::ObjectPath, ControlInterface::ServiceName);
        QVERIFY(adaptor);
        QCOMPARE(adaptor->parent(), &m_target);
        KivLog::debugLevel = 0;
        QDBusConnection client = QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("client"));
        QCOMPARE(client.interface()->serviceOwner(ControlInterface::ServiceName).value(),
                 QDBusConnection::systemBus().baseService());
    }

    void registrationFailureEndsProcess_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("critical");

        // This test process owns the service name since initTestCase.
        QTest::newRow("service name taken") << "service-taken"
                                            << "ERROR ControlInterface.cpp There is already a dbus service atcom.tarvel.kiv, exiting!";
        QTest::newRow("object path taken") << "object-taken"
                                           << "ERROR ControlInterface.cpp There is already a dbus object at/com/tarvel/kiv, exiting!";
    }

    void registrationFailureEndsProcess()
    {
        QFETCH(QString, mode);
        QFETCH(QString, critical);

        const ChildRun run = ChildRun::run(QStringLiteral(KIV_CONTROL_PROBE), {mode});
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::CrashExit);
        QCOMPARE(run.normalized(), QStringList({"DEBUG ControlInterface.cpp Creating DBus interface...", critical,
                                                "FATAL ControlInterface.cpp Aborting program due to fatal error!"}));
    }

private:
    PrivateBus m_bus;
    QObject m_target;
};

QTEST_GUILESS_MAIN(TestControlInterface)
#include "tst_controlinterface.moc"
