#include "AddressTestSupport.h"
#include "DhcpClient.h"
#include "LogExpect.h"

#include <QSignalSpy>
#include <QtTest>

using Chunks = QList<QByteArray>;
Q_DECLARE_METATYPE(Chunks)

namespace {

const InterfaceName Eth0(QStringLiteral("eth0"));

// Feeds output to the client as if the running udhcpc had printed it.
class OutputFeed : public Udhcpc
{
public:
    OutputFeed() : Udhcpc(Eth0) {}
    using Udhcpc::receiveOutput;
};

QString helperScript()
{
    return QStringLiteral(KIV_HELPER_SCRIPT);
}

QList<QHostAddress> addresses(const QStringList &texts)
{
    QList<QHostAddress> list;
    for (const QString &text : texts)
        list.append(QHostAddress(text));
    return list;
}

} // namespace

class TestDhcpClient : public QObject
{
    Q_OBJECT

private slots:
    void recordKeyRules_data()
    {
        QTest::addColumn<QString>("output");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("netmask");
        QTest::addColumn<QString>("gateway");
        QTest::addColumn<QStringList>("nameservers");
        QTest::addColumn<QStringList>("domains");

        QTest::newRow("fullRecordAmongClientMessages")
            << "udhcpc: started, v1.35.0\nudhcpc: broadcasting discover\nKIVD_IP=10.0.0.5\n"
               "KIVD_NETMASK=255.255.255.0\nKIVD_GATEWAY=10.0.0.1\nKIVD_DNS=10.0.0.53 8.8.8.8\n"
               "KIVD_DOMAIN=lan example.com\nKIVD_FINISHED\nudhcpc: lease of 10.0.0.5 obtained\n"
            << "10.0.0.5" << "255.255.255.0" << "10.0.0.1" << QStringList{"10.0.0.53", "8.8.8.8"}
            << QStringList{"lan", "example.com"};
        QTest::newRow("carriageReturnStaysInValues")
            << "KIVD_IP=10.0.0.5\r\nKIVD_DOMAIN=lan\r\nKIVD_FINISHED\r\n"
            << "10.0.0.5\r" << "" << "" << QStringList() << QStringList{"lan\r"};
        QTest::newRow("keyLineAfterBlankIsIgnored")
            << " KIVD_IP=10.0.0.5\n\tKIVD_NETMASK=255.0.0.0\nKIVD_FINISHED\n"
            << "" << "" << "" << QStringList() << QStringList();
        QTest::newRow("prefixIsCaseSensitive")
            << "kivd_ip=10.0.0.5\nKivd_Gateway=10.0.0.1\nKIVD_FINISHED\n"
            << "" << "" << "" << QStringList() << QStringList();
        QTest::newRow("emptyDnsGivesNoNameservers")
            << "KIVD_IP=10.0.0.5\nKIVD_DNS=\nKIVD_DOMAIN=\nKIVD_FINISHED\n"
            << "10.0.0.5" << "" << "" << QStringList() << QStringList();
        QTest::newRow("twoRoutersGiveTheFirstAsGateway")
            << "KIVD_GATEWAY=10.0.0.1 10.0.0.2\nKIVD_FINISHED\n"
            << "" << "" << "10.0.0.1" << QStringList() << QStringList();
        QTest::newRow("lastValueWinsAndListsAreReplaced")
            << "KIVD_IP=10.0.0.5\nKIVD_DNS=10.0.0.53 10.0.0.54\nKIVD_IP=10.0.0.6\nKIVD_DNS=10.0.0.55\nKIVD_FINISHED\n"
            << "10.0.0.6" << "" << "" << QStringList{"10.0.0.55"} << QStringList();
        QTest::newRow("repeatedBlanksDropEmptyListParts")
            << "KIVD_DNS=  10.0.0.53   10.0.0.54 \nKIVD_DOMAIN= lan  \nKIVD_FINISHED\n"
            << "" << "" << "" << QStringList{"10.0.0.53", "10.0.0.54"} << QStringList{"lan"};
        QTest::newRow("everyOccurrenceOfThePrefixIsRemoved")
            << "KIVD_DOMAIN=aKIVD_DOMAIN=b\nKIVD_FINISHED\n"
            << "" << "" << "" << QStringList() << QStringList{"ab"};
        QTest::newRow("missingKeysStayEmpty")
            << "KIVD_FINISHED\n" << "" << "" << "" << QStringList() << QStringList();
    }

