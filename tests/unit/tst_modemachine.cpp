// The mode machine against two fake controllers: exact commands, one row per transition the
// convergence explorer does not pin (it checks where the daemon ends, not the commands on the way).
#include "KivEvents.h"
#include "LogExpect.h"
#include "ModeMachine.h"
#include "NetworkConfiguration.h"

#include <QStateMachine>
#include <QtTest>

#include <memory>

namespace {

// The signals the mode states follow from either controller, emitted by the test.
class FakeController : public QObject
{
    Q_OBJECT
signals:
    void enabled();
    void disabled();
    void waiting();
    void waitingInterfaceRunning();
    void waitingIpSetup();
    void ready();
    void disconnected();
    void wpsCredentials(WirelessNetwork network);
    void wpsError(QString message);
};

// Writes down every command of the states, one line each.
class RecordingCommands : public ModeCommands
{
public:
    void enableWired() override { calls << "wired enable"; }
    void disableWired() override { calls << "wired disable"; }
    void activateWired(const InterfaceConfiguration &c) override { calls << "wired activate " + c.toMap().value("Ip").toString(); }
    void enableWireless(const QSet<WirelessNetwork> &networks) override
    {
        QStringList ssids;
        for (const WirelessNetwork &network : networks)
            ssids << network.ssid().toString();
        ssids.sort();
        calls << "wireless enable " + ssids.join(',');
    }
    void disableWireless() override { calls << "wireless disable"; }
    void activateWireless(const InterfaceConfiguration &) override { calls << "wireless activate"; }
    void wirelessWpsPbc() override { calls << "wireless wps pbc"; }
    void wirelessWpsPin(const QString &pin) override { calls << "wireless wps pin " + pin; }

    QStringList calls;
};

QSet<WirelessNetwork> openNetworks(const QString &ssids)
{
    QSet<WirelessNetwork> networks;
    for (const QString &ssid : ssids.split(','))
        networks << WirelessNetwork(Ssid::fromString(ssid), SecurityType::Unsecured);
    return networks;
}

const char *const WiredConnected = "Wired wireless.disabled wired.waitingInterfaceRunning wired.ready";
const char *const WirelessConnected = "Wireless wired.disabled wireless.waitingInterfaceRunning wireless.ready";

} // namespace

class TestModeMachine : public QObject
{
    Q_OBJECT

    std::unique_ptr<QStateMachine> m_machine;
    FakeController m_wired, m_wireless;
    std::unique_ptr<NetworkConfiguration> m_configuration;
    RecordingCommands m_commands;

    // Controller signals reach the machine as posted events.
    static void settle()
    {
        for (int round = 0; round < 8; ++round)
            QCoreApplication::processEvents();
    }
    QStringList active() const
    {
        QStringList names;
        for (QAbstractState *state : m_machine->configuration())
            names << state->objectName();
        return names;
    }
    // One step: a mode event ("Wired", "WpsPin"), a controller signal ("wired.ready") or new networks
    // ("networks=Cafe,Attic"), handed over without letting the machine run.
    void step(const QString &token)
    {
        // The mode events carry nothing but their type; a PIN is the one payload.
        static const QHash<QString, int> events{
            {"Off", ManagerEvent::Off::type()}, {"Wired", ManagerEvent::Wired::type()}, {"Wireless", ManagerEvent::Wireless::type()},
            {"Automatic", ManagerEvent::Automatic::type()}, {"Hybrid", ManagerEvent::Hybrid::type()},
            {"WpsPbc", ManagerEvent::WpsPbc::type()}, {"ReloadAps", ManagerEvent::ReloadAps::type()},
            {"Reconnecting", ManagerEvent::Reconnecting::type()}};
        FakeController *controller = token.startsWith("wired.") ? &m_wired : &m_wireless;
        const QString signal = token.section('.', 1);
        if (events.contains(token))
            m_machine->postEvent(new QEvent(QEvent::Type(events.value(token))));
        else if (token == QLatin1String("WpsPin"))
            m_machine->postEvent(new ManagerEvent::WpsPin("12345670"));
        else if (token.startsWith("networks="))
            m_configuration->setWirelessNetworks(openNetworks(token.section('=', 1)));
        else if (signal == QLatin1String("wpsCredentials"))
            emit controller->wpsCredentials(*openNetworks("FromWps").begin());
        else if (signal == QLatin1String("wpsError"))
            emit controller->wpsError("failed");
        else
            QVERIFY2(QMetaObject::invokeMethod(controller, signal.toLatin1().constData()), qPrintable(token));
    }

private slots:
    void init()
    {
        m_machine = std::make_unique<QStateMachine>();
        m_configuration = std::make_unique<NetworkConfiguration>(nullptr, "eth0", "wlan0", QStringList{"uap0"});
        m_configuration->setWirelessNetworks(openNetworks("Home"));
        m_configuration->setWiredIpConfiguration(InterfaceConfiguration("eth0", "192.168.50.9", "255.255.255.0", QString(), {}, {}));
        m_commands.calls.clear();
        m_machine->setInitialState(ModeMachine(m_machine.get(), {&m_commands, m_configuration.get()}, &m_wired, &m_wireless).build().off);
        m_machine->start();
        settle();
        QCOMPARE(active(), QStringList{"OffMode"});
        QCOMPARE(m_commands.calls, (QStringList{"wired disable", "wireless disable"}));
    }

