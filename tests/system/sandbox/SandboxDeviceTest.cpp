#include "SandboxDeviceTest.h"

#include "SandboxEnv.h"

#include <QCoreApplication>
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

int runOnMachine(char **argv, const Setup &setup)
{
    KivSandbox sandbox;
    if (!sandbox.up(setup.upOptions))
        return fail(argv[0], "cannot create a sandbox", sandbox);
    if (setup.prepare && !setup.prepare(sandbox))
        return fail(argv[0], "cannot prepare sandbox", sandbox);
    // The run inside writes straight to this program's output.
    QProcess run;
    run.setProcessChannelMode(QProcess::ForwardedChannels);
    qputenv(SandboxVariable, sandbox.name().toUtf8());
    run.start(KivSandbox::programDir() + QStringLiteral("/kiv-sandbox-ns"),
              QStringList{"enter", sandbox.dir(), "--", QCoreApplication::applicationFilePath()} + QCoreApplication::arguments().mid(1));
    qunsetenv(SandboxVariable);
    if (!run.waitForStarted(10000))
        return fail(argv[0], "cannot start inside sandbox", sandbox);
    run.waitForFinished(-1);
    if (run.exitStatus() != QProcess::NormalExit)
        return fail(argv[0], "crashed inside sandbox", sandbox);
    return sandbox.down() ? run.exitCode() : fail(argv[0], "removing the sandbox failed", sandbox);
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
    return runOnMachine(argv, setup);
}

QString sandboxDir() { return QString::fromStdString(SandboxEnv::deviceDirectory()); }

// Outside a device the sandbox name is empty, which the tool refuses.
KivSandbox::Result tool(const QString &command, const QStringList &arguments)
{
    return KivSandbox::run(KivSandbox::toolPath(), QStringList{command, QFileInfo(sandboxDir()).fileName()} + arguments);
}

bool plug(const QString &interface) { return tool(QStringLiteral("plug"), {interface}).ok(); }
bool unplug(const QString &interface) { return tool(QStringLiteral("unplug"), {interface}).ok(); }

} // namespace SandboxDeviceTest
