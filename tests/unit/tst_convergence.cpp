// Convergence explorer: the real mode machine and the real wired and wireless controllers, over a
// scripted world (kernel links, cable, DHCP server, access point, supplicant), driven through every
// event sequence up to a bound and through long random walks. After each sequence the world is left
// to settle and the daemon must end where a user expects it, given the last mode and the world.
#include "AddressManager.h"
#include "AddressTestSupport.h"
#include "ControllerCommands.h"
#include "DhcpClient.h"
#include "InterfaceReports.h"
#include "InterfaceTracker.h"
#include "KivEvents.h"
#include "KivStateMachine.h"
#include "ModeMachine.h"
#include "NetworkConfiguration.h"
#include "NetworkManagerMaps.h"
#include "PrivateNamespaceMain.h"
#include "SoftApSettings.h"
#include "Supplicant.h"

#include <QCryptographicHash>
#include <QPointer>
#include <QStateMachine>
#include <QtTest>

#include <functional>
#include <random>
#include <csignal>
#include <poll.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QString Eth = QStringLiteral("kiveth0");
const QString Wlan = QStringLiteral("kivwlan0");
const QString Uap = QStringLiteral("kivuap0");
const Ssid Home = Ssid::fromString("Home");
const WirelessNetwork RightKey(Home, SecurityType::WpaPsk, "right-key");
const WirelessNetwork WrongKey(Home, SecurityType::WpaPsk, "wrong-key");

// The alphabet. Kernel reports and bus commands may arrive together: such a step marked "!" is
// handed to the daemon without letting it run, so that the next step lands in the same batch.
enum Event : quint8 {
    Off, Wired, Wireless, Automatic, Hybrid, Wps, NetworksRight, NetworksWrong, Scan, ReloadIp,
    SoftApStart, SoftApStop, SoftApChange, CableIn, CableOut, EthAdded, EthRemoved, WlanAdded, WlanRemoved,
    WlanUp, WlanDown, UapAdded, UapRemoved, Echo, LeaseEth, LostEth, LeaseWlan, LostWlan, DhcpDown, DhcpUp,
    Configured, Associate, Reject, ApLost, ApBack, WpsCredentials, WpsFailure, ScanDone, Time, EventCount
};
const char *const EventNames[EventCount] = {
    "off", "wired", "wireless", "automatic", "hybrid", "wps", "networks-right", "networks-wrong", "scan",
    "reload-ip", "softap-start", "softap-stop", "softap-settings", "cable-in", "cable-out", "eth-added",
    "eth-removed", "wlan-added", "wlan-removed", "wlan-up", "wlan-down", "uap-added", "uap-removed", "echo",
    "lease-eth", "lost-eth", "lease-wlan", "lost-wlan", "dhcp-down", "dhcp-up", "configured", "associate",
    "reject", "ap-lost", "ap-back", "wps-credentials", "wps-failure", "scan-done", "time"};
const char *const ModeNames[] = {"OffMode", "WiredMode", "WirelessMode", "AutomaticMode", "HybridMode"};
constexpr quint8 Batched = 0x80;

bool isBatchable(Event event)
{
    return event <= Hybrid || event == CableIn || event == CableOut || event == Echo;
}

// Scanning, the soft AP and the DHCP server's absence change nothing the other machines follow:
// long walks cover them, the exhaustive search leaves them out.
bool isExhaustive(Event event)
{
    static const QSet<Event> aside{Scan, ScanDone, SoftApStart, SoftApStop, SoftApChange, UapAdded, UapRemoved,
                                   DhcpDown, DhcpUp};
    return !aside.contains(event);
}

bool isWorldEvent(Event event)
{
    return event >= CableIn && event != Time;
}

QString sequenceText(const QByteArray &steps)
{
    QStringList names;
    for (char step : steps)
        names << QLatin1String(EventNames[quint8(step) & ~Batched]) + ((quint8(step) & Batched) ? "!" : "");
    return names.join(QLatin1Char(' '));
}

QByteArray parseSequence(const QString &text)
{
    QByteArray steps;
    for (QString name : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const bool batched = name.endsWith(QLatin1Char('!'));
        name.remove(QLatin1Char('!'));
        const auto found = std::find_if(std::begin(EventNames), std::end(EventNames),
                                        [&](const char *known) { return name == QLatin1String(known); });
        if (found == std::end(EventNames))
            qFatal("unknown event %s", qPrintable(name));
        steps += char((found - std::begin(EventNames)) | (batched ? Batched : 0));
    }
    return steps;
}

struct KernelReport
{
    QString name;
    bool up;
    bool running;
};

// The kernel, the cable and the peers on both networks.
struct World
{
    bool ethPresent = true, ethUp = false, cable = true;
    bool wlanPresent = true, wlanUp = true, uapPresent = false;
    bool dhcpServer = true, apInRange = true;
    QList<KernelReport> reports;
};

class Device;

// Sets links up and down in the world; the kernel's reports of it are read later.
class WorldDriver : public RecordingDriver
{
public:
    explicit WorldDriver(Device &device) : m_device(device) {}
    void linkUp(const InterfaceName &interface) override
    {
        RecordingDriver::linkUp(interface);
        setEth(interface, true);
    }
    void linkDown(const InterfaceName &interface) override
    {
        RecordingDriver::linkDown(interface);
        setEth(interface, false);
    }

private:
    void setEth(const InterfaceName &interface, bool up);
    Device &m_device;
};

