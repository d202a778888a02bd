// Registration of the control interface on a dbus-daemon of the test's own acting as the system
// bus; the relayed signals and properties are the system tests' (tst_manager_system).
#include "ControlInterface.h"
#include "TestSupport.h"
#include "com_tarvel_kiv_adaptor.h"

#include <QtTest>

class TestControlInterface : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QProcess m_bus;
    QObject m_target;

private slots:
    // The session configuration lets its one user own and call every name; the daemon goes with
    // the test even when the test crashes, and prints its address once its socket listens. The
    // adaptor belongs to its target, and from here on this process owns the service name.
    void initTestCase()
    {
        const QString address = "unix:path=" + m_dir.filePath(QStringLiteral("bus"));
        m_bus.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_bus.start(QStringLiteral("setpriv"), {"--pdeathsig", "TERM", "dbus-daemon", "--session", "--address=" + address,
                                                "--nofork", "--nopidfile", "--print-address"});
        QVERIFY2(m_dir.isValid() && m_bus.waitForReadyRead(10000), "dbus-daemon did not start");
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
        const com_tarvel_kiv *adaptor =
            ControlInterface::registerOnSystemBus(&m_target, ControlInterface::ObjectPath, ControlInterface::ServiceName);
        QCOMPARE(adaptor->parent(), &m_target);
    }

    void cleanupTestCase()
    {
        m_bus.terminate();
        m_bus.waitForFinished(5000);
    }

    void registrationFailureEndsProcess_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("taken");
        QTest::newRow("service name taken") << "service-taken" << "service atcom.tarvel.kiv";
        QTest::newRow("object path taken") << "object-taken" << "object at/com/tarvel/kiv";
    }

    void registrationFailureEndsProcess()
    {
        QFETCH(QString, mode);
        QFETCH(QString, taken);
        const ChildRun run = ChildRun::run(QStringLiteral(KIV_CONTROL_PROBE), {mode});
        QCOMPARE(run.exitStatus, QProcess::CrashExit);
        QCOMPARE(run.normalized(), QStringList({"DEBUG ControlInterface.cpp Creating DBus interface...",
                                                "ERROR ControlInterface.cpp There is already a dbus " + taken + ", exiting!",
                                                "FATAL ControlInterface.cpp Aborting program due to fatal error!"}));
    }
};

QTEST_GUILESS_MAIN(TestControlInterface)
#include "tst_controlinterface.moc"
