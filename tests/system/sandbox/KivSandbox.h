#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QString>
#include <QStringList>

// One throwaway simulated device for a system test, driven through the kiv-sandbox tool
// (doc/sandbox.md). Programs started with start() run inside the device: its own network, mount,
// PID and UTS namespaces, with DBUS_SYSTEM_BUS_ADDRESS pointing at the sandbox's private bus.
// The destructor tears everything down; a guard does the same if the test process is killed.
class KivSandbox : public QObject
{
    Q_OBJECT

public:
    enum class Namespace { Device, WiredLan, WirelessLan, Station };

    struct Result
    {
        int exitCode = -1; // -1: could not start, crashed or timed out
        QByteArray output; // standard output and standard error, merged
        bool ok() const { return exitCode == 0; }
    };

    explicit KivSandbox(QObject *parent = nullptr);
    ~KivSandbox() override;

    // Creates the sandbox; options are those of "kiv-sandbox up" (for example "--no-dhcp").
    bool up(const QStringList &options = {});
    bool down();
    bool isUp() const { return !m_name.isEmpty(); }
    QString lastError() const { return m_lastError; }

    QString name() const { return m_name; }
    QString dir() const { return m_dir; }
    QString netns(Namespace ns) const;
    QString busAddress() const;
    // The private system bus, as seen from the test process.
    QDBusConnection bus();
    // Where a file of the device's /tmp, /etc/resolv.conf or /sys/module lives on the host; empty otherwise.
    QString hostPath(const QString &devicePath) const;

    // Starts a program inside the device; the sandbox owns the process and stops it at down().
    QProcess *start(const QString &program, const QStringList &arguments = {});
    // start() and waitForBusName(); nullptr (process stopped) when the name does not appear.
    QProcess *startAndWaitForBusName(const QString &program, const QStringList &arguments, const QString &busName,
                                     int timeoutMs = 10000);
    // Waits for an owner of busName on the sandbox bus; gives up early when process ends.
    bool waitForBusName(const QString &busName, int timeoutMs = 10000, QProcess *process = nullptr);
    // Starts this build's kivd inside the device and waits for "com.tarvel.kiv" on the sandbox bus.
    QProcess *startKivd(const QStringList &arguments = {}, int timeoutMs = 10000);
    // SIGTERM, then SIGKILL after timeoutMs; true when the process ended after SIGTERM.
    bool stop(QProcess *process, int timeoutMs = 10000);

    // Runs a command to its end inside the device, or inside one of the peer namespaces.
    Result exec(const QStringList &command, int timeoutMs = 30000);
    Result execIn(Namespace ns, const QStringList &command, int timeoutMs = 30000);
    // Runs "kiv-sandbox <command> <name> <arguments...>".
    Result tool(const QString &command, const QStringList &arguments = {}, int timeoutMs = 30000);

    bool plug(const QString &interface = QStringLiteral("eth0"));
    bool unplug(const QString &interface = QStringLiteral("eth0"));
    // Changes what the LAN's dnsmasq hands out ("kiv-sandbox lan" options) and restarts it.
    bool configureLan(Namespace lan, const QStringList &options);
    // The sandbox's station joins or leaves the access point on apInterface; returns its MAC or empty.
    QString stationJoin(const QString &apInterface = QStringLiteral("uap0"), const QString &mac = {});
    QString stationLeave(const QString &apInterface = QStringLiteral("uap0"), const QString &mac = {});
    // A driver parameter file at /sys/module/<path> in the device, e.g. "mwifiex/parameters/drcs".
    bool setModuleParameter(const QString &path, const QString &value);
    // Runs the simulated wpa_supplicant (this build's tools/kiv-sim-supplicant unless program is
    // given) in the device under the name wpa_supplicant and waits for its bus name.
    bool startSupplicant(const QString &scenarioFile, const QStringList &arguments = {}, const QString &program = {});

    static QString toolPath();
    static QString kivdPath();
    // Directory of the sandbox's programs (kiv-bus-probe, the doubles) and of its scripts.
    static QString programDir();
    static QString scriptDir();
    static Result run(const QString &program, const QStringList &arguments, int timeoutMs = 30000);

private:
    QString stationCommand(const QString &action, const QString &apInterface, const QString &mac);

    QString m_name;
    QString m_dir;
    QString m_lastError;
    QHash<QString, QString> m_env;
    QList<QPointer<QProcess>> m_processes;
};

// Moves the calling thread into a network namespace for its lifetime. Sockets opened meanwhile
// (netlink, udev monitors) stay in that namespace after the scope ends.
class NetnsScope
{
public:
    explicit NetnsScope(const QString &netnsName);
    ~NetnsScope();
    NetnsScope(const NetnsScope &) = delete;
    NetnsScope &operator=(const NetnsScope &) = delete;
    bool isActive() const { return m_active; }

private:
    int m_saved = -1;
    bool m_active = false;
};
