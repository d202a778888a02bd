#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// The daemon's command line: interface names, monitor mode and debug output.
struct KivdOptions
{
    enum class Outcome {
        Run,          // start the daemon
        ShowHelp,     // "-h"/"--help": print helpText() and exit with status 1
        MissingValue, // an option that takes a value was last: exit with status 255
    };

    QString wired = QStringLiteral("eth0");
    QString wireless = QStringLiteral("wlan0");
    QStringList softaps = {QStringLiteral("uap0")};
    bool monitor = false;
    bool debug = false;
    Outcome outcome = Outcome::Run;

    // Parses the arguments after the program name; unknown arguments are logged and skipped.
    static KivdOptions parse(const QStringList &arguments);

    // The process exit status for an outcome other than Run.
    int exitStatus() const;

    // The wired, the wireless and then the soft-AP names, duplicates kept.
    QStringList interfaces() const;
};

// One external command: program and argument list.
struct KivdCommand
{
    QString program;
    QStringList arguments;

    bool operator==(const KivdCommand &other) const
    {
        return program == other.program && arguments == other.arguments;
    }
};

namespace Kivd {

// The help text, with its trailing line feed.
QString helpText();

// Clears the traces of an earlier run: the daemon's helpers killed, every interface down and flushed.
QVector<KivdCommand> cleanupCommands(const KivdOptions &options);

} // namespace Kivd
