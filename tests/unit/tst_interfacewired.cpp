#include "AddressManager.h"
#include "InterfaceState.h"
#include "InterfaceTestSupport.h"
#include "InterfaceWired.h"
#include "KivEvents.h"
#include "KivStateMachine.h"
#include "LogExpect.h"
#include "LogHandler.h"
#include "PrivateNamespaceMain.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <functional>
#include <memory>

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
                                    {&W::waitingInterfaceRunning, "waitingInterfaceRunning"},
                                    {&W::waitingIpSetup, "waitingIpSetup"}, {&W::ready, "ready"},
                                    {&W::disconnecting, "disconnecting"}, {&W::disconnected, "disconnected"},
                                    {&W::unready, "unready"}})
            QObject::connect(&wired, signal, [this, line = line] { journal << QLatin1String(line); });
        QObject::connect(&wired, &InterfaceWired::cableStatus,
                         [this](bool in) { journal << QStringLiteral("cableStatus(%1)").arg(in ? "true" : "false"); });
        QObject::connect(&wired, &InterfaceWired::statusChanged,
                         [this](InterfaceStatus status) { journal << QStringLiteral("statusChanged(%1)").arg(int(status)); });
    }

    // Feeds the machine the event of this name through the controller's operations.
    void apply(const QString &event)
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
        QVERIFY2(operations.contains(event), qPrintable(event));
        operations.value(event)(*this);
        settle();
    }

    // The label of a state: its name, with the two WiredDisconnected told apart by creation order.
    QString label(const QAbstractState *state) const
    {
        const QString name = state->objectName();
        if (name != QLatin1String("WiredDisconnected"))
            return name;
        const auto &states = wired.states();
        const auto first = std::find_if(states.begin(), states.end(),
                                        [&](const InterfaceWiredState *s) { return s->objectName() == name; });
        return name + (state == *first ? QStringLiteral(" (unplugged)") : QStringLiteral(" (replugged)"));
    }

    // The journal with the interface name left out of the driver's commands.
    QStringList seen() const { return QStringList(journal).replaceInStrings(QRegularExpression(" \\S+$"), QString()); }

    QStringList active() const
    {
        QStringList labels;
        for (const QAbstractState *state : wired.stateMachine()->configuration())
            labels << label(state);
        labels.sort();
        return labels;
    }
};

// What each event gives from the source reached by routeTo(), the interface names left out.
const TransitionRow Table[] = {
    {"WiredNoInterface", "InterfaceAdded", "WiredInterfaceDown", "linkDown disabled statusChanged(1)"},
    {"WiredNoInterface", "InterfaceStopped", "WiredInterfaceDown", "statusChanged(1)"},
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
    {"WiredDisconnected (unplugged)", "CablePluggedIn", "WiredDisconnected (replugged)", "cableStatus(true) disconnected"},
    {"WiredDisconnected (unplugged)", "Disable", "WiredDisabled", "linkDown disabled"},
    {"WiredDisconnected (unplugged)", "Enable", "WiredWaiting", "linkUp waiting"},
    {"WiredDisconnected (unplugged)", "InterfaceRemoved", "WiredNoInterfaceEnabled", "enabled statusChanged(0)"},
    {"WiredDisconnected (replugged)", "CableUnplugged", "WiredDisconnected (unplugged)", "cableStatus(false) disconnected"},
    {"WiredDisconnected (replugged)", "Disable", "WiredDisabledInterfaceRunning", "linkDown disabled"},
    {"WiredDisconnected (replugged)", "Enable", "WiredWaitingInterfaceRunning", "linkUp waitingInterfaceRunning"},
    {"WiredDisconnected (replugged)", "InterfaceRemoved", "WiredNoInterfaceEnabled", "enabled statusChanged(0)"},
};

// Events that reach each source state from the start with the interface absent. Presence states
// are reached without moving the other region out of WiredNoInterfaceDisabled.
QStringList routeTo(const QString &state)
{
    const QStringList running{"InterfaceAdded", "Enable", "CablePluggedIn"};
    const QStringList ip = running + QStringList{"Activate"};
    static const QHash<QString, QStringList> routes{
        {"WiredNoInterface", {}},
        {"WiredInterfaceDown", {"InterfaceStopped"}},
        {"WiredInterfaceUp", {"InterfaceStarted"}},
        {"WiredNoInterfaceDisabled", {}},
        {"WiredNoInterfaceEnabled", {"Enable"}},
        {"WiredDisabled", {"InterfaceAdded"}},
        {"WiredDisabledInterfaceRunning", {"InterfaceAdded", "CablePluggedIn"}},
        {"WiredWaiting", {"InterfaceAdded", "Enable"}},
        {"WiredWaitingInterfaceRunning", running},
        {"WiredIpRunning", ip},
        {"WiredWaitingIpSetup", ip},
        {"WiredReady", ip + QStringList{"IpSetupComplete"}},
        {"WiredDisconnected (unplugged)", ip + QStringList{"CableUnplugged"}},
        {"WiredDisconnected (replugged)", ip + QStringList{"CableUnplugged", "CablePluggedIn"}},
    };
    return routes.value(state);
}

