// Connection times and idle cost of the daemon on a sandbox device's eth0, all measured in one
// run (started by manager_connect.sh inside the device):
//   (a) a bare udhcpc lease with kivd's command line and helper script,
//   (b) SetNormalMode("wired") -> Connected("eth0") on a running kivd,
//   (c) kivd process start -> Connected("eth0"), the mode being sent as soon as Started arrives,
//   (d) connmand start -> an IPv4 address on eth0 (state directory on the device's tmpfs),
//   (e) the connected kivd left idle for 60 s: voluntary context switches, RSS, PSS, Private_Dirty.

#include "DhcpClient.h"
#include "NetlinkWatcher.h"
#include "ProcSample.h"
#include "SandboxEnv.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int Rounds = 11;
constexpr int TimeoutMs = 30000;
constexpr int IdleMs = 60000;
const QString Service = QStringLiteral("com.tarvel.kiv");
const QString Path = QStringLiteral("/com/tarvel/kiv");

QElapsedTimer g_clock;

double nowMs()
{
    return g_clock.nsecsElapsed() / 1e6;
}

void device(const QStringList &command)
{
    QProcess::execute(command.first(), command.mid(1));
}

bool waitUntil(const std::function<bool()> &condition, int timeoutMs = TimeoutMs)
{
    QElapsedTimer limit;
    limit.start();
    while (!condition()) {
        if (limit.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// Follows the daemon's signals on the device's system bus and answers Started with the mode.
class KivdObserver : public QObject
{
    Q_OBJECT
public:
    KivdObserver()
    {
        QDBusConnection bus = QDBusConnection::systemBus();
        for (const char *signal : {"Started", "Connected", "Disconnected"})
            bus.connect(QString(), Path, Service, QLatin1String(signal), this, SLOT(record(QDBusMessage)));
    }

    void command(const QString &member, const QVariantList &arguments = {})
    {
        QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, member);
        call.setArguments(arguments);
        QDBusConnection::systemBus().asyncCall(call);
    }

    // Time of the first event at or after since; -1 while there is none.
    double timeOf(const QString &event, double since) const
    {
        for (const auto &entry : m_events) {
            if (entry.second >= since && entry.first == event)
                return entry.second;
        }
        return -1;
    }
    bool awaitEvent(const QString &event, double since, int timeoutMs = TimeoutMs)
    {
        return waitUntil([&] { return timeOf(event, since) >= 0; }, timeoutMs);
    }

    bool sendModeOnStarted = false;

public slots:
    void record(const QDBusMessage &message)
    {
        const double at = nowMs();
        if (message.member() == QLatin1String("Started") && sendModeOnStarted)
            command(QStringLiteral("SetNormalMode"), {QStringLiteral("wired")});
        m_events.append({(message.member() + QLatin1Char(' ') + message.arguments().value(0).toString()).trimmed(), at});
    }

private:
    QList<QPair<QString, double>> m_events;
};

QProcess *startProcess(const QString &program, const QStringList &arguments,
                       const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    auto *process = new QProcess;
    process->setProcessEnvironment(environment);
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->start(program, arguments);
    process->waitForStarted();
    return process;
}

void stopProcess(QProcess *process)
{
    process->terminate();
    if (!process->waitForFinished(10000)) {
        process->kill();
        process->waitForFinished(10000);
    }
    delete process;
}

bool busNameGone()
{
    return waitUntil([] { return !QDBusConnection::systemBus().interface()->isServiceRegistered(Service); });
}

bool hasIpv4(const NetlinkWatcher &watcher)
{
    const QList<NetlinkAddress> addresses = watcher.addresses("eth0");
    return std::any_of(addresses.cbegin(), addresses.cend(), [](const NetlinkAddress &a) { return a.ipv4; });
}

void resetEth0()
{
    device({"ip", "link", "set", "eth0", "down"});
    device({"ip", "addr", "flush", "dev", "eth0"});
}

// (a) Until the helper script has printed a whole lease; the link is up beforehand.
double bareLease()
{
    QProcess udhcpc;
    QByteArray output;
    const double start = nowMs();
    udhcpc.start(Udhcpc::Program, Udhcpc::arguments(InterfaceName(QStringLiteral("eth0")), QHostInfo::localHostName()));
    const bool leased = waitUntil([&] {
        output += udhcpc.readAllStandardOutput();
        return output.contains("KIVD_FINISHED");
    });
    const double elapsed = nowMs() - start;
    udhcpc.terminate();
    udhcpc.waitForFinished(Udhcpc::StopTimeoutMs);
    return leased ? elapsed : -1;
}

// (b) On a running kivd in off mode; back to off mode afterwards, with eth0 down again. The kernel
// reports a link's operational state at most about once a second, so a link set up right after it
// went down is reported running late; settleMs keeps the link down that long first.
double modeToConnected(KivdObserver &observer, int settleMs)
{
    QThread::msleep(settleMs);
    const double start = nowMs();
    observer.command(QStringLiteral("SetNormalMode"), {QStringLiteral("wired")});
    if (!observer.awaitEvent(QStringLiteral("Connected eth0"), start))
        return -1;
    const double elapsed = observer.timeOf(QStringLiteral("Connected eth0"), start) - start;
    const double off = nowMs();
    observer.command(QStringLiteral("SetOffMode"));
    observer.awaitEvent(QStringLiteral("Disconnected eth0"), off);
    waitUntil([] { return QNetworkInterface::interfaceFromName(QStringLiteral("eth0")).addressEntries().isEmpty(); });
    return elapsed;
}

// (c) From the process start; the daemon is left running.
double startToConnected(KivdObserver &observer, const QString &kivd, QProcess **process)
{
    observer.sendModeOnStarted = true;
    const double start = nowMs();
    *process = startProcess(kivd, {});
    const bool connected = observer.awaitEvent(QStringLiteral("Connected eth0"), start);
    observer.sendModeOnStarted = false;
    return connected ? observer.timeOf(QStringLiteral("Connected eth0"), start) - start : -1;
}

// (d) connmand on a bus of its own (its policy allows it the ConnMan name), fresh state each time.
double connmanToAddress(const NetlinkWatcher &watcher, const QString &busAddress)
{
    resetEth0();
    QDir(QStringLiteral("/var/lib/connman")).removeRecursively();
    waitUntil([&] { return !hasIpv4(watcher); });
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
    const double start = nowMs();
    QProcess *connman = startProcess(QStringLiteral("connmand"), {"-n", "-r", "-i", "eth0"}, environment);
    const bool addressed = waitUntil([&] { return hasIpv4(watcher); });
    const double elapsed = nowMs() - start;
    stopProcess(connman);
    resetEth0();
    return addressed ? elapsed : -1;
}

QProcess *startConnmanBus(const QString &directory, QString *address)
{
    const QString config = directory + QStringLiteral("/bus.conf");
    QFile file(config);
    file.open(QIODevice::WriteOnly);
    file.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                              "<busconfig><type>system</type><listen>unix:path=%1/bus</listen>\n"
                              "<auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/>"
                              "<allow own=\"*\"/><allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
                              "</policy></busconfig>\n")
                   .arg(directory)
                   .toUtf8());
    file.close();
    *address = QStringLiteral("unix:path=") + directory + QStringLiteral("/bus");
    QProcess *bus = startProcess(QStringLiteral("dbus-daemon"), {"--nofork", "--config-file=" + config});
    waitUntil([&] { return QFile::exists(directory + QStringLiteral("/bus")); });
    return bus;
}

