// The real daemon in the device sandbox, driven only through the bus as a client would: start-up,
// wired mode over a real cable and DHCP server, IP settings and the log level. The bus policy is
// proven in tst_SandboxDevice and tst_kivctl_system, a taken bus name in tst_controlinterface and
// tst_kivd.
#include "KivdClient.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

class TestManagerWired : public QObject
{
    Q_OBJECT

    QByteArray device(const QStringList &command)
    {
        const KivSandbox::Result result = m_sandbox.exec(command);
        if (!result.ok())
            qWarning() << command << result.output;
        return result.output;
    }

    QString resolvConf() const
    {
        QFile file(m_sandbox.hostPath(QStringLiteral("/etc/resolv.conf")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    bool awaitConnected(const QString &interface)
    {
        return m_client.awaitEvent(QStringLiteral("Connected ") + interface);
    }

    KivSandbox m_sandbox;
    KivdClient m_client{&m_sandbox};
    QProcess *m_staleDhcp = nullptr;

private slots:
    void initTestCase()
    {
        QVERIFY2(m_sandbox.up(), qPrintable(m_sandbox.lastError()));
        QVERIFY(m_client.subscribe());

        // What an earlier run could have left: a DHCP client and a configured, running link.
        QVERIFY(QFile::link(QStringLiteral("/bin/sleep"), m_sandbox.hostPath(QStringLiteral("/tmp/udhcpc"))));
        m_staleDhcp = m_sandbox.start(QStringLiteral("/tmp/udhcpc"), {QStringLiteral("600")});
        QVERIFY(m_staleDhcp);
        QTRY_COMPARE_WITH_TIMEOUT(m_sandbox.exec({"pidof", "udhcpc"}).exitCode, 0, KivdClient::Patience);
        device({"ip", "link", "set", "eth0", "up"});
        device({"ip", "addr", "add", "192.168.50.77/24", "dev", "eth0"});

        QVERIFY(m_client.startKivd());
    }

    void cleanupTestCase()
    {
        if (m_client.kivd())
            m_sandbox.stop(m_client.kivd());
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            m_client.printLogTail();
    }

    void startsInOffModeAfterCleaningUp()
    {
        QCOMPARE(m_client.count(QStringLiteral("Started")), 1);
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("OffMode"));
        QCOMPARE(m_client.property(QStringLiteral("Connected")).toBool(), false);
        QVERIFY(m_client.awaitLog("Entering state: OffMode\n"));
        QVERIFY(m_client.awaitLog("eth0 disabling...\n"));
        QVERIFY(m_client.awaitLog("wlan0 disabling...\n"));

        // The clean-up ran in the device: the stale client is gone, the link is down without address.
        QTRY_COMPARE_WITH_TIMEOUT(m_staleDhcp->state(), QProcess::NotRunning, KivdClient::Patience);
        QCOMPARE(m_sandbox.exec({"pidof", "udhcpc"}).exitCode, 1);
        const QByteArray link = device({"ip", "-4", "addr", "show", "dev", "eth0"});
        QVERIFY2(!link.contains("192.168.50.77"), link.constData());
        QVERIFY2(!link.contains(",UP"), link.constData());
        QVERIFY(m_client.log().contains("Found interface: eth0, status: "));
    }

    void logLevelIsCappedThroughPropertiesInterface()
    {
        const QList<QPair<int, int>> writes{{5, 2}, {0, 0}, {-3, 2}, {1, 1}};
        for (const auto &write : writes) {
            QVERIFY(m_client.setProperty(QStringLiteral("LogLevel"), write.first));
            QCOMPARE(m_client.property(QStringLiteral("LogLevel")).toInt(), write.second);
        }
        QVERIFY(m_client.awaitLog("SET: LogLevel: -3\n"));
    }

    void wiredModeConnectsWithLeaseRouteAndResolver()
    {
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("SetNormalMode"), {QStringLiteral("wired")}));
        QVERIFY(awaitConnected(QStringLiteral("eth0")));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("WiredMode"));
        QCOMPARE(m_client.property(QStringLiteral("Connected")).toBool(), true);
        QVERIFY(m_client.events().contains(QStringLiteral("CableStatus true")));
        QVERIFY(m_client.events().contains(QStringLiteral("InterfaceStatusChanged eth0 2")));
        QCOMPARE(m_client.count(QStringLiteral("Connected eth0")), 1);
        QVERIFY(m_client.log().contains("COMMAND: Setting normal mode: wired\n"));