    void recordKeyRules()
    {
        QFETCH(QString, output);
        QVERIFY(DhcpProtocol::hasRecord(output));
        const DhcpRecord record = DhcpProtocol::parseRecord(output);
        QTEST(record.address, "address");
        QTEST(record.netmask, "netmask");
        QTEST(record.gateway, "gateway");
        QTEST(record.nameservers, "nameservers");
        QTEST(record.searchDomains, "domains");
    }

    void terminatorIsFoundAnywhereCaseSensitively()
    {
        QVERIFY(DhcpProtocol::hasRecord(QStringLiteral("udhcpc: xKIVD_FINISHEDx")));
        QVERIFY(!DhcpProtocol::hasRecord(QStringLiteral("KIVD_IP=10.0.0.5\nkivd_finished\n")));
        QVERIFY(!DhcpProtocol::hasRecord(QStringLiteral("KIVD_IP=10.0.0.5\nKIVD_FINISH")));
    }

    void unparsableAddressesAreDropped()
    {
        const DhcpRecord record = DhcpProtocol::parseRecord(QStringLiteral(
            "KIVD_IP=10.0.0.300\nKIVD_NETMASK=mask\nKIVD_GATEWAY=gw 10.0.0.1\nKIVD_DNS=10.0.0.53 dns fd00::53 1.2.3.4.5\n"
            "KIVD_DOMAIN=lan\nKIVD_FINISHED\n"));
        const InterfaceConfiguration configuration = record.toConfiguration(Eth0);
        QCOMPARE(configuration.name(), QStringLiteral("eth0"));
        QVERIFY(!configuration.hasAddress());
        QVERIFY(configuration.address().netmask().isNull());
        QVERIFY(!configuration.hasGateway());
        QCOMPARE(configuration.nameservers(), addresses({"10.0.0.53", "fd00::53"}));
        QCOMPARE(configuration.searchDomains(), QStringList{"lan"});
    }

    void recordIsParsedOnceWhenTheTerminatorArrives_data()
    {
        QTest::addColumn<Chunks>("chunks");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QStringList>("nameservers");

        QTest::newRow("linesSplitAcrossChunks")
            << Chunks{"udhcpc: lease obtained\nKIVD_IP=10.0.", "0.5\nKIVD_NETMASK=255.255.255.0\nKIVD_DN",
                      "S=10.0.0.53\nKIVD_FINI", "SHED\n"}
            << "10.0.0.5" << QStringList{"10.0.0.53"};
        QTest::newRow("twoRecordsInOneChunkLaterValuesWin")
            << Chunks{"KIVD_IP=10.0.0.5\nKIVD_DNS=10.0.0.53\nKIVD_FINISHED\n"
                      "KIVD_IP=10.0.0.6\nKIVD_NETMASK=255.255.255.0\nKIVD_FINISHED\n"}
            << "10.0.0.6" << QStringList{"10.0.0.53"};
        QTest::newRow("binaryJunkBeforeTheRecord")
            << Chunks{QByteArray("\xff\xfe\x80garbage\x01\x02\n", 13), QByteArray("junk\n\0KIVD_FINISHED\n", 20),
                      "KIVD_IP=10.0.0.5\nKIVD_NETMASK=255.255.255.0\nKIVD_DNS=10.0.0.53\nKIVD_FINISHED\n"}
            << "10.0.0.5" << QStringList{"10.0.0.53"};
        QTest::newRow("overlongLineBeforeTheRecord")
            << Chunks{"KIVD_DOMAIN=" + QByteArray(1 << 20, 'a') + '\n',
                      "KIVD_IP=10.0.0.5\nKIVD_NETMASK=255.255.255.0\nKIVD_DNS=10.0.0.53\nKIVD_FINISHED\n"}
            << "10.0.0.5" << QStringList{"10.0.0.53"};
    }

