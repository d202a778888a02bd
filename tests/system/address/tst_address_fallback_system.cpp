#include "AddressSandbox.h"

#include <QtTest>

// No DHCP server answers on the sandbox's wired LAN and IPv6 is off on eth0: after 24 s the real
// avahi-autoipd takes over and the manager reports connected before any address exists.
class TestAddressFallbackSystem : public QObject
{
    Q_OBJECT

private:
    AddressSandbox m_device;

private slots:
    void initTestCase()
    {
        QVERIFY2(m_device.up({"--wired-dhcp", "off", "--no-ra"}), qPrintable(m_device.sandbox.lastError()));
        QVERIFY(m_device.writeSysctl("net/ipv6/conf/eth0/disable_ipv6", "1"));
        QVERIFY(m_device.sandbox.exec({"ip", "link", "set", "eth0", "up"}).ok());
        QVERIFY(m_device.startDriver("eth0"));
    }

    void linkLocalDaemonTakesOverAfterTheFallbackTime()
    {
        QVERIFY(m_device.command("dhcp"));
        QTRY_VERIFY(m_device.running("udhcpc"));
        QVERIFY(m_device.waitUntil([&] { return m_device.count("EVENT connected") == 1; }, 60000));
        // Only the lower bound is exact: a loaded machine may report late.
        const qint64 connectedAt = m_device.connectedAt(1);
        QVERIFY2(connectedAt >= 24000 && connectedAt < 40000, qPrintable(QString::number(connectedAt)));
        QVERIFY(m_device.running("avahi-autoipd"));
        QVERIFY(m_device.running("udhcpc"));

        QTRY_VERIFY_WITH_TIMEOUT(m_device.addresses("eth0", "inet").size() == 1, 20000);
        const QString linkLocal = m_device.addresses("eth0", "inet").constFirst();
        QVERIFY2(QRegularExpression("^169\\.254\\.\\d+\\.\\d+/16 link$").match(linkLocal).hasMatch(),
                 qPrintable(linkLocal));

        // Stopping keeps the daemon; ending the manager ends it and the DHCP client.
        QVERIFY(m_device.command("stop"));
        QVERIFY(!m_device.running("udhcpc"));
        QVERIFY(m_device.running("avahi-autoipd"));
        QVERIFY(m_device.command("delete"));
        QTRY_VERIFY(!m_device.running("avahi-autoipd"));
        QCOMPARE(m_device.count("EVENT connected"), 1);
        QCOMPARE(m_device.count("EVENT disconnected"), 1);
    }
};

QTEST_GUILESS_MAIN(TestAddressFallbackSystem)
#include "tst_address_fallback_system.moc"
