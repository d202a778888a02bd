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
#include <QMetaClassInfo>
#include <QXmlStreamReader>
#include <QtTest>

// Stands in for the manager: records what the adaptor forwards.
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

    QList<QVariantList> calls;
    int logLevelWrites = 0;

signals:
    void ScanResults(QVariantMap results);
    void InterfaceStatusChanged(QString interface, int status);

public slots:
    QVariantMap InterfaceDetails(QString name)
    {
        calls.append({QStringLiteral("InterfaceDetails"), name});
        return {{QStringLiteral("Interface"), name}, {QStringLiteral("Present"), 2}};
    }
    void StartSoftAp(QString interface, QVariantMap settings)
    {
        calls.append({QStringLiteral("StartSoftAp"), interface, settings});
    }
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

class TestControlInterface : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void introspectionDocumentListsEveryMemberInOrder();
    void relayedSignalsKeepTheirSignatures_data();
    void relayedSignalsKeepTheirSignatures();
    void methodCallsReachParentSlotsWithArgumentsInOrder();
    void logLevelWriteReachesSetterAndCaps_data();
    void logLevelWriteReachesSetterAndCaps();
    void registrationFailureEndsProcess_data();
    void registrationFailureEndsProcess();

private:
    QDBusMessage call(const QString &method, const QVariantList &arguments);

    PrivateBus m_bus;
    ControlTarget m_target;
    QDBusConnection m_client = QDBusConnection(QString());
};

namespace {

const QString Interface = QStringLiteral("com.tarvel.kiv");
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString QtPrefix = QStringLiteral("org.qtproject.QtDBus.");

// One line per member: kind, name, arguments with type and direction, then annotations.
QStringList describeInterface(const QString &document, QString *interfaceName)
{
    QStringList members;
    QXmlStreamReader xml(document);
    QString current;
    QStringList arguments;
    while (!xml.atEnd()) {
        xml.readNext();
        const QXmlStreamAttributes attributes = xml.attributes();
        if (xml.isStartElement()) {
            const QStringRef element = xml.name();
            if (element == QLatin1String("interface")) {
                *interfaceName = attributes.value(QLatin1String("name")).toString();
            } else if (element == QLatin1String("property")) {
                current = QStringLiteral("property %1 %2 %3")
                              .arg(attributes.value(QLatin1String("name")), attributes.value(QLatin1String("type")),
                                   attributes.value(QLatin1String("access")));
            } else if (element == QLatin1String("signal") || element == QLatin1String("method")) {
                current = element + QLatin1Char(' ') + attributes.value(QLatin1String("name"));
                arguments.clear();
            } else if (element == QLatin1String("arg")) {
                const QStringRef direction = attributes.value(QLatin1String("direction"));
                arguments << QStringLiteral("%1 '%2'%3")
                                 .arg(attributes.value(QLatin1String("type")), attributes.value(QLatin1String("name")),
                                      direction.isEmpty() ? QString() : QLatin1Char(' ') + direction);
            } else if (element == QLatin1String("annotation")) {
                if (!arguments.isEmpty()) {
                    current += QLatin1Char('(') + arguments.join(QLatin1String(", ")) + QLatin1Char(')');
                    arguments.clear();
                }
                const QString name = attributes.value(QLatin1String("name")).toString();
                current += QStringLiteral(" @%1=%2").arg(name.startsWith(QtPrefix) ? name.mid(QtPrefix.size()) : name,
                                                          attributes.value(QLatin1String("value")));
            }
        } else if (xml.isEndElement() && xml.name() != QLatin1String("arg") && xml.name() != QLatin1String("annotation")
                   && !current.isEmpty()) {
            if (!arguments.isEmpty())
                current += QLatin1Char('(') + arguments.join(QLatin1String(", ")) + QLatin1Char(')');
            members << current;
            current.clear();
            arguments.clear();
        }
    }
    if (xml.hasError())
        members << QStringLiteral("XML error: ") + xml.errorString();
    return members;
}

} // namespace

void TestControlInterface::initTestCase()
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

QDBusMessage TestControlInterface::call(const QString &method, const QVariantList &arguments)
{
    const bool property = method == QLatin1String("Get") || method == QLatin1String("Set");
    QDBusMessage message = QDBusMessage::createMethodCall(ControlInterface::ServiceName, ControlInterface::ObjectPath,
                                                          property ? PropertiesInterface : Interface, method);
    message.setArguments(arguments);
    return PrivateBus::callServedHere(m_client, message);
}

