#include "KivSandbox.h"

#include <QCoreApplication>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

static QString connectionName(const QString &sandbox)
{
    return QStringLiteral("kiv-sandbox-") + sandbox;
}

KivSandbox::KivSandbox(QObject *parent)
    : QObject(parent)
{
}

KivSandbox::~KivSandbox()
{
    down();
}

QString KivSandbox::toolPath()
{
    return QStringLiteral(KIV_SANDBOX_TOOL);
}

QString KivSandbox::kivdPath()
{
    return QStringLiteral(KIV_SANDBOX_KIVD);
}

QString KivSandbox::programDir()
{
    return QStringLiteral(KIV_SANDBOX_PROGRAM_DIR);
}

QString KivSandbox::scriptDir()
{
    return QStringLiteral(KIV_SANDBOX_SCRIPT_DIR);
}

KivSandbox::Result KivSandbox::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    Result result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(10000)) {
        result.output = process.errorString().toUtf8();
        return result;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        result.output = process.readAll() + "\n(timed out)";
        return result;
    }
    result.output = process.readAll();
    if (process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

bool KivSandbox::up(const QStringList &options)
{
    if (isUp())
        return true;
    QProcess process;
    process.start(toolPath(),
                  QStringList{QStringLiteral("up"), QStringLiteral("--owner"), QString::number(QCoreApplication::applicationPid())}
                      + options);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        process.kill();
        process.waitForFinished();
        m_lastError = QString::fromUtf8(process.readAllStandardError());
        return false;
    }
    const QString name = QString::fromUtf8(process.readAllStandardOutput()).trimmed().section(QLatin1Char('\n'), -1);
    const QString dir = QStringLiteral("/run/kiv-sandbox/") + name;
    QFile env(dir + QStringLiteral("/env"));
    if (!env.open(QIODevice::ReadOnly)) {
        m_lastError = QStringLiteral("sandbox ") + name + QStringLiteral(" has no env file");
        return false;
    }
    m_name = name;
    m_dir = dir;
    for (const QByteArray &line : env.readAll().split('\n')) {
        const int eq = line.indexOf('=');
        if (eq > 0)
            m_env.insert(QString::fromUtf8(line.left(eq)), QString::fromUtf8(line.mid(eq + 1)));
    }
    return true;
}

bool KivSandbox::down()
{
    if (!isUp())
        return true;
    for (const QPointer<QProcess> &process : qAsConst(m_processes)) {
        if (process && process->state() != QProcess::NotRunning)
            stop(process, 2000);
    }
    m_processes.clear();
    QDBusConnection::disconnectFromBus(connectionName(m_name));
    const Result result = run(toolPath(), {QStringLiteral("down"), m_name}, 60000);
    if (!result.ok())
        m_lastError = QString::fromUtf8(result.output);
    m_name.clear();
    m_dir.clear();
    m_env.clear();
    return result.ok();
}

QString KivSandbox::netns(Namespace ns) const
{
    switch (ns) {
    case Namespace::Device:
        return m_env.value(QStringLiteral("SB_NS_DEVICE"));
    case Namespace::WiredLan:
        return m_env.value(QStringLiteral("SB_NS_WIRED"));
    case Namespace::WirelessLan:
        return m_env.value(QStringLiteral("SB_NS_WIFI"));
    case Namespace::Station:
        return m_env.value(QStringLiteral("SB_NS_STATION"));
    }
    return {};
}

