#include "KivEvents.h"
#include "LogExpect.h"
#include "ModeMachine.h"
#include "NetworkConfiguration.h"

#include <QStateMachine>
#include <QtTest>

#include <algorithm>
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
    void activateWireless(const InterfaceConfiguration &c) override
    {
        calls << "wireless activate " + c.toMap().value("Ip").toString();
    }
    void wirelessWpsPbc() override { calls << "wireless wps pbc"; }
    void wirelessWpsPin(const QString &pin) override { calls << "wireless wps pin " + pin; }

    QStringList calls;
};

WirelessNetwork openNetwork(const char *ssid)
{
    return WirelessNetwork(Ssid::fromString(QString::fromLatin1(ssid)), SecurityType::Unsecured);
}

const QStringList AutomaticWaiting{"AutomaticMode", "AutomaticWirelessEnabledContainer", "WiredStateContainer",
                                   "WiredWaitingState", "WirelessStateContainer", "WirelessWaitingState"};

} // namespace

class TestModeMachine : public QObject
{
    Q_OBJECT

    std::unique_ptr<QStateMachine> m_machine;
    std::unique_ptr<FakeController> m_wired;
    std::unique_ptr<FakeController> m_wireless;
    std::unique_ptr<NetworkConfiguration> m_configuration;
    RecordingCommands m_commands;

    void post(QEvent *event)
    {
        m_machine->postEvent(event);
        settle();
    }
    // Controller signals reach the machine as posted events.
    static void settle()
    {
        for (int round = 0; round < 8; ++round)
            QCoreApplication::processEvents();
    }
    QStringList active() const
    {
        settle();
        QStringList names;
        for (QAbstractState *state : m_machine->configuration())
            names << state->objectName();
        names.sort();
        return names;
    }
    bool isActive(const char *name) const { return active().contains(QLatin1String(name)); }
    // The commands since the last call.
    QStringList take()
    {
        settle();
        return std::exchange(m_commands.calls, {});
    }
    void enterWiredMode()
    {
        post(new ManagerEvent::Wired);
        emit m_wireless->disabled();
        take();
    }
    void enterWirelessModeConnected()
    {
        post(new ManagerEvent::Wireless);
        emit m_wired->disabled();
        emit m_wireless->waitingInterfaceRunning();
        emit m_wireless->ready();
        take();
        QVERIFY(isActive("WirelessConnectedState"));
    }

private slots:
    void init()
    {
        m_machine = std::make_unique<QStateMachine>();
        m_wired = std::make_unique<FakeController>();
        m_wireless = std::make_unique<FakeController>();
        m_configuration = std::make_unique<NetworkConfiguration>(nullptr, "eth0", "wlan0", QStringList{"uap0"});
        m_configuration->setWirelessNetworks({openNetwork("Home")});
        m_configuration->setWiredIpConfiguration(
            InterfaceConfiguration("eth0", "192.168.50.9", "255.255.255.0", QString(), {}, {}));
        m_commands.calls.clear();
        const ModeStates modes =
            ModeMachine(m_machine.get(), {&m_commands, m_configuration.get()}, m_wired.get(), m_wireless.get()).build();
        m_machine->setInitialState(modes.off);
        m_machine->start();
        settle();
        QCOMPARE(active(), QStringList{"OffMode"});
        QCOMPARE(take(), (QStringList{"wired disable", "wireless disable"}));
    }

    void cleanup() { m_machine.reset(); }

    void wiredModeStartsWiredOnlyAfterWirelessDisabled()
    {
        expectLog(QtInfoMsg, "Exiting state: OffMode");
        expectLog(QtInfoMsg, "Entering state: WiredMode");
        expectLog(QtInfoMsg, "Entering state: WirelessDisabledState");
        post(new ManagerEvent::Wired);
        QCOMPARE(active(), (QStringList{"WiredMode", "WirelessDisabledState"}));
        QCOMPARE(take(), QStringList{"wireless disable"});
        // Wired signals and WPS requests mean nothing before wireless is disabled.
        emit m_wired->waitingInterfaceRunning();
        post(new ManagerEvent::WpsPin("12345670"));
        QCOMPARE(active(), (QStringList{"WiredMode", "WirelessDisabledState"}));
        QCOMPARE(take(), QStringList());

        emit m_wireless->disabled();
        QCOMPARE(active(), (QStringList{"WiredMode", "WiredModeState", "WiredStateContainer", "WiredWaitingState",
                                        "WirelessDisabledState", "WirelessStateContainer"}));
        QCOMPARE(take(), (QStringList{"wired enable", "wireless disable"}));
    }

