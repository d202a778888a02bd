// Network data model: the 32-byte SSID limit, MAC address forms, a network's supplicant properties
// and its reading from bus credentials; IP and soft-AP settings from bus maps, the soft-AP files,
// the configuration store, the manager's bus maps and the generated-file writer.
#include "ApDescription.h"
#include "ConfigFileWriter.h"
#include "LogExpect.h"
#include "MacAddress.h"
#include "NetworkConfiguration.h"
#include "NetworkManagerMaps.h"
#include "SoftApFiles.h"

#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <cstring>

using namespace NetworkManagerMaps;

namespace {

const Ssid Net = Ssid::fromString(QStringLiteral("Net"));

QVariantMap changed(QVariantMap map, const QVariantMap &changes)
{
    map.insert(changes);
    return map;
}

SoftApSettings softAp(const QVariantMap &changes = {})
{
    return SoftApSettings(changed(SoftApSettings(Ssid::fromString("Kiv Setup"), "uap0").toMap(), changes));
}

WirelessNetwork network(const QString &ssid, SecurityType type = SecurityType::Unsecured, const QString &key = {}, int priority = 0)
{
    return WirelessNetwork(Ssid::fromString(ssid), type, key, priority);
}

// A generated file's text after its header line.
QByteArray body(const QString &path)
{
    QFile file(path);
    const QByteArray header = ConfigFileWriter::Header.toUtf8();
    const QByteArray text = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    return text.startsWith(header) ? text.mid(header.size()) : "<no header> " + text;
}
const QString NoRealpath = QStringLiteral("Couldn't get realpath for \"%1\", continuing anyway! (error was %2)");

} // namespace

class TestNetworkModel : public QObject
{
    Q_OBJECT

private slots:
    // SSID text is counted in UTF-8 bytes, too long gives an empty SSID. MAC text is kept as written,
    // MAC bytes are shown in upper case, a malformed MAC is empty.
    void ssidAndMacFromTextOrBytes_data()
    {
        QTest::addColumn<QVariant>("input");
        QTest::addColumn<QString>("text");
        // 10 three-byte characters plus 2 ascii: 32 bytes in 12 characters.
        QTest::newRow("ssid of 32 bytes of mixed width") << QVariant(QString(10, QChar(0x20ac)) + "ab") << QString(10, QChar(0x20ac)) + "ab";
        QTest::newRow("ssid of 33 bytes of mixed width") << QVariant(QString(10, QChar(0x20ac)) + "abc") << QString();
        QTest::newRow("ssid of 33 bytes") << QVariant(QByteArray(33, '\x01')) << QString();
        // Invalid UTF-8 decodes to replacement characters: 12 bytes become 36.
        QTest::newRow("ssid of invalid utf-8 growing past 32 bytes") << QVariant(QByteArray(12, '\xff')) << QString();
        QTest::newRow("mac mixed case kept") << QVariant("0a:Bb:cC:dd:EE:ff") << "0a:Bb:cC:dd:EE:ff";
        QTest::newRow("mac of five octets") << QVariant("aa:bb:cc:dd:ee") << QString();
        QTest::newRow("mac with trailing newline") << QVariant("aa:bb:cc:dd:ee:ff\n") << QString();
        QTest::newRow("mac of six bytes in upper case") << QVariant(QByteArray::fromHex("001a2bffeedd")) << "00:1A:2B:FF:EE:DD";
        QTest::newRow("mac of seven bytes") << QVariant(QByteArray::fromHex("001a2b3c4d5e6f")) << QString();
    }

    void ssidAndMacFromTextOrBytes()
    {
        QFETCH(QVariant, input);
        QFETCH(QString, text);
        const bool fromText = input.userType() == QMetaType::QString;
        const QByteArray bytes = fromText ? input.toString().toUtf8() : input.toByteArray();
        if (QByteArray(QTest::currentDataTag()).startsWith("mac")) {
            QCOMPARE((fromText ? MacAddress::fromString(input.toString()) : MacAddress::fromBytes(bytes)).toString(), text);
            return;
        }
        if (text.isEmpty())
            expectLog(QtWarningMsg, QStringLiteral("SSID is too long: \"%1\", rejecting!")
                                        .arg(fromText ? input.toString() : QString::fromLatin1(bytes.toHex())));
        QCOMPARE((fromText ? Ssid::fromString(input.toString()) : Ssid::fromBytes(bytes)).toString(), text);
    }