// A DHCP client that gets a lease when the world says so.
class ScriptedDhcp : public DhcpClient
{
public:
    using DhcpClient::DhcpClient;
    void start() override { running = true; }
    bool stop() override
    {
        running = false;
        return true;
    }
    void lease() { emit finished(InterfaceConfiguration(interfaceName().toString(), "192.0.2.10", "255.255.255.0", "192.0.2.1", {}, {})); }
    void lose() { emit error(QStringLiteral("lease lost")); }

    bool running = false;
};

// The supplicant's connection loop reduced to its phases; its timer is the 200 s WPS limit.
class ScriptedSupplicant : public Supplicant
{
public:
    enum Phase : quint8 { Idle, Configuring, Waiting, Associated, InWps };

    ScriptedSupplicant(QObject *parent, const QString &name) : Supplicant(parent, name)
    {
        m_wpsLimit.setParent(this);
        m_wpsLimit.setSingleShot(true);
        m_wpsLimit.setInterval(200000);
        QObject::connect(&m_wpsLimit, &QTimer::timeout, this, [this] { endWps(false); });
    }
    bool enable(const QSet<WirelessNetwork> &set) override
    {
        interruptWps();
        networks = set;
        phase = set.isEmpty() ? Idle : Configuring;
        return true;
    }
    bool disable() override
    {
        interruptWps();
        phase = Idle;
        return true;
    }
    bool wpsPbc() override { return startWps(); }
    bool wpsPin(const QString &) override { return startWps(); }
    void scan() override { scanPending = true; }
    QVariantMap getNetworkDetails() override { return phase == Associated ? QVariantMap{{"Ssid", "Home"}} : QVariantMap(); }
    int getCurrentChannel() override { return phase == Associated ? 6 : 0; }
    void interfaceAdded() override { present = true; }
    void interfaceRemoved() override
    {
        present = false;
        if (phase == Waiting || phase == Associated)
            phase = Configuring;
    }

    bool rightKey() const { return networks.contains(RightKey) && !networks.contains(WrongKey); }
    void configure()
    {
        phase = Waiting;
        emit configured();
    }
    void associate()
    {
        phase = Associated;
        emit connected();
    }
    void loseAssociation()
    {
        if (phase != Associated)
            return;
        phase = Waiting;
        emit configured();
    }
    void endWps(bool success)
    {
        phase = Idle;
        m_wpsLimit.stop();
        if (success)
            emit wpsFinished(RightKey);
        else
            emit wpsError(QStringLiteral("WPS failed"));
    }

    Phase phase = Idle;
    bool present = true;
    bool scanPending = false;
    QSet<WirelessNetwork> networks;

private:
    // A command ends a running WPS session with an error, reported later from the worker thread.
    void interruptWps()
    {
        if (phase != InWps)
            return;
        m_wpsLimit.stop();
        QMetaObject::invokeMethod(
            this, [this] { emit wpsError(QStringLiteral("Another command requested, exiting WPS session")); },
            Qt::QueuedConnection);
    }
    bool startWps()
    {
        interruptWps();
        phase = InWps;
        m_wpsLimit.start();
        return true;
    }
    QTimer m_wpsLimit;
};

class ScriptedSupplicantFactory : public SupplicantFactory
{
public:
    std::unique_ptr<Supplicant> create(QObject *parent, const QString &name) override
    {
        auto supplicant = std::make_unique<ScriptedSupplicant>(parent, name);
        made = supplicant.get();
        return supplicant;
    }
    ScriptedSupplicant *made = nullptr;
};

// The daemon's address manager over one IPv4 family whose DHCP client the world scripts.
class ScriptedAddresses : public AddressManager
{
public:
    ScriptedAddresses(const InterfaceName &name, NetworkDriver *driver, QPointer<ScriptedDhcp> *client, QObject *parent)
        : ScriptedAddresses(name,
                            new Ipv4AddressManager(name, driver,
                                                   [client](const InterfaceName &n) { return *client = new ScriptedDhcp(n); }),
                            parent)
    {
    }
    bool leased() const { return m_ipv4->isConnected(); }

private:
    ScriptedAddresses(const InterfaceName &name, Ipv4AddressManager *ipv4, QObject *parent)
        : AddressManager(name, nullptr, {ipv4}, parent), m_ipv4(ipv4)
    {
        m_ipv4->setParent(this);
    }
    Ipv4AddressManager *m_ipv4;
};


