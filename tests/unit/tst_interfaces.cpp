// The interface controllers over recording fakes: every transition of the wired and the wireless
// client's and soft APs' machines from a table, timers, log lines and what they read from /sys.
#include "InterfaceSoftap.h"
#include "InterfaceState.h"
#include "InterfaceTestSupport.h"
#include "InterfaceWired.h"
#include "InterfaceWireless.h"
#include "InterfaceWirelessStates.h"

#include <QElapsedTimer>

namespace {

const InterfaceName Wlan0(QStringLiteral("kivwlan0"));
const InterfaceName Uap0(QStringLiteral("kivuap0"));
const InterfaceName Uap1(QStringLiteral("kivuap1"));
const WirelessNetwork Home(Ssid::fromString("Home"), SecurityType::WpaPsk, "secret123");
const WirelessNetwork Cafe(Ssid::fromString("Cafe"), SecurityType::Unsecured);
const InterfaceConfiguration Activated(Wlan0.toString(), "192.0.2.10", "255.255.255.0", "192.0.2.1", {}, {});
const InterfaceConfiguration Reloaded(Wlan0.toString(), "192.0.2.20", "255.255.255.0", "192.0.2.1", {}, {});

// A controller over the fakes; driver calls, supplicant calls, address manager calls and signals
// all go to one journal, in order.
struct WirelessController
{
    RecordingDriver driver;
    QStringList &journal = driver.commands;
    FakeSupplicantFactory factory{&journal};
    JournalAddressManager address{Wlan0, &journal};
    InterfaceWireless wireless;

    explicit WirelessController(const QList<QString> &softAps = {})
        : wireless(Wlan0, softAps, &driver, &address, nullptr, &factory)
    {
        using W = InterfaceWireless;
        for (auto [signal, line] : {std::pair{&W::disabled, "disabled"}, {&W::enabled, "enabled"}, {&W::waiting, "waiting"},
                                    {&W::waitingInterfaceRunning, "waitingInterfaceRunning"}, {&W::waitingIpSetup, "waitingIpSetup"},
                                    {&W::ready, "ready"}, {&W::disconnecting, "disconnecting"}, {&W::reconnecting, "reconnecting"},
                                    {&W::unready, "unready"}})
            QObject::connect(&wireless, signal, [this, line = line] { journal << QLatin1String(line); });
        const auto text = [this](const char *format) {
            return [this, format](const auto &value) { journal << QString::fromLatin1(format).arg(value); };
        };
        QObject::connect(&wireless, &W::statusChanged, [=](InterfaceStatus s) { text("statusChanged(%1)")(int(s)); });
        QObject::connect(&wireless, &W::scanResults, [=](const QList<ApDescription> &r) { text("scanResults(%1)")(r.size()); });
        QObject::connect(&wireless, &W::wpsCredentials, [=](const WirelessNetwork &n) { text("wpsCredentials(%1)")(n.ssid().toString()); });
        QObject::connect(&wireless, &W::wpsError, text("wpsError(%1)"));
        QObject::connect(&wireless, &W::softapReady, [=](const InterfaceName &ap) { text("softapReady(%1)")(ap.toString()); });
        QObject::connect(&wireless, &W::softapUnready, [=](const InterfaceName &ap) { text("softapUnready(%1)")(ap.toString()); });
        settle();
    }

