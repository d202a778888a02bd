#include "InterfaceState.h"
#include "InterfaceTestSupport.h"
#include "InterfaceWired.h"

namespace {

const InterfaceName Wired0(QStringLiteral("kivwired0"));
const InterfaceConfiguration Activated(Wired0.toString(), "192.0.2.10", "255.255.255.0", "192.0.2.1", {}, {});
const InterfaceConfiguration Reloaded(Wired0.toString(), "192.0.2.20", "255.255.255.0", "192.0.2.1", {}, {});

// A controller over a recording driver and the address fake, whose signals go to the same journal.
struct Controller
{
    RecordingDriver driver;
    QStringList &journal = driver.commands;
    JournalAddressManager address{Wired0, &journal};
    InterfaceWired wired;

    explicit Controller(const InterfaceName &name = Wired0) : wired(name, &driver, &address)
    {
        using W = InterfaceWired;
        for (auto [signal, line] : {std::pair{&W::enabled, "enabled"}, {&W::disabled, "disabled"}, {&W::waiting, "waiting"},
                                    {&W::waitingInterfaceRunning, "waitingInterfaceRunning"}, {&W::waitingIpSetup, "waitingIpSetup"},
                                    {&W::ready, "ready"}, {&W::disconnecting, "disconnecting"}, {&W::disconnected, "disconnected"},
                                    {&W::unready, "unready"}})
            QObject::connect(&wired, signal, [this, line = line] { journal << QLatin1String(line); });
        QObject::connect(&wired, &W::cableStatus, [this](bool in) { journal << (in ? "cableStatus(true)" : "cableStatus(false)"); });
        QObject::connect(&wired, &W::statusChanged,
                         [this](InterfaceStatus s) { journal << QStringLiteral("statusChanged(%1)").arg(int(s)); });
    }

    // Feeds the machine the space-separated events through the controller's operations.
    void apply(const QString &events)
    {
        static const QHash<QString, std::function<void(Controller &)>> operations{
            {"InterfaceAdded", [](Controller &c) { c.wired.interfaceAdded(Wired0); }},
            {"InterfaceRemoved", [](Controller &c) { c.wired.interfaceRemoved(Wired0); }},
            {"InterfaceStarted", [](Controller &c) { c.wired.setUpState(Wired0, true); }},
            {"InterfaceStopped", [](Controller &c) { c.wired.setUpState(Wired0, false); }},
            {"Enable", [](Controller &c) { c.wired.enable(); }},
            {"Disable", [](Controller &c) { c.wired.disable(); }},
            {"Activate", [](Controller &c) { c.wired.activate(Activated); }},
            {"ReloadIp", [](Controller &c) { c.wired.reloadIp(Reloaded); }},
            {"CablePluggedIn", [](Controller &c) { c.wired.setRunningState(true); }},
            {"CableUnplugged", [](Controller &c) { c.wired.setRunningState(false); }},
            {"IpSetupComplete", [](Controller &c) { emit c.address.connected(); }},
            {"IpSetupError", [](Controller &c) { emit c.address.disconnected(); }},
        };
        for (const QString &event : events.split(' ', Qt::SkipEmptyParts)) {
            QVERIFY2(operations.contains(event), qPrintable(event));
            operations.value(event)(*this);
            settle();
        }
    }

    // The journal with the interface name left out of the driver's commands.
    QStringList seen() const { return QStringList(journal).replaceInStrings(QRegularExpression(" \\S+$"), QString()); }
    bool isConnected() const { return wired.isConnected(); }

