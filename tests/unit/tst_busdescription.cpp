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
    void descriptionsAreReadPerMemberKind_data()
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
        // One member of each kind and signature shape; tst_wpabusmembers holds every member against
        // the real wpa_supplicant, and the generated proxies against kivd's calls.
        QTest::newRow("method with argument and result") << root << "method" << "CreateInterface" << "a{sv}" << "o";
        QTest::newRow("method without either") << iface << "method" << "Disconnect" << "" << "";
        QTest::newRow("method with dictionaries both ways") << wps << "method" << "Start" << "a{sv}" << "a{sv}";
        QTest::newRow("read-only property") << bss << "read" << "Signal" << "n" << "";
        QTest::newRow("writable property") << net << "readwrite" << "Enabled" << "b" << "";
        QTest::newRow("signal with two arguments") << iface << "signal" << "BSSAdded" << "" << "oa{sv}";
    }

    void descriptionsAreReadPerMemberKind()
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
