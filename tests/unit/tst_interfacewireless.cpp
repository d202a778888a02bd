#include "AddressManager.h"
#include "InterfaceSoftap.h"
#include "InterfaceTestSupport.h"
#include "InterfaceWireless.h"
#include "InterfaceWirelessStates.h"
#include "KivEvents.h"
#include "KivStateMachine.h"
#include "LogExpect.h"
#include "LogHandler.h"
#include "PrivateNamespaceMain.h"

#include <QElapsedTimer>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

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
struct Controller
{
    RecordingDriver driver;
    QStringList &journal = driver.commands;
    FakeSupplicantFactory factory{&journal};
    JournalAddressManager address{Wlan0, &journal};
    InterfaceWireless wireless;
    FakeSupplicant &supplicant;

    explicit Controller(const InterfaceName &name = Wlan0, const QList<QString> &softAps = {})
        : wireless(name, softAps, &driver, &address, nullptr, &factory), supplicant(*factory.made)
    {
        const auto note = [this](const char *line) { return [this, line] { journal << QLatin1String(line); }; };
        using W = InterfaceWireless;
        for (auto [signal, line] : {std::pair{&W::disabled, "disabled"}, {&W::enabled, "enabled"}, {&W::waiting, "waiting"},
                                    {&W::waitingInterfaceRunning, "waitingInterfaceRunning"},
                                    {&W::waitingIpSetup, "waitingIpSetup"}, {&W::ready, "ready"},
                                    {&W::disconnecting, "disconnecting"}, {&W::reconnecting, "reconnecting"},
                                    {&W::unready, "unready"}})
            QObject::connect(&wireless, signal, note(line));
        const auto text = [this](const char *format) {
            return [this, format](const auto &value) { journal << QString::fromLatin1(format).arg(value); };
        };
        const auto apName = [](const InterfaceName &ap) { return ap.toString(); };
        QObject::connect(&wireless, &W::statusChanged, [=](InterfaceStatus s) { text("statusChanged(%1)")(int(s)); });
        QObject::connect(&wireless, &W::scanResults, [=](const QList<ApDescription> &r) { text("scanResults(%1)")(r.size()); });
        QObject::connect(&wireless, &W::wpsCredentials,
                         [=](const WirelessNetwork &n) { text("wpsCredentials(%1)")(n.ssid().toString()); });
        QObject::connect(&wireless, &W::wpsError, text("wpsError(%1)"));
        QObject::connect(&wireless, &W::softapReady, [=](const InterfaceName &ap) { text("softapReady(%1)")(apName(ap)); });
        QObject::connect(&wireless, &W::softapUnready, [=](const InterfaceName &ap) { text("softapUnready(%1)")(apName(ap)); });
        settle();
    }