QString KivSandbox::busAddress() const
{
    return m_env.value(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"));
}

QDBusConnection KivSandbox::bus()
{
    return QDBusConnection::connectToBus(busAddress(), connectionName(m_name));
}

QString KivSandbox::hostPath(const QString &devicePath) const
{
    if (!isUp())
        return {};
    if (devicePath.startsWith(QLatin1String("/tmp/")))
        return m_dir + devicePath;
    if (devicePath == QLatin1String("/etc/resolv.conf"))
        return m_dir + QStringLiteral("/resolv.conf");
    if (devicePath.startsWith(QLatin1String("/sys/module/")))
        return m_dir + QStringLiteral("/sysmodule/") + devicePath.mid(12);
    return {};
}

QProcess *KivSandbox::start(const QString &program, const QStringList &arguments)
{
    if (!isUp())
        return nullptr;
    auto *process = new QProcess(this);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(QStringLiteral(KIV_SANDBOX_NS), QStringList{QStringLiteral("enter"), m_dir, QStringLiteral("--"), program} + arguments);
    if (!process->waitForStarted(10000)) {
        m_lastError = process->errorString();
        delete process;
        return nullptr;
    }
    m_processes.append(process);
    return process;
}

QProcess *KivSandbox::startAndWaitForBusName(const QString &program, const QStringList &arguments, const QString &busName,
                                             int timeoutMs)
{
    QProcess *process = start(program, arguments);
    if (!process)
        return nullptr;
    if (waitForBusName(busName, timeoutMs, process))
        return process;
    m_lastError = busName + QStringLiteral(" did not appear; ") + program + QStringLiteral(" said: ")
        + QString::fromUtf8(process->readAll());
    stop(process, 2000);
    return nullptr;
}

QProcess *KivSandbox::startKivd(const QStringList &arguments, int timeoutMs)
{
    return startAndWaitForBusName(kivdPath(), arguments, QStringLiteral("com.tarvel.kiv"), timeoutMs);
}

bool KivSandbox::waitForBusName(const QString &busName, int timeoutMs, QProcess *process)
{
    QDBusConnection connection = bus();
    if (!connection.isConnected()) {
        m_lastError = connection.lastError().message();
        return false;
    }
    QDBusServiceWatcher watcher(busName, connection, QDBusServiceWatcher::WatchForRegistration);
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    connect(&watcher, &QDBusServiceWatcher::serviceRegistered, &loop, &QEventLoop::quit);
    connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (process)
        connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    const auto registered = [&] { return connection.interface()->isServiceRegistered(busName).value(); };
    if (registered())
        return true;
    if (process && process->state() == QProcess::NotRunning)
        return false;
    timer.start(timeoutMs);
    loop.exec();
    return registered();
}

bool KivSandbox::stop(QProcess *process, int timeoutMs)
{
    if (!process || process->state() == QProcess::NotRunning)
        return true;
    process->terminate();
    if (process->waitForFinished(timeoutMs))
        return true;
    process->kill();
    process->waitForFinished(timeoutMs);
    return false;
}

KivSandbox::Result KivSandbox::exec(const QStringList &command, int timeoutMs)
{
    if (!isUp())
        return {};
    return run(QStringLiteral(KIV_SANDBOX_NS), QStringList{QStringLiteral("enter"), m_dir, QStringLiteral("--")} + command,
               timeoutMs);
}

KivSandbox::Result KivSandbox::execIn(Namespace ns, const QStringList &command, int timeoutMs)
{
    if (ns == Namespace::Device)
        return exec(command, timeoutMs);
    if (!isUp())
        return {};
    return run(QStringLiteral("ip"), QStringList{QStringLiteral("netns"), QStringLiteral("exec"), netns(ns)} + command, timeoutMs);
}

KivSandbox::Result KivSandbox::tool(const QString &command, const QStringList &arguments, int timeoutMs)
{
    if (!isUp())
        return {};
    const Result result = run(toolPath(), QStringList{command, m_name} + arguments, timeoutMs);
    if (!result.ok())
        m_lastError = QString::fromUtf8(result.output);
    return result;
}

bool KivSandbox::plug(const QString &interface)
{
    return tool(QStringLiteral("plug"), {interface}).ok();
}

bool KivSandbox::unplug(const QString &interface)
{
    return tool(QStringLiteral("unplug"), {interface}).ok();
}

bool KivSandbox::configureLan(Namespace lan, const QStringList &options)
{
    const QString which = lan == Namespace::WiredLan ? QStringLiteral("wired") : QStringLiteral("wifi");
    return tool(QStringLiteral("lan"), QStringList{which} + options).ok();
}

QString KivSandbox::stationCommand(const QString &action, const QString &apInterface, const QString &mac)
{
    QStringList arguments{action, QStringLiteral("--if"), apInterface};
    if (!mac.isEmpty())
        arguments << QStringLiteral("--mac") << mac;
    const Result result = tool(QStringLiteral("station"), arguments);
    return result.ok() ? QString::fromUtf8(result.output).trimmed() : QString();
}

QString KivSandbox::stationJoin(const QString &apInterface, const QString &mac)
{
    return stationCommand(QStringLiteral("join"), apInterface, mac);
}

QString KivSandbox::stationLeave(const QString &apInterface, const QString &mac)
{
    return stationCommand(QStringLiteral("leave"), apInterface, mac);
}

bool KivSandbox::setModuleParameter(const QString &path, const QString &value)
{
    return tool(QStringLiteral("sysfs"), {path, value}).ok();
}

bool KivSandbox::startSupplicant(const QString &scenarioFile, const QStringList &arguments, const QString &program)
{
    QStringList all{scenarioFile};
    if (!program.isEmpty())
        all << QStringLiteral("--program") << program;
    if (!arguments.isEmpty())
        all << QStringLiteral("--") << arguments;
    return tool(QStringLiteral("start-supplicant"), all, 60000).ok();
}

NetnsScope::NetnsScope(const QString &netnsName)
{
    const int target = open(QByteArray("/run/netns/" + netnsName.toUtf8()).constData(), O_RDONLY | O_CLOEXEC);
    m_saved = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    m_active = target >= 0 && m_saved >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
}

NetnsScope::~NetnsScope()
{
    if (m_active && setns(m_saved, CLONE_NEWNET) != 0)
        qFatal("cannot return to the original network namespace");
    if (m_saved >= 0)
        close(m_saved);
}
