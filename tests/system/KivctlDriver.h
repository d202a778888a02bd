#pragma once

#include "KivSandbox.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QStringList>

// One kivctl run inside a sandbox device: exit status, standard output and standard error
// apart, and the standard output parsed when it is JSON.
struct KivctlRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QJsonDocument json;
};

// Runs this build's kivctl (KIVCTL_BINARY, defined by the test's CMake target) inside a device.
class KivctlDriver
{
public:
    explicit KivctlDriver(KivSandbox &sandbox) : m_sandbox(sandbox) {}

    // Runs kivctl to its end; prefix comes before the program (for example setpriv to drop root).
    KivctlRun run(const QStringList &arguments, const QStringList &prefix = {}, int timeoutMs = 30000)
    {
        const QString errPath = QStringLiteral("/tmp/kivctl.err");
        const KivSandbox::Result result = m_sandbox.exec(redirected(errPath) + prefix + QStringList{KIVCTL_BINARY} + arguments,
                                                         timeoutMs);
        KivctlRun run;
        run.exitCode = result.exitCode;
        run.out = result.output;
        run.err = deviceFile(errPath);
        run.json = QJsonDocument::fromJson(run.out);
        return run;
    }

    // Starts kivctl in the background (for monitor, scan, wps): the process reads its standard
    // output; its standard error goes to the device file errPath.
    QProcess *start(const QStringList &arguments, const QString &errPath)
    {
        const QStringList command = redirected(errPath) + QStringList{KIVCTL_BINARY} + arguments;
        return m_sandbox.start(command.first(), command.mid(1));
    }

    // A file of the device's /tmp, read from the machine.
    QByteArray deviceFile(const QString &devicePath) const
    {
        QFile file(m_sandbox.hostPath(devicePath));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    static QStringList redirected(const QString &errPath)
    {
        return {QStringLiteral("sh"), QStringLiteral("-c"), QStringLiteral("\"$@\" 2>") + errPath, QStringLiteral("sh")};
    }

    KivSandbox &m_sandbox;
};