// The composed daemon: mode machine, controllers, address managers, tracker, over the world.
class Device : public QObject
{
public:
    Device()
    {
        configuration = new NetworkConfiguration(this, Eth, Wlan, {Uap});
        configuration->setWirelessNetworks({RightKey});
        ethAddresses = new ScriptedAddresses(InterfaceName(Eth), &driver, &ethDhcp, this);
        wlanAddresses = new ScriptedAddresses(InterfaceName(Wlan), &driver, &wlanDhcp, this);
        wired = new InterfaceWired(InterfaceName(Eth), &driver, ethAddresses, this);
        wireless = new InterfaceWireless(InterfaceName(Wlan), {Uap}, &driver, wlanAddresses, this, &factory);
        supplicant = factory.made;
        commands = std::make_unique<ControllerCommands>(wired, wireless);
        modes = new QStateMachine(this);
        modes->setInitialState(ModeMachine(modes, {commands.get(), configuration}, wired, wireless).build().off);
        tracker.route(Eth, wired, false);
        tracker.route(Wlan, wireless, false);
        tracker.route(Uap, wireless, true);
        watch(wired, 0);
        watch(wireless, 1);
        connect(wireless, &InterfaceWireless::reconnecting, this,
                [this] { modes->postEvent(new ManagerEvent::Reconnecting()); });
        modes->start();
        settle();
        tracker.added(Eth);
        tracker.linkChanged(Eth, false, false);
        tracker.added(Wlan);
        tracker.linkChanged(Wlan, true, true);
        settle();
        readReports();
        settle();
        for (QStateMachine *machine : machines()) {
            const QList<QAbstractState *> states = machine->findChildren<QAbstractState *>();
            for (QAbstractState *state : states)
                stateIndex.insert(state, stateIndex.size());
        }
    }

    QList<QStateMachine *> machines() const
    {
        return {modes, const_cast<KivStateMachine *>(wired->stateMachine()),
                const_cast<KivStateMachine *>(wireless->stateMachine()),
                const_cast<KivStateMachine *>(wireless->softApStateMachine())};
    }

    // Lets every machine handle what was posted and what that posted in turn.
    static void settle()
    {
        for (int round = 0; round < 12; ++round)
            QCoreApplication::sendPostedEvents();
    }

    QStringList modeStates() const
    {
        QStringList names;
        const auto active = modes->configuration();
        for (const QAbstractState *state : active)
            names << state->objectName();
        return names;
    }
    QString mode() const { return NetworkManagerMaps::modeName(modeStates()); }
    bool ethRunning() const { return world.ethPresent && world.ethUp && world.cable; }
    bool wlanUsable() const { return world.wlanPresent && world.wlanUp && world.apInRange && supplicant->rightKey(); }

    void report(const QString &name, bool up, bool running)
    {
        world.reports << KernelReport{name, up, running};
    }
    // Reads the kernel's reports up to now, in order.
    void readReports()
    {
        while (!world.reports.isEmpty()) {
            const KernelReport next = world.reports.takeFirst();
            tracker.linkChanged(next.name, next.up, next.running);
        }
    }

    bool canHappen(Event event) const
    {
        switch (event) {
        case Off: case Wired: case Wireless: case Automatic: case Hybrid:
            return mode() != QLatin1String(ModeNames[event]);
        case NetworksRight: return !configuration->wirelessNetworks().contains(RightKey);
        case NetworksWrong: return !configuration->wirelessNetworks().contains(WrongKey);
        case SoftApStart: return !softApWanted;
        case SoftApStop: case SoftApChange: return softApWanted;
        case CableIn: return !world.cable;
        case CableOut: return world.cable;
        case EthAdded: return !world.ethPresent;
        case EthRemoved: return world.ethPresent;
        case WlanAdded: return !world.wlanPresent;
        case WlanRemoved: return world.wlanPresent;
        case WlanUp: return world.wlanPresent && !world.wlanUp;
        case WlanDown: return world.wlanPresent && world.wlanUp;
        case UapAdded: return !world.uapPresent;
        case UapRemoved: return world.uapPresent;
        case Echo: return !world.reports.isEmpty();
        case LeaseEth: return ethDhcp && ethDhcp->running && !ethAddresses->leased() && ethRunning() && world.dhcpServer;
        case LostEth: return ethDhcp && ethDhcp->running && ethAddresses->leased();
        case LeaseWlan:
            return wlanDhcp && wlanDhcp->running && !wlanAddresses->leased() && supplicant->phase == ScriptedSupplicant::Associated && world.dhcpServer;
        case LostWlan: return wlanDhcp && wlanDhcp->running && wlanAddresses->leased();
        case DhcpDown: return world.dhcpServer;
        case DhcpUp: return !world.dhcpServer;
        case Configured: return supplicant->phase == ScriptedSupplicant::Configuring && supplicant->present;
        case Associate:
            return supplicant->phase == ScriptedSupplicant::Waiting && world.wlanPresent && world.wlanUp
                   && world.apInRange && supplicant->rightKey();
        case Reject:
            return supplicant->phase == ScriptedSupplicant::Waiting && world.apInRange && !supplicant->rightKey();
        case ApLost: return world.apInRange;
        case ApBack: return !world.apInRange;
        case WpsCredentials: case WpsFailure: return supplicant->phase == ScriptedSupplicant::InWps;
        case ScanDone: return supplicant->scanPending;
        case Time: return nextTimer() != nullptr;
        default: return true;
        }
    }

