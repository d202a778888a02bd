// Measures how fast NetlinkWatcher absorbs a burst of address additions and removals on one
// interface and checks that its final table equals the kernel's. Run through netlink_burst.sh,
// which gives it a throwaway network namespace.
#include "NetlinkWatcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryFile>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

const QString Interface = QStringLiteral("kvburst0");
const QString Peer = QStringLiteral("kvburst1");
const QString Marker = QStringLiteral("10.255.255.254");
int g_receiveErrors = 0;

void countReceiveErrors(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtCriticalMsg && text.contains(QLatin1String("Netlink receive message returned an error!")))
        ++g_receiveErrors;
    if (type != QtDebugMsg && type != QtInfoMsg)
        std::fprintf(stderr, "%s\n", qPrintable(text));
}

bool ip(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("ip"), arguments) == 0;
}

double cpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

QString address(int i)
{
    return i % 2 == 0 ? QStringLiteral("10.%1.%2.1/32").arg(100 + i / 512).arg((i / 2) % 256)
                      : QStringLiteral("fd00:bb::%1/128").arg(i, 0, 16);
}

QStringList kernelTable()
{
    QProcess process;
    process.start(QStringLiteral("ip"), {"-j", "addr", "show", "dev", Interface});
    process.waitForFinished();
    QStringList texts;
    for (const QJsonValue &link : QJsonDocument::fromJson(process.readAllStandardOutput()).array()) {
        for (const QJsonValue &info : link.toObject().value("addr_info").toArray()) {
            const QJsonObject entry = info.toObject();
            const QString scope = entry.value("scope").toString();
            if ((scope == "global" || scope == "link") && !entry.value("deprecated").toBool())
                texts << entry.value("local").toString() + '/' + QString::number(entry.value("prefixlen").toInt());
        }
    }
    texts.sort();
    return texts;
}

QStringList watcherTable(const NetlinkWatcher &watcher)
{
    QStringList texts;
    for (const NetlinkAddress &entry : watcher.addresses(Interface.toUtf8()))
        texts << entry.address + '/' + QString::number(entry.prefixLength);
    texts.sort();
    return texts;
}

struct Round
{
    qint64 ipMs = 0;
    qint64 drainMs = 0;
    double drainCpuMs = 0;
    int emissions = 0;
    bool tableMatches = false;
    int tableSize = 0;
};

// One burst: "count" additions, every other one removed again, then the marker address.
Round runBurst(int count, bool concurrent)
{
    QTemporaryFile batch;
    batch.open();
    {
        QTextStream out(&batch);
        for (int i = 0; i < count; ++i)
            out << "address add " << address(i) << " dev " << Interface << (i % 2 ? " nodad" : "") << '\n';
        for (int i = 0; i < count; i += 2)
            out << "address del " << address(i) << " dev " << Interface << '\n';
        // The marker goes on the peer: once it is seen, every earlier notification was handled.
        out << "address add " << Marker << "/32 dev " << Peer << '\n';
    }
    batch.flush();

    Round round;
    NetlinkWatcher watcher;
    bool markerSeen = false;
    QEventLoop drainLoop;
    QObject::connect(&watcher, &NetlinkWatcher::addressesChanged, [&] {
        ++round.emissions;
        if (!markerSeen) {
            for (const NetlinkAddress &entry : watcher.addresses(Peer.toUtf8()))
                markerSeen = markerSeen || entry.address == Marker;
            if (markerSeen)
                drainLoop.quit();
        }
    });

    QProcess burst;
    QElapsedTimer clock;
    clock.start();
    burst.start(QStringLiteral("ip"), {"-batch", batch.fileName()});
    if (concurrent) {
        // The watcher reads while ip is still adding.
        while (burst.state() != QProcess::NotRunning)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    } else {
        // Everything waits in the socket's receive buffer until ip is done.
        burst.waitForFinished(60000);
    }
    round.ipMs = clock.elapsed();

    const double cpuBefore = cpuSeconds();
    QElapsedTimer drain;
    drain.start();
    if (!markerSeen) {
        QTimer::singleShot(30000, &drainLoop, &QEventLoop::quit);
        drainLoop.exec();
    }
    round.drainMs = drain.elapsed();
    round.drainCpuMs = (cpuSeconds() - cpuBefore) * 1000.0;

    const QStringList kernel = kernelTable();
    round.tableMatches = markerSeen && kernel == watcherTable(watcher);
    round.tableSize = kernel.size();

    QObject::disconnect(&watcher, nullptr, nullptr, nullptr);
    ip({"address", "flush", "dev", Interface});
    ip({"address", "flush", "dev", Peer});
    return round;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (QFile::symLinkTarget("/proc/self/ns/net") == QFile::symLinkTarget("/proc/1/ns/net")) {
        std::fprintf(stderr, "netlink_burst: refusing to run in the machine's own network namespace\n");
        return 2;
    }
    const int count = argc > 1 ? QByteArray(argv[1]).toInt() : 1000;
    qInstallMessageHandler(countReceiveErrors);

    if (!ip({"link", "add", Interface, "type", "veth", "peer", "name", Peer})
        || !ip({"link", "set", Interface, "addrgenmode", "none"}) || !ip({"link", "set", Peer, "addrgenmode", "none"})
        || !ip({"link", "set", Peer, "up"})
        || !ip({"link", "set", Interface, "up"})) {
        std::fprintf(stderr, "netlink_burst: cannot create the test interface\n");
        return 2;
    }

    const int expectedSignals = count + (count + 1) / 2 + 1;
    bool ok = true;
    std::printf("burst: %d additions, %d removals on %s, then 1 marker on its peer (receive buffer asked: %d bytes)\n", count,
                (count + 1) / 2, qPrintable(Interface), NetlinkWatcher::ReceiveBufferBytes);
    for (const bool concurrent : {false, true}) {
        const Round round = runBurst(count, concurrent);
        std::printf("%-9s ip: %5lld ms  watcher after ip: %5lld ms wall, %7.1f ms cpu  addressesChanged: %d/%d  "
                    "table %s kernel (%d addresses)\n",
                    concurrent ? "live" : "buffered", round.ipMs, round.drainMs, round.drainCpuMs, round.emissions,
                    expectedSignals, round.tableMatches ? "==" : "!=", round.tableSize);
        ok = ok && round.tableMatches && round.emissions == expectedSignals;
    }
    std::printf("receive errors: %d\nresult: %s\n", g_receiveErrors, ok && g_receiveErrors == 0 ? "PASS" : "FAIL");
    ip({"link", "del", Interface});
    return ok && g_receiveErrors == 0 ? 0 : 1;
}