    // Feeds the machines the space-separated events (or signals) through the controller and its fakes.
    void apply(const QString &events, const InterfaceName &ap = Uap0)
    {
        static const QHash<QString, std::function<void(WirelessController &, const InterfaceName &)>> operations{
            {"InterfaceAdded", [](auto &c, auto &) { c.wireless.interfaceAdded(Wlan0); }},
            {"InterfaceRemoved", [](auto &c, auto &) { c.wireless.interfaceRemoved(Wlan0); }},
            {"InterfaceStarted", [](auto &c, auto &) { c.wireless.setUpState(Wlan0, true); }},
            {"InterfaceStopped", [](auto &c, auto &) { c.wireless.setUpState(Wlan0, false); }},
            {"Enable", [](auto &c, auto &) { c.wireless.enable({Home}); }},
            {"EnableBoth", [](auto &c, auto &) { c.wireless.enable({Home, Cafe}); }},
            {"EnableCafe", [](auto &c, auto &) { c.wireless.enable({Cafe}); }},
            {"Disable", [](auto &c, auto &) { c.wireless.disable(); }},
            {"Activate", [](auto &c, auto &) { c.wireless.activate(Activated); }},
            {"ReloadIp", [](auto &c, auto &) { c.wireless.reloadIp(Reloaded); }},
            {"Wps", [](auto &c, auto &) { c.wireless.wpsPbc(); }},
            {"WpsPin", [](auto &c, auto &) { c.wireless.wpsPin("12345670"); }},
            {"Scan", [](auto &c, auto &) { c.wireless.scan(); }},
            {"ScanFinished", [](auto &c, auto &) { emit c.factory.made->scanResults({ApDescription()}); }},
            {"timeout", [](WirelessController &c, auto &) { emit c.wireless.findChild<WirelessScanActive *>()->timeout(); }},
            {"SupplicantConnected", [](auto &c, auto &) { emit c.factory.made->connected(); }},
            {"SupplicantConfigured", [](auto &c, auto &) { emit c.factory.made->configured(); }},
            {"IpSetupComplete", [](auto &c, auto &) { emit c.address.connected(); }},
            {"IpSetupError", [](auto &c, auto &) { emit c.address.disconnected(); }},
            {"wpsCredentials", [](auto &c, auto &) { emit c.factory.made->wpsFinished(Cafe); }},
            {"wpsError", [](auto &c, auto &) { emit c.factory.made->wpsError("failed"); }},
            {"SoftApAdded", [](auto &c, auto &ap) { c.wireless.interfaceAdded(ap); }},
            {"SoftApRemoved", [](auto &c, auto &ap) { c.wireless.interfaceRemoved(ap); }},
            {"SoftApStarted", [](auto &c, auto &ap) { c.wireless.setUpState(ap, true); }},
            {"StartSoftAp", [](auto &c, auto &ap) { c.wireless.startSoftAp(ap); }},
            {"StopSoftAp", [](auto &c, auto &ap) { c.wireless.stopSoftAp(ap); }},
            {"SoftApReload", [](auto &c, auto &ap) {
                 c.wireless.updateSoftApSettings(SoftApSettings(Ssid::fromString("renamed"), ap.toString()));
             }},
        };
        for (const QString &event : events.split(' ', Qt::SkipEmptyParts)) {
            QVERIFY2(operations.contains(event), qPrintable(event));
            operations.value(event)(*this, ap);
            settle();
        }
    }