    void wiredBlockFollowsCableAndAddress()
    {
        enterWiredMode();
        emit m_wired->waitingInterfaceRunning();
        QCOMPARE(take(), QStringList{"wired activate 192.168.50.9"});
        QVERIFY(isActive("WiredIpsetupState"));
        emit m_wired->ready();
        QVERIFY(isActive("WiredConnectedState"));
        emit m_wired->disconnected();
        QVERIFY(isActive("WiredWaitingState"));
        QCOMPARE(take(), QStringList{"wired enable"});
        // A controller that is already set up skips straight to connected.
        emit m_wired->ready();
        QVERIFY(isActive("WiredConnectedState"));
        QCOMPARE(take(), QStringList());
    }

    void sameModeEventChangesNothing()
    {
        enterWirelessModeConnected();
        LogCapture capture;
        post(new ManagerEvent::Wireless);
        QCOMPARE(capture.texts(), QStringList());
        QCOMPARE(take(), QStringList());
        QVERIFY(isActive("WirelessConnectedState"));
    }

    void everyModeIsReachedFromEveryOther()
    {
        const QList<QPair<QEvent::Type, QString>> modes{
            {ManagerEvent::Wired::type(), "WiredMode"},         {ManagerEvent::Wireless::type(), "WirelessMode"},
            {ManagerEvent::Automatic::type(), "AutomaticMode"}, {ManagerEvent::Hybrid::type(), "HybridMode"},
            {ManagerEvent::Off::type(), "OffMode"},
        };
        for (const auto &from : modes) {
            for (const auto &to : modes) {
                if (from == to)
                    continue;
                post(new QEvent(from.first));
                QVERIFY(active().contains(from.second));
                post(new QEvent(to.first));
                QVERIFY2(active().contains(to.second), qPrintable(from.second + " -> " + to.second));
                QVERIFY(!active().contains(from.second));
            }
        }
        // Leaving a mode exits everything in it; WPS means nothing in OffMode.
        post(new ManagerEvent::Off);
        post(new ManagerEvent::WpsPbc);
        QCOMPARE(active(), QStringList{"OffMode"});
    }

    void wirelessModeRunsBlockAfterWiredDisabled()
    {
        post(new ManagerEvent::Wireless);
        QCOMPARE(take(), QStringList{"wired disable"});
        emit m_wireless->waitingInterfaceRunning();
        QCOMPARE(take(), QStringList());
        emit m_wired->disabled();
        QCOMPARE(active(), (QStringList{"WirelessMode", "WirelessModeState", "WirelessWaitingState"}));
        QCOMPARE(take(), QStringList{"wireless enable Home"});

        emit m_wireless->waitingInterfaceRunning();
        QCOMPARE(take(), QStringList{"wireless activate "});
        emit m_wireless->ready();
        QVERIFY(isActive("WirelessConnectedState"));
        emit m_wireless->waiting();
        QVERIFY(isActive("WirelessWaitingState"));
        QCOMPARE(take(), QStringList{"wireless enable Home"});
    }

    void reconnectingReturnsToWaitingWithoutEnabling()
    {
        enterWirelessModeConnected();
        post(new ManagerEvent::Reconnecting);
        QVERIFY(isActive("WirelessWaitingState"));
        QCOMPARE(take(), QStringList());
        emit m_wireless->waitingInterfaceRunning();
        QCOMPARE(take(), QStringList{"wireless activate "});
    }

    void reloadApsEnablesWithCurrentNetworks()
    {
        enterWirelessModeConnected();
        m_configuration->setWirelessNetworks({openNetwork("Cafe"), openNetwork("Attic")});
        post(new ManagerEvent::ReloadAps);
        QVERIFY(isActive("WirelessWaitingState"));
        QCOMPARE(take(), QStringList{"wireless enable Attic,Cafe"});
        // Also from the waiting state itself.
        post(new ManagerEvent::ReloadAps);
        QCOMPARE(take(), QStringList{"wireless enable Attic,Cafe"});
    }

    void wpsInWirelessModeEndsByEnablingTheCurrentNetworks()
    {
        enterWirelessModeConnected();
        post(new ManagerEvent::WpsPbc);
        QVERIFY(isActive("WirelessWpsState"));
        QCOMPARE(take(), QStringList{"wireless wps pbc"});
        m_configuration->setWirelessNetworks({openNetwork("Cafe")});
        emit m_wireless->wpsCredentials(openNetwork("FromWps"));
        QVERIFY(isActive("WirelessWaitingState"));
        QCOMPARE(take(), QStringList{"wireless enable Cafe"});

        post(new ManagerEvent::WpsPbc);
        emit m_wireless->wpsError("timed out");
        QVERIFY(isActive("WirelessWaitingState"));
        QCOMPARE(take(), (QStringList{"wireless wps pbc", "wireless enable Cafe"}));

        // A second PIN restarts the session.
        expectLog(QtInfoMsg, "Entering state: WirelessWpsState");
        post(new ManagerEvent::WpsPin("12345670"));
        expectLog(QtInfoMsg, "Exiting state: WirelessWpsState");
        expectLog(QtInfoMsg, "Entering state: WirelessWpsState");
        post(new ManagerEvent::WpsPin("87654321"));
        QCOMPARE(take(), (QStringList{"wireless wps pin 12345670", "wireless wps pin 87654321"}));
        post(new ManagerEvent::ReloadAps);
        QVERIFY(isActive("WirelessWaitingState"));
        QCOMPARE(take(), QStringList{"wireless enable Cafe"});
    }

