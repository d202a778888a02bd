#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

// How a child process ended (a normal exit if it had not after 30 s) and what it wrote on standard
// output, one entry a line.
struct ChildRun
{
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    qint64 pid = 0;
    QStringList lines;

    // The head of a log line: date, time, [pid.tid], then "LEVEL" or "LEVEL file.cpp" followed by the
    // ":NN " of the log macros, or by a blank.
    static inline const QRegularExpression LogHead{QStringLiteral(
        "^(\\d{8} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}) \\[(\\d+)\\.(\\d+)\\] ((?:DEBUG|INFO|WARN|ERROR|FATAL)(?: [\\w.]+\\.cpp(?=:))?)(?::\\d+)? ")};

    // Log lines as "LEVEL file text" ("LEVEL text" without the file); other lines unchanged.
    QStringList normalized() const { return QStringList(lines).replaceInStrings(LogHead, QStringLiteral("\\4 ")); }

    static ChildRun run(const QString &program, const QStringList &arguments)
    {
        ChildRun result;
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, arguments);
        process.waitForStarted();
        result.pid = process.processId();
        process.waitForFinished(30000);
        result.exitStatus = process.exitStatus();
        result.exitCode = process.exitCode();
        result.lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
        if (result.lines.constLast().isEmpty())
            result.lines.removeLast();
        return result;
    }
};