    void recordIsParsedOnceWhenTheTerminatorArrives()
    {
        QFETCH(Chunks, chunks);
        QFETCH(QString, address);
        QFETCH(QStringList, nameservers);

        LogCapture log;
        OutputFeed client;
        QSignalSpy finished(&client, &DhcpClient::finished);
        for (int i = 0; i < chunks.size(); ++i) {
            QCOMPARE(finished.count(), 0);
            client.receiveOutput(chunks.at(i));
        }
        QCOMPARE(finished.count(), 1);
        const auto configuration = finished.at(0).at(0).value<InterfaceConfiguration>();
        QCOMPARE(configuration.address().ip(), QHostAddress(address));
        QCOMPARE(configuration.address().prefixLength(), 24);
        QCOMPARE(configuration.nameservers(), addresses(nameservers));
    }

    void renewalAfterTheFirstRecordIsReportedAgain()
    {
        LogCapture log;
        OutputFeed client;
        QSignalSpy finished(&client, &DhcpClient::finished);
        client.receiveOutput("KIVD_IP=10.0.0.5\nKIVD_DNS=10.0.0.53\nKIVD_FINISHED\n");
        client.receiveOutput("udhcpc: sending renew to 10.0.0.1\nKIVD_IP=10.0.0.5\n");
        QCOMPARE(finished.count(), 1);
        client.receiveOutput("KIVD_DNS=10.0.0.54\nKIVD_FINISHED\n");
        QCOMPARE(finished.count(), 2);
        const auto first = finished.at(0).at(0).value<InterfaceConfiguration>();
        const auto renewed = finished.at(1).at(0).value<InterfaceConfiguration>();
        QCOMPARE(first.nameservers(), addresses({"10.0.0.53"}));
        QCOMPARE(renewed.address().ip(), QHostAddress(QStringLiteral("10.0.0.5")));
        QCOMPARE(renewed.nameservers(), addresses({"10.0.0.54"}));
    }

    void recordIsLoggedLineByLineThenAsSettings()
    {
        LogCapture log;
        OutputFeed client;
        client.receiveOutput("udhcpc: lease obtained\r\n\nKIVD_IP=10.0.0.5\nKIVD_GATEWAY=10.0.0.1 10.0.0.2\n"
                             "KIVD_DNS=10.0.0.53 8.8.8.8\nKIVD_DOMAIN=lan home\nKIVD_FINISHED\n\n");
        QStringList texts;
        for (const QString &text : log.texts())
            texts << withoutLocation(text);
        QCOMPARE(texts, (QStringList{"eth0 Finished setup, parsing dhcp data from output:",
                                     "Dhcp output: \"udhcpc: lease obtained\"", "Dhcp output: \"\"",
                                     "Dhcp output: \"KIVD_IP=10.0.0.5\"", "Dhcp output: \"KIVD_GATEWAY=10.0.0.1 10.0.0.2\"",
                                     "Dhcp output: \"KIVD_DNS=10.0.0.53 8.8.8.8\"", "Dhcp output: \"KIVD_DOMAIN=lan home\"",
                                     "Dhcp output: \"KIVD_FINISHED\"",
                                     "eth0 Dhcp settings: \"10.0.0.5\" \"\" \"10.0.0.1\" 10.0.0.53 8.8.8.8 lan home"}));
        for (const auto &message : log.messages())
            QCOMPARE(message.first, QtInfoMsg);
    }

    void commandLineSendsTheHostName()
    {
        QCOMPARE(Udhcpc::arguments(Eth0, QStringLiteral("speaker")),
                 (QStringList{"-f", "-x", "hostname:speaker", "-t", "7", "-T", "3", "-i", "eth0", "-s",
                              "/usr/share/kivd/kivd_udhcpc.sh"}));
        QCOMPARE(Udhcpc::Program, QStringLiteral("/sbin/udhcpc"));
    }

