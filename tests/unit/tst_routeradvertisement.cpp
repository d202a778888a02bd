#include "RouterAdvertisement.h"
#include "RouterAdvertisementBuffers.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QtTest>

#include <memory>

using namespace RaBuffers;

class TestRouterAdvertisement : public QObject
{
    Q_OBJECT

private:
    static RouterAdvertisementOptions parse(const QByteArray &buffer)
    {
        // An exactly sized copy, so that a read past the end is caught by the sanitizers.
        std::unique_ptr<unsigned char[]> copy(new unsigned char[std::size_t(buffer.size()) + 1]);
        std::memcpy(copy.get(), buffer.constData(), std::size_t(buffer.size()));
        return RouterAdvertisement::parse(copy.get(), std::size_t(buffer.size()));
    }

private slots:
    void readsNameserversAndSearchDomains_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<QStringList>("nameservers");
        QTest::addColumn<QStringList>("searchDomains");

        const QByteArray lan = domainName(QStringLiteral("example.lan"));
        const QByteArray corp = domainName(QStringLiteral("corp.example.com"));

        QTest::newRow("rdnssOneAddress") << message(rdnss({"2001:db8::53"})) << QStringList{"2001:db8::53"}
                                         << QStringList();
        QTest::newRow("rdnssSeveralAddresses")
            << message(rdnss({"2001:db8::1", "fd00::53", "2001:db8::2"}))
            << QStringList{"2001:db8::1", "fd00::53", "2001:db8::2"} << QStringList();
        QTest::newRow("rdnssLengthTwoSkippedNextOptionRead")
            << message(option(25, 2, ipv6("2001:db8::1")) + dnssl(lan)) << QStringList()
            << QStringList{"example.lan"};
        QTest::newRow("rdnssEvenLengthSkippedNextOptionRead")
            << message(option(25, 4, ipv6("2001:db8::1") + ipv6("2001:db8::2")) + rdnss({"fd00::1"}))
            << QStringList{"fd00::1"} << QStringList();
        QTest::newRow("dnsslSeveralNames") << message(dnssl(lan + corp)) << QStringList()
                                           << QStringList{"example.lan", "corp.example.com"};
        QTest::newRow("dnsslLengthTwoSkipped") << message(option(31, 2, domainName("a.b"))) << QStringList()
                                               << QStringList();
        // The second name's label claims more bytes than the option holds.
        QTest::newRow("dnsslNameFailingToExpandEndsTheList")
            << message(dnssl(lan + QByteArray("\x3f" "abc", 4) + corp)) << QStringList()
            << QStringList{"example.lan"};
        QTest::newRow("dnsslCompressionPointerOutsideOptionEndsTheList")
            << message(dnssl(lan + QByteArray("\xc0\xff", 2))) << QStringList() << QStringList{"example.lan"};
        QTest::newRow("bothOptionsInOneMessage")
            << message(rdnss({"fd00::53"}) + dnssl(lan)) << QStringList{"fd00::53"} << QStringList{"example.lan"};
        QTest::newRow("unknownOptionSkipped") << message(option(3, 4, QByteArray(24, '\x11')) + rdnss({"fd00::2"}))
                                              << QStringList{"fd00::2"} << QStringList();
        QTest::newRow("optionLengthZeroStopsTheWalk")
            << message(rdnss({"fd00::1"}) + option(25, 0, QByteArray()) + rdnss({"fd00::2"}))
            << QStringList{"fd00::1"} << QStringList();
        QTest::newRow("optionRunningPastOptionsLengthDropped")
            << message(rdnss({"fd00::1"}) + rdnss({"fd00::2"}), 24 + 8) << QStringList{"fd00::1"} << QStringList();
        QTest::newRow("optionsLengthBeyondBufferReadsWhatIsThere")
            << message(rdnss({"fd00::1"}) + rdnss({"fd00::2"}).left(20), 48) << QStringList{"fd00::1"}
            << QStringList();
        QTest::newRow("singleTrailingByteIgnored") << message(rdnss({"fd00::1"}) + QByteArray(1, '\x19'))
                                                   << QStringList{"fd00::1"} << QStringList();
        QTest::newRow("duplicatesKeptForTheWatcherToDrop")
            << message(rdnss({"fd00::1", "fd00::1"})) << QStringList{"fd00::1", "fd00::1"} << QStringList();
    }

    void readsNameserversAndSearchDomains()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(QStringList, nameservers);
        QFETCH(QStringList, searchDomains);

        const RouterAdvertisementOptions options = parse(buffer);
        QVERIFY(options.valid);
        QCOMPARE(options.interfaceIndex, 7);
        QCOMPARE(options.nameservers, nameservers);
        QCOMPARE(options.searchDomains, searchDomains);
    }

    void rejectsForeignMessages_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        const QByteArray options = rdnss({"fd00::1"});
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("shorterThanHeader") << message(options).left(15);
        QTest::newRow("ipv4Family") << message(options, -1, 7, AF_INET);
        QTest::newRow("routerSolicitation") << message(options, -1, 7, AF_INET6, 133);
        QTest::newRow("noOptions") << message(options, 0);
    }

    void rejectsForeignMessages()
    {
        QFETCH(QByteArray, buffer);
        const RouterAdvertisementOptions options = parse(buffer);
        QVERIFY(!options.valid);
        QVERIFY(options.nameservers.isEmpty());
        QVERIFY(options.searchDomains.isEmpty());
    }

    void nullBufferIsRejected()
    {
        QVERIFY(!RouterAdvertisement::parse(nullptr, 64).valid);
    }

    // Every corpus entry and every truncation of it parses to well-formed results.
    void replaysCorpusWithoutFault()
    {
        // The source tree comes from the test's environment: a compiler cache may leave __FILE__ relative.
        const QDir corpus(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/tests/fuzz/corpus/router_advertisement"));
        const QStringList files = corpus.entryList(QDir::Files, QDir::Name);
        QVERIFY2(files.size() >= 10, qPrintable(corpus.path()));
        int withResults = 0;
        for (const QString &name : files) {
            QFile file(corpus.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QByteArray whole = file.readAll();
            for (int size = 0; size <= whole.size(); ++size) {
                const RouterAdvertisementOptions options = parse(whole.left(size));
                QVERIFY2(options.nameservers.size() * 16 <= size, qPrintable(name));
                for (const QString &server : options.nameservers)
                    QCOMPARE(QHostAddress(server).protocol(), QAbstractSocket::IPv6Protocol);
                for (const QString &domain : options.searchDomains)
                    QVERIFY2(!domain.isEmpty() && domain.size() < size, qPrintable(name));
                if (size == whole.size() && !(options.nameservers.isEmpty() && options.searchDomains.isEmpty()))
                    ++withResults;
            }
        }
        QVERIFY(withResults >= 3);
    }
};

QTEST_GUILESS_MAIN(TestRouterAdvertisement)
#include "tst_routeradvertisement.moc"
