#include "KivSandbox.h"

#include "SandboxEnv.h"

#include <QCoreApplication>
#include <QFile>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

QString KivSandbox::toolPath() { return QStringLiteral(KIV_SANDBOX_TOOL); }
QString KivSandbox::kivdPath() { return QStringLiteral(KIV_SANDBOX_KIVD); }
QString KivSandbox::programDir() { return QStringLiteral(KIV_SANDBOX_PROGRAM_DIR); }

KivSandbox::Result KivSandbox::run(const QString &program, const QStringList &arguments, int timeoutMs)
{
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
    const bool normal = finished && process.exitStatus() == QProcess::NormalExit;
    return {normal ? process.exitCode() : -1, process.readAll() + (finished ? "" : "\n(timed out)")};
}

QByteArray KivSandbox::readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool KivSandbox::writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

bool KivSandbox::up(const QStringList &options)
{
    if (isUp())
        return true;
    const Result result = run(toolPath(), QStringList{"up", "--owner", QString::number(QCoreApplication::applicationPid())} + options, 60000);
    const QString name = QString::fromUtf8(result.output).trimmed().section(QLatin1Char('\n'), -1);
    std::string error;
    const auto env = SandboxEnv::read("/run/kiv-sandbox/" + name.toStdString() + "/env", &error);
    if (!result.ok() || env.empty()) {
        m_lastError = QString::fromUtf8(result.output);
        return false;
    }
    m_name = name;
    for (const auto &[key, value] : env)
        m_env.insert(QString::fromStdString(key), QString::fromStdString(value));
    return true;
}

bool KivSandbox::down()
{
    if (!isUp())
        return true;
    for (const QPointer<QProcess> &process : qAsConst(m_processes))
        stop(process, 2000);
    m_processes.clear();
    QDBusConnection::disconnectFromBus(QStringLiteral("kiv-sandbox-") + m_name);
    const bool removed = tool(QStringLiteral("down"), {}, 60000).ok();
    m_name.clear();
    m_env.clear();
    return removed;
}

QString KivSandbox::netns(Namespace ns) const
{
    static const char *const variables[] = {"SB_NS_DEVICE", "SB_NS_WIRED", "SB_NS_WIFI", "SB_NS_STATION"};
    return m_env.value(QLatin1String(variables[static_cast<int>(ns)]));
}

QDBusConnection KivSandbox::bus()
{
    return QDBusConnection::connectToBus(m_env.value(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS")), QStringLiteral("kiv-sandbox-") + m_name);
}

QString KivSandbox::hostPath(const QString &devicePath) const
{
    if (isUp() && devicePath.startsWith(QLatin1String("/tmp/")))
        return dir() + devicePath;
    return isUp() && devicePath == QLatin1String("/etc/resolv.conf") ? dir() + QStringLiteral("/resolv.conf") : QString();
}

QProcess *KivSandbox::start(const QString &program, const QStringList &arguments, const QString &busName, int timeoutMs)
{
    if (!isUp())
        return nullptr;
    auto *process = new QProcess(this);
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(QStringLiteral(KIV_SANDBOX_NS), QStringList{QStringLiteral("enter"), dir(), QStringLiteral("--"), program} + arguments);
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

// Neither runs anything without a sandbox: the launcher refuses an empty directory, the tool an empty name.
KivSandbox::Result KivSandbox::exec(const QStringList &command, int timeoutMs)
{
    return run(QStringLiteral(KIV_SANDBOX_NS), QStringList{QStringLiteral("enter"), dir(), QStringLiteral("--")} + command, timeoutMs);
}

KivSandbox::Result KivSandbox::tool(const QString &command, const QStringList &arguments, int timeoutMs)
{
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
