#include "KernelSandbox.h"
#include "NetlinkWatcher.h"

#include <QSignalSpy>
#include <QtTest>

using KernelSandbox::ip;

namespace {

const QString Local = QStringLiteral("kva");
const QString Peer = QStringLiteral("kvb");
constexpr int RouterAdvertisementTimeoutMs = 30000;

// (up, running) of the latest report for the interface; empty when there was none.
QString lastStatus(const QSignalSpy &spy, const QString &interface)
{
    for (int i = spy.count() - 1; i >= 0; --i) {
        const QList<QVariant> &arguments = spy.at(i);
        if (arguments.at(0).toByteArray() == interface.toUtf8())
            return QStringLiteral("up=%1 running=%2").arg(arguments.at(1).toBool()).arg(arguments.at(2).toBool());
    }
    return QString();
}

QString status(bool up, bool running)
{
    return QStringLiteral("up=%1 running=%2").arg(up).arg(running);
}

// The watcher's table in the form KernelSandbox::kernelAddresses gives.
QStringList watcherAddresses(const NetlinkWatcher &watcher, const QString &interface)
{
    QStringList texts;
    for (const NetlinkAddress &address : watcher.addresses(interface.toUtf8()))
        texts << address.address + QLatin1Char('/') + QString::number(address.prefixLength)
                + (address.linkLocal ? QStringLiteral(" link") : QStringLiteral(" global"));
    texts.sort();
    return texts;
}

NetlinkAddress record(const QString &address, bool ipv4, bool linkLocal, int prefixLength)
{
    return NetlinkAddress{address, Local.toUtf8(), ipv4, linkLocal, prefixLength};
}

} // namespace

class TestNetlinkWatcherSystem : public QObject
{
    Q_OBJECT

private:
    QString m_device;
    QStringList m_raNameservers;
    QStringList m_raDomains;

    QList<NetlinkAddress> expectedRaNameservers() const
    {
        QList<NetlinkAddress> records;
        for (const QString &server : m_raNameservers)
            records << NetlinkAddress{server, m_device.toUtf8(), false, false, 128};
        return records;
    }

private slots:
    void initTestCase()
    {
        const QString refusal = KernelSandbox::refusalReason();
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
        m_device = KernelSandbox::env("KIV_TEST_DEVICE_IF");
        m_raNameservers = KernelSandbox::env("KIV_TEST_RA_NAMESERVERS").split(QLatin1Char(' '), Qt::SkipEmptyParts);
        m_raDomains = KernelSandbox::env("KIV_TEST_RA_DOMAINS").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }

    // A fresh pair without automatic IPv6 link-local addresses, existing before each watcher.
    void init()
    {
        QVERIFY(ip({"link", "add", Local, "type", "veth", "peer", "name", Peer}));
        QVERIFY(ip({"link", "set", Local, "addrgenmode", "none"}));
        QVERIFY(ip({"link", "set", Peer, "addrgenmode", "none"}));
    }

    void cleanup()
    {
        ip({"link", "del", Local});
    }

    void linkStatusFollowsAdministrativeStateAndCarrier()
    {
        NetlinkWatcher watcher;
        QSignalSpy spy(&watcher, &NetlinkWatcher::interfaceStatusChanged);

        QVERIFY(ip({"link", "set", Local, "up"}));
        QTRY_COMPARE(lastStatus(spy, Local), status(true, false));
        QVERIFY(ip({"link", "set", Peer, "up"}));
        QTRY_COMPARE(lastStatus(spy, Local), status(true, true));
        QVERIFY(ip({"link", "set", Peer, "down"}));
        QTRY_COMPARE(lastStatus(spy, Local), status(true, false));
        QVERIFY(ip({"link", "set", Local, "down"}));
        QTRY_COMPARE(lastStatus(spy, Local), status(false, false));
    }

    void lowerUpWithoutOperationalUpIsNotRunning()
    {
        QVERIFY(ip({"link", "set", Local, "mode", "dormant"}));
        QVERIFY(ip({"link", "set", Peer, "up"}));
        NetlinkWatcher watcher;
        QSignalSpy spy(&watcher, &NetlinkWatcher::interfaceStatusChanged);

        QVERIFY(ip({"link", "set", Local, "up"}));
        QTRY_COMPARE(lastStatus(spy, Local), status(true, false));
        const QJsonArray flags = KernelSandbox::ipJson({"link", "show", Local}).at(0).toObject().value("flags").toArray();
        QVERIFY(flags.contains(QStringLiteral("LOWER_UP")));

        // Back in the default mode the next carrier change makes the link operational.
        QVERIFY(ip({"link", "set", Local, "mode", "default"}));
        QVERIFY(ip({"link", "set", Peer, "down"}));
        QVERIFY(ip({"link", "set", Peer, "up"}));
        QTRY_COMPARE(lastStatus(spy, Local), status(true, true));
    }

