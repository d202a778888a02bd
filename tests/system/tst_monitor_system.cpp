// The real kivd in monitor mode inside the device sandbox: it answers on the bus, ignores every
// command, changes nothing, and follows a real cable and real IPv4 addresses.
#include "KivSandbox.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

namespace {

const QString Service = QStringLiteral("com.tarvel.kiv");
const QString Path = QStringLiteral("/com/tarvel/kiv");
// Waits end as soon as their condition holds; the limit only matters on a very busy machine.
const int Patience = 20000;

} // namespace

class TestMonitorSystem : public QObject
{
    Q_OBJECT

public slots:
    void record(const QDBusMessage &message)
    {
        QStringList parts{message.member()};
        for (const QVariant &argument : message.arguments())
            parts << argument.toString();
        m_events << parts.join(QLatin1Char(' '));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_sandbox.up({"--no-dhcp", "--no-ra"}), qPrintable(m_sandbox.lastError()));

        // A stale DHCP client by name, which a managing kivd would kill.
        QVERIFY(QFile::link(QStringLiteral("/bin/sleep"), m_sandbox.hostPath(QStringLiteral("/tmp/udhcpc"))));
        m_udhcpc = m_sandbox.start(QStringLiteral("/tmp/udhcpc"), {QStringLiteral("600")});
        QVERIFY(m_udhcpc);
        QTRY_COMPARE_WITH_TIMEOUT(m_sandbox.exec({"pidof", "udhcpc"}).exitCode, 0, Patience);

        // The wired link is up without a cable and gets no addresses of the kernel's own making,
        // so every address notification in this test is one the test asked for.
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        for (const QString &link : {QStringLiteral("eth0"), QStringLiteral("wlan0")})
            device({"ip", "link", "set", link, "addrgenmode", "none"});
        device({"ip", "link", "set", "eth0", "up"});

        const QString resolvConf = m_sandbox.hostPath(QStringLiteral("/etc/resolv.conf"));
        QFile file(resolvConf);
        QVERIFY(file.open(QIODevice::ReadOnly));
        m_resolvConf = file.readAll();
        m_resolvConfModified = QFileInfo(resolvConf).lastModified();