    // The client's states and those of kivuap0, without the suffix of its name.
    QStringList active() const
    {
        QStringList labels;
        for (const QAbstractState *state : wireless.stateMachine()->configuration() + wireless.softApStateMachine()->configuration())
            labels << state->objectName();
        labels.sort();
        return labels.filter(QRegularExpression("^(?!softAp)|_kivuap0$")).replaceInStrings("_kivuap0", "");
    }
    const QStringList &seen() const { return journal; }
    bool isConnected() const { return wireless.isConnected(); }
};

// Events or signals, and what they give from the source, reached the way the first row into it goes.
const TransitionRow ClientTable[] = {
    {"WirelessNoInterface", "InterfaceAdded", "WirelessInterfaceDown", "interfaceAdded statusChanged(1)"},
    {"WirelessNoInterface", "InterfaceStopped", "WirelessInterfaceDown", "interfaceAdded statusChanged(1)"},
    {"WirelessNoInterface", "InterfaceStarted", "WirelessInterfaceUp", "interfaceAdded disable disabled statusChanged(2)"},
    {"WirelessInterfaceUp", "InterfaceRemoved", "WirelessNoInterface", "disabled statusChanged(0) interfaceRemoved"},
    {"WirelessInterfaceUp", "InterfaceStopped", "WirelessInterfaceDown", "disabled statusChanged(1)"},
    {"WirelessInterfaceDown", "InterfaceRemoved", "WirelessNoInterface", "statusChanged(0) interfaceRemoved"},
    {"WirelessInterfaceDown", "InterfaceStarted", "WirelessInterfaceUp", "disable disabled statusChanged(2)"},
    {"WirelessScanInactive", "Scan", "WirelessScanActive", "scan"},
    {"WirelessScanInactive", "InterfaceStopped", "WirelessScanDisabled", "disabled statusChanged(1)"},
    {"WirelessScanActive", "Scan", "WirelessScanActive", "scanResults(0) scan"},
    {"WirelessScanActive", "ScanFinished", "WirelessScanInactive", "scanResults(1)"},
    {"WirelessScanActive", "timeout", "WirelessScanInactive", "scanResults(0)"},
    {"WirelessScanActive", "InterfaceStopped", "WirelessScanDisabled", "scanResults(0) disabled statusChanged(1)"},
    {"WirelessScanDisabled", "InterfaceStarted", "WirelessScanInactive", "interfaceAdded disable disabled statusChanged(2)"},
    {"WirelessScanDisabled", "Scan", "WirelessScanDisabled", "scanResults(0)"},
    {"WirelessInterfaceDownDisabled", "Disable", "WirelessInterfaceDownDisabled", "disabled"},
    {"WirelessInterfaceDownDisabled", "Enable", "WirelessInterfaceDownEnabled", "enabled"},
    {"WirelessInterfaceDownDisabled", "Wps", "WirelessInterfaceDownWps", ""},
    {"WirelessInterfaceDownDisabled", "InterfaceStarted", "WirelessDisabled", "interfaceAdded disable disabled statusChanged(2)"},
    {"WirelessInterfaceDownEnabled", "Disable", "WirelessInterfaceDownDisabled", "disabled"},
    {"WirelessInterfaceDownEnabled", "Wps", "WirelessInterfaceDownWps", ""},
    {"WirelessInterfaceDownEnabled", "InterfaceStarted", "WirelessEnabled",
     "interfaceAdded enabled enable(Home) waiting statusChanged(2)"},
    {"WirelessInterfaceDownWps", "Disable", "WirelessInterfaceDownDisabled", "disabled"},
    {"WirelessInterfaceDownWps", "Enable", "WirelessInterfaceDownEnabled", "enabled"},
    {"WirelessInterfaceDownWps", "InterfaceStarted", "WirelessWps", "interfaceAdded wpsPbc statusChanged(2)"},
    {"WirelessDisabled", "Disable", "WirelessDisabled", "disable disabled"},
    {"WirelessDisabled", "Enable", "WirelessEnabled", "enabled enable(Home) waiting"},
    {"WirelessDisabled", "Wps", "WirelessWps", "wpsPbc"},
    {"WirelessDisabled", "InterfaceRemoved", "WirelessInterfaceDownDisabled", "disabled statusChanged(0) interfaceRemoved"},
    {"WirelessDisabled", "InterfaceStopped", "WirelessInterfaceDownDisabled", "disabled statusChanged(1)"},
    {"WirelessEnabled", "Enable", "WirelessEnabled", "enabled enable(Home) waiting"},
    {"WirelessEnabled", "EnableCafe", "WirelessEnabled", "enabled enable(Cafe) waiting"},
    {"WirelessEnabled", "Disable", "WirelessDisabled", "disable disabled"},
    {"WirelessEnabled", "Wps", "WirelessWps", "wpsPbc"},
    {"WirelessEnabled", "InterfaceRemoved", "WirelessInterfaceDownEnabled", "enabled statusChanged(0) interfaceRemoved"},
    {"WirelessEnabled", "InterfaceStopped", "WirelessInterfaceDownEnabled", "enabled statusChanged(1)"},
    {"WirelessWaiting", "SupplicantConnected", "WirelessWaitingInterfaceRunning", "waitingInterfaceRunning"},
    {"WirelessWaitingInterfaceRunning", "Activate", "WirelessIpRunning", "start(192.0.2.10) waitingIpSetup"},
    {"WirelessWaitingInterfaceRunning", "SupplicantConfigured", "WirelessReconnecting", "reconnecting"},
    {"WirelessReconnecting", "SupplicantConnected", "WirelessWaitingInterfaceRunning", "waitingInterfaceRunning"},
    {"WirelessIpRunning", "ReloadIp", "WirelessIpRunning", "stop unready start(192.0.2.20) waitingIpSetup"},
    {"WirelessIpRunning", "SupplicantConfigured", "WirelessReconnecting", "stop unready reconnecting"},
    {"WirelessWaitingIpSetup", "IpSetupComplete", "WirelessReady", "ready"},
    {"WirelessReady", "IpSetupError", "WirelessWaitingIpSetup", "waitingIpSetup"},
    {"WirelessWps", "Wps", "WirelessWps", "wpsPbc"},
    {"WirelessWps", "Enable", "WirelessEnabled", "enabled enable(Home) waiting"},
    {"WirelessWps", "Disable", "WirelessDisabled", "disable disabled"},
    {"WirelessWps", "InterfaceRemoved", "WirelessInterfaceDownWps", "statusChanged(0) interfaceRemoved"},
    {"WirelessWps", "InterfaceStopped", "WirelessInterfaceDownWps", "statusChanged(1)"},
    {"WirelessWps", "wpsCredentials", "WirelessDisabled", "wpsCredentials(Cafe) disable disabled"},
    {"WirelessWps", "wpsError", "WirelessDisabled", "wpsError(failed) disable disabled"},
    // The networks of the enabling Enable are kept; a PIN waits for the interface. A command in
    // WirelessReady is held for the ready pause (a scan is not); losing the interface ends the pause
    // at once, the held command first.
    {"WirelessInterfaceDownDisabled", "EnableBoth EnableCafe InterfaceStarted", "WirelessEnabled",
     "enabled interfaceAdded enabled enable(Cafe,Home) waiting statusChanged(2)"},
    {"WirelessInterfaceDownDisabled", "WpsPin InterfaceStarted", "WirelessWps", "interfaceAdded wpsPin(12345670) statusChanged(2)"},
    {"WirelessReady", "Disable", "WirelessReady", "disconnecting"},
    {"WirelessReady", "Scan ScanFinished", "WirelessReady", "scan scanResults(1)"},
    {"WirelessReady", "Disable InterfaceStopped", "WirelessInterfaceDownDisabled",
     "disconnecting stop unready disable disabled disabled statusChanged(1)"},
};

// Transitions of kivuap0's machine beside kivuap1's and the soft-AP signals they give.
const TransitionRow SoftApTable[] = {
    {"softApNoInterface", "SoftApAdded", "softApStopped", ""},
    {"softApNoInterface", "SoftApStarted SoftApAdded", "softApStopped", ""},
    {"softApNoInterface", "StartSoftAp", "softApNoInterfaceEnabled", ""},
    {"softApNoInterfaceEnabled", "SoftApAdded", "softApFirstSession", "softapReady(kivuap0)"},
    {"softApNoInterfaceEnabled", "StopSoftAp", "softApNoInterface", ""},
    {"softApStopped", "StartSoftAp", "softApFirstSession", "softapReady(kivuap0)"},
    {"softApStopped", "SoftApRemoved", "softApNoInterface", ""},
    {"softApStarted", "StopSoftAp", "softApStopped", "softapUnready(kivuap0)"},
    {"softApStarted", "SoftApRemoved", "softApNoInterfaceEnabled", "softapUnready(kivuap0)"},
    {"softApStarted", "SoftApReload", "softApFirstSession", "softapUnready(kivuap0) softapReady(kivuap0)"},
    {"softApFirstSession", "InterfaceStarted Enable SupplicantConnected", "softApNextSession", ""},
    {"softApNextSession", "Enable SupplicantConnected", "softApNextSession", ""},
};

const InterfaceName Wired0(QStringLiteral("kivwired0"));

// A controller over a recording driver and the address fake, whose signals go to the same journal.
struct WiredController
{
    RecordingDriver driver;
    QStringList &journal = driver.commands;
    JournalAddressManager address{Wired0, &journal};
    InterfaceWired wired;