    // Feeds the machines the event (or signal) of this name through the controller and its fakes.
    void apply(const QString &event, const InterfaceName &ap = Uap0)
    {
        static const QHash<QString, std::function<void(Controller &, const InterfaceName &)>> operations{
            {"InterfaceAdded", [](Controller &c, const InterfaceName &) { c.wireless.interfaceAdded(Wlan0); }},
            {"InterfaceRemoved", [](Controller &c, const InterfaceName &) { c.wireless.interfaceRemoved(Wlan0); }},
            {"InterfaceStarted", [](Controller &c, const InterfaceName &) { c.wireless.setUpState(Wlan0, true); }},
            {"InterfaceStopped", [](Controller &c, const InterfaceName &) { c.wireless.setUpState(Wlan0, false); }},
            {"Enable", [](Controller &c, const InterfaceName &) { c.wireless.enable({Home}); }},
            {"Disable", [](Controller &c, const InterfaceName &) { c.wireless.disable(); }},
            {"Activate", [](Controller &c, const InterfaceName &) { c.wireless.activate(Activated); }},
            {"ReloadIp", [](Controller &c, const InterfaceName &) { c.wireless.reloadIp(Reloaded); }},
            {"Wps", [](Controller &c, const InterfaceName &) { c.wireless.wpsPbc(); }},
            {"Scan", [](Controller &c, const InterfaceName &) { c.wireless.scan(); }},
            {"ScanFinished", [](Controller &c, const InterfaceName &) { emit c.supplicant.scanResults({ApDescription()}); }},
            {"timeout", [](Controller &c, const InterfaceName &) { emit c.wireless.findChild<WirelessScanActive *>()->timeout(); }},
            {"SupplicantConnected", [](Controller &c, const InterfaceName &) { emit c.supplicant.connected(); }},
            {"SupplicantConfigured", [](Controller &c, const InterfaceName &) { emit c.supplicant.configured(); }},
            {"IpSetupComplete", [](Controller &c, const InterfaceName &) { emit c.address.connected(); }},
            {"IpSetupError", [](Controller &c, const InterfaceName &) { emit c.address.disconnected(); }},
            {"wpsCredentials", [](Controller &c, const InterfaceName &) { emit c.supplicant.wpsFinished(Cafe); }},
            {"wpsError", [](Controller &c, const InterfaceName &) { emit c.supplicant.wpsError("failed"); }},
            {"SoftApAdded", [](Controller &c, const InterfaceName &ap) { c.wireless.interfaceAdded(ap); }},
            {"SoftApRemoved", [](Controller &c, const InterfaceName &ap) { c.wireless.interfaceRemoved(ap); }},
            {"StartSoftAp", [](Controller &c, const InterfaceName &ap) { c.wireless.startSoftAp(ap); }},
            {"StopSoftAp", [](Controller &c, const InterfaceName &ap) { c.wireless.stopSoftAp(ap); }},
            {"SoftApReload", [](Controller &c, const InterfaceName &ap) {
                 c.wireless.updateSoftApSettings(SoftApSettings(Ssid::fromString("renamed"), ap.toString()));
             }},
            {"ClientAssociated", [](Controller &c, const InterfaceName &) {
                 for (const char *e : {"InterfaceStarted", "Enable", "SupplicantConnected"})
                     c.apply(e);
             }},
        };
        QVERIFY2(operations.contains(event), qPrintable(event));
        operations.value(event)(*this, ap);
        settle();
    }

    void applyAll(const QStringList &events)
    {
        for (const QString &event : events)
            apply(event);
    }

    static QStringList names(const QSet<QAbstractState *> &states)
    {
        QStringList labels;
        for (const QAbstractState *state : states)
            labels << state->objectName();
        labels.sort();
        return labels;
    }
    QStringList active() const { return names(wireless.stateMachine()->configuration()); }
    QStringList softApActive() const { return names(wireless.softApStateMachine()->configuration()); }
};

// Events or signals, and what each gives from the source reached by routeTo().
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
};

// Events that reach each source state from the start with the interface absent.
QStringList routeTo(const QString &state)
{
    const QStringList waiting{"InterfaceStarted", "Enable"};
    const QStringList running = waiting + QStringList{"SupplicantConnected"};
    const QStringList ip = running + QStringList{"Activate"};
    static const QHash<QString, QStringList> routes{
        {"WirelessInterfaceDown", {"InterfaceAdded"}},
        {"WirelessInterfaceUp", {"InterfaceStarted"}},
        {"WirelessScanInactive", {"InterfaceStarted"}},
        {"WirelessScanActive", {"InterfaceStarted", "Scan"}},
        {"WirelessInterfaceDownEnabled", {"Enable"}},
        {"WirelessInterfaceDownWps", {"Wps"}},
        {"WirelessDisabled", {"InterfaceStarted"}},
        {"WirelessEnabled", waiting},
        {"WirelessWaiting", waiting},
        {"WirelessWaitingInterfaceRunning", running},
        {"WirelessReconnecting", running + QStringList{"SupplicantConfigured"}},
        {"WirelessIpRunning", ip},
        {"WirelessWaitingIpSetup", ip},
        {"WirelessReady", ip + QStringList{"IpSetupComplete"}},
        {"WirelessWps", {"InterfaceStarted", "Wps"}},
    };
    return routes.value(state);
}