    // The active states by name, the two WiredDisconnected told apart by creation order.
    QStringList active() const
    {
        QStringList labels;
        int disconnected = 0;
        for (InterfaceWiredState *state : wired.states()) {
            QString label = state->objectName();
            if (label == QLatin1String("WiredDisconnected"))
                label += disconnected++ ? QStringLiteral(" (replugged)") : QStringLiteral(" (unplugged)");
            if (wired.stateMachine()->configuration().contains(state))
                labels << label;
        }
        return labels;
    }
};

// What each event gives from the source, the interface names left out. Each source is reached the
// way the first row into it goes (so the presence states without leaving WiredNoInterfaceDisabled).
// A command in WiredReady is announced and held for the ready pause; a cable change ends the pause
// at once, the held command first; a completed IP set-up passes it.
const TransitionRow Table[] = {
    {"WiredNoInterface", "InterfaceStopped", "WiredInterfaceDown", "statusChanged(1)"},
    {"WiredNoInterface", "InterfaceAdded", "WiredInterfaceDown", "linkDown disabled statusChanged(1)"},
    {"WiredNoInterface", "InterfaceStarted", "WiredInterfaceUp", "statusChanged(2)"},
    {"WiredInterfaceUp", "InterfaceRemoved", "WiredNoInterface", "statusChanged(0)"},
    {"WiredInterfaceUp", "InterfaceStopped", "WiredInterfaceDown", "statusChanged(1)"},
    {"WiredInterfaceDown", "InterfaceRemoved", "WiredNoInterface", "statusChanged(0)"},
    {"WiredInterfaceDown", "InterfaceStarted", "WiredInterfaceUp", "statusChanged(2)"},
    {"WiredNoInterfaceDisabled", "Disable", "WiredNoInterfaceDisabled", "disabled"},
    {"WiredNoInterfaceDisabled", "Enable", "WiredNoInterfaceEnabled", "enabled"},
    {"WiredNoInterfaceDisabled", "InterfaceAdded", "WiredDisabled", "linkDown disabled statusChanged(1)"},
    {"WiredNoInterfaceEnabled", "Disable", "WiredNoInterfaceDisabled", "disabled"},
    {"WiredNoInterfaceEnabled", "InterfaceAdded", "WiredWaiting", "linkUp waiting statusChanged(1)"},
    {"WiredDisabled", "Disable", "WiredDisabled", "linkDown disabled"},
    {"WiredDisabled", "Enable", "WiredWaiting", "linkUp waiting"},
    {"WiredDisabled", "CablePluggedIn", "WiredDisabledInterfaceRunning", "cableStatus(true) linkDown disabled"},
    {"WiredDisabled", "InterfaceRemoved", "WiredNoInterfaceDisabled", "disabled statusChanged(0)"},
    {"WiredDisabledInterfaceRunning", "Disable", "WiredDisabledInterfaceRunning", "linkDown disabled"},
    {"WiredDisabledInterfaceRunning", "Enable", "WiredWaitingInterfaceRunning", "linkUp waitingInterfaceRunning"},
    {"WiredDisabledInterfaceRunning", "CableUnplugged", "WiredDisabled", "cableStatus(false) linkDown disabled"},
    {"WiredDisabledInterfaceRunning", "InterfaceRemoved", "WiredNoInterfaceDisabled", "disabled statusChanged(0)"},
    {"WiredWaiting", "Enable", "WiredWaiting", "linkUp waiting"},
    {"WiredWaiting", "CablePluggedIn", "WiredWaitingInterfaceRunning", "cableStatus(true) linkUp waitingInterfaceRunning"},
    {"WiredWaiting", "Disable", "WiredDisabled", "linkDown disabled"},
    {"WiredWaiting", "InterfaceRemoved", "WiredNoInterfaceEnabled", "enabled statusChanged(0)"},
    {"WiredWaitingInterfaceRunning", "Enable", "WiredWaitingInterfaceRunning", "linkUp waitingInterfaceRunning"},
    {"WiredWaitingInterfaceRunning", "CableUnplugged", "WiredWaiting", "cableStatus(false) linkUp waiting"},
    {"WiredWaitingInterfaceRunning", "Activate", "WiredIpRunning", "start(192.0.2.10) waitingIpSetup"},
    {"WiredWaitingInterfaceRunning", "Disable", "WiredDisabledInterfaceRunning", "linkDown disabled"},
    {"WiredWaitingInterfaceRunning", "InterfaceRemoved", "WiredNoInterfaceEnabled", "enabled statusChanged(0)"},
    {"WiredIpRunning", "Enable", "WiredWaitingInterfaceRunning", "stop unready linkUp waitingInterfaceRunning"},
    {"WiredIpRunning", "CableUnplugged", "WiredDisconnected (unplugged)", "cableStatus(false) stop unready disconnected"},
    {"WiredIpRunning", "ReloadIp", "WiredIpRunning", "stop unready start(192.0.2.20) waitingIpSetup"},
    {"WiredIpRunning", "Disable", "WiredDisabledInterfaceRunning", "stop unready linkDown disabled"},
    {"WiredIpRunning", "InterfaceRemoved", "WiredNoInterfaceEnabled", "stop unready enabled statusChanged(0)"},
    {"WiredWaitingIpSetup", "IpSetupComplete", "WiredReady", "ready"},
    {"WiredReady", "IpSetupError", "WiredWaitingIpSetup", "waitingIpSetup"},
    {"WiredReady", "Disable", "WiredReady", "disconnecting"},
    {"WiredReady", "InterfaceRemoved", "WiredReady", "disconnecting"},
    {"WiredReady", "IpSetupComplete", "WiredReady", ""},
    {"WiredReady", "Disable CableUnplugged", "WiredDisabled",
     "disconnecting cableStatus(false) stop unready linkDown disabled linkDown disabled"},
    {"WiredDisconnected (unplugged)", "CablePluggedIn", "WiredDisconnected (replugged)", "cableStatus(true) disconnected"},
    {"WiredDisconnected (unplugged)", "Disable", "WiredDisabled", "linkDown disabled"},
    {"WiredDisconnected (unplugged)", "Enable", "WiredWaiting", "linkUp waiting"},
    {"WiredDisconnected (unplugged)", "InterfaceRemoved", "WiredNoInterfaceEnabled", "enabled statusChanged(0)"},
    {"WiredDisconnected (replugged)", "CableUnplugged", "WiredDisconnected (unplugged)", "cableStatus(false) disconnected"},
    {"WiredDisconnected (replugged)", "Disable", "WiredDisabledInterfaceRunning", "linkDown disabled"},
    {"WiredDisconnected (replugged)", "Enable", "WiredWaitingInterfaceRunning", "linkUp waitingInterfaceRunning"},
    {"WiredDisconnected (replugged)", "InterfaceRemoved", "WiredNoInterfaceEnabled", "enabled statusChanged(0)"},
};

} // namespace