    explicit WiredController(const InterfaceName &name = Wired0) : wired(name, &driver, &address)
    {
        using W = InterfaceWired;
        for (auto [signal, line] : {std::pair{&W::enabled, "enabled"}, {&W::disabled, "disabled"}, {&W::waiting, "waiting"},
                                    {&W::waitingInterfaceRunning, "waitingInterfaceRunning"}, {&W::waitingIpSetup, "waitingIpSetup"},
                                    {&W::ready, "ready"}, {&W::disconnecting, "disconnecting"}, {&W::disconnected, "disconnected"},
                                    {&W::unready, "unready"}})
            QObject::connect(&wired, signal, [this, line = line] { journal << QLatin1String(line); });
        QObject::connect(&wired, &W::cableStatus, [this](bool in) { journal << (in ? "cableStatus(true)" : "cableStatus(false)"); });
        QObject::connect(&wired, &W::statusChanged, [this](InterfaceStatus s) { journal << QStringLiteral("statusChanged(%1)").arg(int(s)); });
    }

    // Feeds the machine the space-separated events through the controller's operations.
    void apply(const QString &events)
    {
        static const QHash<QString, std::function<void(WiredController &)>> operations{
            {"InterfaceAdded", [](auto &c) { c.wired.interfaceAdded(Wired0); }},
            {"InterfaceRemoved", [](auto &c) { c.wired.interfaceRemoved(Wired0); }},
            {"InterfaceStarted", [](auto &c) { c.wired.setUpState(Wired0, true); }},
            {"InterfaceStopped", [](auto &c) { c.wired.setUpState(Wired0, false); }},
            {"Enable", [](auto &c) { c.wired.enable(); }},
            {"Disable", [](auto &c) { c.wired.disable(); }},
            {"Activate", [](auto &c) { c.wired.activate(Activated); }},
            {"ReloadIp", [](auto &c) { c.wired.reloadIp(Reloaded); }},
            {"CablePluggedIn", [](auto &c) { c.wired.setRunningState(true); }},
            {"CableUnplugged", [](auto &c) { c.wired.setRunningState(false); }},
            {"IpSetupComplete", [](auto &c) { emit c.address.connected(); }},
            {"IpSetupError", [](auto &c) { emit c.address.disconnected(); }},
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
const TransitionRow WiredTable[] = {
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

class TestInterfaces : public QObject
{
    Q_OBJECT

    // Stand-in for "iw": the real one must never create interfaces on a test machine.
    FakePrograms m_programs;
    const QList<QString> m_softAps{Uap0.toString(), Uap1.toString()};
    QHash<QString, QString> m_wiredRoutes, m_routes, m_softApRoutes;

private slots:
    void initTestCase()
    {
        quietStateLogs();
        QVERIFY(m_programs.install("iw"));
        m_programs.putFirstOnPath();
        m_wiredRoutes = routesThrough<WiredController>(WiredTable);
        m_routes = routesThrough<WirelessController>(ClientTable);
        m_softApRoutes = routesThrough<WirelessController>(SoftApTable, m_softAps);
        if (!inPrivateNamespaces())
            return;
        // An interface made here shows under /sys only with a sysfs of this network namespace.
        QCOMPARE(run("mount", {"-t", "sysfs", "sysfs", "/sys"}), 0);
        QCOMPARE(run("ip", {"link", "add", "kivdown0", "type", "veth", "peer", "name", "kivdown0p"}), 0);
    }

    void cleanup() { KivLog::debugLevel = 0; }

    void eachWiredTransitionReachesItsTarget_data() { addTransitionRows(WiredTable); }
    void eachWiredTransitionReachesItsTarget() { checkTransition<WiredController>(m_wiredRoutes, "WiredReady"); }

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
        if (!inPrivateNamespaces())
            QSKIP("needs a private mount namespace (root and unshare)");
        // A tmpfs over /sys/class/net holds the made-up interface; a link that is down answers EINVAL.
        QCOMPARE(run("mount", {"-t", "tmpfs", "kivcarrier", "/sys/class/net"}), 0);
        const auto unmount = qScopeGuard([] { run("umount", {"-R", "/sys/class/net"}); });
        QCOMPARE(run("sh", {"-c", "mkdir /sys/class/net/kivfake0 && cd /sys/class/net/kivfake0 && " + setup}), 0);
        WiredController controller{InterfaceName(QStringLiteral("kivfake0"))};
        settle();
        KivLog::debugLevel = 1;
        LogCapture capture;
        QTEST(controller.wired.isCablePluggedIn(), "pluggedIn");
        QTEST(capture.lines().join('\n').remove("InterfaceWired.cpp "), "log");
    }

    void eachClientTransitionReachesItsTarget_data() { addTransitionRows(ClientTable); }
    void eachClientTransitionReachesItsTarget() { checkTransition<WirelessController>(m_routes, "WirelessReady"); }

    // The 5 s pause and the 15 s scan watchdog run side by side.
    void timersOfPauseAndScan()
    {
        auto ready = controllerIn<WirelessController>(m_routes.value("WirelessReady"));
        auto scanning = controllerIn<WirelessController>(m_routes.value("WirelessScanInactive"));
        QElapsedTimer clock;
        clock.start();
        qint64 reenabledAfter = -1;
        QObject::connect(&ready->wireless, &InterfaceWireless::waiting, [&] { reenabledAfter = clock.elapsed(); });
        KivLog::debugLevel = 1;
        LogCapture log;
        ready->apply("EnableCafe");
        scanning->apply("Scan");
        QTRY_VERIFY_WITH_TIMEOUT(reenabledAfter >= 0, InterfaceWireless::ReadyPauseMs + 30000);
        // The machine's coarse timer may fire up to 5% early; a loaded machine may deliver it late.
        QVERIFY2(reenabledAfter >= InterfaceWireless::ReadyPauseMs * 95 / 100, qPrintable(QString::number(reenabledAfter)));
        QCOMPARE(ready->journal, QStringList({"disconnecting", "stop", "unready", "enabled", "enable(Cafe)", "waiting"}));
        QCOMPARE(log.texts().filter(QRegularExpression("Starting wait period...|(Queuing|Posting delayed) event: Enable$")).size(), 3);

        // A second scan after ~5 s fails the first and gets a full 15 s of its own.
        const qint64 secondScan = clock.elapsed();
        scanning->apply("Scan");
        QTRY_COMPARE_WITH_TIMEOUT(scanning->journal.size(), 4, WirelessScanActive::ScanTimeoutMs + 30000);
        QCOMPARE(scanning->journal.last(), QStringLiteral("scanResults(0)"));
        QVERIFY(clock.elapsed() - secondScan >= WirelessScanActive::ScanTimeoutMs * 95 / 100);
    }

    // State lines carry the interface's name; the wireless controller also routes by name.
    void commandsAndRoutingAreLogged()
    {
        {
            LogCapture log;
            WiredController().apply("Enable Activate ReloadIp InterfaceAdded InterfaceStarted CablePluggedIn CableUnplugged "
                                    "IpSetupComplete IpSetupError InterfaceRemoved");
            const QStringList wired = log.lines().replaceInStrings(QRegularExpression("^INFO \\S+ "), "");
            QVERIFY(wired.contains("Interface kivwired0 entering state: WiredNoInterfaceDisabled"));
            QCOMPARE(wired.filter(QRegularExpression("^(?!Interface kivwired0 \\w+ing state: )")),
                     QStringList({"kivwired0 enabling...", "kivwired0 activating...", "kivwired0 reloading IP...", "Interface kivwired0 added",
                                  "kivwired0 is now up", "kivwired0 is now down", "kivwired0 address connected",
                                  "kivwired0 address disconnected", "Interface kivwired0 removed", "kivwired0 disabling..."}));
        }
        LogCapture log;
        {
            WirelessController controller({Uap0.toString()});
            controller.apply("EnableBoth Activate ReloadIp Scan Wps WpsPin StartSoftAp StopSoftAp SoftApRemoved IpSetupComplete "
                             "IpSetupError");
            // Names of neither the client nor a soft AP.
            controller.apply("SoftApAdded SoftApStarted SoftApReload", InterfaceName("other0"));
        }
        // Messages other than debug and state lines, without their level and source file.
        QCOMPARE(log.lines().filter(QRegularExpression("^(INFO|WARN|ERROR) (?!.*( state: |multichannel))"))
                     .replaceInStrings(QRegularExpression("^\\w+ \\S+ "), ""),
                 QStringList({"kivwlan0 enabling with a list of 2 networks", "kivwlan0 activating...", "kivwlan0 reloading IP...",
                              "kivwlan0 scanning...", "kivwlan0 starting wps", "kivwlan0 starting wps with PIN \"12345670\"",
                              "kivwlan0 starting softAp: kivuap0", "kivwlan0 stopping softAp: kivuap0", "Interface kivuap0 removed",
                              "kivwlan0 address connected", "kivwlan0 address disconnected", "Interface other0 added",
                              "Invalid interface name: other0",
                              "InterfaceWireless::setUpState called with unknown interface name: other0, status = true",
                              "Interface 'other0' does not exist", "kivwlan0 disabling..."}));
    }

    void softApTransitionsFollowTheirOwnName_data() { addTransitionRows(SoftApTable); }

    // The same soft-AP event for kivuap1 first leaves kivuap0 and the client machine where they are.
    void softApTransitionsFollowTheirOwnName()
    {
        QFETCH(QString, source);
        QFETCH(QString, event);
        QFETCH(QString, target);

        auto controller = controllerIn<WirelessController>(m_softApRoutes.value(source), m_softAps);
        QVERIFY2(controller->active().contains(source), qPrintable(controller->active().join(", ")));
        if (event.contains(QLatin1String("SoftAp"))) {
            const QStringList before = controller->active();
            controller->apply(event, Uap1);
            QCOMPARE(controller->active(), before);
        }
        LogCapture log;
        controller->apply(event);
        QVERIFY2(controller->active().contains(target), qPrintable(controller->active().join(", ")));
        QTEST(controller->journal.filter("(kivuap0)"), "journal");
        QCOMPARE(controller->wireless.isSoftApStarted(Uap0), controller->active().contains("softApStarted"));
        // A next session restarts the processes of the soft AP (here without an interface to run on).
        QCOMPARE(log.texts().filter("Restarting SoftAp").size(), target == QLatin1String("softApNextSession") ? 1 : 0);
    }

    // A change of the domain name alone is not taken; a value that would break a file line stops the
    // start with the field named (each field's check is the soft-AP files' test).
    void softApSettingsChangesAndUnwritableValues()
    {
        auto controller = controllerIn<WirelessController>(m_softApRoutes.value("softApFirstSession"), m_softAps);
        QVariantMap map = controller->wireless.softApSettings().value(Uap0.toString()).toMap();
        map.insert("domainName", "setup.local");
        controller->wireless.updateSoftApSettings(SoftApSettings(map));
        settle();
        QCOMPARE(controller->journal, QStringList());
        QCOMPARE(controller->wireless.softApSettings().value(Uap0.toString()).toMap().value("domainName").toString(), QString());

        map.insert("ssid", "two\nlines");
        LogCapture log;
        controller->wireless.updateSoftApSettings(SoftApSettings(map));
        settle();
        QCOMPARE(controller->journal, QStringList({"softapUnready(kivuap0)", "softapReady(kivuap0)"}));
        QCOMPARE(log.lines().filter("softap"), QStringList({"ERROR WirelessSoftApStarted.cpp Can't start softap, \"kivuap0\" "
                                                            "setting ssid can't be written to its configuration files!"}));
    }

    // Driver parameters as "MODULE=VALUE": mwifiex's "drcs", the others' "cfg80211_drcs".
    void multichannelFromDriverParametersSetsTheSoftApChannel_data()
    {
        QTest::addColumn<QString>("parameters");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("clientChannel");
        QTest::addColumn<int>("channel");
        const QString none = "\"kivwlan0\" & (\"kivuap0\", \"kivuap1\") have no multichannel support, falling back to "
                             "softap channel following";
        const QString off = "\"kivwlan0\" supports multichannel but is NOT enabled. Please enable support by passing "
                            "cfg80211_drcs=1 when modprobe-ing the driver. (Marvell MLAN driver - \"%1\")";
        const QString on = "\"kivwlan0\" has multichannel support (Marvell %1)";
        // Without multichannel the soft AP takes the client's channel, or its own (11) with no client.
        QTest::newRow("DRCS") << "mwifiex=0" << QStringList{on.arg("DRCS")} << 6 << 11;
        QTest::newRow("first module off, second on")
            << "sd8xxx=0 sdxxx=1" << QStringList{off.arg("sd8xxx"), on.arg("MLAN driver - \"sdxxx\"")} << 6 << 11;
        QTest::newRow("both off") << "sd8xxx=0 sdxxx=0" << QStringList{off.arg("sd8xxx"), off.arg("sdxxx"), none} << 6 << 6;
        QTest::newRow("empty file skipped, no client") << "sd8xxx=" << QStringList{none} << 0 << 11;
    }

    void multichannelFromDriverParametersSetsTheSoftApChannel()
    {
        QFETCH(QString, parameters);
        QFETCH(QStringList, lines);
        QFETCH(int, clientChannel);
        if (!inPrivateNamespaces())
            QSKIP("needs a private mount namespace (root and unshare)");
        // A tmpfs over /sys/module holds the parameters.
        QCOMPARE(run("mount", {"-t", "tmpfs", "kivmodules", "/sys/module"}), 0);
        const auto unmount = qScopeGuard([] { run("umount", {"/sys/module"}); });
        const QString write = "cd /sys/module && for p in $0; do m=${p%%=*} && f=$m/parameters/cfg80211_drcs && { [ $m != mwifiex ] || "
                              "f=$m/parameters/drcs; } && mkdir -p ${f%/*} && printf %s \"${p#*=}\" > $f || exit 1; done";
        QCOMPARE(run("sh", {"-c", write, parameters}), 0);
        LogCapture log;
        WirelessController controller({Uap0.toString(), Uap1.toString()});
        QCOMPARE(controller.wireless.hasMultichannel(), lines.last().contains(" has multichannel support"));
        controller.factory.made->channel = clientChannel;
        QTEST(controller.wireless.softApChannel(), "channel");
        QCOMPARE(log.texts().filter("multichannel").replaceInStrings(QRegularExpression("^[\\w.]+:\\d+ "), QString()), lines);
        // DRCS is switched on where the driver offers it.
        QFile drcs("/sys/module/mwifiex/parameters/drcs");
        QCOMPARE(drcs.open(QIODevice::ReadOnly) ? drcs.readAll() : QByteArray(), QByteArray(parameters.startsWith("mwifiex") ? "1" : ""));
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestInterfaces)
#include "tst_interfaces.moc"