std::unique_ptr<Controller> controllerIn(const QString &state, const QList<QString> &softAps = {})
{
    auto controller = std::make_unique<Controller>(Wlan0, softAps);
    controller->applyAll(routeTo(state));
    controller->journal.clear();
    return controller;
}

} // namespace

class TestInterfaceWireless : public QObject
{
    Q_OBJECT

    // Stand-in for "iw": the real one must never create interfaces on a test machine.
    FakePrograms m_programs;

private slots:
    void initTestCase()
    {
        quietStateLogs();
        QVERIFY(m_programs.install("iw"));
        m_programs.putFirstOnPath();
    }

    void cleanup() { KivLog::debugLevel = 0; }

    void eachClientTransitionReachesItsTarget_data() { addTransitionRows(ClientTable); }

    void eachClientTransitionReachesItsTarget()
    {
        QFETCH(QString, source);
        QFETCH(QString, event);
        QFETCH(QString, target);
        QFETCH(QStringList, journal);

        auto controller = controllerIn(source);
        QVERIFY2(controller->active().contains(source), qPrintable(controller->active().join(", ")));
        controller->apply(event);
        QVERIFY2(controller->active().contains(target), qPrintable(controller->active().join(", ")));
        QCOMPARE(controller->journal, journal);
        QCOMPARE(controller->wireless.isConnected(), target == QLatin1String("WirelessReady"));
    }

    void enableKeepsTheSetOfTheEnablingEvent()
    {
        Controller controller;
        controller.wireless.enable({Home, Cafe});
        controller.wireless.enable({Cafe});
        settle();
        // The second Enable has no transition in WirelessInterfaceDownEnabled.
        QCOMPARE(ssids(controller.wireless.networks()), QStringLiteral("Cafe,Home"));
        controller.apply("InterfaceStarted");
        QVERIFY(controller.journal.contains("enable(Cafe,Home)"));
        controller.wireless.enable({Cafe});
        settle();
        QCOMPARE(controller.journal.mid(controller.journal.size() - 3),
                 QStringList({"enabled", "enable(Cafe)", "waiting"}));
    }

    void wpsPinStartsWhenTheInterfaceComesUp()
    {
        Controller controller;
        controller.journal.clear();
        controller.wireless.wpsPin("12345670");
        settle();
        QVERIFY(controller.active().contains("WirelessInterfaceDownWps"));
        QCOMPARE(controller.journal, QStringList());
        controller.apply("InterfaceStarted");
        QVERIFY(controller.journal.contains("wpsPin(12345670)"));
    }

    void readyPauseHoldsCommandsButNotScans()
    {
        auto controller = controllerIn("WirelessReady");
        controller->apply("Scan");
        controller->apply("ScanFinished");
        QCOMPARE(controller->journal, QStringList({"scan", "scanResults(1)"}));
        QVERIFY(!controller->wireless.stateMachine()->isWaiting());
        controller->journal.clear();
        controller->apply("Disable");
        controller->apply("InterfaceStopped");
        // The held Disable is applied first, then the interface loss, both at once.
        QCOMPARE(controller->journal, QStringList({"disconnecting", "stop", "unready", "disable", "disabled", "disabled",
                                                   "statusChanged(1)"}));
    }

    // The 5 s pause and the 15 s scan watchdog run side by side.
    void timersOfPauseAndScan()
    {
        auto ready = controllerIn("WirelessReady");
        auto scanning = controllerIn("WirelessScanInactive");
        QElapsedTimer clock;
        clock.start();
        qint64 reenabledAfter = -1;
        QObject::connect(&ready->wireless, &InterfaceWireless::waiting, [&] { reenabledAfter = clock.elapsed(); });
        ready->wireless.enable({Cafe});
        scanning->apply("Scan");
        settle();
        QCOMPARE(ready->journal, QStringList{"disconnecting"});

        QTRY_VERIFY_WITH_TIMEOUT(reenabledAfter >= 0, InterfaceWireless::ReadyPauseMs + 30000);
        QVERIFY2(reenabledAfter >= InterfaceWireless::ReadyPauseMs * 95 / 100, qPrintable(QString::number(reenabledAfter)));
        QCOMPARE(ready->journal, QStringList({"disconnecting", "stop", "unready", "enabled", "enable(Cafe)", "waiting"}));

        // A second scan after ~5 s fails the first and gets a full 15 s of its own.
        const qint64 secondScan = clock.elapsed();
        scanning->apply("Scan");
        QCOMPARE(scanning->journal, QStringList({"scan", "scanResults(0)", "scan"}));
        QTRY_COMPARE_WITH_TIMEOUT(scanning->journal.size(), 4, WirelessScanActive::ScanTimeoutMs + 30000);
        QCOMPARE(scanning->journal.last(), QStringLiteral("scanResults(0)"));
        QVERIFY(clock.elapsed() - secondScan >= WirelessScanActive::ScanTimeoutMs * 95 / 100);
        QVERIFY(scanning->active().contains("WirelessScanInactive"));
    }

