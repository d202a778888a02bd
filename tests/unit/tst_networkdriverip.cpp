#include "NetworkDriverIp.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using Operation = std::function<void(NetworkDriver &)>;
using Commands = QList<QStringList>;
Q_DECLARE_METATYPE(Operation)
Q_DECLARE_METATYPE(Commands)

namespace {

const InterfaceName Eth0(QStringLiteral("eth0"));

} // namespace

// The driver runs the real command runner against a recording "ip" placed first on PATH.
class TestNetworkDriverIp : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_log;

    Commands recorded() const
    {
        QFile file(m_log);
        Commands commands;
        if (!file.open(QIODevice::ReadOnly))
            return commands;
        for (const QByteArray &line : file.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            QStringList arguments = QString::fromUtf8(line).split(QChar(0x1f));
            arguments.removeLast();
            commands.append(arguments);
        }
        return commands;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_log = m_dir.filePath(QStringLiteral("ip.log"));
        QFile fake(m_dir.filePath(QStringLiteral("ip")));
        QVERIFY(fake.open(QIODevice::WriteOnly));
        fake.write("#!/bin/sh\n"
                   "for a in \"$@\"; do printf '%s\\037' \"$a\"; done >> \"$KIV_FAKE_IP_LOG\"\n"
                   "printf '\\n' >> \"$KIV_FAKE_IP_LOG\"\n");
        fake.close();
        QVERIFY(fake.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        qputenv("KIV_FAKE_IP_LOG", m_log.toUtf8());
        qputenv("PATH", m_dir.path().toUtf8() + ':' + qgetenv("PATH"));
    }

    void init() { QFile::remove(m_log); }

    void runsExactArgumentLists_data()
    {
        QTest::addColumn<Operation>("operation");
        QTest::addColumn<Commands>("commands");

        QTest::newRow("linkUp") << Operation([](NetworkDriver &d) { d.linkUp(Eth0); })
                                << Commands{{"link", "set", "dev", "eth0", "up"}};
        QTest::newRow("linkDown") << Operation([](NetworkDriver &d) { d.linkDown(Eth0); })
                                  << Commands{{"link", "set", "dev", "eth0", "down"}};
        QTest::newRow("flushIpv4") << Operation([](NetworkDriver &d) { d.flushAddresses(AddressFamily::Ipv4, Eth0, false); })
                                   << Commands{{"-4", "addr", "flush", "dev", "eth0"}};
        QTest::newRow("flushIpv6GlobalOnlyIsOneCommand")
            << Operation([](NetworkDriver &d) { d.flushAddresses(AddressFamily::Ipv6, Eth0, true); })
            << Commands{{"-6", "addr", "flush", "dev", "eth0", "scope", "global"}};
        QTest::newRow("flushBothIpv4FirstWithoutScope")
            << Operation([](NetworkDriver &d) { d.flushAddresses(AddressFamily::Both, Eth0, false); })
            << Commands{{"-4", "addr", "flush", "dev", "eth0"}, {"-6", "addr", "flush", "dev", "eth0"}};
        QTest::newRow("flushBothGlobalOnly")
            << Operation([](NetworkDriver &d) { d.flushAddresses(AddressFamily::Both, Eth0, true); })
            << Commands{{"-4", "addr", "flush", "dev", "eth0", "scope", "global"},
                        {"-6", "addr", "flush", "dev", "eth0", "scope", "global"}};
        QTest::newRow("setMacAddressAsHeld")
            << Operation([](NetworkDriver &d) { d.setMacAddress(MacAddress::fromString("02:aB:cd:00:11:22"), Eth0); })
            << Commands{{"link", "set", "dev", "eth0", "address", "02:aB:cd:00:11:22"}};
        QTest::newRow("replaceIpv4FlushesFamilyThenAdds")
            << Operation([](NetworkDriver &d) { d.replaceAddress("192.168.200.1", 24, Eth0); })
            << Commands{{"-4", "addr", "flush", "dev", "eth0"},
                        {"-4", "address", "add", "192.168.200.1/24", "broadcast", "+", "dev", "eth0"}};
        QTest::newRow("replaceIpv6FlushesGlobalScopeThenAdds")
            << Operation([](NetworkDriver &d) { d.replaceAddress("fd00::5", 64, Eth0); })
            << Commands{{"-6", "addr", "flush", "dev", "eth0", "scope", "global"},
                        {"-6", "address", "add", "fd00::5/64", "broadcast", "+", "dev", "eth0"}};
        QTest::newRow("replaceEmptyRunsNothing") << Operation([](NetworkDriver &d) { d.replaceAddress("", 24, Eth0); })
                                                 << Commands{};
        QTest::newRow("replaceNonAddressRunsNothing")
            << Operation([](NetworkDriver &d) { d.replaceAddress("host.lan", 24, Eth0); }) << Commands{};
        QTest::newRow("addIpv4JoinsPrefix")
            << Operation([](NetworkDriver &d) { d.addAddress("10.0.0.2", 24, Eth0); })
            << Commands{{"-4", "address", "add", "10.0.0.2/24", "broadcast", "+", "dev", "eth0"}};
        QTest::newRow("addIpv6") << Operation([](NetworkDriver &d) { d.addAddress("2001:db8::2", 64, Eth0); })
                                 << Commands{{"-6", "address", "add", "2001:db8::2/64", "broadcast", "+", "dev", "eth0"}};
        QTest::newRow("addUnparsableTakesIpv6Form")
            << Operation([](NetworkDriver &d) { d.addAddress("bogus", 8, Eth0); })
            << Commands{{"-6", "address", "add", "bogus/8", "broadcast", "+", "dev", "eth0"}};
        QTest::newRow("flushDefaultRoutesIpv4") << Operation([](NetworkDriver &d) { d.flushDefaultRoutes(AddressFamily::Ipv4); })
                                                << Commands{{"-4", "route", "flush", "to", "default"}};
        QTest::newRow("flushDefaultRoutesIpv6") << Operation([](NetworkDriver &d) { d.flushDefaultRoutes(AddressFamily::Ipv6); })
                                                << Commands{{"-6", "route", "flush", "to", "default"}};
        QTest::newRow("flushDefaultRoutesBothIpv4First")
            << Operation([](NetworkDriver &d) { d.flushDefaultRoutes(AddressFamily::Both); })
            << Commands{{"-4", "route", "flush", "to", "default"}, {"-6", "route", "flush", "to", "default"}};
        QTest::newRow("addDefaultRouteIpv4")
            << Operation([](NetworkDriver &d) { d.addDefaultRoute("192.168.1.1", Eth0); })
            << Commands{{"-4", "route", "add", "default", "via", "192.168.1.1", "dev", "eth0"}};
        QTest::newRow("addDefaultRouteIpv6") << Operation([](NetworkDriver &d) { d.addDefaultRoute("fe80::1", Eth0); })
                                             << Commands{{"-6", "route", "add", "default", "via", "fe80::1", "dev", "eth0"}};
        QTest::newRow("addDefaultRouteEmptyGatewayTakesIpv6FormWithEmptyArgument")
            << Operation([](NetworkDriver &d) { d.addDefaultRoute("", Eth0); })
            << Commands{{"-6", "route", "add", "default", "via", "", "dev", "eth0"}};
    }

    void runsExactArgumentLists()
    {
        QFETCH(Operation, operation);
        QFETCH(Commands, commands);
        NetworkDriverIp driver;
        operation(driver);
        QCOMPARE(recorded(), commands);
    }
};

QTEST_GUILESS_MAIN(TestNetworkDriverIp)
#include "tst_networkdriverip.moc"
