#pragma once

#include "AddressManager.h"
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

// An address manager without families whose starts and stops go to a journal; the test emits its
// connected() and disconnected().
class JournalAddressManager : public AddressManager
{
public:
    JournalAddressManager(const InterfaceName &name, QStringList *journal)
        : AddressManager(name, nullptr, QList<IpAddressManager *>(), nullptr), m_journal(journal) {}
    void start(const InterfaceConfiguration &configuration) override
    {
        *m_journal << "start(" + configuration.address().ip().toString() + ')';
    }
    void stop() override { *m_journal << QStringLiteral("stop"); }

private:
    QStringList *m_journal;
};
