#include "ResolvConf.h"
#include "RouterAdvertisement.h"

#include <QFile>
#include <QHostAddress>
#include <QtTest>

#include <cstring>
#include <memory>

namespace {

QList<QHostAddress> hosts(const QStringList &texts)
{
    QList<QHostAddress> list;
    for (const QString &text : texts)
        list << QHostAddress(text);
    return list;
}

// A file under tests/ of the source tree, which comes from the test's environment: a compiler cache
// may leave __FILE__ relative.
QByteArray fixture(const QString &file, const char *folder = "unit/fixtures/")
{
    QFile data(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/tests/") + folder + file);
    return data.open(QIODevice::ReadOnly) ? data.readAll() : QByteArray("missing fixture");
}

const InterfaceName Eth0(QStringLiteral("eth0")), Wlan0(QStringLiteral("wlan0")), Uap0(QStringLiteral("uap0"));

} // namespace

// The router-advertisement option parser, and the resolver's merge rules and readers.
class TestKernel : public QObject
{
    Q_OBJECT

private slots:
    // The messages of the fuzz corpus by name; expected: "servers;domains", or "invalid" for a
    // message the parser rejects.
    void routerAdvertisementOptions_data()
    {
        QTest::addColumn<QString>("options");
        QTest::newRow("rdnss-one") << "2001:db8::53;";
        QTest::newRow("rdnss-three") << "2001:db8::1,fd00::53,2001:db8::2;";
        QTest::newRow("rdnss-duplicates") << "fd00::1,fd00::1;"; // the watcher drops them
        QTest::newRow("rdnss-length-two") << ";example.lan"; // skipped, the next option read
        QTest::newRow("rdnss-even-length") << "fd00::1;";
        QTest::newRow("dnssl-two-names") << ";example.lan,corp.example.com";
        QTest::newRow("dnssl-length-two") << ";";
        // A label claims more bytes than the option holds, a pointer points outside it: the list ends.
        QTest::newRow("dnssl-bad-label") << ";example.lan";
        QTest::newRow("dnssl-pointer-outside") << ";example.lan";
        QTest::newRow("dnssl-pointer-loop") << ";";
        QTest::newRow("both-options") << "fd00::53;example.lan";
        QTest::newRow("unknown-then-rdnss") << "fd00::2;";
        QTest::newRow("zero-length-option") << "fd00::1;"; // ends the walk
        QTest::newRow("option-past-options-length") << "fd00::1;";
        QTest::newRow("options-length-too-big") << "fd00::1;"; // what the buffer holds is read
        QTest::newRow("trailing-byte") << "fd00::1;";
        QTest::newRow("with-source-attribute") << "fe80::1;";
        for (const char *rejected : {"empty", "shorter-than-header", "ipv4-family", "router-solicitation", "no-options"})
            QTest::newRow(rejected) << "invalid";
    }

    void routerAdvertisementOptions()
    {
        const QByteArray buffer = fixture(QTest::currentDataTag(), "fuzz/corpus/router_advertisement/");
        QVERIFY(buffer != "missing fixture");
        // An exactly sized copy, so that a read past the end is caught by the sanitizers.
        std::unique_ptr<unsigned char[]> copy(new unsigned char[std::size_t(buffer.size()) + 1]);
        std::memcpy(copy.get(), buffer.constData(), std::size_t(buffer.size()));
        const RouterAdvertisementOptions options = RouterAdvertisement::parse(copy.get(), std::size_t(buffer.size()));
        QVERIFY(options.interfaceIndex == 7 || !options.valid);
        const QString parsed = options.nameservers.join(',') + ';' + options.searchDomains.join(',');
        QTEST(options.valid ? parsed : (parsed == ";" ? QStringLiteral("invalid") : parsed), "options");
        QVERIFY(!RouterAdvertisement::parse(nullptr, 64).valid);
    }