    void commandsAndRoutingAreLogged()
    {
        LogCapture log;
        {
            Controller controller(Wlan0, {Uap0.toString()});
            controller.wireless.enable({Home, Cafe});
            controller.wireless.activate(Activated);
            controller.wireless.reloadIp(Reloaded);
            controller.wireless.scan();
            controller.wireless.wpsPbc();
            controller.wireless.wpsPin("1234");
            controller.wireless.startSoftAp(Uap0);
            controller.wireless.stopSoftAp(Uap0);
            controller.wireless.interfaceAdded(InterfaceName("other0"));
            controller.wireless.interfaceRemoved(Uap0);
            controller.wireless.setUpState(InterfaceName("other0"), true);
            controller.wireless.updateSoftApSettings(SoftApSettings(Ssid::fromString("x"), "other0"));
            emit controller.address.connected();
            emit controller.address.disconnected();
        }
        QStringList lines;
        for (const auto &message : log.messages()) {
            if (message.first != QtDebugMsg && !message.second.contains(QLatin1String(" state: "))
                && !message.second.contains(QLatin1String("multichannel")))
                lines << withoutLocation(message.second);
        }
        QCOMPARE(lines, QStringList({"kivwlan0 enabling with a list of 2 networks", "kivwlan0 activating...",
                                     "kivwlan0 reloading IP...", "kivwlan0 scanning...", "kivwlan0 starting wps",
                                     "kivwlan0 starting wps with PIN \"1234\"", "kivwlan0 starting softAp: kivuap0",
                                     "kivwlan0 stopping softAp: kivuap0", "Interface other0 added",
                                     "Invalid interface name: other0", "Interface kivuap0 removed",
                                     "InterfaceWireless::setUpState called with unknown interface name: other0, status = true",
                                     "Interface 'other0' does not exist", "kivwlan0 address connected",
                                     "kivwlan0 address disconnected", "kivwlan0 disabling..."}));
    }

    void upStateOfASoftApReachesOnlyTheSoftApMachine()
    {
        Controller controller(Wlan0, {Uap0.toString()});
        const QStringList client = controller.active();
        controller.wireless.setUpState(Uap0, true);
        controller.wireless.interfaceAdded(Uap0);
        settle();
        QCOMPARE(controller.active(), client);
        QVERIFY(controller.softApActive().contains("softApStopped_kivuap0"));
    }

