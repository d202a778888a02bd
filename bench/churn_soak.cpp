// Churn soak of the daemon inside a sandbox device (started by churn_soak.sh), with the simulated
// supplicant: cable flaps, mode changes, soft-AP start/stop pairs and WirelessNetworks writes.
// Open descriptors, child processes (zombies included) and RSS are sampled in the same state, wired
// mode connected, after a warm-up round and at the end; the exit code is non-zero when any of them
// grew (RSS by 1 MB or more) or the daemon does not connect at the end.

#include "ProcSample.h"
#include "SandboxEnv.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <cstdio>
#include <functional>

namespace {

const QString Service = QStringLiteral("com.tarvel.kiv");
const QString Path = QStringLiteral("/com/tarvel/kiv");
constexpr int ConnectTimeoutMs = 60000;

const QByteArray Scenario = R"({
  "interfaces": ["wlan0"],
  "timing": {"stepMs": 20, "scanMs": 100, "rescanMs": 1000},
  "accessPoints": [{"ssid": "Home", "bssid": "02:00:00:00:01:01", "signal": -45, "frequency": 2437},
                   {"ssid": "Cafe", "bssid": "02:00:00:00:01:02", "security": "wpa-psk", "key": "secret123"}]
})";

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer limit;
    limit.start();
    while (!condition()) {
        if (limit.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

void pause(int ms)
{
    waitUntil([] { return false; }, ms);
}

// Drives the daemon over the device's system bus and counts the signals it sends.
class Driver : public QObject
{
    Q_OBJECT
public:
    Driver()
    {
        for (const char *signal : {"Started", "Connected", "Disconnected"})
            QDBusConnection::systemBus().connect(QString(), Path, Service, QLatin1String(signal), this,
                                                 SLOT(record(QDBusMessage)));
    }

    bool call(const QString &member, const QVariantList &arguments = {}, const QString &interface = Service)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, interface, member);
        message.setArguments(arguments);
        return QDBusConnection::systemBus().call(message, QDBus::Block, 30000).type() == QDBusMessage::ReplyMessage;
    }
    bool setNetworks(const QVariantMap &networks)
    {
        return call(QStringLiteral("Set"), {Service, QStringLiteral("WirelessNetworks"), QVariant::fromValue(QDBusVariant(networks))},
                    QStringLiteral("org.freedesktop.DBus.Properties"));
    }
    bool connected()
    {
        QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                              QStringLiteral("Get"));
        message.setArguments({Service, QStringLiteral("Connected")});
        const QDBusMessage reply = QDBusConnection::systemBus().call(message, QDBus::Block, 30000);
        return reply.arguments().value(0).value<QDBusVariant>().variant().toBool();
    }
    int mark() const { return m_events.size(); }
    bool awaitEvent(const QString &event, int since, int timeoutMs = ConnectTimeoutMs)
    {
        return waitUntil([&] { return m_events.indexOf(event, since) >= 0; }, timeoutMs);
    }

public slots:
    void record(const QDBusMessage &message)
    {
        m_events << (message.member() + QLatin1Char(' ') + message.arguments().value(0).toString()).trimmed();
    }

private:
    QStringList m_events;
};

struct Sample
{
    int descriptors = 0;
    int children = 0;
    qint64 rssKb = 0;
};

Sample sample(qint64 pid)
{
    return {ProcSample::openDescriptors(pid), ProcSample::children(pid),
            ProcSample::field(ProcSample::read(QStringLiteral("/proc/%1/status").arg(pid)), "VmRSS")};
}

class Soak
{
public:
    Soak(Driver &driver, const QString &wiredNamespace) : m_driver(driver), m_wiredNamespace(wiredNamespace) {}

    void cable(bool in)
    {
        QProcess::execute(QStringLiteral("ip"), {"-n", m_wiredNamespace, "link", "set", "lan0", in ? "up" : "down"});
    }

    // Wired mode with the cable in, connected; the state in which the samples are taken.
    bool settleWired()
    {
        const int since = m_driver.mark();
        cable(true);
        m_driver.call(QStringLiteral("SetNormalMode"), {QStringLiteral("wired")});
        const bool connected = m_driver.awaitEvent(QStringLiteral("Connected eth0"), since) || m_driver.connected();
        pause(5000);
        return connected;
    }

    void flaps(int count)
    {
        m_driver.call(QStringLiteral("SetNormalMode"), {QStringLiteral("wired")});
        for (int i = 1; i <= count; ++i) {
            cable(false);
            pause(30);
            const int since = m_driver.mark();
            cable(true);
            pause(30);
            if (i % 100 == 0 && !m_driver.awaitEvent(QStringLiteral("Connected eth0"), since))
                ++stalls;
        }
    }

    void modes(int count)
    {
        const QStringList cycle{"wired", "wireless", "hybrid", "automatic", "off"};
        for (int i = 0; i < count; ++i) {
            const QString mode = cycle.at(i % cycle.size());
            if (mode == QLatin1String("off"))
                m_driver.call(QStringLiteral("SetOffMode"));
            else
                m_driver.call(QStringLiteral("SetNormalMode"), {mode});
            pause(150);
        }
    }