    // Three servers at most: each interface in insertion order gets an equal share, IPv4 and IPv6
    // alternate within it starting with IPv4, and a share left unused goes to the next interfaces.
    void mergesNameserversWithQuotaAndAlternation_data()
    {
        QTest::addColumn<QString>("perInterface"); // interfaces separated by "|"
        QTest::addColumn<QString>("merged");
        QTest::newRow("familiesAlternateIpv4First") << "10.0.0.1 10.0.0.2 fd00::1 fd00::2" << "10.0.0.1 fd00::1 10.0.0.2";
        QTest::newRow("threeAtMost") << "10.0.0.1 10.0.0.2 10.0.0.3 10.0.0.4" << "10.0.0.1 10.0.0.2 10.0.0.3";
        QTest::newRow("sharesTwoAndOne") << "10.0.0.1 10.0.0.2 10.0.0.3|10.1.0.1 10.1.0.2" << "10.0.0.1 10.0.0.2 10.1.0.1";
        QTest::newRow("unusedShareGoesToTheNext") << "10.0.0.1|10.1.0.1 10.1.0.2 10.1.0.3" << "10.0.0.1 10.1.0.1 10.1.0.2";
        QTest::newRow("fourInterfacesOneEachFromFirstThree")
            << "10.0.0.1 10.0.0.2|10.1.0.1|fd00::1 10.2.0.1|10.3.0.1" << "10.0.0.1 10.1.0.1 10.2.0.1";
        QTest::newRow("ipv6OnlyAfterIpv4Exhausted") << "fd00::1 fd00::2 10.0.0.1" << "10.0.0.1 fd00::1 fd00::2";
        QTest::newRow("duplicatesAcrossInterfacesKept") << "10.0.0.1|10.0.0.1" << "10.0.0.1 10.0.0.1";
        QTest::newRow("nothing") << "" << "";
    }

    void mergesNameserversWithQuotaAndAlternation()
    {
        QFETCH(QString, perInterface);
        QList<QList<QHostAddress>> servers;
        for (const QString &interface : perInterface.split('|', Qt::SkipEmptyParts))
            servers << hosts(interface.split(' '));
        QTEST(ResolvConfImpl::mergeNameservers(servers).join(' '), "merged");
    }

    // Replacing keeps an interface's place, removing and adding again moves it to the end; null
    // addresses are dropped and an interface without servers leaves its share to the others.
    void interfacesKeepTheirPlaceAndShare()
    {
        ResolvConfImpl resolver;
        resolver.setNameservers(hosts({"10.1.0.1", "10.1.0.2"}), Wlan0);
        resolver.setNameservers(hosts({"10.0.0.1", "10.0.0.2", "10.0.0.3"}), Eth0);
        resolver.setNameservers({QHostAddress(), QHostAddress("10.2.0.1")}, Uap0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.1.0.1", "10.0.0.1", "10.2.0.1"}));
        resolver.setNameservers(hosts({"10.1.0.9"}), Wlan0);
        resolver.setNameservers({QHostAddress()}, Uap0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.1.0.9", "10.0.0.1", "10.0.0.2"}));
        resolver.removeNameservers(Wlan0);
        resolver.setNameservers(hosts({"10.1.0.9"}), Wlan0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.0.0.1", "10.0.0.2", "10.1.0.9"}));

        resolver.setSearchDomains({"b.lan", "shared.lan"}, Wlan0);
        resolver.setSearchDomains({"a.lan", "shared.lan"}, Eth0);
        QCOMPARE(resolver.mergedSearchDomains(), (QStringList{"b.lan", "shared.lan", "a.lan", "shared.lan"}));
        resolver.removeSearchDomains(Wlan0);
        QCOMPARE(resolver.mergedSearchDomains(), (QStringList{"a.lan", "shared.lan"}));
    }

    void readsNameserversAndDefaultGateways()
    {
        QCOMPARE(ResolvConf::parseNameservers(fixture("resolv.conf")), (QStringList{"192.168.1.1", "2001:db8::53", "fd00::53"}));
        QCOMPARE(ResolvConf::parseNameservers(fixture("resolv.conf-with-nul")), QStringList{"10.1.1.1"});
        QCOMPARE(ResolvConf::parseIpv4DefaultGateway(fixture("route")), QStringLiteral("192.168.1.1"));
        QCOMPARE(ResolvConf::parseIpv4DefaultGateway(fixture("route-without-default")), QString());
        QCOMPARE(ResolvConf::parseIpv4DefaultGateway(fixture("route-without-default").split('\n').first()), QString());
        QCOMPARE(ResolvConf::parseIpv6DefaultGateway(fixture("ipv6_route")), QStringLiteral("fe80::211:2233:4455:6677"));
        QCOMPARE(ResolvConf::parseIpv6DefaultGateway(fixture("ipv6_route-only-lo")), QString());
        QCOMPARE(ResolvConf::parseNameservers(QByteArray()), QStringList());
        QCOMPARE(ResolvConf::parseIpv4DefaultGateway(QByteArray()) + ResolvConf::parseIpv6DefaultGateway(QByteArray()), QString());
    }
};

QTEST_GUILESS_MAIN(TestKernel)
#include "tst_kernel.moc"