    void helperScriptPrintsOneRecordPerLease_data()
    {
        QTest::addColumn<QString>("shell");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("output");

        const QString record = QStringLiteral("KIVD_IP=10.0.0.5\nKIVD_NETMASK=255.255.255.0\n"
                                              "KIVD_GATEWAY=10.0.0.1 10.0.0.2\nKIVD_DNS=10.0.0.53 8.8.8.8\n"
                                              "KIVD_DOMAIN=lan\nKIVD_FINISHED\n");
        for (const QString &shell : {QStringLiteral("/bin/sh"), QStringLiteral("/bin/busybox")}) {
            const QByteArray name = QFileInfo(shell).fileName().toUtf8();
            QTest::newRow(name + "Bound") << shell << "bound" << record;
            QTest::newRow(name + "Renew") << shell << "renew" << record;
            QTest::newRow(name + "DeconfigPrintsNothing") << shell << "deconfig" << "";
            QTest::newRow(name + "LeasefailPrintsNothing") << shell << "leasefail" << "";
            QTest::newRow(name + "NakPrintsNothing") << shell << "nak" << "";
        }
    }

    void helperScriptPrintsOneRecordPerLease()
    {
        QFETCH(QString, shell);
        QFETCH(QString, event);
        QFETCH(QString, output);

        // Anything that would configure the interface is a stand-in that records its use.
        FakePrograms fakes;
        QVERIFY(fakes.isValid());
        const QStringList configurators{"ip", "ifconfig", "route", "resolvconf"};
        for (const QString &name : configurators)
            QVERIFY(fakes.install(name));

        QProcessEnvironment environment;
        environment.insert("PATH", fakes.path() + QStringLiteral(":/usr/bin:/bin"));
        environment.insert("interface", "eth0");
        environment.insert("ip", "10.0.0.5");
        environment.insert("subnet", "255.255.255.0");
        environment.insert("router", "10.0.0.1 10.0.0.2");
        environment.insert("dns", "10.0.0.53 8.8.8.8");
        environment.insert("domain", "lan");
        environment.insert("lease", "3600");
        QProcess script;
        script.setProcessEnvironment(environment);
        QStringList arguments{helperScript(), event};
        if (shell.endsWith(QLatin1String("busybox")))
            arguments.prepend(QStringLiteral("sh"));
        script.start(shell, arguments);
        QVERIFY(script.waitForFinished(10000));
        QCOMPARE(script.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(script.readAllStandardError()), QString());
        QCOMPARE(QString::fromUtf8(script.readAllStandardOutput()), output);
        for (const QString &name : configurators)
            QCOMPARE(fakes.calls(name), QStringList());
    }

    void helperScriptKeepsEachValueOnItsKeyLine()
    {
        QProcessEnvironment environment;
        environment.insert("PATH", "/usr/bin:/bin");
        environment.insert("ip", "10.0.0.5");
        environment.insert("domain", "lan\nKIVD_IP=192.0.2.66\n\nhome");
        QProcess script;
        script.setProcessEnvironment(environment);
        script.start(QStringLiteral("/bin/sh"), {helperScript(), QStringLiteral("bound")});
        QVERIFY(script.waitForFinished(10000));
        const QString output = QString::fromUtf8(script.readAllStandardOutput());
        QCOMPARE(output.split(QLatin1Char('\n')),
                 (QStringList{"KIVD_IP=10.0.0.5", "KIVD_NETMASK=", "KIVD_GATEWAY=", "KIVD_DNS=",
                              "KIVD_DOMAIN=lan KIVD_IP=192.0.2.66 home", "KIVD_FINISHED", ""}));
        const DhcpRecord record = DhcpProtocol::parseRecord(output);
        QCOMPARE(record.address, QStringLiteral("10.0.0.5"));
        QCOMPARE(record.searchDomains, (QStringList{"lan", "KIVD_IP=192.0.2.66", "home"}));
    }
};

QTEST_GUILESS_MAIN(TestDhcpClient)
#include "tst_dhcpclient.moc"