    void cleanup() { m_machine.reset(); }

    // From the state the route leads to, the steps (all posted before the machine runs) leave the
    // states named active ("!" before a name: not active) with these commands given.
    void stepsGiveCommands_data()
    {
        QTest::addColumn<QString>("route");
        QTest::addColumn<QString>("steps");
        QTest::addColumn<QString>("states");
        QTest::addColumn<QString>("commands");
        const auto row = [](const char *name, const QString &route, const char *steps, const char *states, const char *commands) {
            QTest::newRow(name) << route << steps << states << commands;
        };
        row("wired mode turns wireless off first; wired reports and WPS wait", "",
            "Wired wired.waitingInterfaceRunning WpsPin", "WiredMode WirelessDisabledState !WiredStateContainer", "wireless disable");
        row("wired mode enables wired once wireless is off", "Wired", "wireless.disabled", "WiredWaitingState",
            "wired enable;wireless disable");
        row("wired cable in activates", "Wired wireless.disabled", "wired.waitingInterfaceRunning", "WiredIpsetupState",
            "wired activate 192.168.50.9");
        row("wired ready connects", "Wired wireless.disabled wired.waitingInterfaceRunning", "wired.ready",
            "WiredConnectedState", "");
        row("wired disconnected enables again", WiredConnected, "wired.disconnected", "WiredWaitingState", "wired enable");
        row("wired ready while waiting connects at once", "Wired wireless.disabled", "wired.ready", "WiredConnectedState", "");
        row("same mode changes nothing", WirelessConnected, "Wireless", "WirelessConnectedState", "");
        row("WPS means nothing in off mode", "", "WpsPbc", "OffMode", "");
        row("wireless mode turns wired off first; wireless reports wait", "",
            "Wireless wireless.waitingInterfaceRunning", "WirelessMode !WirelessModeState", "wired disable");
        row("wireless mode enables wireless once wired is off", "Wireless wireless.waitingInterfaceRunning",
            "wired.disabled", "WirelessModeState WirelessWaitingState", "wireless enable Home");
        row("wireless associated activates", "Wireless wired.disabled", "wireless.waitingInterfaceRunning",
            "WirelessIpsetupState", "wireless activate");
        row("wireless waiting enables again", WirelessConnected, "wireless.waiting", "WirelessWaitingState",
            "wireless enable Home");
        row("reconnecting waits without enabling", WirelessConnected, "Reconnecting", "WirelessWaitingState", "");
        row("reconnected activates", QString(WirelessConnected) + " Reconnecting", "wireless.waitingInterfaceRunning",
            "WirelessIpsetupState", "wireless activate");
        row("reloaded networks enable", WirelessConnected, "networks=Cafe,Attic ReloadAps", "WirelessWaitingState",
            "wireless enable Attic,Cafe");
        row("reloaded networks enable while waiting", "Wireless wired.disabled", "networks=Cafe ReloadAps",
            "WirelessWaitingState", "wireless enable Cafe");
        row("wireless WPS", WirelessConnected, "WpsPbc", "WirelessWpsState", "wireless wps pbc");
        row("wireless WPS credentials enable the networks now configured", QString(WirelessConnected) + " WpsPbc",
            "networks=Cafe wireless.wpsCredentials", "WirelessWaitingState", "wireless enable Cafe");
        row("wireless WPS error enables", QString(WirelessConnected) + " WpsPbc", "wireless.wpsError",
            "WirelessWaitingState", "wireless enable Home");
        row("second WPS request restarts the session", QString(WirelessConnected) + " WpsPin", "WpsPin",
            "WirelessWpsState", "wireless wps pin 12345670");
        row("reloaded networks end WPS", QString(WirelessConnected) + " WpsPin", "ReloadAps", "WirelessWaitingState",
            "wireless enable Home");
        row("WPS beside the wired block", WiredConnected, "WpsPbc WpsPin", "WirelessWpsState WiredConnectedState",
            "wireless wps pbc;wireless wps pin 12345670");
        row("WPS in wired mode ends with wireless off", QString(WiredConnected) + " WpsPbc", "wireless.wpsCredentials",
            "WirelessDisabledState WiredConnectedState", "wireless disable");
        row("automatic enables both", "", "Automatic",
            "AutomaticWirelessEnabledContainer WiredWaitingState WirelessWaitingState", "wired enable;wireless enable Home");
        // Reports sent back to back: the stale ones are skipped, the later ones still hand over.
        row("automatic wireless reports back to back", "Automatic", "wireless.waitingInterfaceRunning wireless.ready",
            "WirelessConnectedState", "");
        row("automatic cable in turns wireless off", "Automatic wireless.waitingInterfaceRunning wireless.ready",
            "wired.waitingInterfaceRunning", "AutomaticWirelessDisabledState WirelessDisabledState", "wireless disable");
        row("automatic activates wired once wireless is off", "Automatic wired.waitingInterfaceRunning",
            "wireless.disabled wired.ready", "WiredConnectedState", "wired activate 192.168.50.9");
        row("automatic wired reports back to back", "Automatic", "wired.waitingInterfaceRunning wired.waitingIpSetup",
            "AutomaticWirelessDisabledState", "wireless disable");
        row("automatic cable out returns to wireless with the networks now configured",
            "Automatic wired.waitingInterfaceRunning wireless.disabled wired.ready", "networks=Cafe wired.disconnected",
            "AutomaticWirelessEnabledContainer WiredWaitingState WirelessWaitingState", "wired enable;wireless enable Cafe");
        row("automatic WPS", "Automatic", "WpsPbc", "AutomaticWpsTargetEnabledState", "wireless wps pbc");
        row("automatic WPS is not restarted", "Automatic WpsPbc", "WpsPin", "AutomaticWpsTargetEnabledState", "");
        row("cable in during automatic WPS", "Automatic WpsPbc", "wired.waitingInterfaceRunning",
            "AutomaticWpsTargetDisabledState", "wireless disable");
        row("automatic WPS ends with wireless off after a cable in", "Automatic WpsPbc wired.waitingInterfaceRunning",
            "wireless.wpsError", "AutomaticWirelessDisabledState", "");
        row("cable out during automatic WPS", "Automatic wired.waitingInterfaceRunning wireless.disabled WpsPbc",
            "wired.waiting", "AutomaticWpsTargetEnabledState", "wired enable");
        row("automatic WPS ends with wireless on after a cable out",
            "Automatic wired.waitingInterfaceRunning wireless.disabled WpsPbc wired.waiting", "wireless.wpsCredentials",
            "WirelessWaitingState", "wireless enable Home");
        row("hybrid enables both blocks", "", "Hybrid", "HybridMode WiredWaitingState WirelessWaitingState",
            "wired enable;wireless enable Home;wired enable;wireless enable Home");
        row("hybrid activates both", "Hybrid", "wired.waitingInterfaceRunning wireless.waitingInterfaceRunning",
            "WirelessIpsetupState WiredIpsetupState", "wired activate 192.168.50.9;wireless activate");
        row("hybrid wireless loss leaves wired connected",
            "Hybrid wired.waitingInterfaceRunning wireless.waitingInterfaceRunning wireless.ready wired.ready",
            "wireless.waiting", "WiredConnectedState WirelessWaitingState", "wireless enable Home");
    }

    void stepsGiveCommands()
    {
        QFETCH(QString, route);
        QFETCH(QString, steps);
        QFETCH(QString, states);
        QFETCH(QString, commands);
        for (const QString &token : route.split(' ', Qt::SkipEmptyParts)) {
            step(token);
            settle();
        }
        m_commands.calls.clear();
        LogCapture log;
        for (const QString &token : steps.split(' '))
            step(token);
        settle();
        for (const QString &state : states.split(' ')) {
            const bool expected = !state.startsWith('!');
            QVERIFY2(active().contains(state.mid(expected ? 0 : 1)) == expected, qPrintable(active().join(' ')));
        }
        QCOMPARE(m_commands.calls, commands.split(';', Qt::SkipEmptyParts));
        if (steps == QLatin1String("Wireless"))
            QCOMPARE(log.texts(), QStringList());
    }

    void modeChangesAreLogged()
    {
        expectLog(QtInfoMsg, "Exiting state: OffMode");
        expectLog(QtInfoMsg, "Entering state: WiredMode");
        expectLog(QtInfoMsg, "Entering state: WirelessDisabledState");
        step("Wired");
        settle();
    }
};

QTEST_GUILESS_MAIN(TestModeMachine)
#include "tst_modemachine.moc"