void TestControlInterface::introspectionDocumentListsEveryMemberInOrder()
{
    const QMetaObject &meta = com_tarvel_kiv::staticMetaObject;
    QCOMPARE(QString::fromLatin1(meta.classInfo(meta.indexOfClassInfo("D-Bus Interface")).value()), Interface);
    const int index = meta.indexOfClassInfo("D-Bus Introspection");
    QVERIFY(index >= 0);
    QString name;
    const QStringList members = describeInterface(QString::fromUtf8(meta.classInfo(index).value()), &name);
    QCOMPARE(name, Interface);

    const QString map = QStringLiteral("=QVariantMap");
    const QStringList expected = {
        QStringLiteral("property Connected b read"),
        QStringLiteral("property Mode s read"),
        QStringLiteral("property Details a{sv} read @QtTypeName") + map,
        QStringLiteral("property LogLevel i readwrite"),
        QStringLiteral("property SoftApModeSettings a{sv} read @QtTypeName") + map,
        QStringLiteral("property WirelessNetworks a{sv} readwrite @QtTypeName") + map,
        QStringLiteral("property WiredIpSettings a{sv} readwrite @QtTypeName") + map,
        QStringLiteral("property WirelessIpSettings a{sv} readwrite @QtTypeName") + map,
        QStringLiteral("signal Started"),
        QStringLiteral("signal Connected(s 'Type' out)"),
        QStringLiteral("signal Disconnected(s 'Type' out)"),
        QStringLiteral("signal Disconnecting(s 'Type' out)"),
        QStringLiteral("signal Error(s 'Description' out)"),
        QStringLiteral("signal AuthError(s 'Ssid' out, s 'Description' out)"),
        QStringLiteral("signal CableStatus(b 'CablePluggedIn' out)"),
        QStringLiteral("signal WpsCredentials(a{sv} 'Credentials' out) @QtTypeName.In0") + map
            + QStringLiteral(" @QtTypeName.Out0") + map,
        QStringLiteral("signal WpsError(s 'Message' out)"),
        QStringLiteral("signal ScanResults(aa{sv} 'Results' out) @QtTypeName.In0") + map
            + QStringLiteral(" @QtTypeName.Out0") + map,
        QStringLiteral("signal AddressesChanged"),
        QStringLiteral("signal InterfaceStatusChanged(s 'Type' out, i 'Status' out)"),
        QStringLiteral("signal StationConnected(s 'Hardware address' out)"),
        QStringLiteral("signal StationDisconnected(s 'Hardware address' out)"),
        QStringLiteral("method InterfaceDetails(s 'interface' in, a{sv} 'details' out) @QtTypeName.Out0") + map,
        QStringLiteral("method SetOffMode"),
        QStringLiteral("method SetNormalMode(s 'Mode')"),
        QStringLiteral("method ForceWifiReconnect"),
        QStringLiteral("method StartSoftAp(s 'interface' in, a{sv} 'interface' in) @QtTypeName.In1") + map
            + QStringLiteral(" @QtTypeName.Out1") + map,
        QStringLiteral("method StopSoftAp(s 'interface' in)"),
        QStringLiteral("method WpsPbc"),
        QStringLiteral("method WpsPin(s 'Pin')"),
        QStringLiteral("method Scan"),
    };
    QCOMPARE(members, expected);
}

void TestControlInterface::relayedSignalsKeepTheirSignatures_data()
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

void TestControlInterface::relayedSignalsKeepTheirSignatures()
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

void TestControlInterface::methodCallsReachParentSlotsWithArgumentsInOrder()
{
    m_target.calls.clear();
    const QVariantMap settings{{QStringLiteral("ssid"), QStringLiteral("Setup")}, {QStringLiteral("channel"), 6}};
    const QDBusMessage started = call(QStringLiteral("StartSoftAp"), {QStringLiteral("uap0"), settings});
    QCOMPARE(started.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(started.arguments(), QVariantList());

    const QDBusMessage details = call(QStringLiteral("InterfaceDetails"), {QStringLiteral("eth0")});
    QCOMPARE(details.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(details.signature(), QStringLiteral("a{sv}"));
    const QVariantMap reply = qdbus_cast<QVariantMap>(details.arguments().value(0));
    QCOMPARE(reply.value(QStringLiteral("Interface")).toString(), QStringLiteral("eth0"));
    QCOMPARE(reply.value(QStringLiteral("Present")).toInt(), 2);

    QCOMPARE(m_target.calls.size(), 2);
    QCOMPARE(m_target.calls[0].value(0).toString(), QStringLiteral("StartSoftAp"));
    QCOMPARE(m_target.calls[0].value(1).toString(), QStringLiteral("uap0"));
    QCOMPARE(m_target.calls[0].value(2).toMap(), settings);
    QCOMPARE(m_target.calls[1], (QVariantList{QStringLiteral("InterfaceDetails"), QStringLiteral("eth0")}));
}

void TestControlInterface::logLevelWriteReachesSetterAndCaps_data()
{
    QTest::addColumn<int>("written");
    QTest::addColumn<int>("stored");
    QTest::addColumn<bool>("warned");

    QTest::newRow("0 is stored") << 0 << 0 << false;
    QTest::newRow("1 is stored") << 1 << 1 << false;
    QTest::newRow("2 is stored with the capping warning") << 2 << 2 << true;
    QTest::newRow("5 is capped at 2") << 5 << 2 << true;
    QTest::newRow("-1 is capped at 2") << -1 << 2 << true;
}

void TestControlInterface::logLevelWriteReachesSetterAndCaps()
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

void TestControlInterface::registrationFailureEndsProcess_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("critical");

    // This test process owns the service name since initTestCase.
    QTest::newRow("service name taken") << "service-taken"
                                        << "ERROR control_probe.cpp There is already a dbus service atcom.tarvel.kiv, exiting!";
    QTest::newRow("object path taken") << "object-taken"
                                       << "ERROR control_probe.cpp There is already a dbus object at/com/tarvel/kiv, exiting!";
}

void TestControlInterface::registrationFailureEndsProcess()
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

QTEST_GUILESS_MAIN(TestControlInterface)
#include "tst_controlinterface.moc"
