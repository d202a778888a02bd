// The mode machine against two fake controllers: exact commands, one row per transition the
// convergence explorer does not pin (it checks where the daemon ends, not the commands on the way).
#include "KivEvents.h"
#include "LogExpect.h"
#include "ModeMachine.h"
#include "NetworkConfiguration.h"
#include "NetworkManagerMaps.h"

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

// Writes down every command of the states, one line each; networks as their sorted SSIDs.
class RecordingCommands : public ModeCommands
{
public:
    void enableWired() override { calls << "wired enable"; }
    void disableWired() override { calls << "wired disable"; }
    void activateWired(const InterfaceConfiguration &c) override { calls << "wired activate " + c.toMap().value("Ip").toString(); }
    void enableWireless(const QSet<WirelessNetwork> &n) override { calls << "wireless enable " + NetworkManagerMaps::configuredNetworksText(n); }
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

// Routes to the states most rows start from.
const QString WiredOn = QStringLiteral("Wired wireless.disabled");
const QString WiredConnected = WiredOn + " wired.running wired.ready";
const QString WirelessOn = QStringLiteral("Wireless wired.disabled");
const QString WirelessConnected = WirelessOn + " wireless.running wireless.ready";
const QString AutomaticWired = QStringLiteral("Automatic wired.running wireless.disabled");
const QString AutomaticBoth = QStringLiteral("AutomaticWirelessEnabledContainer WiredWaitingState WirelessWaitingState");

} // namespace

class TestModeMachine : public QObject
{
    Q_OBJECT

    FakeController m_wired, m_wireless;
    std::unique_ptr<NetworkConfiguration> m_configuration;
    RecordingCommands m_commands;
    // Declared last, so that it goes first: its states use the members above.
    std::unique_ptr<QStateMachine> m_machine;

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
    // One step: a mode event ("Wired", "WpsPin"), a controller report ("wired.ready") or new networks
    // ("networks=Cafe,Attic"), handed over without letting the machine run.
    void step(const QString &token)
    {
        using namespace ManagerEvent;
        // The mode events carry nothing but their type; a PIN is the one payload.
        for (const QEvent::Type type : {Off::type(), Wired::type(), Wireless::type(), Automatic::type(), Hybrid::type(),
                                        WpsPbc::type(), ReloadAps::type(), Reconnecting::type()}) {
            if (KivEvents::eventName(type) == token)
                return m_machine->postEvent(new QEvent(type));
        }
        FakeController *controller = token.startsWith("wired.") ? &m_wired : &m_wireless;
        // "running" and "ipsetup" stand for the reports waitingInterfaceRunning and waitingIpSetup.
        const QString signal = token.section('.', 1).replace("running", "waitingInterfaceRunning").replace("ipsetup", "waitingIpSetup");
        if (token == QLatin1String("WpsPin"))
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
        QCOMPARE(NetworkManagerMaps::modeName(active()), QStringLiteral("OffMode"));
        QCOMPARE(m_commands.calls, (QStringList{"wired disable", "wireless disable"}));
    }

