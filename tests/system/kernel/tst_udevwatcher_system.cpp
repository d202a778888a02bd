#include "KernelSandbox.h"
#include "UDevWatcher.h"

#include <QSignalSpy>
#include <QtTest>

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace {

// What udevd multicasts after processing an event: a "libudev" header, then the properties.
struct UdevMonitorHeader
{
    char prefix[8];
    quint32 magic;
    quint32 headerSize;
    quint32 propertiesOffset;
    quint32 propertiesLength;
    quint32 subsystemHash;
    quint32 devtypeHash;
    quint32 tagBloomHigh;
    quint32 tagBloomLow;
};

constexpr quint32 UdevMonitorMagic = 0xfeedcafe;
constexpr unsigned int UdevMulticastGroup = 2;

// MurmurHash2 with seed 0, which the monitor's socket filter compares subsystems with.
quint32 murmur2(const QByteArray &key)
{
    const quint32 m = 0x5bd1e995;
    int length = key.size();
    quint32 h = quint32(length);
    const auto *data = reinterpret_cast<const unsigned char *>(key.constData());
    while (length >= 4) {
        quint32 k;
        std::memcpy(&k, data, 4);
        k *= m;
        k ^= k >> 24;
        k *= m;
        h *= m;
        h ^= k;
        data += 4;
        length -= 4;
    }
    switch (length) {
    case 3:
        h ^= quint32(data[2]) << 16;
        Q_FALLTHROUGH();
    case 2:
        h ^= quint32(data[1]) << 8;
        Q_FALLTHROUGH();
    case 1:
        h ^= data[0];
        h *= m;
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

QByteArray udevEvent(const QByteArray &action, const QByteArray &interface, const QByteArray &subsystem = "net",
                     bool withSequenceNumber = true)
{
    static int sequence = 1000;
    QByteArray properties = "ACTION=" + action + '\0' + "DEVPATH=/devices/virtual/net/" + interface + '\0'
        + "SUBSYSTEM=" + subsystem + '\0' + "INTERFACE=" + interface + '\0';
    if (withSequenceNumber)
        properties += "SEQNUM=" + QByteArray::number(++sequence) + '\0';

    UdevMonitorHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(header.prefix, "libudev", 8);
    header.magic = htonl(UdevMonitorMagic);
    header.headerSize = sizeof header;
    header.propertiesOffset = sizeof header;
    header.propertiesLength = quint32(properties.size());
    header.subsystemHash = htonl(murmur2("net"));
    return QByteArray(reinterpret_cast<const char *>(&header), sizeof header) + properties;
}

// Multicasts one message to udev's listeners in this network namespace only.
bool broadcast(const QByteArray &message)
{
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    if (fd < 0)
        return false;
    sockaddr_nl destination;
    std::memset(&destination, 0, sizeof destination);
    destination.nl_family = AF_NETLINK;
    destination.nl_groups = UdevMulticastGroup;
    const ssize_t sent = sendto(fd, message.constData(), std::size_t(message.size()), 0,
                                reinterpret_cast<const sockaddr *>(&destination), sizeof destination);
    close(fd);
    return sent == message.size();
}

bool devIsDevtmpfs()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    return mounts.open(QIODevice::ReadOnly) && mounts.readAll().contains(" /dev devtmpfs ");
}

} // namespace

// Plays udevd: processed events are multicast into the test's own network namespace.
class TestUDevWatcherSystem : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString refusal = KernelSandbox::refusalReason();
        QVERIFY2(refusal.isEmpty(), qPrintable(refusal));
        // libudev leaves the "udev" source without a multicast group when neither exists.
        if (!QFile::exists(QStringLiteral("/run/udev/control")) && !devIsDevtmpfs())
            QSKIP("libudev disables its udev source here: no udevd and no devtmpfs on /dev");
    }

    void reportsAddedMovedAndRemovedInterfaces()
    {
        UDevWatcher watcher;
        QSignalSpy added(&watcher, &UDevWatcher::interfaceAdded);
        QSignalSpy removed(&watcher, &UDevWatcher::interfaceRemoved);

        QVERIFY(broadcast(udevEvent("add", "wlan1")));
        QTRY_COMPARE(added.count(), 1);
        QCOMPARE(added.at(0).at(0).toByteArray(), QByteArray("wlan1"));

        // A renamed interface is reported as added under its new name; the old one is not removed.
        QVERIFY(broadcast(udevEvent("move", "wlan7")));
        QTRY_COMPARE(added.count(), 2);
        QCOMPARE(added.at(1).at(0).toByteArray(), QByteArray("wlan7"));

        QVERIFY(broadcast(udevEvent("remove", "wlan7")));
        QTRY_COMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(0).toByteArray(), QByteArray("wlan7"));
        QCOMPARE(added.count(), 2);
    }

    void otherActionsAndSubsystemsAreNotReported()
    {
        UDevWatcher watcher;
        QSignalSpy added(&watcher, &UDevWatcher::interfaceAdded);
        QSignalSpy removed(&watcher, &UDevWatcher::interfaceRemoved);

        QVERIFY(broadcast(udevEvent("change", "wlan1")));
        QVERIFY(broadcast(udevEvent("add", "sda", "block")));
        // The marker is handled after everything sent before it.
        QVERIFY(broadcast(udevEvent("remove", "marker0")));
        QTRY_COMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(0).toByteArray(), QByteArray("marker0"));
        QCOMPARE(added.count(), 0);
    }

    void wakeUpWithoutDeviceWarns()
    {
        UDevWatcher watcher;
        QSignalSpy added(&watcher, &UDevWatcher::interfaceAdded);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("UDev delivered a message but there was nothing there!$"));
        // Without a sequence number libudev refuses to build a device from the message.
        QVERIFY(broadcast(udevEvent("add", "broken0", "net", false)));
        QVERIFY(broadcast(udevEvent("add", "wlan2")));
        QTRY_COMPARE(added.count(), 1);
        QCOMPARE(added.at(0).at(0).toByteArray(), QByteArray("wlan2"));
    }
};

QTEST_GUILESS_MAIN(TestUDevWatcherSystem)
#include "tst_udevwatcher_system.moc"
