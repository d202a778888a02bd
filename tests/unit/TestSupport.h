#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

// One log line as written to standard output.
struct LogLine
{
    QString date;
    QString time;
    qint64 pid = 0;
    qint64 tid = 0;
    QString level;
    QString file; // empty for messages without the source-location prefix
    QString text; // after the prefix

    static const QRegularExpression &pattern()
    {
        static const QRegularExpression line(QStringLiteral(
            "^(\\d{8}) (\\d{2}:\\d{2}:\\d{2}\\.\\d{3}) \\[(\\d+)\\.(\\d+)\\] (DEBUG|INFO|WARN|ERROR|FATAL) (.*)$"));
        return line;
    }

    // Parses a line; returns false for anything that is not a log line.
    static bool parse(const QString &raw, LogLine *out)
    {
        const QRegularExpressionMatch match = pattern().match(raw);
        if (!match.hasMatch())
            return false;
        out->date = match.captured(1);
        out->time = match.captured(2);
        out->pid = match.captured(3).toLongLong();
        out->tid = match.captured(4).toLongLong();
        out->level = match.captured(5);
        static const QRegularExpression prefix(QStringLiteral("^([\\w.]+\\.cpp):\\d+ (.*)$"));
        const QRegularExpressionMatch located = prefix.match(match.captured(6));
        out->file = located.hasMatch() ? located.captured(1) : QString();
        out->text = located.hasMatch() ? located.captured(2) : match.captured(6);
        return true;
    }
};

// A finished child process and what it wrote on standard output.
struct ChildRun
{
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::NormalExit;
    int exitCode = -1;
    qint64 pid = 0;
    QByteArray output;
    QStringList lines;

    // Log lines as "LEVEL file text" ("LEVEL text" without prefix); other lines unchanged.
    QStringList normalized() const
    {
        QStringList result;
        for (const QString &raw : lines) {
            LogLine line;
            if (!LogLine::parse(raw, &line))
                result << raw;
            else if (line.file.isEmpty())
                result << line.level + QLatin1Char(' ') + line.text;
            else
                result << line.level + QLatin1Char(' ') + line.file + QLatin1Char(' ') + line.text;
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