        m_kivd = m_sandbox.startKivd({QStringLiteral("-m")});
        QVERIFY2(m_kivd, qPrintable(m_sandbox.lastError()));
        QDBusConnection bus = m_sandbox.bus();
        for (const char *signal : {"Connected", "Disconnected", "CableStatus", "AddressesChanged"})
            QVERIFY(bus.connect(Service, Path, Service, QLatin1String(signal), this, SLOT(record(QDBusMessage))));
        QVERIFY(awaitLog(QStringLiteral("Finished setting up, starting main loop...")));
        QVERIFY(m_log.contains("Interface eth0 is disconnected"));
        QVERIFY(m_log.contains("Interface wlan0 is disconnected"));
    }

    void cleanupTestCase()
    {
        if (m_kivd)
            m_sandbox.stop(m_kivd);
    }

    // Property writes, details of one interface and refused callers are proven through kivctl.
    void commandsAreLoggedAndIgnored()
    {
        QCOMPARE(property(QStringLiteral("Mode")).toString(), QStringLiteral("Passive"));
        const QList<QPair<QString, QVariantList>> commands = {
            {"SetNormalMode", {QStringLiteral("wired")}},
            {"SetOffMode", {}},
            {"WpsPbc", {}},
            {"WpsPin", {QStringLiteral("12345670")}},
            {"Scan", {}},
            {"ForceWifiReconnect", {}},
            {"StartSoftAp", {QStringLiteral("uap0"), QVariantMap{{QStringLiteral("ssid"), QStringLiteral("Setup")}}}},
            {"StopSoftAp", {QStringLiteral("uap0")}},
        };
        for (const auto &command : commands) {
            const QDBusMessage reply = call(Service, command.first, command.second);
            QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(command.first + ": " + reply.errorMessage()));
            QCOMPARE(reply.arguments(), QVariantList());
        }
        QVERIFY(awaitLog(QStringLiteral("COMMAND: Ignoring scan request!\n")));
        for (const char *line : {"COMMAND: Ignoring normal mode request: wired\n", "COMMAND: Ignoring off mode request!\n",
                                 "COMMAND: Ignoring WPS request\n", "COMMAND: Ignoring WPS PIN request\n"})
            QVERIFY2(m_log.contains(line), line);
        QVERIFY(!m_log.contains("12345670"));
        QCOMPARE(takeEvents(), QStringList());
    }

    void pluggedCableWithoutAddressIsRecheckedAfterTenSeconds()
    {
        QElapsedTimer sincePlug;
        sincePlug.start();
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(awaitEvent(QStringLiteral("CableStatus true")));
        QCOMPARE(takeEvents(), QStringList{QStringLiteral("CableStatus true")});
        QCOMPARE(property(QStringLiteral("Connected")).toBool(), false);

        QVERIFY(awaitEvent(QStringLiteral("AddressesChanged")));
        const qint64 elapsed = sincePlug.elapsed();
        // The re-check timer is coarse: it may fire up to 5 % early.
        QVERIFY2(elapsed >= 9500 && elapsed < 9500 + Patience, qPrintable(QString::number(elapsed)));
        QCOMPARE(takeEvents(), (QStringList{QStringLiteral("Disconnected eth0"), QStringLiteral("AddressesChanged")}));
    }

    void ipv6AddressAloneDoesNotConnect()
    {
        device({"ip", "-6", "addr", "add", "fd00:50::7/64", "dev", "eth0", "nodad"});
        QVERIFY(awaitEvent(QStringLiteral("AddressesChanged")));
        QCOMPARE(takeEvents(), (QStringList{QStringLiteral("Disconnected eth0"), QStringLiteral("AddressesChanged")}));
        QCOMPARE(property(QStringLiteral("Connected")).toBool(), false);
    }

    void ipv4AddressConnectsAndItsRemovalDisconnects()
    {
        device({"ip", "addr", "add", "192.168.50.7/24", "dev", "eth0"});
        QVERIFY(awaitEvent(QStringLiteral("AddressesChanged")));
        QCOMPARE(takeEvents(), (QStringList{QStringLiteral("Connected eth0"), QStringLiteral("AddressesChanged")}));
        QCOMPARE(property(QStringLiteral("Connected")).toBool(), true);

        device({"ip", "addr", "del", "192.168.50.7/24", "dev", "eth0"});
        QVERIFY(awaitEvent(QStringLiteral("AddressesChanged")));
        QCOMPARE(takeEvents(), (QStringList{QStringLiteral("Disconnected eth0"), QStringLiteral("AddressesChanged")}));
        QCOMPARE(property(QStringLiteral("Connected")).toBool(), false);
    }

    void unpluggingReportsCableAndDisconnection()
    {
        device({"ip", "addr", "add", "192.168.50.8/24", "dev", "eth0"});
        QVERIFY(awaitEvent(QStringLiteral("Connected eth0")));
        takeEvents();

        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(awaitEvent(QStringLiteral("Disconnected eth0")));
        QCOMPARE(takeEvents(), (QStringList{QStringLiteral("CableStatus false"), QStringLiteral("Disconnected eth0")}));
        QCOMPARE(property(QStringLiteral("Connected")).toBool(), false);
    }

    void wirelessAddressConnectsWithoutCableStatus()
    {
        device({"ip", "link", "set", "wlan0", "up"});
        QVERIFY(awaitLog(QStringLiteral("interface status update: wlan0: +UP +RUNNING")));
        // Whatever the link's way up produced has arrived after this round trip.
        QCOMPARE(property(QStringLiteral("Mode")).toString(), QStringLiteral("Passive"));
        QCoreApplication::processEvents();
        QVERIFY(!takeEvents().join(QLatin1Char(' ')).contains(QLatin1String("CableStatus")));

        device({"ip", "addr", "add", "192.168.60.7/24", "dev", "wlan0"});
        QVERIFY(awaitEvent(QStringLiteral("Connected wlan0")));
        QCOMPARE(takeEvents(), (QStringList{QStringLiteral("Connected wlan0"), QStringLiteral("AddressesChanged")}));
        QCOMPARE(property(QStringLiteral("Connected")).toBool(), true);
    }

    void detailsDescribeBothInterfaces()
    {
        const QVariantMap details = qdbus_cast<QVariantMap>(property(QStringLiteral("Details")));
        QCOMPARE(details.keys(), (QStringList{"Connected", "Mode", "SoftApSetup", "WiredIp", "WirelessAp", "WirelessIp",
                                              "wired", "wireless"}));
        QCOMPARE(details.value(QStringLiteral("Connected")).toBool(), true);
        QCOMPARE(details.value(QStringLiteral("Mode")).toString(), QStringLiteral("Passive"));
        QCOMPARE(qdbus_cast<QVariantMap>(details.value(QStringLiteral("WirelessAp"))), QVariantMap());
        const QVariantMap wired = qdbus_cast<QVariantMap>(details.value(QStringLiteral("wired")));
        QCOMPARE(wired.value(QStringLiteral("CableStatus")).toBool(), false);
        QCOMPARE(wired.value(QStringLiteral("Connected")).toBool(), false);
        const QVariantMap wireless = qdbus_cast<QVariantMap>(details.value(QStringLiteral("wireless")));
        QCOMPARE(wireless.value(QStringLiteral("Ip")).toString(), QStringLiteral("192.168.60.7"));
        QCOMPARE(wireless.value(QStringLiteral("Connected")).toBool(), true);
        QVERIFY(!wireless.contains(QStringLiteral("CableStatus")));

        const QDBusMessage unknown = call(Service, QStringLiteral("InterfaceDetails"), {QStringLiteral("kivabsent0")});
        QCOMPARE(qdbus_cast<QVariantMap>(unknown.arguments().value(0)), QVariantMap());
        QVERIFY(awaitLog(QStringLiteral("No such interface: kivabsent0")));
    }

    void nothingOnTheDeviceWasChanged()
    {
        QCOMPARE(m_kivd->state(), QProcess::Running);
        QCOMPARE(m_udhcpc->state(), QProcess::Running);
        QCOMPARE(m_sandbox.exec({"pidof", "udhcpc"}).exitCode, 0);

        const QString resolvConf = m_sandbox.hostPath(QStringLiteral("/etc/resolv.conf"));
        QFile file(resolvConf);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), m_resolvConf);
        QCOMPARE(QFileInfo(resolvConf).lastModified(), m_resolvConfModified);
        QCOMPARE(deviceTmpEntries(), QStringList{QStringLiteral("udhcpc")});

        // The addresses the test gave stay; no soft-AP interface was made.
        QVERIFY(m_sandbox.exec({"ip", "-4", "addr", "show", "dev", "eth0"}).output.contains("192.168.50.8/24"));
        QVERIFY(m_sandbox.exec({"ip", "-4", "addr", "show", "dev", "wlan0"}).output.contains("192.168.60.7/24"));
        QVERIFY(!m_sandbox.exec({"ip", "link", "show", "uap0"}).ok());
    }