    void apply(quint8 step)
    {
        const auto event = Event(step & ~Batched);
        if (!canHappen(event))
            return;
        current = event;
        if (batch.isEmpty()) {
            worldMoved = false;
            batchStart = ++stepCount;
        }
        worldMoved = worldMoved || isWorldEvent(event);
        switch (event) {
        case Off: modes->postEvent(new ManagerEvent::Off()); break;
        case Wired: modes->postEvent(new ManagerEvent::Wired()); break;
        case Wireless: modes->postEvent(new ManagerEvent::Wireless()); break;
        case Automatic: modes->postEvent(new ManagerEvent::Automatic()); break;
        case Hybrid: modes->postEvent(new ManagerEvent::Hybrid()); break;
        case Wps: modes->postEvent(new ManagerEvent::WpsPbc()); break;
        case NetworksRight: case NetworksWrong:
            if (configuration->setWirelessNetworks({event == NetworksRight ? RightKey : WrongKey}))
                modes->postEvent(new ManagerEvent::ReloadAps());
            break;
        case Scan:
            if (mode() != QLatin1String("OffMode"))
                wireless->scan();
            break;
        case ReloadIp: {
            const bool toStatic = !configuration->wiredIpConfiguration().hasAddress();
            const InterfaceConfiguration next = toStatic ? InterfaceConfiguration(Eth, "192.0.2.20", "255.255.255.0", "192.0.2.1", {}, {})
                                                         : InterfaceConfiguration(Eth);
            if (configuration->setWiredIpConfiguration(next))
                wired->reloadIp(configuration->wiredIpConfiguration());
            break;
        }
        case SoftApStart: case SoftApChange: {
            SoftApSettings settings(Ssid::fromString(event == SoftApStart ? "setup" : "setup-" + QString::number(++softApGeneration)), Uap);
            if (configuration->setSoftApSettings(InterfaceName(Uap), settings))
                wireless->updateSoftApSettings(settings);
            wireless->startSoftAp(InterfaceName(Uap));
            softApWanted = true;
            break;
        }
        case SoftApStop:
            wireless->stopSoftAp(InterfaceName(Uap));
            softApWanted = false;
            break;
        case CableIn: case CableOut:
            world.cable = event == CableIn;
            if (world.ethPresent)
                report(Eth, world.ethUp, ethRunning());
            readReports();
            break;
        case EthAdded: case EthRemoved:
            world.ethPresent = event == EthAdded;
            world.ethUp = false;
            readReports();
            world.ethPresent ? tracker.added(Eth) : tracker.removed(Eth);
            break;
        case WlanAdded: case WlanRemoved:
            world.wlanPresent = event == WlanAdded;
            if (world.wlanPresent)
                world.wlanUp = false;
            else
                supplicant->loseAssociation();
            readReports();
            world.wlanPresent ? tracker.added(Wlan) : tracker.removed(Wlan);
            break;
        case WlanUp: case WlanDown:
            world.wlanUp = event == WlanUp;
            if (!world.wlanUp)
                supplicant->loseAssociation();
            report(Wlan, world.wlanUp, world.wlanUp);
            readReports();
            break;
        case UapAdded: case UapRemoved:
            world.uapPresent = event == UapAdded;
            readReports();
            world.uapPresent ? tracker.added(Uap) : tracker.removed(Uap);
            break;
        case Echo: {
            const KernelReport next = world.reports.takeFirst();
            tracker.linkChanged(next.name, next.up, next.running);
            break;
        }
        case LeaseEth: ethDhcp->lease(); break;
        case LostEth: ethDhcp->lose(); break;
        case LeaseWlan: wlanDhcp->lease(); break;
        case LostWlan: wlanDhcp->lose(); break;
        case DhcpDown: case DhcpUp: world.dhcpServer = event == DhcpUp; break;
        case Configured: supplicant->configure(); break;
        case Associate: supplicant->associate(); break;
        case Reject: emit supplicant->authError(Home, QStringLiteral("WRONG_KEY")); break;
        case ApLost: case ApBack:
            world.apInRange = event == ApBack;
            if (!world.apInRange)
                supplicant->loseAssociation();
            break;
        case WpsCredentials: case WpsFailure: supplicant->endWps(event == WpsCredentials); break;
        case ScanDone:
            supplicant->scanPending = false;
            emit supplicant->scanResults({});
            break;
        case Time: {
            QTimer *timer = nextTimer();
            timer->stop();
            QMetaObject::invokeMethod(timer, "timeout");
            break;
        }
        case EventCount: break;
        }
        if (step & Batched) {
            batch += char(step);
        } else {
            batch.clear();
            settle();
        }
        if (qEnvironmentVariableIsSet("KIV_EXPLORER_TRACE"))
            fprintf(stderr, "%s%s => %s\n", EventNames[event], (step & Batched) ? "!" : "", qPrintable(describe()));
    }

    // The active states of every machine, for following a sequence by hand.
    QString describe() const
    {
        QStringList parts;
        for (QStateMachine *machine : machines()) {
            QStringList names;
            const auto active = machine->configuration();
            for (QAbstractState *state : active) {
                if (state->findChildren<QAbstractState *>().isEmpty())
                    names << state->objectName();
            }
            names.sort();
            parts << names.join(QLatin1Char(','));
        }
        return parts.join(QStringLiteral(" | "));
    }

    QTimer *nextTimer() const
    {
        QTimer *next = nullptr;
        const QList<QTimer *> timers = findChildren<QTimer *>();
        for (QTimer *timer : timers) {
            if (timer->isActive() && (!next || timer->remainingTime() < next->remainingTime()))
                next = timer;
        }
        return next;
    }

