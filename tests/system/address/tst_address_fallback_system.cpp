#include "AddressManager.h"
#include "AddressSandbox.h"
#include "NetlinkWatcher.h"
#include "NetworkDriverIp.h"
#include "ResolvConf.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

using namespace AddressSandbox;

// No DHCP server answers on the sandbox's eth1 and IPv6 is off there: after 24 s the real
// avahi-autoipd takes over and the manager reports connected before any address exists.
class TestAddressFallbackSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString refusal = refusalReason();
        if (!refusal.isEmpty())
            QFAIL(qPrintable("refusing to run: " + refusal));
        QVERIFY(writeSysctl(QStringLiteral("net/ipv6/conf/eth1/disable_ipv6"), "1"));
        QVERIFY(ip({"link", "set", "eth1", "up"}));
    }

    void linkLocalDaemonTakesOverAfterTheFallbackTime()
    {
        NetworkDriverIp driver;
        NetlinkWatcher watcher;
        ResolvConf *resolvConf = ResolvConf::create(this);
        auto *manager = new AddressManager(InterfaceName(QStringLiteral("eth1")), &watcher, &driver, resolvConf, this);
        QSignalSpy connected(manager, &AddressManager::connected);

        QElapsedTimer clock;
        clock.start();
        manager->start(InterfaceConfiguration());
        QTRY_COMPARE(processes(QStringLiteral("udhcpc")).size(), 1);
        QVERIFY(connected.wait(Ipv4AddressManager::FallbackTimeoutMs + 5000));
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= Ipv4AddressManager::FallbackTimeoutMs, qPrintable(QString::number(elapsed)));
        QVERIFY(!processes(QStringLiteral("avahi-autoipd")).isEmpty());
        QCOMPARE(processes(QStringLiteral("udhcpc")).size(), 1);

        QTRY_VERIFY_WITH_TIMEOUT(addresses("eth1", "inet").size() == 1, 20000);
        const QString linkLocal = addresses("eth1", "inet").constFirst();
        QVERIFY2(QRegularExpression("^169\\.254\\.\\d+\\.\\d+/16 link$").match(linkLocal).hasMatch(),
                 qPrintable(linkLocal));
        QCOMPARE(connected.count(), 1);

        // Stopping keeps the daemon; ending the manager ends it and the DHCP client.
        manager->stop();
        QCOMPARE(processes(QStringLiteral("udhcpc")), QList<pid_t>());
        QVERIFY(!processes(QStringLiteral("avahi-autoipd")).isEmpty());
        delete manager;
        QTRY_COMPARE(processes(QStringLiteral("avahi-autoipd")), QList<pid_t>());
    }
};

QTEST_GUILESS_MAIN(TestAddressFallbackSystem)
#include "tst_address_fallback_system.moc"
