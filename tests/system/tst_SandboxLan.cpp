// Self-tests of the sandbox's LANs as seen from inside the simulated device: each LAN hands out its
// own lease, and the cable of each link is pulled and put back. Router advertisements, changed LAN
// settings and a LAN without DHCP are relied on, and so shown, by the kernel and address tests.

#include "KivSandbox.h"

#include <QtTest>

namespace {

// Waits end as soon as their condition holds; the limit only matters on a very busy machine.
const int Patience = 20000;

} // namespace

class SandboxLanTest : public QObject
{
    Q_OBJECT

    KivSandbox sandbox;

    QByteArray deviceOutput(const QStringList &command) { return sandbox.exec(command).output.trimmed(); }

private slots:
    void initTestCase()
    {
        QVERIFY2(sandbox.up(), qPrintable(sandbox.lastError()));
        for (const char *link : {"eth0", "wlan0"})
            QVERIFY(sandbox.exec({"ip", "link", "set", link, "up"}).ok());
    }

    void leaseComesFromTheLanServer_data()
    {
        QTest::addColumn<QString>("interface");
        QTest::addColumn<QString>("subnet");
        QTest::addColumn<QString>("domain");
        QTest::newRow("wired") << "eth0" << "192.168.50" << "wired.kiv.test";
        QTest::newRow("wireless") << "wlan0" << "192.168.60" << "wifi.kiv.test";
    }

    void leaseComesFromTheLanServer()
    {
        QFETCH(QString, interface);
        QFETCH(QString, subnet);
        QFETCH(QString, domain);
        const KivSandbox::Result result = sandbox.exec({"udhcpc", "-f", "-q", "-n", "-t", "5", "-T", "1", "-i", interface,
                                                        "-s", KivSandbox::scriptDir() + "/lease-print.sh"});
        QVERIFY2(result.ok(), result.output.constData());
        QHash<QString, QString> values;
        for (const QByteArray &line : result.output.split('\n')) {
            const int equals = line.indexOf('=');
            if (line.startsWith("KIVD_") && equals > 0)
                values.insert(QString::fromUtf8(line.mid(5, equals - 5)), QString::fromUtf8(line.mid(equals + 1)));
        }
        QVERIFY2(values.value("IP").startsWith(subnet + '.'), result.output.constData());
        QCOMPARE(values.value("NETMASK"), QStringLiteral("255.255.255.0"));
        QCOMPARE(values.value("GATEWAY"), subnet + ".1");
        QCOMPARE(values.value("DNS"), subnet + ".53 " + subnet + ".54");
        QCOMPARE(values.value("DOMAIN"), domain);
    }

    void cableUnplugAndPlugChangeCarrier_data()
    {
        QTest::addColumn<QString>("interface");
        QTest::newRow("wired") << "eth0";
        QTest::newRow("wireless") << "wlan0";
    }

    void cableUnplugAndPlugChangeCarrier()
    {
        QFETCH(QString, interface);
        const QStringList carrier{"cat", "/sys/class/net/" + interface + "/carrier"};
        QTRY_COMPARE_WITH_TIMEOUT(deviceOutput(carrier), QByteArray("1"), Patience);
        QVERIFY2(sandbox.unplug(interface), qPrintable(sandbox.lastError()));
        QTRY_COMPARE_WITH_TIMEOUT(deviceOutput(carrier), QByteArray("0"), Patience);
        QVERIFY2(sandbox.plug(interface), qPrintable(sandbox.lastError()));
        QTRY_COMPARE_WITH_TIMEOUT(deviceOutput(carrier), QByteArray("1"), Patience);
    }
};

QTEST_GUILESS_MAIN(SandboxLanTest)
#include "tst_SandboxLan.moc"
