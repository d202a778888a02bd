// Time from AddressManager::start (DHCP) to connected() on a sandbox device's eth0, next to a bare
// udhcpc run with the same command line and helper script, measured alternately in one run.

#include "AddressManager.h"
#include "DhcpClient.h"
#include "LogHandler.h"
#include "NetlinkWatcher.h"
#include "NetworkDriverIp.h"
#include "ResolvConf.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostInfo>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

const InterfaceName Eth0(QStringLiteral("eth0"));
constexpr int Rounds = 15;
constexpr int TimeoutMs = 20000;

// Milliseconds until udhcpc's helper script has printed the first complete record; -1 on time-out.
double bareLease()
{
    QProcess udhcpc;
    udhcpc.setProcessChannelMode(QProcess::MergedChannels);
    QByteArray output;
    QEventLoop loop;
    QObject::connect(&udhcpc, &QProcess::readyReadStandardOutput, [&] {
        output += udhcpc.readAllStandardOutput();
        if (output.contains("KIVD_FINISHED"))
            loop.quit();
    });
    QTimer::singleShot(TimeoutMs, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    udhcpc.start(Udhcpc::Program, Udhcpc::arguments(Eth0, QHostInfo::localHostName()));
    loop.exec();
    const double elapsed = output.contains("KIVD_FINISHED") ? clock.nsecsElapsed() / 1e6 : -1;
    udhcpc.terminate();
    udhcpc.waitForFinished(Udhcpc::StopTimeoutMs);
    return elapsed;
}

// Milliseconds from start() to connected(); -1 on time-out. The manager is stopped afterwards.
double managedLease(AddressManager &manager)
{
    QEventLoop loop;
    const QMetaObject::Connection connection =
        QObject::connect(&manager, &AddressManager::connected, &loop, &QEventLoop::quit);
    QTimer::singleShot(TimeoutMs, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    manager.start(InterfaceConfiguration(Eth0.toString()));
    if (!manager.isConnected())
        loop.exec();
    const double elapsed = manager.isConnected() ? clock.nsecsElapsed() / 1e6 : -1;
    QObject::disconnect(connection);
    manager.stop();
    return elapsed;
}

struct Figures
{
    double median;
    double min;
    double max;
};

Figures figures(QVector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const int n = samples.size();
    const double median = n % 2 ? samples.at(n / 2) : (samples.at(n / 2 - 1) + samples.at(n / 2)) / 2;
    return {median, samples.constFirst(), samples.constLast()};
}

void print(const char *name, const Figures &f)
{
    std::printf("%-28s median %8.2f ms   min %8.2f ms   max %8.2f ms\n", name, f.median, f.min, f.max);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    qputenv("QT_LOGGING_RULES", "*.info=false");
    // Only IPv4 may report the connection here.
    QFile ipv6(QStringLiteral("/proc/sys/net/ipv6/conf/eth0/disable_ipv6"));
    // The sandbox device's host name tells that this runs where eth0 may be changed.
    if (QHostInfo::localHostName() != QLatin1String("kivdevice") || !ipv6.open(QIODevice::WriteOnly)
        || ipv6.write("1\n") != 2) {
        std::fprintf(stderr, "address_lease: run me through bench/address_lease.sh\n");
        return 2;
    }
    ipv6.close();
    QProcess::execute(QStringLiteral("ip"), {"link", "set", "eth0", "up"});

    NetworkDriverIp driver;
    NetlinkWatcher watcher;
    ResolvConf *resolvConf = ResolvConf::create(&application);
    AddressManager manager(Eth0, &watcher, &driver, resolvConf);

    QVector<double> bare;
    QVector<double> managed;
    for (int round = 0; round < Rounds; ++round) {
        const double b = bareLease();
        const double m = managedLease(manager);
        if (b < 0 || m < 0) {
            std::fprintf(stderr, "address_lease: no lease within %d ms in round %d\n", TimeoutMs, round);
            return 1;
        }
        bare << b;
        managed << m;
    }
    const Figures bareFigures = figures(bare);
    const Figures managedFigures = figures(managed);
    std::printf("DHCP lease on eth0, %d rounds each, alternating\n", Rounds);
    print("bare udhcpc + helper script", bareFigures);
    print("AddressManager to connected", managedFigures);
    std::printf("%-28s %8.2f ms (target: at most 40 ms)\n", "difference of medians", managedFigures.median - bareFigures.median);
    return 0;
}