    void wpsInWiredModeRunsBesideWiredBlock()
    {
        enterWiredMode();
        emit m_wired->waitingInterfaceRunning();
        emit m_wired->ready();
        take();
        post(new ManagerEvent::WpsPbc);
        QVERIFY(isActive("WirelessWpsState"));
        QVERIFY(isActive("WiredConnectedState"));
        QCOMPARE(take(), QStringList{"wireless wps pbc"});
        post(new ManagerEvent::WpsPin("12345670"));
        QCOMPARE(take(), QStringList{"wireless wps pin 12345670"});

        emit m_wireless->wpsCredentials(openNetwork("FromWps"));
        QVERIFY(isActive("WirelessDisabledState"));
        QVERIFY(isActive("WiredConnectedState"));
        QCOMPARE(take(), QStringList{"wireless disable"});
    }

    void automaticModeHandsOverBetweenInterfaces()
    {
        post(new ManagerEvent::Automatic);
        QCOMPARE(active(), AutomaticWaiting);
        QCOMPARE(take(), (QStringList{"wired enable", "wireless enable Home"}));
        emit m_wireless->waitingInterfaceRunning();
        emit m_wireless->ready();
        QVERIFY(isActive("WirelessConnectedState"));
        take();

        // Cable in: wireless goes, then wired IP set-up once wireless reports disabled.
        emit m_wired->waitingInterfaceRunning();
        QVERIFY(isActive("AutomaticWirelessDisabledState"));
        QVERIFY(isActive("WirelessDisabledState"));
        QCOMPARE(take(), QStringList{"wireless disable"});
        emit m_wireless->disabled();
        QCOMPARE(take(), QStringList{"wired activate 192.168.50.9"});
        emit m_wired->ready();
        QVERIFY(isActive("WiredConnectedState"));

        // Cable out: back to wireless with the networks configured by now.
        m_configuration->setWirelessNetworks({openNetwork("Cafe")});
        emit m_wired->disconnected();
        QCOMPARE(active(), AutomaticWaiting);
        QCOMPARE(take(), (QStringList{"wired enable", "wireless enable Cafe"}));
    }

    void automaticWpsRemembersWhereToReturn()
    {
        post(new ManagerEvent::Automatic);
        take();
        post(new ManagerEvent::WpsPbc);
        QVERIFY(isActive("AutomaticWpsTargetEnabledState"));
        QCOMPARE(take(), QStringList{"wireless wps pbc"});
        // A second request during the session does not restart it.
        post(new ManagerEvent::WpsPin("12345670"));
        QVERIFY(isActive("AutomaticWpsTargetEnabledState"));
        QCOMPARE(take(), QStringList());

        // The cable arrives during the session: it ends with wireless left disabled.
        emit m_wired->waitingInterfaceRunning();
        QVERIFY(isActive("AutomaticWpsTargetDisabledState"));
        QCOMPARE(take(), QStringList{"wireless disable"});
        emit m_wireless->wpsError("overlap");
        QVERIFY(isActive("AutomaticWirelessDisabledState"));
        QCOMPARE(take(), QStringList());

        // Started while wired is in use, a session whose cable goes ends with wireless enabled.
        post(new ManagerEvent::WpsPbc);
        QVERIFY(isActive("AutomaticWpsTargetDisabledState"));
        emit m_wired->waiting();
        QVERIFY(isActive("AutomaticWpsTargetEnabledState"));
        take();
        emit m_wireless->wpsCredentials(openNetwork("FromWps"));
        QVERIFY(isActive("WirelessWaitingState"));
        QCOMPARE(take(), QStringList{"wireless enable Home"});
    }

    void hybridModeRunsBothBlocks()
    {
        post(new ManagerEvent::Hybrid);
        QCOMPARE(take(), (QStringList{"wired enable", "wireless enable Home", "wired enable", "wireless enable Home"}));
        emit m_wired->waitingInterfaceRunning();
        emit m_wireless->waitingInterfaceRunning();
        QCOMPARE(take(), (QStringList{"wired activate 192.168.50.9", "wireless activate "}));
        emit m_wireless->ready();
        QVERIFY(isActive("WirelessConnectedState"));
        QVERIFY(isActive("WiredIpsetupState"));
        emit m_wired->ready();
        QVERIFY(isActive("WiredConnectedState"));
        emit m_wireless->waiting();
        QVERIFY(isActive("WiredConnectedState"));
        QVERIFY(isActive("WirelessWaitingState"));
    }
};

QTEST_GUILESS_MAIN(TestModeMachine)
#include "tst_modemachine.moc"
