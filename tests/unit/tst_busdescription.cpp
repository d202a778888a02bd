#include "BusDescription.h"

#include <QtTest>

namespace {

QList<BusInterfaceDescription> descriptionFile(const QString &name)
{
    QFile file(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/src/kivd/dbus/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString error;
    return BusDescription::parse(file.readAll(), &error);
}

} // namespace

class TestBusDescription : public QObject
{
    Q_OBJECT

private slots:
    void descriptionsHoldTheMembersKivdUses_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("member");
        QTest::addColumn<QString>("in");
        QTest::addColumn<QString>("out");
        const QString root = QStringLiteral("fi.w1.wpa_supplicant1.xml");
        const QString iface = QStringLiteral("fi.w1.wpa_supplicant1.Interface.xml");
        const QString wps = QStringLiteral("fi.w1.wpa_supplicant1.Interface.WPS.xml");
        const QString bss = QStringLiteral("fi.w1.wpa_supplicant1.BSS.xml");
        const QString net = QStringLiteral("fi.w1.wpa_supplicant1.Network.xml");
        QTest::newRow("CreateInterface") << root << "method" << "CreateInterface" << "a{sv}" << "o";
        QTest::newRow("GetInterface") << root << "method" << "GetInterface" << "s" << "o";
        QTest::newRow("RemoveAllNetworks") << iface << "method" << "RemoveAllNetworks" << "" << "";
        QTest::newRow("Disconnect") << iface << "method" << "Disconnect" << "" << "";
        QTest::newRow("AddNetwork") << iface << "method" << "AddNetwork" << "a{sv}" << "o";
        QTest::newRow("Scan") << iface << "method" << "Scan" << "a{sv}" << "";
        QTest::newRow("SignalPoll") << iface << "method" << "SignalPoll" << "" << "a{sv}";
        QTest::newRow("Ifname") << iface << "read" << "Ifname" << "s" << "";
        QTest::newRow("State") << iface << "read" << "State" << "s" << "";
        QTest::newRow("CurrentBSS") << iface << "read" << "CurrentBSS" << "o" << "";
        QTest::newRow("CurrentAuthMode") << iface << "read" << "CurrentAuthMode" << "s" << "";
        QTest::newRow("PropertiesChanged") << iface << "signal" << "PropertiesChanged" << "" << "a{sv}";
        QTest::newRow("BSSAdded") << iface << "signal" << "BSSAdded" << "" << "oa{sv}";
        QTest::newRow("BSSRemoved") << iface << "signal" << "BSSRemoved" << "" << "o";
        QTest::newRow("ScanDone") << iface << "signal" << "ScanDone" << "" << "b";
        QTest::newRow("NetworkTempDisabled") << iface << "signal" << "NetworkTempDisabled" << "" << "a{sv}";
        QTest::newRow("Enabled") << net << "readwrite" << "Enabled" << "b" << "";
        QTest::newRow("SSID") << bss << "read" << "SSID" << "ay" << "";
        QTest::newRow("BSSID") << bss << "read" << "BSSID" << "ay" << "";
        QTest::newRow("WPA") << bss << "read" << "WPA" << "a{sv}" << "";
        QTest::newRow("RSN") << bss << "read" << "RSN" << "a{sv}" << "";
        QTest::newRow("Privacy") << bss << "read" << "Privacy" << "b" << "";
        QTest::newRow("Signal") << bss << "read" << "Signal" << "n" << "";
        QTest::newRow("Frequency") << bss << "read" << "Frequency" << "q" << "";
        QTest::newRow("IEs") << bss << "read" << "IEs" << "ay" << "";
        QTest::newRow("BSS PropertiesChanged") << bss << "signal" << "PropertiesChanged" << "" << "a{sv}";
        QTest::newRow("ProcessCredentials") << wps << "readwrite" << "ProcessCredentials" << "b" << "";
        QTest::newRow("Start") << wps << "method" << "Start" << "a{sv}" << "a{sv}";
        QTest::newRow("Event") << wps << "signal" << "Event" << "" << "sa{sv}";
        QTest::newRow("Credentials") << wps << "signal" << "Credentials" << "" << "a{sv}";
    }

    void descriptionsHoldTheMembersKivdUses()
    {
        QFETCH(QString, file);
        QFETCH(QString, kind);
        QFETCH(QString, member);
        QFETCH(QString, in);
        QFETCH(QString, out);
        const QList<BusInterfaceDescription> descriptions = descriptionFile(file);
        QCOMPARE(descriptions.size(), 1);
        const BusInterfaceDescription &interface = descriptions.first();
        QCOMPARE(interface.name + QStringLiteral(".xml"), file);
        if (kind == QLatin1String("method") || kind == QLatin1String("signal")) {
            const BusMember *found = kind == QLatin1String("method") ? interface.method(member) : interface.signalMember(member);
            QVERIFY(found);
            QCOMPARE(found->signature(QStringLiteral("in")), in);
            QCOMPARE(found->signature(QStringLiteral("out")), out);
        } else {
            const BusProperty *found = interface.property(member);
            QVERIFY(found);
            QCOMPARE(found->type, in);
            QCOMPARE(found->access, kind);
        }
    }

    void deviceExtensionIsMarked()
    {
        const QList<BusInterfaceDescription> descriptions = descriptionFile(QStringLiteral("fi.w1.wpa_supplicant1.Interface.xml"));
        QCOMPARE(descriptions.size(), 1);
        QStringList extensions;
        for (const BusMember &signal : descriptions.first().signalMembers) {
            if (signal.deviceExtension)
                extensions.append(signal.name);
        }
        QCOMPARE(extensions, QStringList{QStringLiteral("NetworkTempDisabled")});
    }
};

QTEST_GUILESS_MAIN(TestBusDescription)
#include "tst_busdescription.moc"
