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

void forwardOutput(QProcess *process)
{
    const QByteArray output = process->readAll();
    std::fwrite(output.constData(), 1, std::size_t(output.size()), stdout);
    std::fflush(stdout);
}

int runOnMachine(int argc, char **argv, const Setup &setup)
{
    KivSandbox sandbox;
    if (!sandbox.up(setup.upOptions)) {
        std::fprintf(stderr, "%s: cannot create a sandbox: %s\n", argv[0], qPrintable(sandbox.lastError()));
        return 1;
    }
    if (setup.prepare && !setup.prepare(sandbox)) {
        std::fprintf(stderr, "%s: cannot prepare sandbox %s: %s\n", argv[0], qPrintable(sandbox.name()),
                     qPrintable(sandbox.lastError()));
        return 1;
    }
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    qputenv(SandboxVariable, sandbox.name().toUtf8());
    QProcess *run = sandbox.start(QCoreApplication::applicationFilePath(), arguments);
    qunsetenv(SandboxVariable);
    if (!run) {
        std::fprintf(stderr, "%s: cannot start inside sandbox %s: %s\n", argv[0], qPrintable(sandbox.name()),
                     qPrintable(sandbox.lastError()));
        return 1;
    }
    QObject::connect(run, &QProcess::readyRead, [run] { forwardOutput(run); });
    QEventLoop loop;
    QObject::connect(run, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop, &QEventLoop::quit);
    if (run->state() != QProcess::NotRunning)
        loop.exec();
    forwardOutput(run);
    int code = run->exitCode();
    if (run->exitStatus() != QProcess::NormalExit) {
        std::fprintf(stderr, "%s: crashed inside sandbox %s\n", argv[0], qPrintable(sandbox.name()));
        code = 1;
    }
    if (!sandbox.down()) {
        std::fprintf(stderr, "%s: removing the sandbox failed: %s\n", argv[0], qPrintable(sandbox.lastError()));
        code = code ? code : 1;
    }
    return code;
}

int runInDevice(int argc, char **argv, const std::function<int(int, char **)> &runTests)
{
    QString refusal = QString::fromStdString(SandboxEnv::deviceRefusal());
    const QString expected = QStringLiteral("/run/kiv-sandbox/") + qEnvironmentVariable(SandboxVariable);
    if (refusal.isEmpty() && sandboxDir() != expected)
        refusal = QStringLiteral("not in the device of ") + expected;
    if (!refusal.isEmpty()) {
        std::fprintf(stderr, "%s: refusing to run: %s\n", argv[0], qPrintable(refusal));
        return 1;
    }
    return runTests(argc, argv);
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
