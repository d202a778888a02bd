#include "KivSandbox.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

static QString connectionName(const QString &sandbox)
{
    return QStringLiteral("kiv-sandbox-") + sandbox;
}

QString KivSandbox::toolPath() { return QStringLiteral(KIV_SANDBOX_TOOL); }
QString KivSandbox::kivdPath() { return QStringLiteral(KIV_SANDBOX_KIVD); }
QString KivSandbox::programDir() { return QStringLiteral(KIV_SANDBOX_PROGRAM_DIR); }

KivSandbox::Result KivSandbox::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
    Result result;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return {-1, process.errorString().toUtf8()};
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.output = process.readAll() + (finished ? "" : "\n(timed out)");
    if (finished && process.exitStatus() == QProcess::NormalExit)
        result.exitCode = process.exitCode();
    return result;
}

bool KivSandbox::up(const QStringList &options)
{
    if (isUp())
        return true;
    const Result result = run(toolPath(), QStringList{"up", "--owner", QString::number(QCoreApplication::applicationPid())} + options, 60000);
    const QString name = QString::fromUtf8(result.output).trimmed().section(QLatin1Char('\n'), -1);
    QFile env(QStringLiteral("/run/kiv-sandbox/") + name + QStringLiteral("/env"));
    if (!result.ok() || !env.open(QIODevice::ReadOnly)) {
        m_lastError = QString::fromUtf8(result.output);
        return false;
    }
    m_name = name;
    m_dir = QStringLiteral("/run/kiv-sandbox/") + name;
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
    for (const QPointer<QProcess> &process : qAsConst(m_processes))
        stop(process, 2000);
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
    static const char *const variables[] = {"SB_NS_DEVICE", "SB_NS_WIRED", "SB_NS_WIFI", "SB_NS_STATION"};
    return m_env.value(QLatin1String(variables[static_cast<int>(ns)]));
}

QDBusConnection KivSandbox::bus()
{
    return QDBusConnection::connectToBus(m_env.value(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS")), connectionName(m_name));
}

QString KivSandbox::hostPath(const QString &devicePath) const
{
    if (isUp() && devicePath.startsWith(QLatin1String("/tmp/")))
        return m_dir + devicePath;
    if (isUp() && devicePath == QLatin1String("/etc/resolv.conf"))
        return m_dir + QStringLiteral("/resolv.conf");
    return {};
}

QProcess *KivSandbox::start(const QString &program, const QStringList &arguments, const QString &busName, int timeoutMs)
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
    if (busName.isEmpty() || tool(QStringLiteral("wait-name"), {busName, QString::number((timeoutMs + 999) / 1000)}, timeoutMs + 5000).ok())
        return process;
    m_lastError = busName + QStringLiteral(" did not appear; ") + program + QStringLiteral(" said: ") + QString::fromUtf8(process->readAll());
    stop(process, 2000);
    return nullptr;
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
    return run(QStringLiteral(KIV_SANDBOX_NS), QStringList{QStringLiteral("enter"), m_dir, QStringLiteral("--")} + command, timeoutMs);
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
