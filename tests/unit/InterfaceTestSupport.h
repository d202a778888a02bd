#pragma once

#include "AddressTestSupport.h"

#include <QtGlobal>

// Runs a command to completion; a failure is printed with the command's output.
inline bool sh(const QString &program, const QStringList &arguments)
{
    QByteArray output;
    const bool ok = run(program, arguments, &output) == 0;
    if (!ok)
        qWarning("%s %s: %s", qPrintable(program), qPrintable(arguments.join(' ')), output.constData());
    return ok;
}
