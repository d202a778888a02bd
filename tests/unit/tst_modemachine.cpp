#include "KivEvents.h"
#include "LogExpect.h"
#include "ModeMachine.h"
#include "NetworkConfiguration.h"

#include <QStateMachine>
#include <QtTest>

#include <algorithm>

namespace {

// The signals the mode states follow, emitted by the test.
class FakeWired : public QObject
{
    Q_OBJECT
signals:
    void disabled();
    void waiting();
    void waitingInterfaceRunning();
    void waitingIpSetup();
    void ready();
    void disconnected();
};

class FakeWireless : public QObject
{
    Q_OBJECT
signals:
    void disabled();
    void waiting();
    void waitingInterfaceRunning();
    void waitingIpSetup();
    void ready();
    void wpsCredentials(WirelessNetwork network);
    void wpsError(QString message);
};

// Writes down every command of the states, one line each.
class RecordingCommands : public ModeCommands
{
public:
    void enableWired() override { calls << "wired enable"; }
    void disableWired() override { calls << "wired disable"; }
    void activateWired(const InterfaceConfiguration &configuration) override
    {
        calls << "wired activate " + configuration.toMap().value("Ip").toString();
    }
    void enableWireless(const QSet<WirelessNetwork> &networks) override
    {
        QStringList ssids;
        for (const WirelessNetwork &network : networks)
            ssids << network.ssid().toString();
        std::sort(ssids.begin(), ssids.end());
        calls << "wireless enable " + ssids.join(',');
    }
    void disableWireless() override { calls << "wireless disable"; }
    void activateWireless(const InterfaceConfiguration &configuration) override
    {
        calls << "wireless activate " + configuration.toMap().value("Ip").toString();
    }
    void wirelessWpsPbc() override { calls << "wireless wps pbc"; }
    void wirelessWpsPin(const QString &pin) override { calls << "wireless wps pin " + pin; }

    QStringList calls;
};

WirelessNetwork openNetwork(const char *ssid)
{
    return WirelessNetwork(Ssid::fromString(QString::fromLatin1(ssid)), SecurityType::Unsecured);
}

} // namespace

class TestModeMachine : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startsInOffModeWithBothDisabled();
    void wiredModeStartsWiredOnlyAfterWirelessDisabled();
    void wiredBlockFollowsCableAndAddress();
    void sameModeEventChangesNothing();
    void everyModeIsReachedFromEveryOther();
    void wirelessModeRunsBlockAfterWiredDisabled();
    void reconnectingReturnsToWaitingWithoutEnabling();
    void reloadApsEnablesWithCurrentNetworks();
    void wpsCredentialsInWirelessModeEnableWithCurrentNetworks();
    void secondWpsPinRestartsWps();
    void wpsIgnoredInOffModeAndBeforeWirelessDisabled();
    void wpsInWiredModeRunsBesideWiredBlock();
    void automaticModeHandsOverBetweenInterfaces();
    void automaticWpsRemembersWhereToReturn();
    void hybridModeRunsBothBlocks();

private:
    void post(QEvent *event);
    void settle();
    QStringList active() const;
    QStringList take();
    bool isActive(const char *name) const { return active().contains(QLatin1String(name)); }
    void enterWiredMode();
    void enterWirelessModeConnected();

    QStateMachine *m_machine = nullptr;
    FakeWired *m_wired = nullptr;
    FakeWireless *m_wireless = nullptr;
    NetworkConfiguration *m_configuration = nullptr;
    RecordingCommands m_commands;
    ModeStates m_modes;
};

void TestModeMachine::init()
{
    m_machine = new QStateMachine(this);
    m_wired = new FakeWired;
    m_wireless = new FakeWireless;
    m_configuration = new NetworkConfiguration(nullptr, "eth0", "wlan0", {"uap0"});
    m_configuration->setWirelessNetworks({openNetwork("Home")});
    m_configuration->setWiredIpConfiguration(
        InterfaceConfiguration("eth0", "192.168.50.9", "255.255.255.0", QString(), {}, {}));
    m_commands.calls.clear();
    m_modes = ModeMachine(m_machine, {&m_commands, m_configuration}, m_wired, m_wireless).build();
    m_machine->setInitialState(m_modes.off);
    m_machine->start();
    settle();
}

void TestModeMachine::cleanup()
{
    delete m_machine;
    delete m_wired;
    delete m_wireless;
    delete m_configuration;
}

void TestModeMachine::post(QEvent *event)
{
    m_machine->postEvent(event);
    settle();
}

void TestModeMachine::settle()
{
    for (int round = 0; round < 4; ++round)
        QCoreApplication::processEvents();
}

QStringList TestModeMachine::active() const
{
    QStringList names;
    for (QAbstractState *state : m_machine->configuration())
        names << state->objectName();
    std::sort(names.begin(), names.end());
    return names;
}

QStringList TestModeMachine::take()
{
    settle();
    const QStringList calls = m_commands.calls;
    m_commands.calls.clear();
    return calls;
}

void TestModeMachine::enterWiredMode()
{
    take();
    post(new ManagerEvent::Wired);
    emit m_wireless->disabled();
    take();
}