    void softApTransitionsFollowTheirOwnName_data()
    {
        QTest::addColumn<QStringList>("route");
        QTest::addColumn<QString>("event");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QStringList>("journal");
        const QStringList started{"SoftApAdded", "StartSoftAp"};
        const auto row = [](const char *name, const QStringList &route, const char *event, const char *source,
                            const char *target, const QStringList &journal) {
            QTest::newRow(name) << route << event << source << target << journal;
        };
        row("absent added", {}, "SoftApAdded", "softApNoInterface", "softApStopped", {});
        row("absent started", {}, "StartSoftAp", "softApNoInterface", "softApNoInterfaceEnabled", {});
        row("wanted added", {"StartSoftAp"}, "SoftApAdded", "softApNoInterfaceEnabled", "softApFirstSession",
            {"softapReady(kivuap0)"});
        row("wanted stopped", {"StartSoftAp"}, "StopSoftAp", "softApNoInterfaceEnabled", "softApNoInterface", {});
        row("present started", {"SoftApAdded"}, "StartSoftAp", "softApStopped", "softApFirstSession",
            {"softapReady(kivuap0)"});
        row("present removed", {"SoftApAdded"}, "SoftApRemoved", "softApStopped", "softApNoInterface", {});
        row("started stopped", started, "StopSoftAp", "softApStarted", "softApStopped", {"softapUnready(kivuap0)"});
        row("started removed", started, "SoftApRemoved", "softApStarted", "softApNoInterfaceEnabled",
            {"softapUnready(kivuap0)"});
        row("started reloaded", started, "SoftApReload", "softApStarted", "softApFirstSession",
            {"softapUnready(kivuap0)", "softapReady(kivuap0)"});
        row("first association", started, "ClientAssociated", "softApFirstSession", "softApNextSession", {});
        row("next association", started + QStringList{"ClientAssociated", "Disable"}, "ClientAssociated",
            "softApNextSession", "softApNextSession", {});
    }

    void softApTransitionsFollowTheirOwnName()
    {
        QFETCH(QStringList, route);
        QFETCH(QString, event);
        QFETCH(QString, source);
        QFETCH(QString, target);
        QFETCH(QStringList, journal);

        Controller controller(Wlan0, {Uap0.toString(), Uap1.toString()});
        for (const QString &step : route)
            controller.apply(step, Uap0);
        QVERIFY(controller.softApActive().contains(source + "_kivuap0"));
        const bool clientEvent = event == QLatin1String("ClientAssociated");
        if (!clientEvent) {
            const QStringList before = controller.softApActive().filter("kivuap0");
            controller.apply(event, Uap1);
            QCOMPARE(controller.softApActive().filter("kivuap0"), before);
        }
        controller.journal.clear();
        LogCapture log;
        controller.apply(event, Uap0);
        QVERIFY2(controller.softApActive().contains(target + "_kivuap0"), qPrintable(controller.softApActive().join(' ')));
        QCOMPARE(controller.journal.filter("softap"), journal);
        QCOMPARE(controller.wireless.isSoftApStarted(Uap0), controller.softApActive().contains("softApStarted_kivuap0"));
        // A next session restarts the processes of the soft AP (here without an interface to run on).
        QCOMPARE(log.texts().filter("Restarting SoftAp").size(), target == QLatin1String("softApNextSession") ? 1 : 0);
    }

    void softApSettingsChangesAndBadValues()
    {
        Controller controller(Wlan0, {Uap0.toString()});
        controller.applyAll({"StartSoftAp"});
        controller.apply("SoftApAdded");
        const SoftApSettings initial = SoftApSettings(controller.wireless.softApSettings().value(Uap0.toString()).toMap());

        QVariantMap map = initial.toMap();
        map.insert("domainName", "setup.local");
        controller.journal.clear();
        controller.wireless.updateSoftApSettings(SoftApSettings(map));
        settle();
        QCOMPARE(controller.journal, QStringList());
        QCOMPARE(controller.wireless.softApSettings().value(Uap0.toString()).toMap().value("domainName").toString(), QString());

        // A settings value that would break a file line stops the start with the field named.
        for (const auto &[key, value] : {std::pair{"ssid", "two\nlines"}, {"countryCode", "D\rE"},
                                         {"vendorSpecificData", "dd\x01"}, {"domainName", "a\tb"},
                                         {"ssid", "a name well over thirty-two bytes long"}}) {
            QVariantMap bad = initial.toMap();
            bad.insert(key, value);
            LogCapture log;
            controller.journal.clear();
            controller.wireless.updateSoftApSettings(SoftApSettings(bad));
            settle();
            QCOMPARE(controller.journal, QStringList({"softapUnready(kivuap0)", "softapReady(kivuap0)"}));
            const QStringList refusals = log.texts().filter("Can't start softap");
            QCOMPARE(refusals.size(), 1);
            QCOMPARE(withoutLocation(refusals.first()),
                     QStringLiteral("Can't start softap, \"kivuap0\" setting %1 can't be written to its configuration "
                                    "files!").arg(key));
        }
    }

