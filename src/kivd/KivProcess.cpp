#include "KivProcess.h"

#include "LogHandler.h"

#include <QProcess>

void KivProcess::execute(const QString &program)
{
    execute(program, QStringList());
}

void KivProcess::execute(const QString &program, const QStringList &arguments)
{
    const QString command = program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
    const QString quoted = QLatin1Char('"') + command + QLatin1Char('"');
    kivDebug() << "KivProcess executing: " << quoted;

    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments, QIODevice::ReadWrite);
    if (!process.waitForStarted(StartTimeoutMs)) {
        kivCritical() << "KivProcess: " << quoted << " failed to start!: " << process.errorString();
        return;
    }
    process.waitForFinished(FinishTimeoutMs);
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        // SIGKILL cannot be caught: reaping it collects its last output and leaves nothing running.
        process.waitForFinished(KillTimeoutMs);
        kivCritical() << "KivProcess: " << quoted << " timed out, SIGKILL sent!";
        kivCritical() << "KivProcess output: " << QString::fromLocal8Bit(process.readAll()).trimmed();
        return;
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0) {
        kivDebug() << "KivProcess: " << quoted << " finished successfully.";
        return;
    }
    kivCritical() << "KivProcess: " << quoted << " finished with error code: " << process.exitCode();
    const QStringList lines = QString::fromLocal8Bit(process.readAll()).trimmed().split(QLatin1Char('\n'));
    for (const QString &line : lines)
        kivCritical() << "KivProcess output: " << line.trimmed();
}
