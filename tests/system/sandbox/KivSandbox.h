#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QPointer>
#include <QProcess>
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

    explicit KivSandbox(QObject *parent = nullptr) : QObject(parent) {}
    ~KivSandbox() override { down(); }

    // Creates the sandbox; options are those of "kiv-sandbox up" (for example "--no-dhcp").
    bool up(const QStringList &options = {});
    bool down();
    bool isUp() const { return !m_name.isEmpty(); }
    QString lastError() const { return m_lastError; }

    QString name() const { return m_name; }
    QString dir() const { return isUp() ? QStringLiteral("/run/kiv-sandbox/") + m_name : QString(); }
    QString netns(Namespace ns) const;
    // The private system bus, as seen from the test process.
    QDBusConnection bus();
    // Where a file of the device's /tmp or its /etc/resolv.conf lives on the host; empty otherwise.
    QString hostPath(const QString &devicePath) const;

    // Starts a program inside the device; the sandbox owns the process and stops it at down().
    // With a busName, waits until it is owned on the sandbox bus; nullptr (process stopped) when not.
    QProcess *start(const QString &program, const QStringList &arguments = {}, const QString &busName = {},
                    int timeoutMs = 10000);
    // Starts this build's kivd inside the device and waits for "com.tarvel.kiv" on the sandbox bus.
    QProcess *startKivd(const QStringList &arguments = {}, int timeoutMs = 10000)
    {
        return start(kivdPath(), arguments, QStringLiteral("com.tarvel.kiv"), timeoutMs);
    }
    // SIGTERM, then SIGKILL after timeoutMs; true when the process ended after SIGTERM.
    bool stop(QProcess *process, int timeoutMs = 10000);

    // Runs a command to its end inside the device.
    Result exec(const QStringList &command, int timeoutMs = 30000);
    // Runs "kiv-sandbox <command> <name> <arguments...>".
    Result tool(const QString &command, const QStringList &arguments = {}, int timeoutMs = 30000);

    bool plug(const QString &interface = QStringLiteral("eth0")) { return tool(QStringLiteral("plug"), {interface}).ok(); }
    bool unplug(const QString &interface = QStringLiteral("eth0")) { return tool(QStringLiteral("unplug"), {interface}).ok(); }
    // Changes what the LAN's dnsmasq hands out ("kiv-sandbox lan" options) and restarts it.
    bool configureLan(Namespace lan, const QStringList &options)
    {
        return tool(QStringLiteral("lan"), QStringList{lan == Namespace::WiredLan ? "wired" : "wifi"} + options).ok();
    }
    // The sandbox's station joins or leaves the access point on uap0; returns its MAC or empty.
    QString stationJoin() { return station(QStringLiteral("join")); }
    QString stationLeave() { return station(QStringLiteral("leave")); }
    // Runs this build's simulated wpa_supplicant in the device under the name wpa_supplicant and
    // waits for its bus name.
    bool startSupplicant(const QString &scenarioFile, const QStringList &arguments = {})
    {
        return tool(QStringLiteral("start-supplicant"), QStringList{scenarioFile, "--"} + arguments, 60000).ok();
    }

    static QString toolPath();
    static QString kivdPath();
    // Directory of the sandbox's programs: kiv-sandbox-ns and the doubles.
    static QString programDir();
    static Result run(const QString &program, const QStringList &arguments, int timeoutMs = 30000);
    // A whole file as the test process sees it, empty when it cannot be read.
    static QByteArray readFile(const QString &path);
    // Replaces a file's content; false when it cannot be written completely.
    static bool writeFile(const QString &path, const QByteArray &content);

private:
    QString station(const QString &action)
    {
        const Result result = tool(QStringLiteral("station"), {action});
        return result.ok() ? QString::fromUtf8(result.output).trimmed() : QString();
    }

    QString m_name;
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
