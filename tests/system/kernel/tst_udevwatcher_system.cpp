#include "KernelTables.h"
#include "LogHandler.h"
#include "SandboxDeviceTest.h"
#include "UDevWatcher.h"
#include "UdevMonitorMessage.h"

#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <sys/socket.h>
#include <unistd.h>

using KernelTables::ip;

namespace {

const QString First = QStringLiteral("kvu0");
const QString Second = QStringLiteral("kvu1");
const QString Renamed = QStringLiteral("kvu9");

// The interface names a spy saw, sorted: the two ends of a pair arrive in either order.
QList<QByteArray> names(const QSignalSpy &spy)
{
    QList<QByteArray> list;
    for (const QList<QVariant> &arguments : spy)
        list << arguments.at(0).toByteArray();
    std::sort(list.begin(), list.end());
    return list;
}

QList<QByteArray> names(const QStringList &interfaces)
{
    QList<QByteArray> list;
    for (const QString &interface : interfaces)
        list << interface.toUtf8();
    std::sort(list.begin(), list.end());
    return list;
}

// A hand-made processed event, as udevd would multicast it.
std::string udevEvent(const std::string &action, const std::string &interface, const std::string &subsystem = "net",
                      bool withSequenceNumber = true)
{
    static int sequence = 1000;
    std::vector<std::string> properties{"ACTION=" + action, "DEVPATH=/devices/virtual/net/" + interface,
                                        "SUBSYSTEM=" + subsystem, "INTERFACE=" + interface};
    if (withSequenceNumber)
        properties.push_back("SEQNUM=" + std::to_string(++sequence));
    return UdevMonitorMessage::build(properties, subsystem);
}

bool broadcast(const std::string &message)
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return false;
    const bool sent = UdevMonitorMessage::multicast(fd, message);
    close(fd);
    return sent;
}

// A watcher and what it reported.
struct Watched
{
    UDevWatcher watcher;
    QSignalSpy added{&watcher, &UDevWatcher::interfaceAdded};
    QSignalSpy removed{&watcher, &UDevWatcher::interfaceRemoved};
};

bool requestUevent(const QString &interface, const QByteArray &action)
{
    QFile file(QStringLiteral("/sys/class/net/") + interface + QStringLiteral("/uevent"));
    return file.open(QIODevice::WriteOnly) && file.write(action) == action.size();
}

} // namespace

// Runs inside a sandbox device, where the sandbox's relay passes the kernel's events of the
// device's interfaces to libudev monitors as udevd does on the device itself.
class TestUDevWatcherSystem : public QObject
{
    Q_OBJECT

private:
    // Creates the pair and waits until the watcher has reported both ends, then forgets them.
    void addPair(QSignalSpy &added)
    {
        QVERIFY(ip({"link", "add", First, "type", "veth", "peer", "name", Second}));
        QTRY_COMPARE(names(added), names({First, Second}));
        added.clear();
    }

private slots:
    void cleanup()
    {
        KivLog::debugLevel = 0;
        for (const QString &interface : {First, Renamed}) {
            if (QFile::exists(QStringLiteral("/sys/class/net/") + interface))
                QVERIFY(ip({"link", "del", interface}));
        }
    }

    void reportsInterfacesTheKernelAddsAndRemoves()
    {
        Watched w;

        QVERIFY(ip({"link", "add", First, "type", "veth", "peer", "name", Second}));
        QTRY_COMPARE(names(w.added), names({First, Second}));
        QCOMPARE(w.removed.count(), 0);

        QVERIFY(ip({"link", "del", First}));
        QTRY_COMPARE(names(w.removed), names({First, Second}));
        QCOMPARE(w.added.count(), 2);
    }

    // The kernel announces a rename as "move" under the new name; the old name is not removed.
    void renamedInterfaceIsReportedAddedUnderItsNewName()
    {
        Watched w;
        addPair(w.added);

        QVERIFY(ip({"link", "set", First, "name", Renamed}));
        QTRY_COMPARE(names(w.added), names({Renamed}));
        // Deleting the pair shows every earlier event was handled.
        QVERIFY(ip({"link", "del", Renamed}));
        QTRY_COMPARE(names(w.removed), names({Second, Renamed}));
        QCOMPARE(w.added.count(), 1);
    }

    void otherActionsAreOnlyLogged()
    {
        Watched w;
        addPair(w.added);

        KivLog::debugLevel = 1;
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("Ignoring udev action change for interface kvu0$"));
        QVERIFY(requestUevent(First, "change"));
        QVERIFY(ip({"link", "del", First}));
        QTRY_COMPARE(names(w.removed), names({First, Second}));
        QCOMPARE(w.added.count(), 0);
    }

    // Other subsystems' events, and messages libudev cannot turn into a device (no sequence number),
    // cannot be caused without touching the machine's devices: hand-made, followed by a marker event.
    void foreignAndBrokenMessagesAreNotReported()
    {
        Watched w;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("UDev delivered a message but there was nothing there!$"));
        QVERIFY(broadcast(udevEvent("add", "sda", "block")));
        QVERIFY(broadcast(udevEvent("add", "broken0", "net", false)));
        QVERIFY(broadcast(udevEvent("remove", "marker0")));
        QTRY_COMPARE(w.removed.count(), 1);
        QCOMPARE(w.removed.at(0).at(0).toByteArray(), QByteArray("marker0"));
        QCOMPARE(w.added.count(), 0);
    }
};

KIV_SANDBOX_DEVICE_TEST_MAIN(TestUDevWatcherSystem, (SandboxDeviceTest::Setup{{"--no-dhcp", "--no-ra"}, {}}))
#include "tst_udevwatcher_system.moc"