    // "route | steps | states | commands": from the state the route leads to, the steps (all posted
    // before the machine runs) leave the states named active ("!" before a name: not active) and
    // give these commands (";" between them), and every state they enter or leave is logged. The
    // Connected property follows the connected states named.
    void stepsGiveCommands_data()
    {
        QTest::addColumn<QString>("cells");
        const auto row = [](const char *name, const QString &cells) { QTest::newRow(name) << cells; };
        row("wired mode turns wireless off first; reports and WPS wait",
            "| Wired wired.running WpsPin | WiredMode WirelessDisabledState !WiredStateContainer | wireless disable");
        row("wired mode enables wired once wireless is off", "Wired | wireless.disabled | WiredWaitingState | wired enable;wireless disable");
        row("wired cable in activates", WiredOn + "| wired.running | WiredIpsetupState | wired activate 192.168.50.9");
        row("wired ready connects", WiredOn + " wired.running | wired.ready | WiredConnectedState |");
        row("wired disconnected enables again", WiredConnected + "| wired.disconnected | WiredWaitingState | wired enable");
        row("wired ready while waiting connects at once", WiredOn + "| wired.ready | WiredConnectedState |");
        row("same mode changes nothing", WirelessConnected + "| Wireless | WirelessConnectedState |");
        row("WPS means nothing in off mode", "| WpsPbc | OffMode |");
        row("wireless mode turns wired off first", "| Wireless wireless.running | WirelessMode !WirelessModeState | wired disable");
        row("wireless enabled once wired is off",
            "Wireless wireless.running | wired.disabled | WirelessModeState WirelessWaitingState | wireless enable Home");
        row("wireless associated activates", WirelessOn + "| wireless.running | WirelessIpsetupState | wireless activate");
        row("wireless waiting enables again", WirelessConnected + "| wireless.waiting | WirelessWaitingState | wireless enable Home");
        row("reconnecting waits without enabling", WirelessConnected + "| Reconnecting | WirelessWaitingState |");
        row("reconnected activates", WirelessConnected + " Reconnecting | wireless.running | WirelessIpsetupState | wireless activate");
        row("reloaded networks", WirelessConnected + "| networks=Cafe,Attic ReloadAps | WirelessWaitingState | wireless enable Attic,Cafe");
        row("reloaded networks while waiting", WirelessOn + "| networks=Cafe ReloadAps | WirelessWaitingState | wireless enable Cafe");
        row("wireless WPS", WirelessConnected + "| WpsPbc | WirelessWpsState | wireless wps pbc");
        row("WPS credentials enable the networks now configured",
            WirelessConnected + " WpsPbc | networks=Cafe wireless.wpsCredentials | WirelessWaitingState | wireless enable Cafe");
        row("wireless WPS error enables", WirelessConnected + " WpsPbc | wireless.wpsError | WirelessWaitingState | wireless enable Home");
        row("second WPS request restarts", WirelessConnected + " WpsPin | WpsPin | WirelessWpsState | wireless wps pin 12345670");
        row("reloaded networks end WPS", WirelessConnected + " WpsPin | ReloadAps | WirelessWaitingState | wireless enable Home");
        row("WPS beside the wired block",
            WiredConnected + "| WpsPbc WpsPin | WirelessWpsState WiredConnectedState | wireless wps pbc;wireless wps pin 12345670");
        row("WPS in wired mode ends with wireless off",
            WiredConnected + " WpsPbc | wireless.wpsCredentials | WirelessDisabledState WiredConnectedState | wireless disable");
        row("automatic enables both", "| Automatic | " + AutomaticBoth + " | wired enable;wireless enable Home");
        // Reports sent back to back: the stale ones are skipped, the later ones still hand over.
        row("automatic wireless reports back to back", "Automatic | wireless.running wireless.ready | WirelessConnectedState |");
        row("automatic cable in turns wireless off",
            "Automatic wireless.running wireless.ready | wired.running | AutomaticWirelessDisabledState WirelessDisabledState | wireless disable");
        row("automatic activates wired once wireless is off",
            "Automatic wired.running | wireless.disabled wired.ready | WiredConnectedState | wired activate 192.168.50.9");
        row("automatic wired reports back to back", "Automatic | wired.running wired.ipsetup | AutomaticWirelessDisabledState | wireless disable");
        row("automatic cable out returns to wireless with the networks now configured",
            AutomaticWired + " wired.ready | networks=Cafe wired.disconnected | " + AutomaticBoth + " | wired enable;wireless enable Cafe");
        row("automatic WPS", "Automatic | WpsPbc | AutomaticWpsTargetEnabledState | wireless wps pbc");
        row("automatic WPS is not restarted", "Automatic WpsPbc | WpsPin | AutomaticWpsTargetEnabledState |");
        row("cable in during automatic WPS", "Automatic WpsPbc | wired.running | AutomaticWpsTargetDisabledState | wireless disable");
        row("automatic WPS then wireless off after a cable in",
            "Automatic WpsPbc wired.running | wireless.wpsError | AutomaticWirelessDisabledState |");
        row("cable out during automatic WPS", AutomaticWired + " WpsPbc | wired.waiting | AutomaticWpsTargetEnabledState | wired enable");
        row("automatic WPS then wireless on after a cable out",
            AutomaticWired + " WpsPbc wired.waiting | wireless.wpsCredentials | WirelessWaitingState | wireless enable Home");
        row("hybrid enables both blocks",
            "| Hybrid | HybridMode WiredWaitingState WirelessWaitingState | wired enable;wireless enable Home;wired enable;wireless enable Home");
        row("hybrid activates both",
            "Hybrid | wired.running wireless.running | WirelessIpsetupState WiredIpsetupState | wired activate 192.168.50.9;wireless activate");
        row("hybrid wireless loss leaves wired connected",
            "Hybrid wired.running wireless.running wireless.ready wired.ready | wireless.waiting | WiredConnectedState WirelessWaitingState "
            "| wireless enable Home");
    }

    void stepsGiveCommands()
    {
        QFETCH(QString, cells);
        const QStringList fields = cells.split('|');
        for (const QString &token : fields[0].split(' ', Qt::SkipEmptyParts)) {
            step(token);
            settle();
        }
        const QStringList before = active();
        m_commands.calls.clear();
        LogCapture log;
        for (const QString &token : fields[1].split(' ', Qt::SkipEmptyParts))
            step(token);
        settle();
        const QStringList after = active();
        for (const QString &state : fields[2].split(' ', Qt::SkipEmptyParts)) {
            const bool expected = !state.startsWith('!');
            QVERIFY2(after.contains(state.mid(expected ? 0 : 1)) == expected, qPrintable(after.join(' ')));
        }
        QCOMPARE(m_commands.calls, fields[3].trimmed().split(';', Qt::SkipEmptyParts));
        QCOMPARE(NetworkManagerMaps::isConnected(after), fields[2].contains("ConnectedState"));
        for (const QString &state : after + before) {
            const QString line =
                QStringLiteral("INFO NetworkManagerStates.cpp %1 state: %2").arg(after.contains(state) ? "Entering" : "Exiting", state);
            QVERIFY2(after.contains(state) == before.contains(state) || log.lines().contains(line), qPrintable(line));
        }
    }
};

QTEST_GUILESS_MAIN(TestModeMachine)
#include "tst_modemachine.moc"
