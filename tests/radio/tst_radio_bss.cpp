// Run by the kivd-scan radio scenario after kivd's scan: a BSS object that Debian's wpa_supplicant
// publishes for wlan0 must serve every property and signal of our description of the BSS interface.
#include "BusDescription.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_Interface.h"

#include <QtTest>

namespace {

const QString Service = QStringLiteral("fi.w1.wpa_supplicant1");

// "property NAME TYPE ACCESS" and "signal NAME SIGNATURE" of the BSS interface in introspection XML.
QSet<QString> bssMembers(const QByteArray &xml)
{
    QString error;
    QSet<QString> members;
    for (const BusInterfaceDescription &description : BusDescription::parse(xml, &error)) {
        if (description.name != Service + ".BSS")
            continue;
        for (const BusProperty &property : description.properties)
            members << "property " + property.name + ' ' + property.type + ' ' + property.access;
        for (const BusMember &signal : description.signalMembers)
            members << "signal " + signal.name + ' ' + signal.signature("out");
    }
    return members;
}

} // namespace

class TestRadioBss : public QObject
{
    Q_OBJECT

private slots:
    void servedBssMembersMatchOurDescription()
    {
        WpaSupplicantTypes::registerBusTypes();
        const QDBusConnection bus = QDBusConnection::systemBus();
        QDBusPendingReply<QDBusObjectPath> path = FiW1WpaSupplicant1(Service, "/fi/w1/wpa_supplicant1", bus).GetInterface("wlan0");
        path.waitForFinished();
        QVERIFY2(!path.isError(), qPrintable(path.error().message()));
        const QList<QDBusObjectPath> bsss = FiW1WpaSupplicant1Interface(Service, path.value().path(), bus).bSSs();
        QVERIFY(!bsss.isEmpty());

        QFile xml(qEnvironmentVariable("KIV_SOURCE_DIR") + "/src/kivd/dbus/fi.w1.wpa_supplicant1.BSS.xml");
        QVERIFY2(xml.open(QIODevice::ReadOnly), qPrintable(xml.fileName()));
        const QSet<QString> ours = bssMembers(xml.readAll());
        QVERIFY(!ours.isEmpty());
        const QDBusMessage reply = bus.call(
            QDBusMessage::createMethodCall(Service, bsss.first().path(), "org.freedesktop.DBus.Introspectable", "Introspect"));
        const QSet<QString> missing = ours - bssMembers(reply.arguments().value(0).toString().toUtf8());
        QVERIFY2(missing.isEmpty(), qPrintable("not served: " + QStringList(missing.values()).join("; ")));
    }
};

QTEST_GUILESS_MAIN(TestRadioBss)
#include "tst_radio_bss.moc"
