#pragma once

#include <QString>
#include <QStringList>

// Runs a short external command to completion (1000 ms to start, 5000 ms to finish);
// the outcome is reported only through the log.
class KivProcess
{
public:
    static void execute(const QString &program, const QStringList &arguments);
    static void execute(const QString &program);

    static constexpr int StartTimeoutMs = 1000;
    static constexpr int FinishTimeoutMs = 5000;
    static constexpr int KillTimeoutMs = 1000;
};
