#include "ApDescription.h"
#include "NetworkTypes.h"
#include "SupplicantTypes.h"
#include "WirelessNetwork.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusServer>
#include <QDBusVariant>
#include <QtTest>

#include <memory>

namespace {
const QString TestPath = QStringLiteral("/kiv/test");
const QString TestInterface = QStringLiteral("kiv.test.Loopback");
const QString TestSignal = QStringLiteral("Value");

} // namespace

// Collects the signals that arrive on the server side of a peer-to-peer bus connection.
class BusSignalSink : public QObject
{
    Q_OBJECT

public:
    QList<QDBusMessage> messages;

public slots:
    void onValue(const QDBusMessage &message) { messages.append(message); }
};

class TestSupplicantTypes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // The names the generated proxies use are proven by the supplicant system tests.
        registerSupplicantMetaTypes();
        // Only for sending malformed credentials below.
        qDBusRegisterMetaType<QMap<QString, QString>>();
        qDBusRegisterMetaType<QMap<int, QString>>();

        m_server = std::make_unique<QDBusServer>(QStringLiteral("unix:tmpdir=") + QDir::tempPath());
        QVERIFY2(m_server->isConnected(), qPrintable(m_server->lastError().message()));
        connect(m_server.get(), &QDBusServer::newConnection, this, [this](const QDBusConnection &connection) {
            m_serverSide.append(connection);
            QVERIFY(m_serverSide.last().connect(QString(), TestPath, TestInterface, TestSignal, &m_busSink,
                                                SLOT(onValue(QDBusMessage))));
        });
        const QDBusConnection client = QDBusConnection::connectToPeer(m_server->address(), QStringLiteral("kiv-client"));
        QVERIFY2(client.isConnected(), qPrintable(client.lastError().message()));
        QTRY_COMPARE(m_serverSide.size(), 1);
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromPeer(QStringLiteral("kiv-client"));
        m_serverSide.clear();
        m_server.reset();
    }

    void nestedBusDictionaryBecomesMap_data()
    {
        QTest::addColumn<QVariant>("inner");
        QTest::addColumn<QVariantMap>("expected");

        QTest::newRow("credentials a{sv}")
            << QVariant::fromValue(QVariantMap{{"wpa_psk", QStringLiteral("password")}, {"priority", 3}})
            << QVariantMap{{"wpa_psk", QStringLiteral("password")}, {"priority", 3}};
        QTest::newRow("text values a{ss}")
            << QVariant::fromValue(QMap<QString, QString>{{"wep_key", "abcde"}}) << QVariantMap{{"wep_key", "abcde"}};
        QTest::newRow("integer keys give nothing") << QVariant::fromValue(QMap<int, QString>{{1, "x"}}) << QVariantMap();
        QTest::newRow("string list gives nothing") << QVariant(QStringList{"wpa_psk", "password"}) << QVariantMap();
    }

    void nestedBusDictionaryBecomesMap()
    {
        QFETCH(QVariant, inner);
        QFETCH(QVariantMap, expected);

        // The WirelessNetworks property: SSID text to a credentials dictionary inside a variant.
        const QDBusMessage received = sendAndReceive(QVariantMap{{"Home", inner}});
        QCOMPARE(received.signature(), QStringLiteral("a{sv}"));
        const QVariantMap outer = qdbus_cast<QVariantMap>(received.arguments().first());
        QVERIFY(outer.contains(QStringLiteral("Home")));

        const QVariant credentials = outer.value(QStringLiteral("Home"));
        QCOMPARE(NetworkTypes::variantToMap(credentials), expected);
        QCOMPARE(NetworkTypes::variantToMap(QVariant::fromValue(QDBusVariant(credentials))), expected);
        QCOMPARE(NetworkTypes::variantToMap(QVariant::fromValue(expected)), expected);
    }

private:
    QDBusMessage sendAndReceive(const QVariant &value)
    {
        m_busSink.messages.clear();
        QDBusMessage message = QDBusMessage::createSignal(TestPath, TestInterface, TestSignal);
        message << value;
        if (!QDBusConnection(QStringLiteral("kiv-client")).send(message))
            return QDBusMessage();
        if (!QTest::qWaitFor([this]() { return !m_busSink.messages.isEmpty(); }))
            return QDBusMessage();
        return m_busSink.messages.first();
    }

    std::unique_ptr<QDBusServer> m_server;
    QList<QDBusConnection> m_serverSide;
    BusSignalSink m_busSink;
};

QTEST_GUILESS_MAIN(TestSupplicantTypes)
#include "tst_supplicanttypes.moc"