void TestModeMachine::enterWirelessModeConnected()
{
    post(new ManagerEvent::Wireless);
    emit m_wired->disabled();
    emit m_wireless->waitingInterfaceRunning();
    emit m_wireless->ready();
    take();
    QVERIFY(isActive("WirelessConnectedState"));
}

void TestModeMachine::startsInOffModeWithBothDisabled()
{
    QCOMPARE(active(), QStringList{"OffMode"});
    QCOMPARE(take(), (QStringList{"wired disable", "wireless disable"}));
}

void TestModeMachine::wiredModeStartsWiredOnlyAfterWirelessDisabled()
{
    take();
    expectLog(QtInfoMsg, "Exiting state: OffMode");
    expectLog(QtInfoMsg, "Entering state: WiredMode");
    expectLog(QtInfoMsg, "Entering state: WirelessDisabledState");
    post(new ManagerEvent::Wired);
    QCOMPARE(active(), (QStringList{"WiredMode", "WirelessDisabledState"}));
    QCOMPARE(take(), QStringList{"wireless disable"});

    // Wired signals mean nothing before wireless is disabled.
    emit m_wired->waitingInterfaceRunning();
    QCOMPARE(take(), QStringList());

    emit m_wireless->disabled();
    QCOMPARE(active(), (QStringList{"WiredMode", "WiredModeState", "WiredStateContainer", "WiredWaitingState",
                                    "WirelessDisabledState", "WirelessStateContainer"}));
    QCOMPARE(take(), (QStringList{"wired enable", "wireless disable"}));
}

void TestModeMachine::wiredBlockFollowsCableAndAddress()
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

void TestModeMachine::sameModeEventChangesNothing()
{
    enterWirelessModeConnected();
    LogCapture capture;
    post(new ManagerEvent::Wireless);
    QCOMPARE(capture.texts(), QStringList());
    QCOMPARE(take(), QStringList());
    QVERIFY(isActive("WirelessConnectedState"));
}

void TestModeMachine::everyModeIsReachedFromEveryOther()
{
    const QList<QPair<QEvent::Type, QString>> modes{
        {ManagerEvent::Wired::type(), "WiredMode"},       {ManagerEvent::Wireless::type(), "WirelessMode"},
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
    // Leaving a mode exits everything in it.
    post(new ManagerEvent::Off);
    QCOMPARE(active(), QStringList{"OffMode"});
}

void TestModeMachine::wirelessModeRunsBlockAfterWiredDisabled()
{
    take();
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

void TestModeMachine::reconnectingReturnsToWaitingWithoutEnabling()
{
    enterWirelessModeConnected();
    post(new ManagerEvent::Reconnecting);
    QVERIFY(isActive("WirelessWaitingState"));
    QCOMPARE(take(), QStringList());
    emit m_wireless->waitingInterfaceRunning();
    QCOMPARE(take(), QStringList{"wireless activate "});
}

void TestModeMachine::reloadApsEnablesWithCurrentNetworks()
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

void TestModeMachine::wpsCredentialsInWirelessModeEnableWithCurrentNetworks()
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
}

void TestModeMachine::secondWpsPinRestartsWps()
{
    enterWirelessModeConnected();
    expectLog(QtInfoMsg, "Entering state: WirelessWpsState");
    post(new ManagerEvent::WpsPin("12345670"));
    expectLog(QtInfoMsg, "Exiting state: WirelessWpsState");
    expectLog(QtInfoMsg, "Entering state: WirelessWpsState");
    post(new ManagerEvent::WpsPin("87654321"));
    QCOMPARE(take(), (QStringList{"wireless wps pin 12345670", "wireless wps pin 87654321"}));
    post(new ManagerEvent::ReloadAps);
    QVERIFY(isActive("WirelessWaitingState"));
    QCOMPARE(take(), QStringList{"wireless enable Home"});
}

void TestModeMachine::wpsIgnoredInOffModeAndBeforeWirelessDisabled()
{
    take();
    post(new ManagerEvent::WpsPbc);
    QCOMPARE(active(), QStringList{"OffMode"});
    post(new ManagerEvent::Wired);
    take();
    post(new ManagerEvent::WpsPin("12345670"));
    QCOMPARE(active(), (QStringList{"WiredMode", "WirelessDisabledState"}));
    QCOMPARE(take(), QStringList());
}

void TestModeMachine::wpsInWiredModeRunsBesideWiredBlock()
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

void TestModeMachine::automaticModeHandsOverBetweenInterfaces()
{
    take();
    post(new ManagerEvent::Automatic);
    QCOMPARE(active(), (QStringList{"AutomaticMode", "AutomaticWirelessEnabledContainer", "WiredStateContainer",
                                    "WiredWaitingState", "WirelessStateContainer", "WirelessWaitingState"}));
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
    QCOMPARE(active(), (QStringList{"AutomaticMode", "AutomaticWirelessEnabledContainer", "WiredStateContainer",
                                    "WiredWaitingState", "WirelessStateContainer", "WirelessWaitingState"}));
    QCOMPARE(take(), (QStringList{"wired enable", "wireless enable Cafe"}));
}

void TestModeMachine::automaticWpsRemembersWhereToReturn()
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

void TestModeMachine::hybridModeRunsBothBlocks()
{
    take();
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

QTEST_GUILESS_MAIN(TestModeMachine)
#include "tst_modemachine.moc"
