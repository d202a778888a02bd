// The generated adaptor and its registration, on a private dbus-daemon acting as the system bus.
#include "ControlInterface.h"
#include "LogExpect.h"
#include "LogHandler.h"
#include "PrivateBus.h"
#include "TestSupport.h"
#include "com_tarvel_kiv_adaptor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QtTest>

// Stands in for the manager: the properties and signals the adaptor relays.
class ControlTarget : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString Mode READ mode)
    Q_PROPERTY(int LogLevel READ logLevel WRITE setLogLevel)

public:
    QString mode() const { return QStringLiteral("WiredMode"); }
    int logLevel() const { return ControlInterface::logLevel(); }
    void setLogLevel(int value)
    {
        ++logLevelWrites;
        ControlInterface::setLogLevel(value);
    }

    int logLevelWrites = 0;

signals:
    void ScanResults(QVariantMap results);
    void InterfaceStatusChanged(QString interface, int status);
};

// Receives relayed signals as whole messages, to see their signatures on the wire.
class SignalSink : public QObject
{
    Q_OBJECT
public:
    QList<QDBusMessage> messages;
public slots:
    void receive(const QDBusMessage &message) { messages.append(message); }
};

namespace {

const QString Interface = QStringLiteral("com.tarvel.kiv");
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

} // namespace

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
        m_client = QDBusConnection::connectToBus(m_bus.address(), QStringLiteral("client"));
        QVERIFY(m_client.isConnected());
        QCOMPARE(m_client.interface()->serviceOwner(ControlInterface::ServiceName).value(),
                 QDBusConnection::systemBus().baseService());
    }

    void relayedSignalsKeepTheirSignatures_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("signature");
        QTest::addColumn<QVariantList>("arguments");

        const QVariantMap results{{QStringLiteral("HomeNet"), QVariantMap{{QStringLiteral("signal"), -60}}}};
        QTest::newRow("ScanResults is one dictionary, not the announced array")
            << "ScanResults" << "a{sv}" << QVariantList{results};
        QTest::newRow("InterfaceStatusChanged carries name and status")
            << "InterfaceStatusChanged" << "si" << QVariantList{QStringLiteral("wlan0"), 2};
    }

    void relayedSignalsKeepTheirSignatures()
    {
        QFETCH(QString, name);
        QFETCH(QString, signature);
        QFETCH(QVariantList, arguments);

        SignalSink sink;
        QVERIFY(m_client.connect(ControlInterface::ServiceName, ControlInterface::ObjectPath, Interface, name, &sink,
                                 SLOT(receive(QDBusMessage))));
        // A round trip makes sure the match rule is in place before the signal is sent.
        QCOMPARE(call(QStringLiteral("Get"), {Interface, QStringLiteral("Mode")}).type(), QDBusMessage::ReplyMessage);

        QGenericArgument values[2];
        for (int i = 0; i < arguments.size(); ++i)
            values[i] = QGenericArgument(arguments[i].typeName(), arguments[i].constData());
        QVERIFY(QMetaObject::invokeMethod(&m_target, name.toLatin1().constData(), values[0], values[1]));

        QTRY_COMPARE(sink.messages.size(), 1);
        const QDBusMessage message = sink.messages.first();
        QCOMPARE(message.signature(), signature);
        QCOMPARE(message.arguments().size(), arguments.size());
        if (name == QLatin1String("ScanResults")) {
            const QVariantMap received = qdbus_cast<QVariantMap>(message.arguments().first());
            QCOMPARE(qdbus_cast<QVariantMap>(received.value(QStringLiteral("HomeNet"))).value(QStringLiteral("signal")).toInt(),
                     -60);
        } else {
            QCOMPARE(message.arguments(), arguments);
        }
        m_client.disconnect(ControlInterface::ServiceName, ControlInterface::ObjectPath, Interface, name, &sink,
                            SLOT(receive(QDBusMessage)));
    }

    void logLevelWriteReachesSetterAndCaps_data()
    {
        QTest::addColumn<int>("written");
        QTest::addColumn<int>("stored");
        QTest::addColumn<bool>("warned");

        // The capping rule itself is tst_loghandler's.
        QTest::newRow("1 is stored") << 1 << 1 << false;
        QTest::newRow("5 is capped at 2") << 5 << 2 << true;
    }

    void logLevelWriteReachesSetterAndCaps()
    {
        QFETCH(int, written);
        QFETCH(int, stored);
        QFETCH(bool, warned);

        KivLog::debugLevel = 0;
        const int writesBefore = m_target.logLevelWrites;
        expectLog(QtInfoMsg, QStringLiteral("SET: LogLevel: %1").arg(written));
        if (warned)
            expectLog(QtWarningMsg, QStringLiteral("LogLevel: %1 greater than maximum log level, capping at maximum log level!")
                                        .arg(written));
        const QDBusMessage set =
            call(QStringLiteral("Set"), {Interface, QStringLiteral("LogLevel"), QVariant::fromValue(QDBusVariant(written))});
        QCOMPARE(set.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(m_target.logLevelWrites, writesBefore + 1);
        QCOMPARE(KivLog::debugLevel, stored);

        if (stored > 0)
            expectLog(QtDebugMsg, QStringLiteral("GET: LogLevel: %1").arg(stored));
        const QDBusMessage get = call(QStringLiteral("Get"), {Interface, QStringLiteral("LogLevel")});
        QCOMPARE(get.arguments().value(0).value<QDBusVariant>().variant(), QVariant(stored));
        KivLog::debugLevel = 0;
    }

    void registrationFailureEndsProcess_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<QString>("critical");

        // This test process owns the service name since initTestCase.
        QTest::newRow("service name taken") << "service-taken"
                                            << "ERROR control_probe.cpp There is already a dbus service atcom.tarvel.kiv, exiting!";
        QTest::newRow("object path taken") << "object-taken"
                                           << "ERROR control_probe.cpp There is already a dbus object at/com/tarvel/kiv, exiting!";
    }

    void registrationFailureEndsProcess()
    {
        QFETCH(QString, mode);
        QFETCH(QString, critical);

        const ChildRun run = ChildRun::run(QStringLiteral(KIV_CONTROL_PROBE), {mode});
        QVERIFY(run.finished);
        QCOMPARE(run.exitStatus, QProcess::CrashExit);
        const QStringList expected = {
            QStringLiteral("DEBUG ControlInterface.cpp Creating DBus interface..."),
            QString(critical).replace(QLatin1String("control_probe.cpp"), QLatin1String("ControlInterface.cpp")),
            QStringLiteral("FATAL ControlInterface.cpp Aborting program due to fatal error!"),
        };
        QCOMPARE(run.normalized(), expected);
    }

private:
    QDBusMessage call(const QString &method, const QVariantList &arguments)
    {
        const bool property = method == QLatin1String("Get") || method == QLatin1String("Set");
        QDBusMessage message = QDBusMessage::createMethodCall(ControlInterface::ServiceName, ControlInterface::ObjectPath,
                                                              property ? PropertiesInterface : Interface, method);
        message.setArguments(arguments);
        return PrivateBus::callServedHere(m_client, message);
    }

    PrivateBus m_bus;
    ControlTarget m_target;
    QDBusConnection m_client = QDBusConnection(QString());
};

QTEST_GUILESS_MAIN(TestControlInterface)
#include "tst_controlinterface.moc"