    // The pair exists before the watcher starts: its link is known from the initial link walk.
    void addressTableFollowsEachChangeOnce()
    {
        QVERIFY(ip({"link", "set", Peer, "up"}));
        QVERIFY(ip({"link", "set", Local, "up"}));
        NetlinkWatcher watcher;
        QSignalSpy changed(&watcher, &NetlinkWatcher::addressesChanged);

        QVERIFY(ip({"addr", "add", "10.77.0.2/24", "dev", Local}));
        QTRY_COMPARE(changed.count(), 1);
        QCOMPARE(watcher.addresses(Local.toUtf8()), QList<NetlinkAddress>{record("10.77.0.2", true, false, 24)});

        QVERIFY(ip({"-6", "addr", "add", "fd00:77::2/64", "dev", Local, "nodad"}));
        QTRY_COMPARE(changed.count(), 2);
        QVERIFY(watcher.addresses(Local.toUtf8()).contains(record("fd00:77::2", false, false, 64)));

        QVERIFY(ip({"-6", "addr", "add", "fe80::77/64", "dev", Local, "nodad"}));
        QTRY_COMPARE(changed.count(), 3);
        QVERIFY(watcher.addresses(Local.toUtf8()).contains(record("fe80::77", false, true, 64)));

        // Neither a deprecated address nor host or site scope counts; the marker shows they were seen.
        QVERIFY(ip({"-6", "addr", "add", "fd00:77::3/64", "dev", Local, "nodad", "preferred_lft", "0"}));
        QVERIFY(ip({"addr", "add", "10.88.0.1/8", "dev", Local, "scope", "host"}));
        QVERIFY(ip({"-6", "addr", "add", "fec0::1/64", "dev", Local, "nodad", "scope", "site"}));
        QVERIFY(ip({"addr", "add", "10.77.0.9/32", "dev", Local}));
        QTRY_COMPARE(changed.count(), 4);
        QCOMPARE(watcherAddresses(watcher, Local),
                 (QStringList{"10.77.0.2/24 global", "10.77.0.9/32 global", "fd00:77::2/64 global", "fe80::77/64 link"}));

        // An address turning deprecated is removed.
        QVERIFY(ip({"-6", "addr", "change", "fd00:77::2/64", "dev", Local, "nodad", "preferred_lft", "0"}));
        QTRY_COMPARE(changed.count(), 5);
        QVERIFY(!watcherAddresses(watcher, Local).contains("fd00:77::2/64 global"));

        QVERIFY(ip({"addr", "del", "10.77.0.2/24", "dev", Local}));
        QTRY_COMPARE(changed.count(), 6);
        QCOMPARE(watcherAddresses(watcher, Local),
                 (QStringList{"10.77.0.9/32 global", "fe80::77/64 link"}));
        QCOMPARE(KernelSandbox::kernelAddresses(Local, false).filter(QRegularExpression(" (global|link)$")),
                 watcherAddresses(watcher, Local));
    }

    void routerAdvertisementOptionsLearnedAndClearedWhenLinkGoesDown()
    {
        QVERIFY2(!m_raNameservers.isEmpty() && !m_raDomains.isEmpty(), "the harness announces no options");
        NetlinkWatcher watcher;
        QSignalSpy nameservers(&watcher, &NetlinkWatcher::nameserversChanged);
        QSignalSpy domains(&watcher, &NetlinkWatcher::searchDomainsChanged);

        QVERIFY(ip({"link", "set", m_device, "up"}));
        QTRY_COMPARE_WITH_TIMEOUT(watcher.nameservers(), expectedRaNameservers(), RouterAdvertisementTimeoutMs);
        QTRY_COMPARE_WITH_TIMEOUT(watcher.searchDomains(), m_raDomains, RouterAdvertisementTimeoutMs);
        QCOMPARE(nameservers.count(), 1);
        QCOMPARE(domains.count(), 1);

        QVERIFY(ip({"link", "set", m_device, "down"}));
        QTRY_COMPARE(nameservers.count(), 2);
        QTRY_COMPARE(domains.count(), 2);
        QVERIFY(watcher.nameservers().isEmpty());
        QVERIFY(watcher.searchDomains().isEmpty());
    }

    void routerAdvertisementOptionsClearedOnCarrierLoss()
    {
        NetlinkWatcher watcher;
        QSignalSpy nameservers(&watcher, &NetlinkWatcher::nameserversChanged);
        QVERIFY(ip({"link", "set", m_device, "up"}));
        QTRY_COMPARE_WITH_TIMEOUT(watcher.nameservers(), expectedRaNameservers(), RouterAdvertisementTimeoutMs);

        const QString lanNamespace = KernelSandbox::env("KIV_TEST_LAN_NS");
        const QString lanInterface = KernelSandbox::env("KIV_TEST_LAN_IF");
        QVERIFY(ip({"-n", lanNamespace, "link", "set", lanInterface, "down"}));
        QTRY_VERIFY(watcher.nameservers().isEmpty());
        QVERIFY(watcher.searchDomains().isEmpty());
        QCOMPARE(nameservers.count(), 2);
        QVERIFY(ip({"-n", lanNamespace, "link", "set", lanInterface, "up"}));
        QVERIFY(ip({"link", "set", m_device, "down"}));
    }
};

QTEST_GUILESS_MAIN(TestNetlinkWatcherSystem)
#include "tst_netlinkwatcher_system.moc"
