#include "AddressTestSupport.h"
#include "IpAddressSetter.h"
#include "LogExpect.h"
#include "LogHandler.h"

#include <QtTest>

using Setting = std::function<void(IpAddressSetter &, const InterfaceConfiguration &)>;
Q_DECLARE_METATYPE(Setting)

namespace {

InterfaceConfiguration configuration(const QString &name, const QString &address, const QString &netmask,
                                     const QString &gateway = QString())
{
    return InterfaceConfiguration(name, address, netmask, gateway, {}, {});
}

} // namespace

class TestIpAddressSetter : public QObject
{
    Q_OBJECT

private slots:
    void init() { KivLog::debugLevel = 0; }

    void addressIsFlushedThenAdded_data()
    {
        QTest::addColumn<InterfaceConfiguration>("configuration");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<bool>("warned");

        QTest::newRow("leaseWithNetmask") << configuration("eth0", "10.0.0.5", "255.255.255.0")
                                          << QStringList{"flush ipv4 eth0", "add 10.0.0.5/24 eth0"} << false;
        QTest::newRow("shortPrefix") << configuration("wlan0", "172.16.3.4", "255.240.0.0")
                                     << QStringList{"flush ipv4 wlan0", "add 172.16.3.4/12 wlan0"} << false;
        QTest::newRow("hostRoutePrefix") << configuration("eth0", "10.0.0.5", "255.255.255.255")
                                         << QStringList{"flush ipv4 eth0", "add 10.0.0.5/32 eth0"} << false;
        const QStringList slash24{"flush ipv4 eth0", "add 192.168.7.9/24 eth0"};
        QTest::newRow("noNetmaskAssumesSlash24") << configuration("eth0", "192.168.7.9", QString()) << slash24 << true;
        QTest::newRow("unparsableNetmaskAssumesSlash24") << configuration("eth0", "192.168.7.9", "mask") << slash24 << true;
        QTest::newRow("emptyConfigurationOnlyFlushes")
            << InterfaceConfiguration(QStringLiteral("eth0")) << QStringList{"flush ipv4 eth0"} << false;
        QTest::newRow("unparsableAddressOnlyFlushes")
            << configuration("eth0", "10.0.0.256", "255.255.255.0") << QStringList{"flush ipv4 eth0"} << false;
        QTest::newRow("emptyNameChangesNothing") << configuration("", "10.0.0.5", "255.255.255.0") << QStringList() << false;
    }

    void addressIsFlushedThenAdded()
    {
        QFETCH(InterfaceConfiguration, configuration);
        RecordingDriver driver;
        IpAddressSetter setter(&driver, [] { return QString(); });
        QFETCH(bool, warned);
        if (warned)
            expectLog(QtWarningMsg, QStringLiteral("No netmask defined, assuming /24 network"));
        setter.setAddress(configuration);
        QTEST(driver.commands, "commands");
    }

    void gatewayReplacesDefaultRoutesOnlyWhenOneExists_data()
    {
        QTest::addColumn<InterfaceConfiguration>("configuration");
        QTest::addColumn<QString>("currentGateway");
        QTest::addColumn<QStringList>("commands");

        QTest::newRow("existingDefaultRouteIsFlushedFirst")
            << configuration("eth0", "10.0.0.5", "255.255.255.0", "10.0.0.1") << "192.168.1.1"
            << QStringList{"flushDefaultRoutes ipv4", "addDefaultRoute 10.0.0.1 eth0"};
        QTest::newRow("noDefaultRouteAddsWithoutFlush")
            << configuration("eth0", "10.0.0.5", "255.255.255.0", "10.0.0.1") << ""
            << QStringList{"addDefaultRoute 10.0.0.1 eth0"};
        QTest::newRow("noGatewayLeavesRoutesAlone")
            << configuration("eth0", "10.0.0.5", "255.255.255.0") << "192.168.1.1" << QStringList();
        QTest::newRow("emptyNameChangesNothing")
            << configuration("", "10.0.0.5", "255.255.255.0", "10.0.0.1") << "192.168.1.1" << QStringList();
    }

    void gatewayReplacesDefaultRoutesOnlyWhenOneExists()
    {
        QFETCH(InterfaceConfiguration, configuration);
        QFETCH(QString, currentGateway);
        RecordingDriver driver;
        int reads = 0;
        IpAddressSetter setter(&driver, [&] {
            ++reads;
            return currentGateway;
        });
        setter.setGateway(configuration);
        QTEST(driver.commands, "commands");
        QCOMPARE(reads, configuration.hasGateway() && !configuration.name().isEmpty() ? 1 : 0);
    }

    void debugLevelLogsWhatIsSet()
    {
        KivLog::debugLevel = 1;
        RecordingDriver driver;
        IpAddressSetter setter(&driver, [] { return QString(); });
        const InterfaceConfiguration lease = configuration("eth0", "10.0.0.5", "255.255.255.0", "10.0.0.1");
        expectLog(QtDebugMsg, QStringLiteral("Setting Ip address: \"10.0.0.5\" to interface: \"eth0\""));
        setter.setAddress(lease);
        expectLog(QtDebugMsg, QStringLiteral("Setting gateway address: \"10.0.0.1\" to interface: \"eth0\""));
        setter.setGateway(lease);
    }
};

QTEST_GUILESS_MAIN(TestIpAddressSetter)
#include "tst_ipaddresssetter.moc"