        // The IPv6 half may report the connection before the lease has arrived.
        const QRegularExpression lease(QStringLiteral("inet 192\\.168\\.50\\.1\\d\\d/24"));
        QTRY_VERIFY_WITH_TIMEOUT(lease.match(QString::fromLatin1(device({"ip", "-4", "addr", "show", "dev", "eth0"}))).hasMatch(),
                                 KivdClient::Patience);
        QTRY_VERIFY_WITH_TIMEOUT(resolvConf().contains(QLatin1String("nameserver 192.168.50.53\n")), KivdClient::Patience);
        QVERIFY(device({"ip", "-4", "route", "show", "default"}).contains("default via 192.168.50.1 dev eth0"));
        const QString resolver = resolvConf();
        QVERIFY2(resolver.startsWith(QLatin1String("# Auto-generated by Quillon.\n")), qPrintable(resolver));
        QVERIFY2(resolver.contains(QLatin1String("nameserver 192.168.50.53\n")), qPrintable(resolver));
        QVERIFY2(resolver.contains(QLatin1String("wired.kiv.test")), qPrintable(resolver));
    }

    void interfaceDetailsDescribeWiredWirelessAndAbsent()
    {
        const QVariantMap wired = m_client.details(QStringLiteral("eth0"));
        QCOMPARE(QStringList(wired.keys()), (QStringList{"CableStatus", "Connected", "Dhcp", "Dns", "Gateway", "Gateway6",
                                                         "Interface", "Ips", "Mac", "Present"}));
        QCOMPARE(wired.value("Interface").toString(), QStringLiteral("eth0"));
        QCOMPARE(wired.value("Present").toInt(), 2);
        QCOMPARE(wired.value("Connected").toBool(), true);
        QCOMPARE(wired.value("CableStatus").toBool(), true);
        QCOMPARE(wired.value("Dhcp").toBool(), true);
        QCOMPARE(wired.value("Gateway").toString(), QStringLiteral("192.168.50.1"));
        QVERIFY2(wired.value("Dns").toString().startsWith(QLatin1String("192.168.50.53 ")), qPrintable(wired.value("Dns").toString()));
        const QString ips = wired.value("Ips").toString();
        QVERIFY2(QRegularExpression(QStringLiteral("(^| )192\\.168\\.50\\.1\\d\\d/24( |$)")).match(ips).hasMatch(), qPrintable(ips));
        QVERIFY2(QRegularExpression(QStringLiteral("(^| )fe80::[0-9a-f:]+/64l( |$)")).match(ips).hasMatch(), qPrintable(ips));
        QVERIFY(!ips.contains(QLatin1Char('%')));
        QVERIFY(QRegularExpression(QStringLiteral("^([0-9A-F]{2}:){5}[0-9A-F]{2}$")).match(wired.value("Mac").toString()).hasMatch());

        const QVariantMap wireless = m_client.details(QStringLiteral("wlan0"));
        QCOMPARE(wireless.value("Present").toInt(), 1);
        QCOMPARE(wireless.value("Connected").toBool(), false);
        QCOMPARE(wireless.value("Configured Networks").toString(), QString());
        QVERIFY(!wireless.contains(QStringLiteral("CableStatus")));
        QCOMPARE(wireless.value("Gateway").toString(), QStringLiteral("192.168.50.1"));

        QCOMPARE(m_client.details(QStringLiteral("kivabsent0")),
                 (QVariantMap{{"Interface", "kivabsent0"}, {"Present", 0}}));
        QVERIFY(m_client.awaitLog("COMMAND: Getting interface details for kivabsent0\n"));

        const QVariantMap all = m_client.mapProperty(QStringLiteral("Details"));
        QCOMPARE(QStringList(all.keys()), (QStringList{"Connected", "Mode", "SoftApSetup", "WiredIp", "WirelessAp",
                                                       "WirelessIp", "wired", "wireless"}));
        QCOMPARE(all.value("Mode").toString(), QStringLiteral("WiredMode"));
        QCOMPARE(KivdClient::toMap(all.value("wired")).value("Connected").toBool(), true);
    }

    void cableLossDisconnectsAndReplugReconnects()
    {
        m_client.takeEvents();
        QVERIFY(m_sandbox.unplug(QStringLiteral("eth0")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected eth0")));
        QVERIFY(m_client.events().contains(QStringLiteral("CableStatus false")));
        // Cable loss leaves at once, without announcing the ready pause.
        QCOMPARE(m_client.count(QStringLiteral("Disconnecting eth0")), 0);
        QCOMPARE(m_client.property(QStringLiteral("Connected")).toBool(), false);
        QCOMPARE(m_client.details(QStringLiteral("eth0")).value("CableStatus").toBool(), false);

        m_client.takeEvents();
        QVERIFY(m_sandbox.plug(QStringLiteral("eth0")));
        QVERIFY(awaitConnected(QStringLiteral("eth0")));
        QVERIFY(m_client.events().contains(QStringLiteral("CableStatus true")));
        QCOMPARE(m_client.property(QStringLiteral("Connected")).toBool(), true);
    }

    void staticSettingsWrittenTwiceReloadOnce()
    {
        const QVariantMap settings{{"Ip", "192.168.50.9"},
                                   {"Netmask", "255.255.255.0"},
                                   {"Gateway", "192.168.50.1"},
                                   {"Dns", QStringList{"192.168.50.99"}}};
        const int reloads = m_client.logCount("eth0 reloading IP...\n");
        m_client.takeEvents();
        QVERIFY(m_client.setProperty(QStringLiteral("WiredIpSettings"), settings));
        QVERIFY(m_client.setProperty(QStringLiteral("WiredIpSettings"), settings));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0")));
        QCOMPARE(m_client.logCount("COMMAND: Setting Wired Ip to static settings: "), 2);
        QCOMPARE(m_client.logCount("eth0 reloading IP...\n"), reloads + 1);
        QCOMPARE(m_client.count(QStringLiteral("Connected eth0")), 1);

        QTRY_VERIFY_WITH_TIMEOUT(device({"ip", "-4", "addr", "show", "dev", "eth0"}).contains("inet 192.168.50.9/24"),
                                 KivdClient::Patience);
        QTRY_VERIFY_WITH_TIMEOUT(resolvConf().contains(QLatin1String("nameserver 192.168.50.99\n")), KivdClient::Patience);
        const QVariantMap stored = m_client.mapProperty(QStringLiteral("WiredIpSettings"));
        QCOMPARE(stored.value("Ip").toString(), QStringLiteral("192.168.50.9"));
        QCOMPARE(stored.value("Gateway").toString(), QStringLiteral("192.168.50.1"));
        QCOMPARE(m_client.details(QStringLiteral("eth0")).value("Dhcp").toBool(), false);
        // The route follows the address; the DHCP client has ended.
        QTRY_VERIFY_WITH_TIMEOUT(device({"ip", "-4", "route", "show", "default"}).contains("default via 192.168.50.1 dev eth0"),
                                 KivdClient::Patience);
        QTRY_COMPARE_WITH_TIMEOUT(m_sandbox.exec({"pidof", "udhcpc"}).exitCode, 1, KivdClient::Patience);
    }

    void dhcpSettingsBringTheLeaseBack()
    {
        m_client.takeEvents();
        QVERIFY(m_client.setProperty(QStringLiteral("WiredIpSettings"), QVariantMap()));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Connected eth0")));
        QVERIFY(m_client.log().contains("COMMAND: Setting Wired Ip to DHCP settings: "));
        // The IPv6 half may report the connection before the lease has arrived.
        QTRY_VERIFY_WITH_TIMEOUT(device({"ip", "-4", "addr", "show", "dev", "eth0"}).contains("inet 192.168.50.1"),
                                 KivdClient::Patience);
        QVERIFY(!device({"ip", "-4", "addr", "show", "dev", "eth0"}).contains("192.168.50.9/24"));
        QCOMPARE(m_client.details(QStringLiteral("eth0")).value("Dhcp").toBool(), true);
    }

    void offModeReleasesEverything()
    {
        m_client.takeEvents();
        QVERIFY(m_client.command(QStringLiteral("SetOffMode")));
        QVERIFY(m_client.awaitEvent(QStringLiteral("Disconnected eth0"), 2 * KivdClient::Patience));
        // The ready connection announces its tear-down first.
        QCOMPARE(m_client.events().filter(QStringLiteral(" eth0")).mid(0, 2),
                 (QStringList{"Disconnecting eth0", "Disconnected eth0"}));
        QCOMPARE(m_client.property(QStringLiteral("Mode")).toString(), QStringLiteral("OffMode"));
        QCOMPARE(m_client.property(QStringLiteral("Connected")).toBool(), false);
        QTRY_VERIFY_WITH_TIMEOUT(!device({"ip", "-4", "addr", "show", "dev", "eth0"}).contains("inet "), KivdClient::Patience);
        // Scanning is refused while off, without a command line.
        QVERIFY(m_client.command(QStringLiteral("Scan")));
        m_client.sync();
        QVERIFY(!m_client.log().contains("COMMAND: Starting Scan..."));
    }
};

QTEST_GUILESS_MAIN(TestManagerWired)
#include "tst_manager_wired.moc"
