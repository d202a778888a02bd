// Run by the kivd-scan radio scenario after kivd's scan: a BSS object that Debian's wpa_supplicant
// publishes for wlan0 must serve every property and signal of our description of the BSS interface.
#include "BusDescription.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_Interface.h"

#include <QtTest>

namespace {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");
const QString bssInterface = QStringLiteral("fi.w1.wpa_supplicant1.BSS");

const BusInterfaceDescription *find(const QList<BusInterfaceDescription> &descriptions)
{
    for (const BusInterfaceDescription &description : descriptions) {
        if (description.name == bssInterface)
            return &description;
    }
    return nullptr;
}

} // namespace

class TestRadioBss : public QObject
{
    Q_OBJECT

private slots:
    void servedBssMembersMatchOurDescription();
};

void TestRadioBss::servedBssMembersMatchOurDescription()
{
    WpaSupplicantTypes::registerBusTypes();
    const QDBusConnection bus = QDBusConnection::systemBus();
    QDBusPendingReply<QDBusObjectPath> path = FiW1WpaSupplicant1(service, QStringLiteral("/fi/w1/wpa_supplicant1"), bus)
                                                  .GetInterface(QStringLiteral("wlan0"));
    path.waitForFinished();
    QVERIFY2(!path.isError(), qPrintable(path.error().message()));
    const QList<QDBusObjectPath> bsss = FiW1WpaSupplicant1Interface(service, path.value().path(), bus).bSSs();
    QVERIFY(!bsss.isEmpty());

    QFile xml(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/src/kivd/dbus/fi.w1.wpa_supplicant1.BSS.xml"));
    QVERIFY2(xml.open(QIODevice::ReadOnly), qPrintable(xml.fileName()));
    QString error;
    const QList<BusInterfaceDescription> ours = BusDescription::parse(xml.readAll(), &error);
    const BusInterfaceDescription *expected = find(ours);
    QVERIFY2(expected, qPrintable(error));
    const QDBusMessage reply = bus.call(QDBusMessage::createMethodCall(
        service, bsss.first().path(), QStringLiteral("org.freedesktop.DBus.Introspectable"), QStringLiteral("Introspect")));
    QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
    const QList<BusInterfaceDescription> served = BusDescription::parse(reply.arguments().value(0).toString().toUtf8(), &error);
    const BusInterfaceDescription *actual = find(served);
    QVERIFY2(actual, qPrintable(error));

    for (const BusProperty &property : expected->properties) {
        const BusProperty *real = actual->property(property.name);
        QVERIFY2(real, qPrintable(QStringLiteral("property ") + property.name));
        QCOMPARE(real->type, property.type);
        QCOMPARE(real->access, property.access);
    }
    const QString out = QStringLiteral("out");
    for (const BusMember &signal : expected->signalMembers) {
        const BusMember *real = actual->signalMember(signal.name);
        QVERIFY2(real, qPrintable(QStringLiteral("signal ") + signal.name));
        QCOMPARE(real->signature(out), signal.signature(out));
    }
}

QTEST_GUILESS_MAIN(TestRadioBss)
#include "tst_radio_bss.moc"
