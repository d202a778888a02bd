#include "ResolvConf.h"

#include <QFile>
#include <QtTest>

using AddressList = QList<QHostAddress>;
using PerInterface = QList<AddressList>;
Q_DECLARE_METATYPE(AddressList)
Q_DECLARE_METATYPE(PerInterface)

namespace {

AddressList addresses(const QStringList &texts)
{
    AddressList list;
    for (const QString &text : texts)
        list.append(QHostAddress(text));
    return list;
}

QByteArray fixture(const QString &name)
{
    // The source tree comes from the test's environment: a compiler cache may leave __FILE__ relative.
    QFile file(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/tests/unit/fixtures/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", qPrintable(name));
    return file.readAll();
}

const InterfaceName Eth0(QStringLiteral("eth0"));
const InterfaceName Wlan0(QStringLiteral("wlan0"));
const InterfaceName Uap0(QStringLiteral("uap0"));

} // namespace

class TestResolvConf : public QObject
{
    Q_OBJECT

private slots:
    void mergesNameserversWithQuotaAndAlternation_data()
    {
        QTest::addColumn<PerInterface>("perInterface");
        QTest::addColumn<QStringList>("merged");

        QTest::newRow("oneInterfaceTwoOfEachFamilyAlternatesIpv4First")
            << PerInterface{addresses({"10.0.0.1", "10.0.0.2", "fd00::1", "fd00::2"})}
            << QStringList{"10.0.0.1", "fd00::1", "10.0.0.2"};
        QTest::newRow("oneInterfaceFourIpv4GivesFirstThree")
            << PerInterface{addresses({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"})}
            << QStringList{"10.0.0.1", "10.0.0.2", "10.0.0.3"};
        QTest::newRow("twoInterfacesShareTwoAndOne")
            << PerInterface{addresses({"10.0.0.1", "10.0.0.2", "10.0.0.3"}),
                            addresses({"10.1.0.1", "10.1.0.2", "10.1.0.3"})}
            << QStringList{"10.0.0.1", "10.0.0.2", "10.1.0.1"};
        QTest::newRow("twoInterfacesFirstWithOneLeavesTwoForSecond")
            << PerInterface{addresses({"10.0.0.1"}), addresses({"10.1.0.1", "10.1.0.2", "10.1.0.3"})}
            << QStringList{"10.0.0.1", "10.1.0.1", "10.1.0.2"};
        QTest::newRow("fourInterfacesOneEachFromFirstThree")
            << PerInterface{addresses({"10.0.0.1", "10.0.0.2"}), addresses({"10.1.0.1"}),
                            addresses({"fd00::1", "10.2.0.1"}), addresses({"10.3.0.1"})}
            << QStringList{"10.0.0.1", "10.1.0.1", "10.2.0.1"};
        QTest::newRow("onlyIpv6ServersInOrder")
            << PerInterface{addresses({"fd00::1", "fd00::2", "fd00::3", "fd00::4"})}
            << QStringList{"fd00::1", "fd00::2", "fd00::3"};
        QTest::newRow("ipv6OnlyAfterIpv4Exhausted")
            << PerInterface{addresses({"fd00::1", "fd00::2", "10.0.0.1"})}
            << QStringList{"10.0.0.1", "fd00::1", "fd00::2"};
        QTest::newRow("duplicatesAcrossInterfacesKept")
            << PerInterface{addresses({"10.0.0.1"}), addresses({"10.0.0.1"})}
            << QStringList{"10.0.0.1", "10.0.0.1"};
        QTest::newRow("nothing") << PerInterface{} << QStringList{};
    }

    void mergesNameserversWithQuotaAndAlternation()
    {
        QFETCH(PerInterface, perInterface);
        QFETCH(QStringList, merged);
        QCOMPARE(ResolvConfImpl::mergeNameservers(perInterface), merged);
    }

    void selectsNothingForNonPositiveCount()
    {
        const AddressList servers = addresses({"10.0.0.1", "fd00::1"});
        QCOMPARE(ResolvConfImpl::selectNameservers(servers, 0), QStringList());
        QCOMPARE(ResolvConfImpl::selectNameservers(servers, -1), QStringList());
        QCOMPARE(ResolvConfImpl::selectNameservers(servers, 1), QStringList{"10.0.0.1"});
    }

    void interfacesAreVisitedInInsertionOrder()
    {
        ResolvConfImpl resolver;
        resolver.setNameservers(addresses({"10.1.0.1", "10.1.0.2"}), Wlan0);
        resolver.setNameservers(addresses({"10.0.0.1", "10.0.0.2"}), Eth0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.1.0.1", "10.1.0.2", "10.0.0.1"}));

        // Replacing keeps the place; removing and adding again moves to the end.
        resolver.setNameservers(addresses({"10.1.0.9"}), Wlan0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.1.0.9", "10.0.0.1", "10.0.0.2"}));
        resolver.removeNameservers(Wlan0);
        resolver.setNameservers(addresses({"10.1.0.9"}), Wlan0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.0.0.1", "10.0.0.2", "10.1.0.9"}));
    }

    void removingAnInterfaceRaisesTheOthersQuota()
    {
        ResolvConfImpl resolver;
        resolver.setNameservers(addresses({"10.0.0.1", "10.0.0.2", "10.0.0.3"}), Eth0);
        resolver.setNameservers(addresses({"10.1.0.1"}), Wlan0);
        resolver.setNameservers(addresses({"10.2.0.1"}), Uap0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.0.0.1", "10.1.0.1", "10.2.0.1"}));
        resolver.removeNameservers(Wlan0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.0.0.1", "10.0.0.2", "10.2.0.1"}));
        resolver.removeNameservers(Uap0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
    }

    void nullAddressesAreDroppedAndAnEmptyListRemovesTheInterface()
    {
        ResolvConfImpl resolver;
        resolver.setNameservers(addresses({"10.0.0.1", "10.0.0.2"}), Eth0);
        resolver.setNameservers({QHostAddress(), QHostAddress(QStringLiteral("10.1.0.1"))}, Wlan0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.0.0.1", "10.0.0.2", "10.1.0.1"}));
        // Only null addresses: the interface no longer counts towards the quota.
        resolver.setNameservers({QHostAddress()}, Wlan0);
        QCOMPARE(resolver.mergedNameservers(), (QStringList{"10.0.0.1", "10.0.0.2"}));
    }

    void searchDomainsConcatenateInInsertionOrderKeepingDuplicates()
    {
        ResolvConfImpl resolver;
        resolver.setSearchDomains({"b.lan", "shared.lan"}, Wlan0);
        resolver.setSearchDomains({"a.lan", "shared.lan"}, Eth0);
        QCOMPARE(resolver.mergedSearchDomains(), (QStringList{"b.lan", "shared.lan", "a.lan", "shared.lan"}));
        resolver.setSearchDomains({}, Wlan0);
        QCOMPARE(resolver.mergedSearchDomains(), (QStringList{"a.lan", "shared.lan"}));
        resolver.removeSearchDomains(Eth0);
        QCOMPARE(resolver.mergedSearchDomains(), QStringList());
    }

    void rendersNameserverAndSearchLines_data()
    {
        QTest::addColumn<QStringList>("nameservers");
        QTest::addColumn<QStringList>("searchDomains");
        QTest::addColumn<QString>("text");
        QTest::newRow("nothingGivesNoLines") << QStringList() << QStringList() << QString();
        QTest::newRow("serversThenSearch") << QStringList{"10.0.0.1", "fd00::1"} << QStringList{"a.lan", "b.lan"}
                                           << QStringLiteral("nameserver 10.0.0.1\nnameserver fd00::1\nsearch a.lan b.lan\n");
        QTest::newRow("searchOnly") << QStringList() << QStringList{"a.lan"} << QStringLiteral("search a.lan\n");
        QTest::newRow("emptyDomainTextGivesNoSearchLine") << QStringList{"10.0.0.1"} << QStringList{""}
                                                          << QStringLiteral("nameserver 10.0.0.1\n");
    }

    void rendersNameserverAndSearchLines()
    {
        QFETCH(QStringList, nameservers);
        QFETCH(QStringList, searchDomains);
        QFETCH(QString, text);
        QCOMPARE(ResolvConfImpl::render(nameservers, searchDomains), text);
    }

    void readsNameserversInUse()
    {
        QCOMPARE(ResolvConf::parseNameservers(fixture("resolv.conf")),
                 (QStringList{"192.168.1.1", "2001:db8::53", "fd00::53"}));
        QCOMPARE(ResolvConf::parseNameservers(fixture("resolv.conf-with-nul")), QStringList{"10.1.1.1"});
        QCOMPARE(ResolvConf::parseNameservers(QByteArray()), QStringList());
    }

    void readsIpv4DefaultGateway_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QString>("gateway");
        QTest::newRow("firstValidDefaultRoute") << fixture("route") << QStringLiteral("192.168.1.1");
        QTest::newRow("noDefaultRoute") << fixture("route-without-default") << QString();
        QTest::newRow("headerOnly") << fixture("route-without-default").split('\n').first() << QString();
        QTest::newRow("empty") << QByteArray() << QString();
    }

    void readsIpv4DefaultGateway()
    {
        QFETCH(QByteArray, table);
        QFETCH(QString, gateway);
        QCOMPARE(ResolvConf::parseIpv4DefaultGateway(table), gateway);
    }

    void readsIpv6DefaultGateway_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QString>("gateway");
        QTest::newRow("loopbackAndInvalidSkipped") << fixture("ipv6_route") << QStringLiteral("fe80::211:2233:4455:6677");
        QTest::newRow("onlyLoopbackDefault") << fixture("ipv6_route-only-lo") << QString();
        QTest::newRow("empty") << QByteArray() << QString();
    }

    void readsIpv6DefaultGateway()
    {
        QFETCH(QByteArray, table);
        QFETCH(QString, gateway);
        QCOMPARE(ResolvConf::parseIpv6DefaultGateway(table), gateway);
    }
};

QTEST_GUILESS_MAIN(TestResolvConf)
#include "tst_resolvconf.moc"