    // Access points and MAC addresses as the daemon's log shows them; equal addresses hash alike.
    void apAndMacInTheLog()
    {
        const MacAddress bssid = MacAddress::fromString("02:00:00:00:01:01");
        QString text;
        QDebug(&text) << ApDescription() << ApDescription(Ssid::fromString("Home"), SecurityType::WpaPsk, bssid, -45, 2437, {}) << bssid;
        QCOMPARE(text, QStringLiteral(R"(Invalid Ap Ap ssid: "Home" bssid: "02:00:00:00:01:01" freq: 2437 "02:00:00:00:01:01" )"));
        QCOMPARE(QSet<MacAddress>({bssid, MacAddress::fromBytes(QByteArray::fromHex("020000000101"))}).size(), 1);
    }

    // Hex keys go to the supplicant as bytes; passphrases and ASCII WEP keys stay text for it to quote.
    void supplicantPropertiesFollowTypeAndKey_data()
    {
        QTest::addColumn<WirelessNetwork>("network");
        QTest::addColumn<QVariantMap>("map");
        const QString hex64 = QStringLiteral("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
        const auto wep = [](const QVariant &key) {
            return QVariantMap{{"ssid", QByteArray("Net")}, {"scan_ssid", 1}, {"wep_key0", key}, {"key_mgmt", "NONE"},
                               {"auth_alg", "OPEN SHARED"}, {"priority", 0}};
        };
        const auto wpa = [](const QVariant &key, int priority) {
            QVariantMap map{{"ssid", QByteArray("Net")}, {"scan_ssid", 1}, {"psk", key}, {"key_mgmt", "WPA-PSK WPA-PSK-SHA256"},
                            {"ieee80211w", 1}};
            if (priority >= 0)
                map.insert("priority", priority);
            return map;
        };
        QTest::newRow("wep 10 characters as 5 bytes")
            << WirelessNetwork(Net, SecurityType::Wep, "0102030aFF", 0) << wep(QByteArray::fromHex("0102030aff"));
        QTest::newRow("wep 13 characters as text") << WirelessNetwork(Net, SecurityType::Wep, "0123456789abc", 0) << wep("0123456789abc");
        QTest::newRow("wpa 64 characters as 32 bytes")
            << WirelessNetwork(Net, SecurityType::WpaPsk, hex64, 0) << wpa(QByteArray::fromHex(hex64.toLatin1()), 0);
        QTest::newRow("wpa 63 characters as text") << WirelessNetwork(Net, SecurityType::WpaPsk, hex64.left(63), 0)
                                                   << wpa(hex64.left(63), 0);
        QTest::newRow("negative priority left out") << WirelessNetwork(Net, SecurityType::WpaPsk, "password", -1)
                                                    << wpa("password", -1);
        QTest::newRow("unsecured drops a key") << WirelessNetwork(Net, SecurityType::Unsecured, "junk", 0)
                                               << QVariantMap{{"ssid", QByteArray("Net")}, {"scan_ssid", 1},
                                                              {"key_mgmt", "NONE"}, {"priority", 0}};
        for (int length : {4, 6, 11, 27})
            QTest::addRow("wep key of %d is invalid", length) << WirelessNetwork(Net, SecurityType::Wep, QString(length, 'a'), 0)
                                                              << QVariantMap();
        QTest::newRow("wpa key of 7 is invalid") << WirelessNetwork(Net, SecurityType::WpaPsk, "1234567", 0) << QVariantMap();
        // Length counts characters, not UTF-8 bytes.
        QTest::newRow("wpa key of 4 two-byte characters is invalid")
            << WirelessNetwork(Net, SecurityType::WpaPsk, QString(4, QChar(0xe9)), 0) << QVariantMap();
    }

    void supplicantPropertiesFollowTypeAndKey()
    {
        QFETCH(WirelessNetwork, network);
        QFETCH(QVariantMap, map);
        if (network.priority() < 0)
            expectLog(QtWarningMsg, QStringLiteral("Network \"Net\" has illegal priority: -1"));
        QCOMPARE(network.isValid(), !map.isEmpty());
        const QVariantMap actual = network.toSupplicantProperties();
        QCOMPARE(actual, map);
        for (const char *key : {"ssid", "wep_key0", "psk"})
            QCOMPARE(actual.value(QLatin1String(key)).userType(), map.value(QLatin1String(key)).userType());
    }

    void ipSettingsFromMap_data()
    {
        QTest::addColumn<QVariantMap>("input");
        QTest::addColumn<QVariantMap>("output");

        const QVariantMap none{{"Ip", ""}, {"Netmask", ""}, {"Dns", ""}, {"SearchDomains", ""}};
        const QVariantMap full{{"Ip", "192.168.1.20"}, {"Netmask", "255.255.255.0"}, {"Gateway", "192.168.1.1"},
                               {"Dns", "8.8.8.8 2001:db8::1"}, {"SearchDomains", "home.example corp.example"}};
        QTest::newRow("static with gateway") << full << full;
        QTest::newRow("ipv6 static") << QVariantMap{{"Ip", "2001:db8::5"}, {"Netmask", "ffff:ffff:ffff:ffff::"}, {"Gateway", "fe80::1"}}
                                     << changed(none, {{"Ip", "2001:db8::5"}, {"Netmask", "ffff:ffff:ffff:ffff::"}, {"Gateway", "fe80::1"}});
        QTest::newRow("bad netmask is not set, bad gateway gives no key")
            << QVariantMap{{"Ip", "10.0.0.5"}, {"Netmask", "255.255.0.x"}, {"Gateway", "gateway"}} << changed(none, {{"Ip", "10.0.0.5"}});
        QTest::newRow("bad name servers dropped in order, blanks collapse")
            << QVariantMap{{"Ip", "10.0.0.5"}, {"Dns", " dns.example 1.1.1.1  9.9.9.9 300.1.1.1"}, {"SearchDomains", " a  b"}}
            << changed(none, {{"Ip", "10.0.0.5"}, {"Dns", "1.1.1.1 9.9.9.9"}, {"SearchDomains", "a b"}});
        QTest::newRow("bad address means DHCP") << changed(full, {{"Ip", "10.0.0.256"}}) << changed(full, {{"Ip", ""}, {"Netmask", ""}});
        QTest::newRow("no address means DHCP") << QVariantMap{{"Netmask", "255.255.255.0"}} << none;
    }

    void ipSettingsFromMap()
    {
        QFETCH(QVariantMap, input);
        QFETCH(QVariantMap, output);

        const InterfaceConfiguration config = InterfaceConfiguration::fromMap(QStringLiteral("eth0"), input);
        QCOMPARE(config.toMap(), output);
        // Every field takes part in equality, the order of name servers and domains too, and the name
        // (that the bus form reads back as the same settings is the fuzz target's invariant).
        QVERIFY(InterfaceConfiguration::fromMap(QStringLiteral("eth1"), output) != config);
        for (const QString &key : output.keys()) {
            QStringList words = output.value(key).toString().split(' ', Qt::SkipEmptyParts);
            std::reverse(words.begin(), words.end());
            const QVariantMap other = changed(output, {{key, words.size() > 1 ? words.join(' ') : QString()}});
            QVERIFY2(words.isEmpty() || InterfaceConfiguration::fromMap(QStringLiteral("eth0"), other) != config, qPrintable(key));
        }
    }

    void softApSettingsFromMap_data()
    {
        QTest::addColumn<QVariantMap>("input");
        QTest::addColumn<QVariantMap>("output");

        const QVariantMap full{{"ssid", "Setup"}, {"bssid", "02:00:00:aa:bb:cc"}, {"apAddress", "10.10.0.1"},
                               {"apNetmask", "255.255.0.0"}, {"dhcpRangeFrom", "10.10.0.100"}, {"dhcpRangeTo", "10.10.0.200"},
                               {"countryCode", "DE"}, {"channel", 6}, {"vendorSpecificData", "dd0411223344"},
                               {"apInterface", "uap0"}, {"domainName", "setup.local"}};
        QTest::newRow("every key") << full << full;
        QTest::newRow("invalid bssid and addresses are empty, channel defaults to 11")
            << QVariantMap{{"bssid", "02-00-00-aa-bb-cc"}, {"apAddress", "192.168.300.1"}, {"dhcpRangeTo", "host"}}
            << QVariantMap{{"bssid", ""}, {"apAddress", ""}, {"dhcpRangeTo", ""}, {"channel", 11}};
        QTest::newRow("present empty address is not defaulted") << QVariantMap{{"apNetmask", ""}} << QVariantMap{{"apNetmask", ""}};
    }

    void softApSettingsFromMap()
    {
        QFETCH(QVariantMap, input);
        QFETCH(QVariantMap, output);

        const QVariantMap defaults = SoftApSettings(QVariantMap()).toMap();
        const QVariantMap map = SoftApSettings(input).toMap();
        QCOMPARE(map, changed(defaults, output));
        QCOMPARE(map.value(QStringLiteral("channel")).userType(), int(QMetaType::Int));
        // Every field takes part in equality but the domain name: its change alone restarts nothing.
        for (const QString &key : map.keys())
            QVERIFY2((SoftApSettings(changed(map, {{key, defaults.value(key)}})) == SoftApSettings(map))
                         == (key == QLatin1String("domainName") || map.value(key) == defaults.value(key)), qPrintable(key));
    }

    // Defaults and the domain name's lines are checked on the running soft AP as well, and the
    // values that would break a line in the wireless controller's tests.
    void softApFilesAreRenderedLineByLine()
    {
        const SoftApSettings settings = softAp({{"channel", 36}, {"countryCode", "DE"}, {"vendorSpecificData", "dd0411"},
                                                {"domainName", "setup.kiv"}, {"ssid", "Kiv \u00e9t\u00e9"}, {"apAddress", "10.1.2.1"},
                                                {"apNetmask", "255.255.0.0"}, {"dhcpRangeFrom", "10.1.2.50"}, {"dhcpRangeTo", "10.1.2.60"}});
        QCOMPARE(SoftApFiles::hostapdConfig(settings, 14), QStringLiteral("interface=uap0\nssid=Kiv \u00e9t\u00e9\nhw_mode=g\nchannel=14\n"
                                                                          "macaddr_acl=0\nieee80211n=1\ncountry_code=DE\nvendor_elements=dd0411\n"));
        QCOMPARE(SoftApFiles::hostapdConfig(softAp(), 36), QStringLiteral("interface=uap0\nssid=Kiv Setup\nhw_mode=a\nchannel=36\n"
                                                                          "macaddr_acl=0\nieee80211n=1\n"));
        QCOMPARE(SoftApFiles::udhcpdConfig(settings),
                 QStringLiteral("start\t\t10.1.2.50\nend\t\t10.1.2.60\ninterface\tuap0\noption\tsubnet\t255.255.0.0\noption\tdomain\tlocal\n"
                                "option\trouter\t10.1.2.1\noption\tlease\t600\t\t# 10 minutes\noption\tdns\t10.1.2.1\n"));
        QCOMPARE(SoftApFiles::dnsdConfig(settings), QStringLiteral("setup.kiv\t10.1.2.1\n"));
        QCOMPARE(SoftApFiles::unwritableField(settings), QString());
        for (const QString key : {"ssid", "countryCode", "vendorSpecificData", "domainName"})
            QCOMPARE(SoftApFiles::unwritableField(softAp({{key, "a\u2028b"}})), key);
    }

    // A first soft-AP record is a change even when it is empty (what equal settings are is the
    // settings test's).
    void storeReportsOnlyChanges()
    {
        NetworkConfiguration config(nullptr, QStringLiteral("eth0"), QStringLiteral("wlan0"), {QStringLiteral("uap0")});
        QVERIFY(config.setWirelessIpConfiguration(InterfaceConfiguration(QStringLiteral("wlan0"))));
        QVERIFY(!config.setWirelessIpConfiguration(InterfaceConfiguration(QStringLiteral("wlan0"))));
        QVERIFY(config.setSoftApSettings(InterfaceName(QStringLiteral("uap0")), SoftApSettings()));
        QVERIFY(!config.setSoftApSettings(InterfaceName(QStringLiteral("uap0")), SoftApSettings()));
        QVERIFY(config.setSoftApSettings(InterfaceName(QStringLiteral("uap1")), softAp()));
        QCOMPARE(config.softApSettings().size(), 2);
    }

    // Credentials may come wrapped in a bus variant; none at all is an open network; "unsecured" wins
    // over keys and WEP over WPA; invalid keys and priorities are kept. A network without usable
    // credentials is skipped (and logged, which the manager system test reads).
    void networksFromBusMap()
    {
        LogCapture log;
        const QVariantMap written{{"Home", QVariantMap{{"wpa_psk", "password1"}, {"priority", 4}}},
                                  {"Legacy", QVariant::fromValue(QDBusVariant(QVariantMap{{"wep_key", "abcde"}, {"wpa_psk", "password"}}))},
                                  {"Open", QVariantMap()}, {"PriorityOnly", QVariantMap{{"priority", 3}, {"unsecured", false}}},
                                  {"Cafe", QVariantMap{{"unsecured", true}, {"wpa_psk", "password"}, {"priority", 4}}},
                                  {"Short", QVariantMap{{"wpa_psk", "short"}, {"priority", -3}}}};
        QCOMPARE(wirelessNetworksFromMap(written),
                 (QSet<WirelessNetwork>{network("Home", SecurityType::WpaPsk, "password1", 4), network("Open"),
                                        network("Legacy", SecurityType::Wep, "abcde"), network("Cafe", SecurityType::Unsecured, {}, 4),
                                        network("Short", SecurityType::WpaPsk, "short", -3)}));
    }

    // Wired details are the manager system tests'.
    void wirelessDetails()
    {
        InterfaceFacts facts{"if0", true, true, "02:00:00:00:00:01", {}, InterfaceFacts::Kind::Wireless, true, true, true,
                             QVariantMap{{"Ssid", "Home"}, {"Signal", -40}}, {network("My, net"), network("Home")}, true,
                             "192.168.50.1", "fe80::1", {"192.168.50.53", "fd00:50::53"}};
        // Link-local addresses are marked and lose their scope.
        for (const QString address : {"169.254.12.7/16", "169.255.0.1/16", "fe80::1%eth0/64", "fe81::1/64", "fec0::1/10"}) {
            facts.addresses << QNetworkAddressEntry();
            facts.addresses.last().setIp(QHostAddress(address.section('/', 0, 0)));
            facts.addresses.last().setPrefixLength(address.section('/', 1).toInt());
        }
        QCOMPARE(interfaceDetails(facts), (QVariantMap{{"Interface", "if0"}, {"Present", 2}, {"Mac", "02:00:00:00:00:01"},
                                                       {"Ips", "169.254.12.7/16l 169.255.0.1/16 fe80::1/64l fe81::1/64 fec0::1/10"},
                                                       {"Gateway", "192.168.50.1"}, {"Gateway6", "fe80::1"}, {"Dns", "192.168.50.53 fd00:50::53"},
                                                       {"Connected", true}, {"Dhcp", true}, {"Ssid", "Home"}, {"Signal", -40},
                                                       {"Configured Networks", "Home,My\\, net"}}));
        facts.up = false;
        QCOMPARE(interfaceDetails(facts).value("Present"), QVariant(1));
        facts.present = false;
        QCOMPARE(interfaceDetails(facts), (QVariantMap{{"Interface", "if0"}, {"Present", 0}}));
    }

    // The text goes to a temporary file that replaces the target only when the writer ends; a writer
    // that cannot open that file discards the text, one that cannot rename it leaves both.
    void writerReplacesTargetWhenDone()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("resolv.conf"));
        QFile stale(target + ".new");
        QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(QByteArray(4096, 'z')) == 4096 && stale.flush());
        // A missing target is created, after a warning.
        expectLog(QtWarningMsg, NoRealpath.arg(target, QString::fromLocal8Bit(strerror(ENOENT))));
        ConfigFileWriter(target) << QStringLiteral("old\n");
        {
            ConfigFileWriter writer(target);
            writer << QStringLiteral("ssid=Caf\u00e9") << '\n';
            QCOMPARE(body(target), "old\n");
        }
        QCOMPARE(body(target), "ssid=Caf\xc3\xa9\n");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"resolv.conf"});

        const QString absent = dir.filePath(QStringLiteral("absent/dnsd_uap0.conf"));
        expectLog(QtWarningMsg, NoRealpath.arg(absent, QString::fromLocal8Bit(strerror(ENOENT))));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^ConfigFileWriter\\.cpp:\\d+ Couldn't open \""
                                                               + QRegularExpression::escape(absent + ".new") + "\" for writing .*discarding"));
        {
            ConfigFileWriter writer(absent);
            QVERIFY(!writer.isOpen());
            writer << QStringLiteral("ignored\n") << 'x';
        }
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("absent"))));

        // A non-empty directory cannot be replaced by a file.
        const QString busy = dir.filePath(QStringLiteral("busy"));
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("busy/inner")));
        expectLog(QtCriticalMsg, QStringLiteral("Couldn't rename \"%1.new\" to \"%1\", continuing anyway! (error was %2)")
                                     .arg(busy, QString::fromLocal8Bit(strerror(EISDIR))));
        ConfigFileWriter(busy) << QStringLiteral("text\n");
        QVERIFY(QFileInfo(busy).isDir());
        QCOMPARE(body(busy + ".new"), "text\n");
    }
};

QTEST_GUILESS_MAIN(TestNetworkModel)
#include "tst_networkmodel.moc"
