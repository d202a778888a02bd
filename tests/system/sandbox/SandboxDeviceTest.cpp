#include "SandboxDeviceTest.h"

#include "SandboxEnv.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>

#include <cstdio>

namespace SandboxDeviceTest {

namespace {

// Set by the run on the machine for the run inside: the name of the sandbox it created.
const char *const SandboxVariable = "KIV_SANDBOX_DEVICE_TEST";

int fail(const char *program, const char *what, const KivSandbox &sandbox)
{
    std::fprintf(stderr, "%s: %s %s: %s\n", program, what, qPrintable(sandbox.name()), qPrintable(sandbox.lastError()));
    return 1;
}

int runOnMachine(int argc, char **argv, const Setup &setup)
{
    KivSandbox sandbox;
    if (!sandbox.up(setup.upOptions))
        return fail(argv[0], "cannot create a sandbox", sandbox);
    if (setup.prepare && !setup.prepare(sandbox))
        return fail(argv[0], "cannot prepare sandbox", sandbox);
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    qputenv(SandboxVariable, sandbox.name().toUtf8());
    QProcess *run = sandbox.start(QCoreApplication::applicationFilePath(), arguments);
    qunsetenv(SandboxVariable);
    if (!run)
        return fail(argv[0], "cannot start inside sandbox", sandbox);
    const auto forward = [run] {
        const QByteArray output = run->readAll();
        std::fwrite(output.constData(), 1, std::size_t(output.size()), stdout);
        std::fflush(stdout);
    };
    QObject::connect(run, &QProcess::readyRead, forward);
    QEventLoop loop;
    QObject::connect(run, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    if (run->state() != QProcess::NotRunning)
        loop.exec();
    forward();
    const int code = run->exitStatus() == QProcess::NormalExit ? run->exitCode() : fail(argv[0], "crashed inside sandbox", sandbox);
    return sandbox.down() ? code : fail(argv[0], "removing the sandbox failed", sandbox);
}

int runInDevice(int argc, char **argv, const std::function<int(int, char **)> &runTests)
{
    QString refusal = QString::fromStdString(SandboxEnv::deviceRefusal());
    const QString expected = QStringLiteral("/run/kiv-sandbox/") + qEnvironmentVariable(SandboxVariable);
    if (refusal.isEmpty() && sandboxDir() != expected)
        refusal = QStringLiteral("not in the device of ") + expected;
    if (refusal.isEmpty())
        return runTests(argc, argv);
    std::fprintf(stderr, "%s: refusing to run: %s\n", argv[0], qPrintable(refusal));
    return 1;
}

} // namespace

int main(int argc, char **argv, const Setup &setup, const std::function<int(int, char **)> &runTests)
{
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet(SandboxVariable))
        return runInDevice(argc, argv, runTests);
    return runOnMachine(argc, argv, setup);
}

QString sandboxDir()
{
    return QString::fromStdString(SandboxEnv::deviceDirectory());
}

KivSandbox::Result tool(const QString &command, const QStringList &arguments)
{
    const QString dir = sandboxDir();
    if (dir.isEmpty())
        return {};
    return KivSandbox::run(KivSandbox::toolPath(), QStringList{command, QFileInfo(dir).fileName()} + arguments);
}

bool plug(const QString &interface)
{
    return tool(QStringLiteral("plug"), {interface}).ok();
}

bool unplug(const QString &interface)
{
    return tool(QStringLiteral("unplug"), {interface}).ok();
}

} // namespace SandboxDeviceTest