private:
    // The device's /tmp, less the source and build trees the sandbox shares when they lie under /tmp.
    QStringList deviceTmpEntries()
    {
        QStringList entries = QString::fromUtf8(m_sandbox.exec({"ls", "-A", "/tmp"}).output).split('\n', Qt::SkipEmptyParts);
        for (const char *variable : {"KIV_SOURCE_DIR", "KIV_BUILD_DIR"}) {
            const QStringList parts = qEnvironmentVariable(variable).split('/', Qt::SkipEmptyParts);
            if (parts.size() > 1 && parts.first() == QLatin1String("tmp"))
                entries.removeAll(parts.at(1));
        }
        return entries;
    }

    QDBusMessage call(const QString &interface, const QString &member, const QVariantList &arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, interface, member);
        message.setArguments(arguments);
        return m_sandbox.bus().call(message, QDBus::Block, Patience);
    }

    QVariant property(const QString &name)
    {
        const QDBusMessage reply = call(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"), {Service, name});
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }

    void device(const QStringList &command)
    {
        const KivSandbox::Result result = m_sandbox.exec(command);
        QVERIFY2(result.ok(), result.output.constData());
    }

    // Waits for a bus signal, then for a reply that the daemon sends after everything emitted before.
    bool awaitEvent(const QString &event)
    {
        if (!QTest::qWaitFor([&] { return m_events.contains(event); }, Patience))
            return false;
        property(QStringLiteral("Mode"));
        QCoreApplication::processEvents();
        return m_events.contains(event);
    }

    bool awaitLog(const QString &text)
    {
        return QTest::qWaitFor(
            [&] {
                m_log += m_kivd->readAll();
                return m_log.contains(text.toUtf8());
            },
            Patience);
    }

    QStringList takeEvents()
    {
        const QStringList events = m_events;
        m_events.clear();
        return events;
    }

    KivSandbox m_sandbox;
    QProcess *m_kivd = nullptr;
    QProcess *m_udhcpc = nullptr;
    QByteArray m_log;
    QStringList m_events;
    QByteArray m_resolvConf;
    QDateTime m_resolvConfModified;
};

QTEST_GUILESS_MAIN(TestMonitorSystem)
#include "tst_monitor_system.moc"