class TestInterfaceWired : public QObject
{
    Q_OBJECT

    QHash<QString, QString> m_routes;

private slots:
    void initTestCase()
    {
        quietStateLogs();
        m_routes = routesThrough<Controller>(Table);
        if (!inPrivateNamespaces())
            return;
        // An interface made here shows under /sys only with a sysfs of this network namespace.
        QCOMPARE(run("mount", {"-t", "sysfs", "sysfs", "/sys"}), 0);
        QCOMPARE(run("ip", {"link", "add", "kivdown0", "type", "veth", "peer", "name", "kivdown0p"}), 0);
    }

    void cleanup() { KivLog::debugLevel = 0; }

    void eachTransitionReachesItsTarget_data() { addTransitionRows(Table); }
    void eachTransitionReachesItsTarget() { checkTransition<Controller>(m_routes, "WiredReady"); }

    void commandsAndReportsAreLogged()
    {
        LogCapture log;
        {
            Controller controller;
            controller.apply("Enable Activate ReloadIp InterfaceAdded InterfaceStarted CablePluggedIn CableUnplugged IpSetupComplete "
                             "IpSetupError InterfaceRemoved");
        }
        const QStringList lines = log.lines().replaceInStrings(QRegularExpression("^INFO \\S+ "), "");
        // State lines carry the interface's name.
        QVERIFY(lines.contains("Interface kivwired0 entering state: WiredNoInterfaceDisabled"));
        QCOMPARE(lines.filter(QRegularExpression("^(?!Interface kivwired0 \\w+ing state: )")),
                 QStringList({"kivwired0 enabling...", "kivwired0 activating...", "kivwired0 reloading IP...",
                              "Interface kivwired0 added", "kivwired0 is now up", "kivwired0 is now down", "kivwired0 address connected",
                              "kivwired0 address disconnected", "Interface kivwired0 removed", "kivwired0 disabling..."}));
    }

    // Each row prepares the carrier file of the made-up kivfake0 with a shell command run in its folder.
    void carrierFileIsReadAsOneByte_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("pluggedIn");
        QTest::addColumn<QString>("log");
        const QString path = QStringLiteral("/sys/class/net/kivfake0/carrier");
        const QString read = "Couldn't read status from wired interface carrier file: " + path;
        QTest::newRow("missing file") << "true" << false << "ERROR Couldn't open wired interface carrier file: " + path;
        QTest::newRow("EINVAL") << "touch carrier && mount --bind /sys/devices/virtual/net/kivdown0/carrier carrier" << false << "";
        QTest::newRow("other read error") << "mkdir carrier" << false << "WARN " + read + ": Is a directory, assuming down";
        QTest::newRow("EOF") << "touch carrier" << false << "ERROR " + read + ", got EOF!? assuming down";
        QTest::newRow("0") << "echo 0 > carrier" << false << "DEBUG Read 0 from " + path;
        QTest::newRow("only the first byte counts") << "printf 10 > carrier" << true << "DEBUG Read 1 from " + path;
    }

    void carrierFileIsReadAsOneByte()
    {
        QFETCH(QString, setup);
        QFETCH(bool, pluggedIn);
        QFETCH(QString, log);
        if (!inPrivateNamespaces())
            QSKIP("needs a private mount namespace (root and unshare)");
        // A tmpfs over /sys/class/net holds the made-up interface; a link that is down answers EINVAL.
        QCOMPARE(run("mount", {"-t", "tmpfs", "kivcarrier", "/sys/class/net"}), 0);
        const auto unmount = qScopeGuard([] { run("umount", {"-R", "/sys/class/net"}); });
        QCOMPARE(run("sh", {"-c", "mkdir /sys/class/net/kivfake0 && cd /sys/class/net/kivfake0 && " + setup}), 0);
        Controller controller{InterfaceName(QStringLiteral("kivfake0"))};
        settle();
        KivLog::debugLevel = 1;
        LogCapture capture;
        QCOMPARE(controller.wired.isCablePluggedIn(), pluggedIn);
        QCOMPARE(capture.lines().join('\n').remove("InterfaceWired.cpp "), log);
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestInterfaceWired)
#include "tst_interfacewired.moc"