struct Idle
{
    qint64 voluntary = 0;
    qint64 involuntary = 0;
    qint64 rssKb = 0;
    qint64 pssKb = 0;
    qint64 privateDirtyKb = 0;
};

// Context switches summed over every thread of the process.
Idle sample(qint64 pid)
{
    Idle idle;
    const QString base = QStringLiteral("/proc/%1").arg(pid);
    for (const QString &task : QDir(base + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray status = ProcSample::read(base + QStringLiteral("/task/") + task + QStringLiteral("/status"));
        idle.voluntary += ProcSample::field(status, "voluntary_ctxt_switches");
        idle.involuntary += ProcSample::field(status, "nonvoluntary_ctxt_switches");
    }
    idle.rssKb = ProcSample::field(ProcSample::read(base + QStringLiteral("/status")), "VmRSS");
    const QByteArray rollup = ProcSample::read(base + QStringLiteral("/smaps_rollup"));
    idle.pssKb = ProcSample::field(rollup, "Pss");
    idle.privateDirtyKb = ProcSample::field(rollup, "Private_Dirty");
    return idle;
}

struct Figures
{
    double median = -1;
    double min = -1;
    double max = -1;
    int runs = 0;
};

Figures figures(QVector<double> samples)
{
    Figures result;
    samples.erase(std::remove(samples.begin(), samples.end(), -1.0), samples.end());
    if (samples.isEmpty())
        return result;
    std::sort(samples.begin(), samples.end());
    const int n = samples.size();
    result.median = n % 2 ? samples.at(n / 2) : (samples.at(n / 2 - 1) + samples.at(n / 2)) / 2;
    result.min = samples.constFirst();
    result.max = samples.constLast();
    result.runs = n;
    return result;
}

void row(const char *name, const Figures &f)
{
    std::printf("| %-52s | %4d | %9.1f | %9.1f | %9.1f |\n", name, f.runs, f.median, f.min, f.max);
}

void quiet(QtMsgType, const QMessageLogContext &, const QString &)
{
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const std::string refusal = SandboxEnv::deviceRefusal();
    if (!refusal.empty() || argc < 2) {
        std::fprintf(stderr, "manager_connect: refusing to run: %s (use bench/manager_connect.sh)\n",
                     refusal.empty() ? "no kivd given" : refusal.c_str());
        return 2;
    }
    const QString kivd = QString::fromLocal8Bit(argv[1]);
    qInstallMessageHandler(quiet);
    g_clock.start();
    NetlinkWatcher watcher;
    KivdObserver observer;
    QVector<double> bare, mode, quickMode, start, connman;

    std::fprintf(stderr, "(a) bare udhcpc...\n");
    device({"ip", "link", "set", "eth0", "up"});
    waitUntil([] { return QNetworkInterface::interfaceFromName("eth0").flags().testFlag(QNetworkInterface::IsRunning); });
    for (int round = 0; round < Rounds; ++round)
        bare << bareLease();
    resetEth0();

    std::fprintf(stderr, "(b) SetNormalMode on a running kivd...\n");
    const double launched = nowMs();
    QProcess *daemon = startProcess(kivd, {});
    observer.awaitEvent(QStringLiteral("Started"), launched);
    for (int round = 0; round < Rounds; ++round) {
        mode << modeToConnected(observer, 1500);
        quickMode << modeToConnected(observer, 0);
    }
    stopProcess(daemon);
    busNameGone();

    std::fprintf(stderr, "(c) kivd start with the mode sent on Started...\n");
    for (int round = 0; round < Rounds; ++round) {
        start << startToConnected(observer, kivd, &daemon);
        if (round + 1 < Rounds) {
            stopProcess(daemon);
            busNameGone();
        }
    }

    std::fprintf(stderr, "(e) the connected kivd idle for %d s...\n", IdleMs / 1000);
    QThread::msleep(6000);
    const qint64 pid = daemon->processId();
    const Idle before = sample(pid);
    QThread::msleep(IdleMs);
    const Idle after = sample(pid);
    std::printf("largest Private_Dirty mappings of the idle kivd (kB):\n");
    QList<QPair<qint64, QByteArray>> dirty;
    QByteArray mapping;
    for (const QByteArray &line : ProcSample::read(QStringLiteral("/proc/%1/smaps").arg(pid)).split('\n')) {
        if (QRegularExpression(QStringLiteral("^[0-9a-f]+-[0-9a-f]+ ")).match(QString::fromLatin1(line)).hasMatch())
            mapping = line;
        if (line.startsWith("Private_Dirty:"))
            dirty.append({line.mid(14).trimmed().split(' ').first().toLongLong(), mapping});
    }
    std::sort(dirty.begin(), dirty.end(), [](const auto &x, const auto &y) { return x.first > y.first; });
    for (const auto &entry : dirty.mid(0, 8))
        std::printf("  %6lld  %s\n", entry.first, entry.second.simplified().constData());
    stopProcess(daemon);
    busNameGone();
    device({"killall", "-q", "udhcpc"});

    std::fprintf(stderr, "(d) connmand...\n");
    QTemporaryDir busDirectory;
    QString busAddress;
    QProcess *connmanBus = startConnmanBus(busDirectory.path(), &busAddress);
    for (int round = 0; round < Rounds; ++round)
        connman << connmanToAddress(watcher, busAddress);
    stopProcess(connmanBus);

    const Figures a = figures(bare), b = figures(mode), b2 = figures(quickMode), c = figures(start), d = figures(connman);
    std::printf("| %-52s | %4s | %9s | %9s | %9s |\n", "measure (ms)", "runs", "median", "min", "max");
    std::printf("|------------------------------------------------------|------|-----------|-----------|-----------|\n");
    row("(a) bare udhcpc lease on eth0", a);
    row("(b) SetNormalMode(\"wired\") -> Connected(\"eth0\")", b);
    row("(b') the same within 1 s of the link going down", b2);
    row("(c) kivd start -> Connected(\"eth0\"), mode on Started", c);
    row("(d) connmand start -> IPv4 address on eth0", d);
    std::printf("\n(e) idle kivd, %d s after connecting: %lld voluntary and %lld involuntary context switches; "
                "RSS %lld kB, PSS %lld kB, Private_Dirty %lld kB\n",
                IdleMs / 1000, after.voluntary - before.voluntary, after.involuntary - before.involuntary, after.rssKb,
                after.pssKb, after.privateDirtyKb);
    std::printf("\ntargets: (b) <= (a) + 60 ms: %s (%.1f ms over (a)); (c) <= (d): %s; (e) 0 wake-ups: %s, "
                "Private_Dirty <= 1.2 MB: %s\n",
                b.median <= a.median + 60 ? "met" : "missed", b.median - a.median, c.median <= d.median ? "met" : "missed",
                after.voluntary == before.voluntary ? "met" : "missed", after.privateDirtyKb <= 1229 ? "met" : "missed");
    return 0;
}

#include "manager_connect.moc"