    // Lets the world finish what it would by itself: reports read, the access point joined, leases
    // handed out, scans answered, every timer run out.
    void quiesce()
    {
        static const Event progress[] = {Echo, Configured, Associate, LeaseEth, LeaseWlan, ScanDone, Time};
        for (int round = 0; round < 100; ++round) {
            const auto next = std::find_if(std::begin(progress), std::end(progress), [this](Event e) { return canHappen(e); });
            if (next == std::end(progress))
                return;
            apply(*next);
        }
        violations << QStringLiteral("the world never settled");
    }

    // Where the user expects the daemon after the world settled, from the last mode and the world.
    void checkOutcome()
    {
        const QString m = mode();
        const bool wiredMode = m == "WiredMode" || m == "HybridMode" || m == "AutomaticMode";
        const bool wiredUsable = world.ethPresent && world.cable;
        const bool wirelessMode = m == "WirelessMode" || m == "HybridMode" || (m == "AutomaticMode" && !wiredUsable);
        const auto expect = [this](bool actual, bool expected, const char *what) {
            if (actual != expected)
                violations << QStringLiteral("%1 is %2, expected %3").arg(what).arg(actual).arg(expected);
        };
        expect(wired->isConnected(), wiredMode && wiredUsable, "wired ready");
        expect(wireless->isConnected(), wirelessMode && wlanUsable(), "wireless ready");
        if (world.ethPresent)
            expect(world.ethUp, wiredMode, "wired link up");
        if (!wirelessMode && supplicant->present && world.wlanUp)
            expect(supplicant->phase == ScriptedSupplicant::Idle, true, "supplicant idle");
        expect(wireless->isSoftApStarted(InterfaceName(Uap)), softApWanted && world.uapPresent, "soft AP started");
        expect(reports[0]->isConnected(), wired->isConnected(), "Connected(kiveth0) said");
        expect(reports[1]->isConnected(), wireless->isConnected(), "Connected(kivwlan0) said");
        expect(NetworkManagerMaps::isConnected(modeStates()), reports[0]->isConnected() || reports[1]->isConnected(),
               "Connected property");
        checkCommandsGiven();
    }

    // No controller may wait for a command that the mode machine believes it already gave.
    void checkCommandsGiven()
    {
        const QStringList m = modeStates();
        const auto in = [](const QStateMachine *machine, const char *name) {
            const auto active = machine->configuration();
            return std::any_of(active.begin(), active.end(), [name](QAbstractState *s) { return s->objectName() == name; });
        };
        const auto disabled = [&](const QStateMachine *machine) {
            return in(machine, "WiredDisabled") || in(machine, "WiredDisabledInterfaceRunning")
                   || in(machine, "WiredNoInterfaceDisabled") || in(machine, "WirelessDisabled")
                   || in(machine, "WirelessInterfaceDownDisabled");
        };
        for (const auto &[name, machine] : {std::pair{QStringLiteral("Wired"), wired->stateMachine()},
                                            {QStringLiteral("Wireless"), wireless->stateMachine()}}) {
            const bool activated = m.contains(name + "IpsetupState") || m.contains(name + "ConnectedState");
            if (activated && in(machine, qPrintable(name + "WaitingInterfaceRunning")))
                violations << name.toLower() + " waits for an activation the mode machine gave";
            if ((activated || m.contains(name + "WaitingState")) && disabled(machine))
                violations << name.toLower() + " is disabled while the mode machine uses it";
        }
    }

    QByteArray signature() const
    {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        for (QStateMachine *machine : machines()) {
            QList<int> active;
            const auto states = machine->configuration();
            for (QAbstractState *state : states)
                active << stateIndex.value(state);
            std::sort(active.begin(), active.end());
            out << active;
            if (auto *kiv = qobject_cast<KivStateMachine *>(machine))
                out << kiv->isPaused() << kiv->isWaiting() << kiv->heldEventTypes();
        }
        const QList<QTimer *> timers = findChildren<QTimer *>();
        for (int i = 0; i < timers.size(); ++i) {
            if (timers.at(i)->isActive())
                out << i;
        }
        out << world.ethPresent << world.ethUp << world.cable << world.wlanPresent << world.wlanUp << world.uapPresent
            << world.dhcpServer << world.apInRange;
        for (const KernelReport &r : world.reports)
            out << r.name << r.up << r.running;
        out << quint8(supplicant->phase) << supplicant->present << supplicant->scanPending << supplicant->rightKey()
            << configuration->wirelessNetworks().contains(RightKey) << configuration->wiredIpConfiguration().hasAddress()
            << bool(ethDhcp && ethDhcp->running) << bool(wlanDhcp && wlanDhcp->running) << ethAddresses->leased()
            << wlanAddresses->leased() << softApWanted << reports[0]->isConnected() << reports[1]->isConnected()
            << announced[0] << announced[1] << batch;
        return QCryptographicHash::hash(bytes, QCryptographicHash::Md5);
    }