    void softAps(int count)
    {
        m_driver.call(QStringLiteral("SetNormalMode"), {QStringLiteral("wireless")});
        const QVariantMap settings{{"ssid", "KivSoak"}, {"channel", 6}, {"domainName", "kiv.soak"}};
        for (int i = 0; i < count; ++i) {
            int since = m_driver.mark();
            m_driver.call(QStringLiteral("StartSoftAp"), {QStringLiteral("uap0"), settings});
            if (!m_driver.awaitEvent(QStringLiteral("Connected uap0"), since, 15000))
                ++softApFailures;
            since = m_driver.mark();
            m_driver.call(QStringLiteral("StopSoftAp"), {QStringLiteral("uap0")});
            if (!m_driver.awaitEvent(QStringLiteral("Disconnected uap0"), since, 15000))
                ++softApFailures;
        }
    }

    void networkWrites(int count)
    {
        m_driver.call(QStringLiteral("SetNormalMode"), {QStringLiteral("wireless")});
        const QVariantMap home{{"Home", QVariantMap{{"unsecured", true}}}};
        const QVariantMap both{{"Home", QVariantMap{{"unsecured", true}}}, {"Cafe", QVariantMap{{"wpa_psk", "secret123"}}}};
        for (int i = 0; i < count; ++i) {
            m_driver.setNetworks(i % 2 ? both : home);
            pause(100);
        }
    }

    void round(int flapCount, int modeCount, int softApCount, int writeCount)
    {
        QElapsedTimer timer;
        timer.start();
        flaps(flapCount);
        std::fprintf(stderr, "  %d cable flaps: %lld s\n", flapCount, timer.restart() / 1000);
        modes(modeCount);
        std::fprintf(stderr, "  %d mode changes: %lld s\n", modeCount, timer.restart() / 1000);
        softAps(softApCount);
        std::fprintf(stderr, "  %d soft-AP start/stop pairs: %lld s\n", softApCount, timer.restart() / 1000);
        networkWrites(writeCount);
        std::fprintf(stderr, "  %d WirelessNetworks writes: %lld s\n", writeCount, timer.restart() / 1000);
    }

    int stalls = 0;
    int softApFailures = 0;

private:
    Driver &m_driver;
    QString m_wiredNamespace;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    const std::string refusal = SandboxEnv::deviceRefusal();
    if (!refusal.empty() || argc < 4) {
        std::fprintf(stderr, "churn_soak: refusing to run: %s (use bench/churn_soak.sh)\n",
                     refusal.empty() ? "usage: churn_soak KIVD SIM-SUPPLICANT WIRED-NAMESPACE" : refusal.c_str());
        return 2;
    }
    QFile scenario(QStringLiteral("/tmp/soak-scenario.json"));
    if (!scenario.open(QIODevice::WriteOnly) || scenario.write(Scenario) != Scenario.size())
        return 2;
    scenario.close();

    Driver driver;
    QProcess supplicant;
    supplicant.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    supplicant.setStandardOutputFile(QProcess::nullDevice());
    supplicant.start(QString::fromLocal8Bit(argv[2]), {"--scenario", scenario.fileName()});
    QProcess kivd;
    kivd.setStandardOutputFile(QStringLiteral("/tmp/kivd-soak.log"));
    kivd.setStandardErrorFile(QStringLiteral("/tmp/kivd-soak.log"), QIODevice::Append);
    pause(1000);
    int since = driver.mark();
    kivd.start(QString::fromLocal8Bit(argv[1]), QStringList());
    if (!driver.awaitEvent(QStringLiteral("Started"), since, 20000)) {
        std::fprintf(stderr, "churn_soak: the daemon did not start\n");
        return 1;
    }
    QProcess::execute(QStringLiteral("ip"), {"link", "set", "wlan0", "up"});
    driver.setNetworks({{"Home", QVariantMap{{"unsecured", true}}}});
    Soak soak(driver, QString::fromLocal8Bit(argv[3]));
    const qint64 pid = kivd.processId();

    std::fprintf(stderr, "warm-up round:\n");
    soak.round(10, 10, 3, 4);
    const bool warmConnected = soak.settleWired();
    const Sample warm = sample(pid);
    std::fprintf(stderr, "soak:\n");
    soak.round(1000, 300, 100, 100);
    const bool connected = soak.settleWired();
    const Sample end = sample(pid);

    std::printf("| %-22s | %9s | %9s |\n", "kivd", "warm-up", "end");
    std::printf("|------------------------|-----------|-----------|\n");
    std::printf("| %-22s | %9d | %9d |\n", "open descriptors", warm.descriptors, end.descriptors);
    std::printf("| %-22s | %9d | %9d |\n", "child processes", warm.children, end.children);
    std::printf("| %-22s | %9lld | %9lld |\n", "RSS (kB)", warm.rssKb, end.rssKb);
    std::printf("connected after warm-up: %s, at the end: %s; wired stalls during flaps: %d; soft-AP timeouts: %d\n",
                warmConnected ? "yes" : "no", connected ? "yes" : "no", soak.stalls, soak.softApFailures);
    const bool met = connected && end.descriptors <= warm.descriptors && end.children <= warm.children
                     && end.rssKb - warm.rssKb < 1024;
    std::printf("targets: %s\n", met ? "met" : "missed");

    kivd.terminate();
    kivd.waitForFinished(15000);
    supplicant.terminate();
    supplicant.waitForFinished(5000);
    return met ? 0 : 1;
}

#include "churn_soak.moc"
