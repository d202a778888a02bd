#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

// A finished child process and what it wrote on standard output.
struct ChildRun
{
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    qint64 pid = 0;
    QByteArray output;
    QStringList lines;

    // The head of a log line: date, time, [pid.tid], level, and the "file.cpp:NN " of the log macros if any.
    static const QRegularExpression &logHead()
    {
        static const QRegularExpression head(QStringLiteral(
            "^(\\d{8} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}) \\[(\\d+)\\.(\\d+)\\] (DEBUG|INFO|WARN|ERROR|FATAL) (?:([\\w.]+\\.cpp):\\d+ )?"));
        return head;
    }

    // Log lines as "LEVEL file text" ("LEVEL text" without the file); other lines unchanged.
    QStringList normalized() const
    {
        QStringList result;
        for (const QString &raw : lines) {
            const QRegularExpressionMatch head = logHead().match(raw);
            const QString file = head.captured(5);
            result << (head.hasMatch() ? head.captured(4) + QLatin1Char(' ') + (file.isEmpty() ? file : file + QLatin1Char(' '))
                                             + raw.mid(head.capturedEnd())
                                       : raw);
        }
        return result;
    }

    static ChildRun run(const QString &program, const QStringList &arguments,
                        const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
                        int timeoutMs = 30000)
    {
        ChildRun result;
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, arguments);
        if (!process.waitForStarted(timeoutMs))
            return result;
        result.pid = process.processId();
        result.finished = process.waitForFinished(timeoutMs);
        if (!result.finished) {
            process.kill();
            process.waitForFinished(timeoutMs);
        }
        result.exitStatus = process.exitStatus();
        result.exitCode = process.exitCode();
        result.output = process.readAllStandardOutput();
        result.lines = QString::fromUtf8(result.output).split(QLatin1Char('\n'));
        if (!result.lines.isEmpty() && result.lines.constLast().isEmpty())
            result.lines.removeLast();
        return result;
    }
};
