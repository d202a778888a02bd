#include "ResolvConf.h"
#include "RouterAdvertisement.h"

#include <QFile>
#include <QHostAddress>
#include <QtTest>

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <memory>

namespace {

// An RTM_NEWNDUSEROPT payload as the kernel forwards router-advertisement options (interface 7).
QByteArray message(const QByteArray &options, int optionsLength = -1, unsigned char family = AF_INET6, unsigned char icmpType = 134)
{
    const nduseroptmsg header{family, 0, quint16(optionsLength < 0 ? options.size() : optionsLength), 7, icmpType, 0, 0, 0};
    return QByteArray(reinterpret_cast<const char *>(&header), sizeof header) + options;
}

// An option with the given type and length field in 8-byte units; the body is padded or cut to fill it.
QByteArray option(unsigned char type, int units, const QByteArray &body)
{
    const QByteArray bytes = QByteArray(1, char(type)) + char(units) + QByteArray(6, '\0') + body;
    return bytes.leftJustified(qMax(units * 8, 8), '\0', true);
}

QByteArray rdnss(const QStringList &servers)
{
    QByteArray body;
    for (const QString &server : servers)
        body += QByteArray(reinterpret_cast<const char *>(QHostAddress(server).toIPv6Address().c), 16);
    return option(25, 1 + 2 * servers.size(), body);
}

QByteArray name(const QString &domain)
{
    QByteArray wire;
    for (const QString &label : domain.split('.'))
        wire += char(label.size()) + label.toLatin1();
    return wire + '\0';
}

QByteArray dnssl(const QByteArray &names) { return option(31, (8 + names.size() + 7) / 8, names); }

QList<QHostAddress> hosts(const QStringList &texts)
{
    QList<QHostAddress> list;
    for (const QString &text : texts)
        list << QHostAddress(text);
    return list;
}

QByteArray fixture(const QString &file)
{
    // The source tree comes from the test's environment: a compiler cache may leave __FILE__ relative.
    QFile data(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/tests/unit/fixtures/") + file);
    return data.open(QIODevice::ReadOnly) ? data.readAll() : QByteArray("missing fixture");
}

const InterfaceName Eth0(QStringLiteral("eth0")), Wlan0(QStringLiteral("wlan0")), Uap0(QStringLiteral("uap0"));

} // namespace

// The router-advertisement option parser, and the resolver's merge rules and readers.
class TestKernel : public QObject
{
    Q_OBJECT

private slots:
    // Expected: "servers;domains", or "invalid" for a message the parser rejects.
    void routerAdvertisementOptions_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<QString>("options");
        const QByteArray lan = name("example.lan");
        const QByteArray corp = name("corp.example.com");
        const QByteArray v6 = rdnss({"2001:db8::1"}).mid(8);
        const QByteArray fd1 = rdnss({"fd00::1"});
        QTest::newRow("rdnssSeveralAddresses") << message(rdnss({"2001:db8::1", "fd00::53"})) << "2001:db8::1,fd00::53;";
        QTest::newRow("rdnssLengthTwoSkippedNextOptionRead") << message(option(25, 2, v6) + dnssl(lan)) << ";example.lan";
        QTest::newRow("rdnssEvenLengthSkippedNextOptionRead") << message(option(25, 4, v6 + v6) + fd1) << "fd00::1;";
        QTest::newRow("dnsslSeveralNames") << message(dnssl(lan + corp)) << ";example.lan,corp.example.com";
        QTest::newRow("dnsslLengthTwoSkipped") << message(option(31, 2, name("a.b"))) << ";";
        // The second name's label claims more bytes than the option holds.
        QTest::newRow("dnsslNameNotExpandingEndsTheList") << message(dnssl(lan + QByteArray("\x3f" "abc") + corp)) << ";example.lan";
        QTest::newRow("dnsslPointerOutsideOptionEndsTheList") << message(dnssl(lan + QByteArray("\xc0\xff"))) << ";example.lan";
        QTest::newRow("bothOptionsInOneMessage") << message(rdnss({"fd00::53"}) + dnssl(lan)) << "fd00::53;example.lan";
        QTest::newRow("unknownOptionSkipped") << message(option(3, 4, QByteArray(24, '\x11')) + rdnss({"fd00::2"})) << "fd00::2;";
        QTest::newRow("lengthZeroStopsTheWalk") << message(fd1 + option(25, 0, QByteArray()) + rdnss({"fd00::2"})) << "fd00::1;";
        QTest::newRow("optionRunningPastOptionsLengthDropped") << message(fd1 + rdnss({"fd00::2"}), 24 + 8) << "fd00::1;";
        QTest::newRow("optionsLengthPastBufferReadsWhatIsThere") << message(fd1 + rdnss({"fd00::2"}).left(20), 48) << "fd00::1;";
        QTest::newRow("singleTrailingByteIgnored") << message(fd1 + QByteArray(1, '\x19')) << "fd00::1;";
        QTest::newRow("duplicatesKeptForTheWatcherToDrop") << message(rdnss({"fd00::1", "fd00::1"})) << "fd00::1,fd00::1;";
        QTest::newRow("empty") << QByteArray() << "invalid";
        QTest::newRow("shorterThanHeader") << message(fd1).left(15) << "invalid";
        QTest::newRow("ipv4Family") << message(fd1, -1, AF_INET) << "invalid";
        QTest::newRow("routerSolicitation") << message(fd1, -1, AF_INET6, 133) << "invalid";
        QTest::newRow("noOptions") << message(fd1, 0) << "invalid";
    }

    void routerAdvertisementOptions()
    {
        QFETCH(QByteArray, buffer);
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