    World world;
    WorldDriver driver{*this};
    InterfaceTracker tracker;
    NetworkConfiguration *configuration;
    QPointer<ScriptedDhcp> ethDhcp, wlanDhcp;
    ScriptedAddresses *ethAddresses, *wlanAddresses;
    ScriptedSupplicantFactory factory;
    ScriptedSupplicant *supplicant;
    InterfaceWired *wired;
    InterfaceWireless *wireless;
    std::unique_ptr<ControllerCommands> commands;
    QStateMachine *modes;
    QHash<QAbstractState *, int> stateIndex;
    InterfaceReports *reports[2];
    bool announced[2] = {false, false};
    bool softApWanted = false;
    int softApGeneration = 0;
    Event current = EventCount;
    // Whether the world changed in the batch now being handled.
    bool worldMoved = false;
    // Batches handled so far, and when each interface last said Connected.
    int stepCount = 0;
    int batchStart = 0;
    int connectedAt[2] = {0, 0};
    // Steps handed over since the daemon last ran.
    QByteArray batch;
    QStringList violations;

private:
    // Connected, Disconnecting and Disconnected as the bus carries them.
    void watch(QObject *controller, int i)
    {
        reports[i] = new InterfaceReports(i == 0 ? Eth : Wlan, controller, this);
        connect(reports[i], &InterfaceReports::connected, this, [this, i] {
            announced[i] = false;
            connectedAt[i] = batchStart;
        });
        connect(reports[i], &InterfaceReports::disconnecting, this, [this, i] { announced[i] = true; });
        connect(reports[i], &InterfaceReports::disconnected, this, [this, i](const QString &name) {
            if (!announced[i] && !worldMoved && connectedAt[i] < batchStart)
                violations << "Disconnected(" + name + ") without Disconnecting after " + EventNames[current];
        });
    }
};

void WorldDriver::setEth(const InterfaceName &interface, bool up)
{
    if (interface.toString() == Eth && m_device.world.ethPresent) {
        m_device.world.ethUp = up;
        m_device.report(Eth, up, m_device.ethRunning());
    }
}