    void multichannelFromDriverParametersSetsTheSoftApChannel_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<bool>("multichannel");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("clientChannel");
        QTest::addColumn<int>("channel");
        const QString none = "\"kivwlan0\" & (\"kivuap0\", \"kivuap1\") have no multichannel support, falling back to "
                             "softap channel following";
        const auto notEnabled = [](const char *module) {
            return QStringLiteral("\"kivwlan0\" supports multichannel but is NOT enabled. Please enable support by passing "
                                  "cfg80211_drcs=1 when modprobe-ing the driver. (Marvell MLAN driver - \"%1\")").arg(module);
        };
        // Without multichannel the soft AP takes the client's channel, or its own (11) with no client.
        QTest::newRow("no driver files") << QStringList() << false << QStringList{none} << 6 << 6;
        QTest::newRow("DRCS") << QStringList{"mwifiex/parameters/drcs=0"} << true
                              << QStringList{"\"kivwlan0\" has multichannel support (Marvell DRCS)"} << 6 << 11;
        QTest::newRow("first module off, second on")
            << QStringList{"sd8xxx/parameters/cfg80211_drcs=0", "sdxxx/parameters/cfg80211_drcs=1"} << true
            << QStringList{notEnabled("sd8xxx"), "\"kivwlan0\" has multichannel support (Marvell MLAN driver - \"sdxxx\")"}
            << 6 << 11;
        QTest::newRow("both off") << QStringList{"sd8xxx/parameters/cfg80211_drcs=0", "sdxxx/parameters/cfg80211_drcs=0"}
                                  << false << QStringList{notEnabled("sd8xxx"), notEnabled("sdxxx"), none} << 6 << 6;
        QTest::newRow("empty file skipped, no client") << QStringList{"sd8xxx/parameters/cfg80211_drcs="} << false
                                                       << QStringList{none} << 0 << 11;
    }

    void multichannelFromDriverParametersSetsTheSoftApChannel()
    {
        QFETCH(QStringList, files);
        QFETCH(bool, multichannel);
        QFETCH(QStringList, lines);
        QFETCH(int, clientChannel);
        QFETCH(int, channel);
        if (!inPrivateNamespaces())
            QSKIP("needs a private mount namespace (root and unshare)");
        const auto unmount = moduleParameters(files);
        LogCapture log;
        Controller controller(Wlan0, {Uap0.toString(), Uap1.toString()});
        QCOMPARE(controller.wireless.hasMultichannel(), multichannel);
        controller.supplicant.channel = clientChannel;
        QCOMPARE(controller.wireless.softApChannel(), channel);
        QCOMPARE(log.texts().filter("multichannel").replaceInStrings(QRegularExpression("^[\\w.]+:\\d+ "), QString()), lines);
        if (!files.isEmpty() && files.first().startsWith("mwifiex")) {
            QFile drcs("/sys/module/mwifiex/parameters/drcs");
            QVERIFY(drcs.open(QIODevice::ReadOnly));
            QCOMPARE(drcs.readAll(), QByteArray("1"));
        }
    }

private:
    // Lays a tmpfs over /sys/module holding the given "MODULE/parameters/NAME=VALUE" files.
    std::shared_ptr<void> moduleParameters(const QStringList &files)
    {
        if (!inPrivateNamespaces())
            return nullptr;
        if (!sh("mount", {"-t", "tmpfs", "kivmodules", "/sys/module"}))
            return nullptr;
        for (const QString &file : files) {
            const QString path = "/sys/module/" + file.section('=', 0, 0);
            QDir().mkpath(QFileInfo(path).path());
            QFile parameter(path);
            if (parameter.open(QIODevice::WriteOnly))
                parameter.write(file.section('=', 1).toUtf8());
        }
        return std::shared_ptr<void>(nullptr, [](void *) { sh("umount", {"/sys/module"}); });
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestInterfaceWireless)
#include "tst_interfacewireless.moc"
