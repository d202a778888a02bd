// Drives kiv-sim-supplicant on the private system bus through the generated wpa_supplicant proxies:
// the interface and disconnect behaviour tst_wpabusmembers shows of the real wpa_supplicant, and
// properties as described. Scans, wrong keys and WPS of the simulator are proven through the
// daemon's supplicant client in tst_wpasupplicant_system.
#include "BusDescription.h"
#include "SimSupplicantProcess.h"
#include "fi_w1_wpa_supplicant1.h"
#include "fi_w1_wpa_supplicant1_Interface.h"
#include "fi_w1_wpa_supplicant1_Network.h"

#include <QtTest>

namespace {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");
const QString rootPath = QStringLiteral("/fi/w1/wpa_supplicant1");
const QByteArray timing = R"("timing": {"stepMs": 10, "scanMs": 40, "rescanMs": 150})";

QDBusConnection bus()
{
    return QDBusConnection::systemBus();
}

QByteArray scenario(const QByteArray &accessPoints, const QByteArray &timingJson = timing)
{
    return "{" + timingJson + R"(, "accessPoints": [)" + accessPoints + "]}";
}

// The AddNetwork map kivd builds for an open network.
QVariantMap openNetwork(const QByteArray &ssid)
{
    return {{"ssid", ssid}, {"scan_ssid", 1}, {"key_mgmt", "NONE"}, {"priority", 0}};
}

QString errorOf(QDBusPendingCall call)
{
    call.waitForFinished();
    return call.error().name();
}

QString createInterface()
{
    FiW1WpaSupplicant1 root(service, rootPath, bus());
    QDBusPendingReply<QDBusObjectPath> reply = root.CreateInterface({{"Ifname", "wlan0"}, {"Driver", "nl80211"}});
    reply.waitForFinished();
    return reply.isError() ? QString() : reply.value().path();
}

QString addEnabledNetwork(const QString &interfacePath, const QVariantMap &network)
{
    FiW1WpaSupplicant1Interface interface(service, interfacePath, bus());
    QDBusPendingReply<QDBusObjectPath> reply = interface.AddNetwork(network);
    reply.waitForFinished();
    if (reply.isError())
        return QString();
    FiW1WpaSupplicant1Network(service, reply.value().path(), bus()).setEnabled(true);
    return reply.value().path();
}

} // namespace

class TestSimSupplicant : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        WpaSupplicantTypes::registerBusTypes();
        QVERIFY2(bus().isConnected(), "the private system bus is not reachable");
    }

    void cleanup() { m_simulator.stop(); }

    void createInterfaceAnswersExistingAndUnknownInterfaces()
    {
        m_simulator.start(scenario(""));
        FiW1WpaSupplicant1 root(service, rootPath, bus());
        const QString path = createInterface();
        QCOMPARE(path, QStringLiteral("/fi/w1/wpa_supplicant1/Interfaces/0"));
        QCOMPARE(errorOf(root.CreateInterface({{"Ifname", "wlan0"}, {"Driver", "nl80211"}})),
                 QStringLiteral("fi.w1.wpa_supplicant1.InterfaceExists"));
        QDBusPendingReply<QDBusObjectPath> existing = root.GetInterface(QStringLiteral("wlan0"));
        existing.waitForFinished();
        QCOMPARE(existing.value().path(), path);
        QCOMPARE(errorOf(root.GetInterface(QStringLiteral("wlan9"))), QStringLiteral("fi.w1.wpa_supplicant1.InterfaceUnknown"));
        QTRY_COMPARE(FiW1WpaSupplicant1Interface(service, path, bus()).state(), QStringLiteral("inactive"));
    }

    // The two behaviours tst_wpabusmembers shows of the real wpa_supplicant.
    void disconnectSequenceBehavesAsTheRealSupplicant()
    {
        m_simulator.start(scenario(R"({"ssid": "Cafe", "bssid": "02:00:00:00:01:02"})"));
        const QString path = createInterface();
        FiW1WpaSupplicant1Interface interface(service, path, bus());
        QVERIFY(!addEnabledNetwork(path, openNetwork("Cafe")).isEmpty());
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));

        // Removing the networks first: Disconnect is refused, and the next configuration connects.
        interface.RemoveAllNetworks().waitForFinished();
        QCOMPARE(interface.currentBSS().path(), QStringLiteral("/"));
        QCOMPARE(errorOf(interface.Disconnect()), QStringLiteral("fi.w1.wpa_supplicant1.NotConnected"));
        QTRY_COMPARE(interface.state(), QStringLiteral("inactive"));
        QVERIFY(!addEnabledNetwork(path, openNetwork("Cafe")).isEmpty());
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));

        // Disconnecting while connected holds until Reconnect, even with a new network.
        QCOMPARE(errorOf(interface.Disconnect()), QString());
        QCOMPARE(interface.state(), QStringLiteral("disconnected"));
        addEnabledNetwork(path, openNetwork("Cafe"));
        QCOMPARE(interface.state(), QStringLiteral("disconnected"));
        interface.Reconnect().waitForFinished();
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
    }

    void propertiesMatchTheInterfaceDescriptions()
    {
        m_simulator.start(scenario(R"({"ssid": "Home", "bssid": "02:00:00:00:01:01"})"));
        const QString path = createInterface();
        const QString network = addEnabledNetwork(path, openNetwork("Home"));
        FiW1WpaSupplicant1Interface interface(service, path, bus());
        QTRY_COMPARE(interface.state(), QStringLiteral("completed"));
        const QMap<QString, QString> objects{{"fi.w1.wpa_supplicant1", rootPath},
                                             {"fi.w1.wpa_supplicant1.Interface", path},
                                             {"fi.w1.wpa_supplicant1.Interface.WPS", path},
                                             {"fi.w1.wpa_supplicant1.BSS", interface.currentBSS().path()},
                                             {"fi.w1.wpa_supplicant1.Network", network}};
        const QDir dir(qEnvironmentVariable("KIV_SOURCE_DIR") + QStringLiteral("/src/kivd/dbus"));
        const QStringList files = dir.entryList({QStringLiteral("fi.w1.wpa_supplicant1*.xml")});
        QCOMPARE(files.size(), objects.size());
        for (const QString &name : files) {
            QFile file(dir.filePath(name));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QString error;
            const BusInterfaceDescription description = BusDescription::parse(file.readAll(), &error).value(0);
            QDBusMessage getAll = QDBusMessage::createMethodCall(service, objects.value(description.name),
                                                                 "org.freedesktop.DBus.Properties", "GetAll");
            getAll << description.name;
            const QDBusMessage reply = bus().call(getAll);
            QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
            QStringList described;
            for (const BusProperty &property : description.properties)
                described.append(property.name);
            described.sort();
            QCOMPARE(qdbus_cast<QVariantMap>(reply.arguments().value(0)).keys(), described);
        }
    }

private:
    SimSupplicantProcess m_simulator;
};

QTEST_GUILESS_MAIN(TestSimSupplicant)
#include "tst_simsupplicant.moc"