// States already reached, shared by every forked explorer process: 128-bit signatures, open addressing.
class SeenStates
{
public:
    SeenStates()
    {
        m_slots = static_cast<Slot *>(mmap(nullptr, Size * sizeof(Slot), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        if (m_slots == MAP_FAILED)
            qFatal("mmap failed");
    }
    ~SeenStates() { munmap(m_slots, Size * sizeof(Slot)); }
    quint64 count() const { return m_slots[0].b; }
    // True when the signature was not there yet.
    bool insert(const QByteArray &signature)
    {
        Slot key;
        memcpy(&key, signature.constData(), sizeof key);
        for (quint64 i = (key.a & (Size - 1)) | 1;; i = ((i + 1) & (Size - 1)) | 1) {
            if (m_slots[i].a == key.a && m_slots[i].b == key.b)
                return false;
            if (m_slots[i].a == 0 && m_slots[i].b == 0) {
                m_slots[i] = key;
                ++m_slots[0].b;
                return true;
            }
        }
    }
private:
    struct Slot
    {
        quint64 a = 0, b = 0;
    };
    static constexpr quint64 Size = quint64(1) << 22;
    // Slot 0 only counts the states.
    Slot *m_slots;
};

// One outcome of a step, sent from a forked process: the step, whether the state was new, and
// what went wrong.
struct Outcome
{
    quint8 step;
    bool fresh;
    QString failure;
    qint32 path = 0;
};

void send(int fd, const Outcome &outcome)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << outcome.step << outcome.fresh << outcome.failure.left(900) << outcome.path;
    const quint16 size = bytes.size();
    QByteArray frame(reinterpret_cast<const char *>(&size), sizeof size);
    frame += bytes;
    if (write(fd, frame.constData(), frame.size()) != frame.size())
        _exit(3);
}

QList<Outcome> parse(const QByteArray &all)
{
    QList<Outcome> outcomes;
    for (int at = 0; at + 2 <= all.size();) {
        quint16 size;
        memcpy(&size, all.constData() + at, sizeof size);
        QDataStream in(all.mid(at + 2, size));
        Outcome outcome;
        in >> outcome.step >> outcome.fresh >> outcome.failure >> outcome.path;
        outcomes << outcome;
        at += 2 + size;
    }
    return outcomes;
}

// Runs each piece of work in its own copy of this process, side by side (the device stays as it is
// here), and collects what they send. A copy that does not finish within its limit is killed.
QList<Outcome> inChildren(const QList<std::function<void(int)>> &works, unsigned limitSeconds)
{
    struct Child
    {
        pid_t pid;
        int fd;
        QByteArray received;
    };
    QList<Child> children;
    for (const auto &work : works) {
        int fds[2];
        if (pipe(fds) != 0)
            qFatal("pipe failed");
        const pid_t pid = fork();
        if (pid == 0) {
            for (int crash : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL})
                signal(crash, SIG_DFL);
            alarm(limitSeconds);
            close(fds[0]);
            work(fds[1]);
            _exit(0);
        }
        close(fds[1]);
        children << Child{pid, fds[0], {}};
    }
    QList<Outcome> outcomes;
    for (int open = children.size(); open > 0;) {
        QVector<pollfd> fds;
        for (const Child &child : qAsConst(children))
            fds << pollfd{child.fd, POLLIN, 0};
        poll(fds.data(), fds.size(), -1);
        for (int i = 0; i < children.size(); ++i) {
            if (children[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[65536];
            const ssize_t n = read(children[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                children[i].received.append(buffer, n);
                continue;
            }
            close(children[i].fd);
            children[i].fd = -1;
            --open;
            int status = 0;
            waitpid(children[i].pid, &status, 0);
            outcomes << parse(children[i].received);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
                outcomes << Outcome{0xff, false, QStringLiteral("explorer process ended with status %1").arg(status)};
        }
    }
    return outcomes;
}

template<typename Work>
QList<Outcome> inChild(Work work)
{
    return inChildren({std::function<void(int)>(work)}, 20);
}

// What the device gets wrong once the steps have happened and the world has settled.
QString failureAfter(Device &device, const QByteArray &steps)
{
    for (char step : steps)
        device.apply(quint8(step));
    device.settle();
    device.quiesce();
    device.checkOutcome();
    return device.violations.join(QStringLiteral("; "));
}

} // namespace

class TestConvergence : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<Device> m_device;

    QString check(const QByteArray &steps)
    {
        const QList<Outcome> outcomes = inChild([&](int fd) { send(fd, {0, false, failureAfter(*m_device, steps)}); });
        return outcomes.isEmpty() ? QStringLiteral("no outcome") : outcomes.last().failure;
    }

    // The steps possible from the device's state, each also batched with the next when it may be.
    QByteArray possibleSteps(bool afterBatch, bool exhaustive) const
    {
        QByteArray steps;
        for (int e = 0; e < EventCount; ++e) {
            if (!m_device->canHappen(Event(e)) || (exhaustive && !isExhaustive(Event(e))))
                continue;
            steps += char(e);
            if (!afterBatch && isBatchable(Event(e)))
                steps += char(e | Batched);
        }
        return steps;
    }

    // Drops steps from a failing sequence while it still fails.
    QByteArray shrink(QByteArray steps)
    {
        for (int i = steps.size() - 1; i >= 0; --i) {
            QByteArray shorter = steps;
            shorter.remove(i, 1);
            if (!check(shorter).isEmpty())
                steps = shorter;
        }
        return steps;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(inPrivateNamespaces(), "the explorer runs only in network and mount namespaces of its own");
        // Programs the controllers start (iw, avahi-autoipd, hostapd) must not run here.
        QCOMPARE(mount("tmpfs", "/usr/sbin", "tmpfs", 0, nullptr), 0);
        // The daemon's own log lines would drown the explorer's figures.
        static QtMessageHandler testOutput = nullptr;
        if (!qEnvironmentVariableIsSet("KIV_EXPLORER_TRACE"))
            testOutput = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
                if (text.startsWith(QLatin1String("explorer: ")))
                    testOutput(type, context, text);
            });
        m_device = std::make_unique<Device>();
        QCOMPARE(m_device->mode(), QStringLiteral("OffMode"));
        QVERIFY(m_device->violations.isEmpty());
    }

    // Sequences that once left the daemon stuck; each must now end where the user expects.
    void convergesAfter_data()
    {
        QTest::addColumn<QString>("steps");
        QTest::newRow("wired connects") << "wired echo lease-eth";
        QTest::newRow("wireless connects") << "wireless configured associate lease-wlan";
        // The link's up report and the cable's loss read together: CableUnplugged before Activate.
        QTest::newRow("wired cable bounce while activating") << "wired cable-out cable-in";
        QTest::newRow("hybrid cable bounce while activating") << "hybrid cable-out cable-in";
        QTest::newRow("automatic re-enables wired in place") << "wired echo lease-eth automatic! cable-out";
        QTest::newRow("command batched with a cable report") << "automatic cable-out! networks-wrong";
        QTest::newRow("stale report after the interface went") << "wired echo lease-eth automatic off automatic! eth-removed";
        QTest::newRow("interface removed while connected") << "wired echo lease-eth eth-removed";
        QTest::newRow("lease lost, then link-local") << "wired echo lease-eth lost-eth";
        QTest::newRow("activated while ready already") << "wired reload-ip wlan-down! automatic";
        QTest::newRow("address reports of an earlier set-up") << "wired echo reload-ip";
        QTest::newRow("WPS cut short by the cable") << "automatic wps cable-out";
        if (qEnvironmentVariableIsSet("KIV_EXPLORER_SEQUENCE"))
            QTest::newRow("given") << qEnvironmentVariable("KIV_EXPLORER_SEQUENCE");
    }
    void convergesAfter()
    {
        QFETCH(QString, steps);
        QCOMPARE(check(parseSequence(steps)), QString());
    }

    // Every sequence up to the bound over one alphabet, breadth first over distinct states, from
    // each start: off, and connected in each mode.
    void exhaustiveToBound_data()
    {
        QTest::addColumn<QString>("alphabet");
        QTest::newRow("cable bounce") << "wired automatic hybrid cable-in cable-out echo lease-eth time";
        QTest::newRow("wired hot-plug") << "wired automatic eth-removed eth-added echo lease-eth lost-eth reload-ip time";
        QTest::newRow("association") << "off wireless hybrid configured associate reject ap-lost ap-back "
                                        "lease-wlan lost-wlan time";
        QTest::newRow("wireless hot-plug") << "wireless hybrid wlan-down wlan-up wlan-removed wlan-added configured "
                                              "associate lease-wlan time";
        QTest::newRow("wps and networks") << "wireless automatic wps wps-credentials wps-failure networks-right "
                                             "networks-wrong configured associate lease-wlan time";
        QTest::newRow("hand-over") << "automatic wired wireless cable-in cable-out echo configured associate lease-eth "
                                      "lease-wlan time";
    }
    void exhaustiveToBound()
    {
        QFETCH(QString, alphabet);
        const int bound = qEnvironmentVariableIntValue("KIV_EXPLORER_BOUND") > 0 ? qEnvironmentVariableIntValue("KIV_EXPLORER_BOUND") : 6;
        QSet<quint8> allowed;
        for (char event : parseSequence(alphabet))
            allowed << quint8(event);
        const QStringList starts{"", "wired echo lease-eth", "wireless configured associate lease-wlan",
                                 "automatic echo lease-eth", "hybrid echo configured associate lease-eth lease-wlan"};
        SeenStates seen;
        QList<QByteArray> frontier;
        for (const QString &start : starts) {
            const QByteArray prefix = parseSequence(start);
            const QList<Outcome> root = inChild([&](int fd) {
                for (char step : prefix)
                    m_device->apply(quint8(step));
                send(fd, {0, seen.insert(m_device->signature()), QString()});
            });
            QVERIFY(!root.isEmpty());
            if (root.first().fresh)
                frontier << prefix;
        }
        QElapsedTimer clock;
        clock.start();
        quint64 sequences = 0;
        QStringList failures;
        // Expands one path: every possible next step, each in a copy of the device after the path.
        const auto expand = [&](int index, int fd) {
            const QByteArray &path = frontier.at(index);
            for (char step : path)
                m_device->apply(quint8(step));
            const bool afterBatch = !path.isEmpty() && (quint8(path.back()) & Batched);
            const QByteArray steps = possibleSteps(afterBatch, true);
            for (char step : steps) {
                if (!allowed.contains(quint8(step) & ~Batched))
                    continue;
                for (Outcome outcome : inChild([&](int leafFd) {
                         m_device->apply(quint8(step));
                         Outcome leaf{quint8(step), seen.insert(m_device->signature()), m_device->violations.join(QStringLiteral("; "))};
                         if (leaf.fresh && leaf.failure.isEmpty() && !(quint8(step) & Batched))
                             leaf.failure = failureAfter(*m_device, {});
                         send(leafFd, leaf);
                     })) {
                    outcome.step = quint8(step);
                    outcome.path = index;
                    send(fd, outcome);
                }
            }
        };
        for (int depth = 0; depth < bound && !frontier.isEmpty() && failures.isEmpty(); ++depth) {
            QList<QByteArray> next;
            // Two shards side by side, one per core.
            QList<std::function<void(int)>> work;
            for (int shard = 0; shard < 2; ++shard) {
                work << [&, shard](int fd) {
                    for (int i = shard; i < frontier.size(); i += 2) {
                        for (const Outcome &outcome : inChildren({[&, i](int nodeFd) { expand(i, nodeFd); }}, 60))
                            send(fd, outcome);
                    }
                };
            }
            for (const Outcome &outcome : inChildren(work, 0)) {
                ++sequences;
                const QByteArray extended = frontier.at(outcome.path) + char(outcome.step);
                if (!outcome.failure.isEmpty())
                    failures << sequenceText(extended) + " => " + outcome.failure;
                else if (outcome.fresh)
                    next << extended;
            }
            qInfo("explorer: depth %d: %llu sequences, %llu distinct states, %d failures, %lld ms", depth + 1,
                  sequences, seen.count(), int(failures.size()), clock.elapsed());
            frontier = next;
        }
        if (!failures.isEmpty())
            failures.prepend("shortest: " + sequenceText(shrink(parseSequence(failures.first().section(" => ", 0, 0)))));
        QVERIFY2(failures.isEmpty(), qPrintable(failures.mid(0, 10).join('\n')));
    }

    // Long seeded random walks, checked along the way and once the world has settled.
    void randomWalks()
    {
        const int walks = qEnvironmentVariableIntValue("KIV_EXPLORER_WALKS") > 0 ? qEnvironmentVariableIntValue("KIV_EXPLORER_WALKS") : 100;
        for (int seed = 1; seed <= walks; ++seed) {
            const QList<Outcome> outcomes = inChild([&](int fd) {
                std::mt19937 random(seed);
                QByteArray taken;
                for (int i = 0; i < 200; ++i) {
                    const QByteArray steps = possibleSteps(!taken.isEmpty() && (quint8(taken.back()) & Batched), false);
                    const char step = steps.at(int(random() % steps.size()));
                    taken += step;
                    m_device->apply(quint8(step));
                    if (!m_device->violations.isEmpty())
                        break;
                }
                QString failure = failureAfter(*m_device, {});
                send(fd, {0, false, failure.isEmpty() ? QString() : sequenceText(taken) + " => " + failure});
            });
            QVERIFY(!outcomes.isEmpty());
            if (!outcomes.last().failure.isEmpty()) {
                const QString steps = outcomes.last().failure.section(" => ", 0, 0);
                QFAIL(qPrintable(QStringLiteral("seed %1, shortest: %2\n%3")
                                     .arg(seed)
                                     .arg(sequenceText(shrink(parseSequence(steps))), outcomes.last().failure)));
            }
        }
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestConvergence)
#include "tst_convergence.moc"
