#pragma once

#include "AddressManager.h"
#include "AddressTestSupport.h"
#include "Supplicant.h"

#include <QCoreApplication>
#include <QtTest>

#include <memory>

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

inline QString ssids(const QSet<WirelessNetwork> &networks)
{
    QStringList names;
    for (const WirelessNetwork &network : networks)
        names << network.ssid().toString();
    names.sort();
    return names.join(',');
}

// Calls go to the shared journal; the test emits the supplicant's signals itself.
class FakeSupplicant : public Supplicant
{
public:
    FakeSupplicant(QObject *parent, const QString &name, QStringList *journal) : Supplicant(parent, name), m_journal(journal) {}
    bool enable(const QSet<WirelessNetwork> &networks) override { return note("enable(" + ssids(networks) + ')'); }
    bool disable() override { return note("disable"); }
    bool wpsPbc() override { return note("wpsPbc"); }
    bool wpsPin(const QString &pin) override { return note("wpsPin(" + pin + ')'); }
    void scan() override { note("scan"); }
    QVariantMap getNetworkDetails() override { return {{"Ssid", "Home"}}; }
    int getCurrentChannel() override { return channel; }
    void interfaceAdded() override { note("interfaceAdded"); }
    void interfaceRemoved() override { note("interfaceRemoved"); }

    int channel = 0;

private:
    bool note(const QString &call)
    {
        *m_journal << call;
        return true;
    }
    QStringList *m_journal;
};

class FakeSupplicantFactory : public SupplicantFactory
{
public:
    explicit FakeSupplicantFactory(QStringList *journal) : m_journal(journal) {}
    std::unique_ptr<Supplicant> create(QObject *parent, const QString &name) override
    {
        auto supplicant = std::make_unique<FakeSupplicant>(parent, name, m_journal);
        made = supplicant.get();
        return supplicant;
    }
    FakeSupplicant *made = nullptr;

private:
    QStringList *m_journal;
};

// One transition of a controller's machine: source, event, target, and what the event gives from
// the source (driver commands, address manager and supplicant calls and signals, in order).
struct TransitionRow
{
    const char *source;
    const char *event;
    const char *target;
    const char *journal;
};

// One named row "source event" per transition, with the columns source, event, target, journal.
template<std::size_t N>
void addTransitionRows(const TransitionRow (&table)[N])
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("event");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QStringList>("journal");
    for (const TransitionRow &row : table)
        QTest::addRow("%s %s", row.source, row.event)
            << row.source << row.event << row.target << QString(row.journal).split(' ', Qt::SkipEmptyParts);
}

// Lets a machine start, or handle what was posted.
inline void settle()
{
    for (int round = 0; round < 3; ++round)
        QCoreApplication::processEvents();
}

// Keeps the state machines' info and debug lines out of the test output (they exceed its limit).
inline void quietStateLogs()
{
    static QtMessageHandler framework = nullptr;
    framework = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        if (type != QtInfoMsg && type != QtDebugMsg)
            framework(type, context, text);
    });
}