std::unique_ptr<Controller> controllerIn(const QString &state)
{
    // The route's first event reaches the machine before it has started.
    auto controller = std::make_unique<Controller>();
    for (const QString &event : routeTo(state))
        controller->apply(event);
    settle();
    controller->journal.clear();
    return controller;
}

} // namespace

class TestInterfaceWired : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        quietStateLogs();
        if (!inPrivateNamespaces())
            return;
        // An interface made here shows under /sys only with a sysfs of this network namespace.
        QVERIFY(sh("mount", {"-t", "sysfs", "sysfs", "/sys"}));
        // A link that is down answers EINVAL for its carrier.
        QVERIFY(sh("ip", {"link", "add", "kivdown0", "type", "veth", "peer", "name", "kivdown0p"}));
    }

    void cleanup() { KivLog::debugLevel = 0; }

    void eachTransitionReachesItsTarget_data() { addTransitionRows(Table); }

    void eachTransitionReachesItsTarget()
    {
        QFETCH(QString, source);
        QFETCH(QString, event);
        QFETCH(QString, target);
        QFETCH(QStringList, journal);

        auto controller = controllerIn(source);
        QVERIFY2(controller->active().contains(source), qPrintable(controller->active().join(", ")));
        controller->apply(event);
        QVERIFY2(controller->active().contains(target), qPrintable(controller->active().join(", ")));
        QCOMPARE(controller->seen(), journal);
        QCOMPARE(controller->wired.isConnected(), target == QLatin1String("WiredReady"));
    }

    void commandsAndReportsAreLogged()
    {
        LogCapture log;
        {
            Controller controller;
            settle();
            controller.wired.enable();
            controller.wired.activate(Activated);
            controller.wired.reloadIp(Reloaded);
            controller.wired.interfaceAdded(InterfaceName(QStringLiteral("other0")));
            controller.wired.setUpState(Wired0, true);
            controller.wired.setRunningState(true);
            controller.wired.setRunningState(false);
            emit controller.address.connected();
            emit controller.address.disconnected();
            controller.wired.interfaceRemoved(Wired0);
        }
        QStringList lines;
        for (const auto &message : log.messages()) {
            if (message.first == QtInfoMsg)
                lines << withoutLocation(message.second);
        }
        // State lines carry the interface's name.
        QVERIFY(lines.contains("Interface kivwired0 entering state: WiredNoInterfaceDisabled"));
        QCOMPARE(lines.filter(QRegularExpression("^(?!Interface kivwired0 \\w+ing state: )")), QStringList({"kivwired0 enabling...", "kivwired0 activating...", "kivwired0 reloading IP...",
                                     "Interface kivwired0 added", "kivwired0 is now up", "kivwired0 is now down",
                                     "kivwired0 address connected", "kivwired0 address disconnected",
                                     "Interface kivwired0 removed", "kivwired0 disabling..."}));
    }

    void carrierFileIsReadAsOneByte_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("pluggedIn");
        QTest::addColumn<int>("level");
        QTest::addColumn<QString>("line");
        const QString path = QStringLiteral("/sys/class/net/kivfake0/carrier");
        QTest::newRow("missing file") << "missing" << QByteArray() << false << int(QtCriticalMsg)
                                      << "Couldn't open wired interface carrier file: " + path;
        QTest::newRow("EINVAL") << "einval" << QByteArray() << false << -1 << QString();
        QTest::newRow("other read error")
            << "directory" << QByteArray() << false << int(QtWarningMsg)
            << "Couldn't read status from wired interface carrier file: " + path + ": Is a directory, assuming down";
        QTest::newRow("EOF") << "file" << QByteArray() << false << int(QtCriticalMsg)
                             << "Couldn't read status from wired interface carrier file: " + path
                                    + ", got EOF!? assuming down";
        QTest::newRow("0") << "file" << QByteArray("0\n") << false << int(QtDebugMsg) << "Read 0 from " + path;
        QTest::newRow("1") << "file" << QByteArray("1\n") << true << int(QtDebugMsg) << "Read 1 from " + path;
        QTest::newRow("only the first byte counts")
            << "file" << QByteArray("10") << true << int(QtDebugMsg) << "Read 1 from " + path;
    }

    void carrierFileIsReadAsOneByte()
    {
        QFETCH(QString, kind);
        QFETCH(QByteArray, content);
        QFETCH(bool, pluggedIn);
        QFETCH(int, level);
        QFETCH(QString, line);
        if (!inPrivateNamespaces())
            QSKIP("needs a private mount namespace (root and unshare)");

        // A tmpfs over /sys/class/net holds the carrier file of the made-up kivfake0.
        QTemporaryDir scratch;
        const QString einval = scratch.filePath("einval");
        QVERIFY(QFile(einval).open(QIODevice::WriteOnly));
        QVERIFY(sh("mount", {"--bind", "/sys/class/net/kivdown0/carrier", einval}));
        QVERIFY(sh("mount", {"-t", "tmpfs", "kivcarrier", "/sys/class/net"}));
        const auto unmount = qScopeGuard([&] {
            sh("umount", {"-R", "/sys/class/net"});
            sh("umount", {einval});
        });
        const QString directory = QStringLiteral("/sys/class/net/kivfake0");
        const QString carrier = directory + QStringLiteral("/carrier");
        if (kind != QLatin1String("missing"))
            QVERIFY(QDir().mkpath(directory));
        if (kind == QLatin1String("directory"))
            QVERIFY(QDir().mkpath(carrier));
        if (kind == QLatin1String("file") || kind == QLatin1String("einval")) {
            QFile file(carrier);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), qint64(content.size()));
        }
        if (kind == QLatin1String("einval"))
            QVERIFY(sh("mount", {"--bind", einval, carrier}));

        Controller controller{InterfaceName(QStringLiteral("kivfake0"))};
        settle();
        KivLog::debugLevel = 1;
        LogCapture log;
        QCOMPARE(controller.wired.isCablePluggedIn(), pluggedIn);
        QList<QPair<QtMsgType, QString>> expected;
        if (level >= 0)
            expected << qMakePair(QtMsgType(level), line);
        QList<QPair<QtMsgType, QString>> logged;
        for (const auto &message : log.messages())
            logged << qMakePair(message.first, withoutLocation(message.second));
        QCOMPARE(logged, expected);
    }

    // The first command in WiredReady is announced and held, with later ones, for the ready pause.
    void commandInReadyIsAnnouncedAndHeldForTheReadyPause()
    {
        // Both pauses run side by side.
        auto disabling = controllerIn("WiredReady");
        auto removed = controllerIn("WiredReady");
        QElapsedTimer clock;
        clock.start();
        qint64 disabledAfter = -1;
        qint64 removedAfter = -1;
        QObject::connect(&disabling->wired, &InterfaceWired::unready, [&] { disabledAfter = clock.elapsed(); });
        QObject::connect(&removed->wired, &InterfaceWired::unready, [&] { removedAfter = clock.elapsed(); });
        KivLog::debugLevel = 1;
        LogCapture log;
        disabling->apply("Disable");
        removed->apply("InterfaceRemoved");
        QCOMPARE(disabling->seen(), QStringList{"disconnecting"});
        QCOMPARE(removed->seen(), QStringList{"disconnecting"});
        QVERIFY(disabling->wired.isConnected());

        // Only the lower bound is timed: a loaded machine may deliver the timer late.
        QTRY_VERIFY_WITH_TIMEOUT(disabledAfter >= 0 && removedAfter >= 0, InterfaceWired::ReadyPauseMs + 30000);
        for (qint64 after : {disabledAfter, removedAfter}) {
            // The machine's coarse timer may fire up to 5% early.
            QVERIFY2(after >= InterfaceWired::ReadyPauseMs * 95 / 100, qPrintable(QString::number(after)));
        }
        settle();
        QCOMPARE(disabling->seen(), QStringList({"disconnecting", "stop", "unready", "linkDown", "disabled"}));
        QCOMPARE(removed->seen(), QStringList({"disconnecting", "stop", "unready", "enabled", "statusChanged(0)"}));
        QVERIFY(disabling->active().contains("WiredDisabledInterfaceRunning"));
        QVERIFY(removed->active().contains("WiredNoInterfaceEnabled"));
        QVERIFY(removed->active().contains("WiredNoInterface"));
        QCOMPARE(log.texts().filter("Starting wait period...").size(), 2);
        QCOMPARE(log.texts().filter(QRegularExpression("(Queuing|Posting delayed) event: Disable$")).size(), 2);
    }

    // A cable change ends the pause at once, the held Disable first; a completed IP set-up passes it.
    void unpauseAndImmediateEventsInTheReadyPause()
    {
        auto controller = controllerIn("WiredReady");
        controller->apply("Disable");
        controller->apply("CableUnplugged");
        QCOMPARE(controller->seen(), QStringList({"disconnecting", "cableStatus(false)", "stop", "unready", "linkDown",
                                                   "disabled", "linkDown", "disabled"}));
        QVERIFY(controller->active().contains("WiredDisabled"));
        QVERIFY(!controller->wired.stateMachine()->isPaused());

        controller = controllerIn("WiredReady");
        controller->apply("IpSetupComplete");
        QVERIFY(!controller->wired.stateMachine()->isWaiting());
        controller->apply("Enable");
        controller->apply("IpSetupComplete");
        QCOMPARE(controller->wired.stateMachine()->heldEventCount(), 1);
        QCOMPARE(controller->seen(), QStringList{"disconnecting"});
        QVERIFY(controller->wired.isConnected());
        // The held Enable goes with the controller (leak checkers see it otherwise).
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestInterfaceWired)
#include "tst_interfacewired.moc"
