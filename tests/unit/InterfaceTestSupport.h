#pragma once

#include "AddressManager.h"
#include "AddressTestSupport.h"
#include "KivStateMachine.h"
#include "LogExpect.h"
#include "LogHandler.h"
#include "PrivateNamespaceMain.h"
#include "Supplicant.h"

#include <QtTest>

#include <functional>
#include <memory>

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
    QStringList *m_journal;
};

// Calls go to the shared journal; the test emits the supplicant's signals itself.
class FakeSupplicant : public Supplicant
{
public:
    FakeSupplicant(QObject *parent, const QString &name, QStringList *journal) : Supplicant(parent, name), m_journal(journal) {}
    bool enable(const QSet<WirelessNetwork> &networks) override
    {
        QStringList ssids;
        for (const WirelessNetwork &network : networks)
            ssids << network.ssid().toString();
        ssids.sort();
        return note("enable(" + ssids.join(',') + ')');
    }
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
    QStringList *m_journal;
};

// One transition of a controller's machine: source, event (or events, space-separated), target,
// and what they give from the source (driver commands, address manager and supplicant calls and
// signals, in order).
struct TransitionRow
{
    const char *source, *event, *target, *journal;
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

// A controller brought from its start through the space-separated events of route, its journal
// then cleared. The route's first event reaches a machine that has not started yet.
template<typename Controller, typename... Arguments>
std::unique_ptr<Controller> controllerIn(const QString &route, const Arguments &...arguments)
{
    auto controller = std::make_unique<Controller>(arguments...);
    controller->apply(route);
    settle();
    controller->journal.clear();
    return controller;
}

// Routes (space-separated events) from a new controller to each state the table's rows reach: a
// state takes the route of the first row after which it is active, the row's source's and its event.
template<typename Controller, std::size_t N, typename... Arguments>
QHash<QString, QString> routesThrough(const TransitionRow (&table)[N], const Arguments &...arguments)
{
    QHash<QString, QString> routes;
    for (const QString &state : controllerIn<Controller>(QString(), arguments...)->active())
        routes.insert(state, QString());
    for (const TransitionRow &row : table) {
        const QString route = routes.value(row.source) + ' ' + row.event;
        if (!routes.contains(row.target)) {
            for (const QString &state : controllerIn<Controller>(route, arguments...)->active())
                routes.insert(state, routes.value(state, route));
        }
    }
    return routes;
}

// A row of addTransitionRows from the source reached by its route: the target is active, the
// journal is the row's, and the controller reports a connection exactly while readyState is active.
template<typename Controller>
void checkTransition(const QHash<QString, QString> &routes, const QString &readyState)
{
    QFETCH(QString, source);
    QFETCH(QString, event);
    QFETCH(QString, target);
    QFETCH(QStringList, journal);
    auto controller = controllerIn<Controller>(routes.value(source));
    QVERIFY2(controller->active().contains(source), qPrintable(controller->active().join(", ")));
    controller->apply(event);
    QVERIFY2(controller->active().contains(target), qPrintable(controller->active().join(", ")));
    QCOMPARE(controller->seen(), journal);
    QCOMPARE(controller->isConnected(), controller->active().contains(readyState));
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
