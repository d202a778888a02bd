// Convergence explorer: the real mode machine and the real wired and wireless controllers, over a
// scripted world (kernel links, cable, DHCP server, access point, supplicant), driven through every
// event sequence up to a bound and through long random walks. After each sequence the world is left
// to settle and the daemon must end where a user expects it, given the last mode and the world.
#include "AddressManager.h"
#include "AutoIpD.h"
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
#include "Supplicant.h"

#include <QtTest>

#include <atomic>
#include <csignal>
#include <random>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

// Exported by Qt for its own tests: the events posted in this thread and not sent yet.
Q_CORE_EXPORT uint qGlobalPostedEventsCount();

namespace {

// The copy of the test that runs in namespaces of its own binds its symbols at start, not each
// forked explorer process again.
const bool bindNow = qputenv("LD_BIND_NOW", "1");

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
const QStringList EventNames = {
    "off", "wired", "wireless", "automatic", "hybrid", "wps", "networks-right", "networks-wrong", "scan",
    "reload-ip", "softap-start", "softap-stop", "softap-settings", "cable-in", "cable-out", "eth-added",
    "eth-removed", "wlan-added", "wlan-removed", "wlan-up", "wlan-down", "uap-added", "uap-removed", "echo",
    "lease-eth", "lost-eth", "lease-wlan", "lost-wlan", "dhcp-down", "dhcp-up", "configured", "associate",
    "reject", "ap-lost", "ap-back", "wps-credentials", "wps-failure", "scan-done", "time"};
const char *const ModeNames[] = {"OffMode", "WiredMode", "WirelessMode", "AutomaticMode", "HybridMode"};
constexpr quint8 Batched = 0x80;
constexpr quint64 Batchable = 1 << Off | 1 << Wired | 1 << Wireless | 1 << Automatic | 1 << Hybrid | 1 << CableIn | 1 << CableOut | 1 << Echo;
// What the world does by itself, in the order it settles.
const Event Progress[] = {Echo, Configured, Associate, LeaseEth, LeaseWlan, ScanDone, Time};


QString sequenceText(const QByteArray &steps)
{
    QStringList names;
    for (char step : steps)
        names << EventNames.at(quint8(step) & ~Batched) + ((quint8(step) & Batched) ? "!" : "");
    return names.join(QLatin1Char(' '));
}

QByteArray parseSequence(const QString &text)
{
    QByteArray steps;
    for (QString name : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const bool batched = name.endsWith(QLatin1Char('!'));
        const int event = EventNames.indexOf(name.remove(QLatin1Char('!')));
        if (event < 0)
            qFatal("unknown event %s", qPrintable(name));
        steps += char(event | (batched ? Batched : 0));
    }
    return steps;
}

// A DHCP client whose leases and losses the world hands out through its signals.
struct ScriptedDhcp : DhcpClient
{
    using DhcpClient::DhcpClient;
    void start() override { running = true; }
    bool stop() override
    {
        running = false;
        return true;
    }
    bool running = false;
};

// The supplicant's connection loop reduced to its phases; its timer is the 200 s WPS limit.
struct ScriptedSupplicant : Supplicant
{
    enum Phase : quint8 { Idle, Configuring, Waiting, Associated, InWps };

    ScriptedSupplicant(QObject *parent, const QString &name) : Supplicant(parent, name)
    {
        wpsLimit.setSingleShot(true);
        wpsLimit.setInterval(200000);
        QObject::connect(&wpsLimit, &QTimer::timeout, this, [this] { endWps(false); });
    }
    bool enable(const QSet<WirelessNetwork> &set) override
    {
        networks = set;
        return command(set.isEmpty() ? Idle : Configuring);
    }
    bool disable() override { return command(Idle); }
    bool wpsPbc() override { return command(InWps); }
    bool wpsPin(const QString &) override { return command(InWps); }
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
    // A command ends a running WPS session with an error, reported later from the worker thread.
    bool command(Phase next)
    {
        if (phase == InWps)
            QMetaObject::invokeMethod(this, [this] { emit wpsError("Another command requested, exiting WPS session"); },
                                      Qt::QueuedConnection);
        phase = next;
        next == InWps ? wpsLimit.start() : wpsLimit.stop();
        return true;
    }
    void moveTo(Phase next)
    {
        phase = next;
        next == Associated ? emit connected() : emit configured();
    }
    void loseAssociation()
    {
        if (phase == Associated)
            moveTo(Waiting);
    }
    void endWps(bool success)
    {
        phase = Idle;
        wpsLimit.stop();
        success ? emit wpsFinished(RightKey) : emit wpsError(QStringLiteral("WPS failed"));
    }
    bool rightKey() const { return networks.contains(RightKey) && !networks.contains(WrongKey); }

    Phase phase = Idle;
    bool present = true, scanPending = false;
    QSet<WirelessNetwork> networks;
    QTimer wpsLimit{this};
};

// The daemon's address manager over one IPv4 family whose DHCP client the world scripts.
struct ScriptedAddresses : AddressManager
{
    ScriptedAddresses(const InterfaceName &name, NetworkDriver *driver, QObject *parent)
        : ScriptedAddresses(name, new Ipv4AddressManager(name, driver, [this](const InterfaceName &n) { return dhcp = new ScriptedDhcp(n); }),
                            parent)
    {
    }
    ScriptedAddresses(const InterfaceName &name, Ipv4AddressManager *family, QObject *parent)
        : AddressManager(name, nullptr, {family}, parent), ipv4(family)
    {
        ipv4->setParent(this);
    }
    bool running() const { return dhcp && dhcp->running; }

    Ipv4AddressManager *ipv4;
    QPointer<ScriptedDhcp> dhcp;
};

// The mode machine's commands; notes the networks of each enabling, which a paused controller may hold.
struct Commands : ControllerCommands
{
    using ControllerCommands::ControllerCommands;
    void enableWireless(const QSet<WirelessNetwork> &networks) override
    {
        enabled << networks;
        ControllerCommands::enableWireless(networks);
    }
    QList<QSet<WirelessNetwork>> enabled;
};

// The composed daemon (mode machine, controllers, address managers, tracker) over the world, which
// is its network driver and supplicant factory. Timers run out only at the world's "time" step, the
// shortest first and, of equal ones, the one seen running first.
class Device : public SupplicantFactory, public RecordingDriver
{
public:
    Device()
    {
        configuration = new NetworkConfiguration(this, Eth, Wlan, {Uap});
        configuration->setWirelessNetworks({RightKey});
        for (int i = 0; i < 2; ++i) {
            addresses[i] = new ScriptedAddresses(InterfaceName(i ? Wlan : Eth), this, this);
            connect(addresses[i], &AddressManager::connected, this, [this, i] { addressUp[i] = true; });
            connect(addresses[i], &AddressManager::disconnected, this, [this, i] { addressUp[i] = false; });
        }
        wired = new InterfaceWired(InterfaceName(Eth), this, addresses[0], this);
        wireless = new InterfaceWireless(InterfaceName(Wlan), {Uap}, this, addresses[1], this, this);
        modeCommands = std::make_unique<Commands>(wired, wireless);
        modes = new QStateMachine(this);
        modes->setInitialState(ModeMachine(modes, {modeCommands.get(), configuration}, wired, wireless).build().off);
        tracker.route(Eth, wired, false);
        tracker.route(Wlan, wireless, false);
        tracker.route(Uap, wireless, true);
        // Connected, Disconnecting and Disconnected as the bus carries them.
        for (int i = 0; i < 2; ++i) {
            said[i] = new InterfaceReports(i ? Wlan : Eth, i ? static_cast<QObject *>(wireless) : wired, this);
            connect(said[i], &InterfaceReports::connected, this, [this, i] { connectedAt[i] = batchStart; });
            connect(said[i], &InterfaceReports::disconnecting, this, [this, i] { connectedAt[i] = -1; });
            connect(said[i], &InterfaceReports::disconnected, this, [this, i](const QString &name) {
                if (connectedAt[i] >= 0 && !worldMoved && connectedAt[i] < batchStart)
                    violations << "Disconnected(" + name + ") without Disconnecting after " + EventNames.at(current);
            });
        }
        connect(wireless, &InterfaceWireless::reconnecting, this, [this] { modes->postEvent(new ManagerEvent::Reconnecting()); });
        modes->start();
        settle();
        tracker.added(Eth);
        tracker.linkChanged(Eth, false, false);
        tracker.added(Wlan);
        tracker.linkChanged(Wlan, true, true);
        settle();
        readReports();
        const QList<QObject *> objects = findChildren<QObject *>();
        for (QObject *object : objects)
            objectIndex.insert(object, objectIndex.size());
        timers = findChildren<QTimer *>();
        machines = {modes, wired->stateMachine(), wireless->stateMachine(), wireless->softApStateMachine()};
        settle();
    }

    std::unique_ptr<Supplicant> create(QObject *parent, const QString &name) override
    {
        auto made = std::make_unique<ScriptedSupplicant>(parent, name);
        supplicant = made.get();
        return made;
    }
    // The wired link follows the driver; the addresses are kept as the family managers set them.
    void linkUp(const InterfaceName &interface) override { setEth(interface, true); }
    void linkDown(const InterfaceName &interface) override { setEth(interface, false); }
    void setEth(const InterfaceName &interface, bool up)
    {
        if (interface.toString() == Eth && ethPresent) {
            ethUp = up;
            reports << KernelReport{Eth, up, ethRunning()};
        }
    }
    void flushAddresses(AddressFamily family, const InterfaceName &interface, bool) override
    {
        if (family == AddressFamily::Ipv4)
            address.remove(interface.toString());
    }
    void addAddress(const QString &ip, int, const InterfaceName &interface) override { address[interface.toString()] = ip; }

    // Lets every machine handle what was posted and what that posted in turn; notes timers started.
    void settle()
    {
        for (int round = 0; qGlobalPostedEventsCount() > 0; ++round) {
            if (round == 100) {
                violations << QStringLiteral("the daemon never settled");
                return;
            }
            QCoreApplication::sendPostedEvents();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        for (QTimer *timer : qAsConst(timers)) {
            if (!timer->isActive())
                started.remove(timer);
            else if (!started.contains(timer))
                started.insert(timer, ++starts);
        }
    }
    // The running timers in the order they run out.
    QList<QTimer *> running() const
    {
        QList<QTimer *> ordered = started.keys();
        std::sort(ordered.begin(), ordered.end(), [this](QTimer *a, QTimer *b) {
            return std::pair(a->interval(), started.value(a)) < std::pair(b->interval(), started.value(b));
        });
        return ordered;
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
    bool ethRunning() const { return ethPresent && ethUp && cable; }
    // Reads the kernel's reports up to now, in order.
    void readReports(int count = -1)
    {
        for (; count != 0 && !reports.isEmpty(); --count) {
            const KernelReport next = reports.takeFirst();
            tracker.linkChanged(next.name, next.up, next.running);
        }
    }
    // What the world does first when left alone; EventCount once it has settled.
    Event settlingStep() const
    {
        const auto next = std::find_if(std::begin(Progress), std::end(Progress), [this](Event e) { return canHappen(e); });
        return next == std::end(Progress) ? EventCount : *next;
    }

    bool canHappen(Event event) const
    {
        const ScriptedAddresses *dhcp = addresses[event == LeaseWlan || event == LostWlan];
        const bool waiting = supplicant->phase == ScriptedSupplicant::Waiting;
        switch (event) {
        case Off: case Wired: case Wireless: case Automatic: case Hybrid:
            return mode() != QLatin1String(ModeNames[event]);
        case NetworksRight: return !configuration->wirelessNetworks().contains(RightKey);
        case NetworksWrong: return !configuration->wirelessNetworks().contains(WrongKey);
        case SoftApStart: return !softApWanted;
        case SoftApStop: case SoftApChange: return softApWanted;
        case CableIn: case CableOut: return cable == (event == CableOut);
        case EthAdded: case EthRemoved: return ethPresent == (event == EthRemoved);
        case WlanAdded: case WlanRemoved: return wlanPresent == (event == WlanRemoved);
        case WlanUp: case WlanDown: return wlanPresent && wlanUp == (event == WlanDown);
        case UapAdded: case UapRemoved: return uapPresent == (event == UapRemoved);
        case Echo: return !reports.isEmpty();
        case LeaseEth: return dhcp->running() && !dhcp->ipv4->isConnected() && ethRunning() && dhcpServer;
        case LeaseWlan:
            return dhcp->running() && !dhcp->ipv4->isConnected() && supplicant->phase == ScriptedSupplicant::Associated && dhcpServer;
        case LostEth: case LostWlan: return dhcp->running() && dhcp->ipv4->isConnected();
        case DhcpDown: case DhcpUp: return dhcpServer == (event == DhcpDown);
        case Configured: return supplicant->phase == ScriptedSupplicant::Configuring && supplicant->present;
        case Associate: return waiting && wlanPresent && wlanUp && apInRange && supplicant->rightKey();
        case Reject: return waiting && apInRange && !supplicant->rightKey();
        case ApLost: case ApBack: return apInRange == (event == ApLost);
        case WpsCredentials: case WpsFailure: return supplicant->phase == ScriptedSupplicant::InWps;
        case ScanDone: return supplicant->scanPending;
        case Time: return !started.isEmpty();
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
            batchBase = (step & Batched) ? key() : 0;
        }
        worldMoved = worldMoved || (event >= CableIn && event != Time);
        ScriptedDhcp *dhcp = addresses[event == LeaseWlan || event == LostWlan]->dhcp;
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
        case ReloadIp:
            if (configuration->setWiredIpConfiguration(configuration->wiredIpConfiguration().hasAddress()
                                                           ? InterfaceConfiguration(Eth)
                                                           : InterfaceConfiguration(Eth, "192.0.2.20", "255.255.255.0", "192.0.2.1", {}, {})))
                wired->reloadIp(configuration->wiredIpConfiguration());
            break;
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
            cable = event == CableIn;
            if (ethPresent)
                reports << KernelReport{Eth, ethUp, ethRunning()};
            readReports();
            break;
        case EthAdded: case EthRemoved:
            ethPresent = event == EthAdded;
            ethUp = false;
            readReports();
            ethPresent ? tracker.added(Eth) : tracker.removed(Eth);
            break;
        case WlanAdded: case WlanRemoved:
            wlanPresent = event == WlanAdded;
            if (wlanPresent)
                wlanUp = false;
            else
                supplicant->loseAssociation();
            readReports();
            wlanPresent ? tracker.added(Wlan) : tracker.removed(Wlan);
            break;
        case WlanUp: case WlanDown:
            wlanUp = event == WlanUp;
            if (!wlanUp)
                supplicant->loseAssociation();
            reports << KernelReport{Wlan, wlanUp, wlanUp};
            readReports();
            break;
        case UapAdded: case UapRemoved:
            uapPresent = event == UapAdded;
            readReports();
            uapPresent ? tracker.added(Uap) : tracker.removed(Uap);
            break;
        case Echo: readReports(1); break;
        case LeaseEth: case LeaseWlan:
            emit dhcp->finished(InterfaceConfiguration(dhcp->interfaceName().toString(), "192.0.2.10", "255.255.255.0", "192.0.2.1", {}, {}));
            break;
        case LostEth: case LostWlan: emit dhcp->error(QStringLiteral("lease lost")); break;
        case DhcpDown: case DhcpUp: dhcpServer = event == DhcpUp; break;
        case Configured: supplicant->moveTo(ScriptedSupplicant::Waiting); break;
        case Associate: supplicant->moveTo(ScriptedSupplicant::Associated); break;
        case Reject: emit supplicant->authError(Home, QStringLiteral("WRONG_KEY")); break;
        case ApLost: case ApBack:
            apInRange = event == ApBack;
            if (!apInRange)
                supplicant->loseAssociation();
            break;
        case WpsCredentials: case WpsFailure: supplicant->endWps(event == WpsCredentials); break;
        case ScanDone:
            supplicant->scanPending = false;
            emit supplicant->scanResults({});
            break;
        case Time: {
            QTimer *timer = running().constFirst();
            started.remove(timer);
            timer->stop();
            QMetaObject::invokeMethod(timer, "timeout");
            break;
        }
        case EventCount: break;
        }
        if (qEnvironmentVariableIsSet("KIV_EXPLORER_TRACE"))
            fprintf(stderr, "explorer step: %s%s\n", qPrintable(EventNames.at(event)), (step & Batched) ? "!" : "");
        if (step & Batched) {
            batch += char(step);
        } else {
            batch.clear();
            settle();
        }
    }

    // Lets the world finish what it would by itself (reports read, the access point joined, leases
    // handed out, scans answered, every timer run out), then says what the device gets wrong.
    QString failureAfterSettling()
    {
        settle();
        for (int round = 0; settlingStep() != EventCount; ++round) {
            if (round == 100)
                return QStringLiteral("the world never settled");
            apply(settlingStep());
        }
        checkOutcome();
        return violations.join(QStringLiteral("; "));
    }

    // Where the user expects the daemon after the world settled, from the last mode and the world.
    void checkOutcome()
    {
        const QStringList active = modeStates();
        const QString m = NetworkManagerMaps::modeName(active);
        const bool wiredMode = m == "WiredMode" || m == "HybridMode" || m == "AutomaticMode";
        const bool wirelessMode = m == "WirelessMode" || m == "HybridMode" || (m == "AutomaticMode" && !(ethPresent && cable));
        const auto expect = [this](bool actual, bool expected, const char *what) {
            if (actual != expected)
                violations << QStringLiteral("%1 is %2, expected %3").arg(what).arg(actual).arg(expected);
        };
        expect(wired->isConnected(), wiredMode && ethPresent && cable, "wired ready");
        expect(wireless->isConnected(), wirelessMode && wlanPresent && wlanUp && apInRange && supplicant->rightKey(), "wireless ready");
        if (ethPresent)
            expect(ethUp, wiredMode, "wired link up");
        if (!wirelessMode && supplicant->present && wlanUp)
            expect(supplicant->phase == ScriptedSupplicant::Idle, true, "supplicant idle");
        expect(wireless->isSoftApStarted(InterfaceName(Uap)), softApWanted && uapPresent, "soft AP started");
        expect(said[0]->isConnected(), wired->isConnected(), "Connected(kiveth0) said");
        expect(said[1]->isConnected(), wireless->isConnected(), "Connected(kivwlan0) said");
        expect(NetworkManagerMaps::isConnected(active), said[0]->isConnected() || said[1]->isConnected(), "Connected property");
        // No controller may wait for a command that the mode machine believes it already gave.
        for (const auto &[name, machine] : {std::pair{QStringLiteral("Wired"), wired->stateMachine()},
                                            {QStringLiteral("Wireless"), wireless->stateMachine()}}) {
            QSet<QString> states;
            const auto activeStates = machine->configuration();
            for (const QAbstractState *state : activeStates)
                states << state->objectName();
            const bool activated = active.contains(name + "IpsetupState") || active.contains(name + "ConnectedState");
            if (activated && states.contains(name + "WaitingInterfaceRunning"))
                violations << name.toLower() + " waits for an activation the mode machine gave";
            if ((activated || active.contains(name + "WaitingState"))
                && states.intersects({"WiredDisabled", "WiredDisabledInterfaceRunning", "WiredNoInterfaceDisabled",
                                      "WirelessDisabled", "WirelessInterfaceDownDisabled"}))
                violations << name.toLower() + " is disabled while the mode machine uses it";
        }
    }

    // Everything the future of the daemon and the world depends on, as a digest. Soft-AP and scanning
    // steps stay out of the exhaustive alphabets, so their settings and processes need no place here;
    // nor does the WPS request, always the push button, which works as none, nor the delay before a
    // DHCP restart: only a lost lease restarts, and the lease before it reset the delay. The DHCP client
    // runs exactly while DHCP is wanted, since its manager starts and stops with the IP set-up state.
    quint64 key() const
    {
        QByteArray bytes;
        QDataStream out(&bytes, QIODevice::WriteOnly);
        const auto networks = [&out](const QSet<WirelessNetwork> &set) {
            out << set.contains(RightKey) << set.contains(WrongKey) << set.size();
        };
        for (const QStateMachine *machine : machines) {
            QList<int> active;
            const auto states = machine->configuration();
            for (QAbstractState *state : states)
                active << objectIndex.value(state);
            std::sort(active.begin(), active.end());
            out << active;
            if (auto *kiv = qobject_cast<const KivStateMachine *>(machine))
                out << kiv->isPaused() << kiv->heldEventTypes();
        }
        // A paused wireless controller holds the networks of the latest enablings.
        const QList<QSet<WirelessNetwork>> &enabled = modeCommands->enabled;
        for (int i = enabled.size() - wireless->stateMachine()->heldEventTypes().count(WirelessEvent::Enable::type()); i < enabled.size(); ++i)
            networks(enabled.at(i));
        for (QTimer *timer : running())
            out << objectIndex.value(timer) << timer->interval();
        out << ethPresent << ethUp << cable << wlanPresent << wlanUp << uapPresent << dhcpServer << apInRange;
        for (const KernelReport &r : reports)
            out << r.name << r.up << r.running;
        for (const QString &name : {Eth, Wlan, Uap})
            out << tracker.exists(name) << tracker.isUp(name) << tracker.isRunning(name);
        out << quint8(supplicant->phase) << supplicant->present << supplicant->scanPending;
        networks(supplicant->networks);
        networks(configuration->wirelessNetworks());
        networks(wireless->networks());
        out << configuration->wiredIpConfiguration().address().ip() << wired->configuration().address().ip()
            << wireless->configuration().address().ip() << softApWanted << softApGeneration;
        for (int i = 0; i < 2; ++i) {
            const ScriptedAddresses *a = addresses[i];
            out << a->isConnected() << a->ipv4->isConnected() << addressUp[i] << bool(a->dhcp) << a->running()
                << bool(a->ipv4->findChild<AutoIpD *>()) << address.value(i ? Wlan : Eth) << said[i]->isConnected()
                << (connectedAt[i] < 0);
        }
        if (!batch.isEmpty())
            out << batchBase << batch;
        quint64 digest;
        memcpy(&digest, QCryptographicHash::hash(bytes, QCryptographicHash::Md5).constData(), sizeof digest);
        return digest | 1;
    }

    struct KernelReport
    {
        QString name;
        bool up, running;
    };
    InterfaceTracker tracker;
    NetworkConfiguration *configuration;
    ScriptedAddresses *addresses[2];
    ScriptedSupplicant *supplicant = nullptr;
    InterfaceWired *wired;
    InterfaceWireless *wireless;
    std::unique_ptr<Commands> modeCommands;
    QStateMachine *modes;
    QList<const QStateMachine *> machines;
    QHash<QObject *, int> objectIndex;
    InterfaceReports *said[2];
    // The kernel, the cable and the peers on both networks.
    bool ethPresent = true, ethUp = false, cable = true, wlanPresent = true, wlanUp = true, uapPresent = false;
    bool dhcpServer = true, apInRange = true;
    QList<KernelReport> reports;
    QHash<QString, QString> address;
    // The device's timers, and when each running one was seen running first.
    QList<QTimer *> timers;
    QHash<QTimer *, quint64> started;
    quint64 starts = 0;
    bool addressUp[2] = {false, false}, softApWanted = false;
    int softApGeneration = 0;
    Event current = EventCount;
    // Whether the world changed in the batch now being handled, the batches so far, and when each
    // interface last said Connected (-1 once it said Disconnecting).
    bool worldMoved = false;
    int stepCount = 0, batchStart = 0, connectedAt[2] = {0, 0};
    // Steps handed over since the daemon last ran, and the state before them.
    QByteArray batch;
    quint64 batchBase = 0;
    QStringList violations;
};

// What the explorer's copies of the process share: spare cores, counts, the first failure with its
// steps, every state reached (with the exploration that last reached it and the most steps it had
// left after it) and where each step taken from a state led.
struct Shared
{
    static constexpr quint32 Slots = 1 << 20;
    std::atomic<int> spare, exploration, failures;
    std::atomic<quint64> sequences, copies, states;
    int length, signal;
    char steps[256], text[512];
    std::atomic<quint64> keys[Slots], from[Slots], to[Slots];
    std::atomic<quint16> reached[Slots];

    // The slot of a key in a table, or Slots; added tells whether this call put it there.
    static quint32 slot(std::atomic<quint64> *table, quint64 key, bool add, bool *added = nullptr)
    {
        for (quint32 i = key % Slots;; i = (i + 1) % Slots) {
            quint64 found = 0;
            const bool empty = table[i].compare_exchange_strong(found, add ? key : 0);
            if (added)
                *added = empty && add;
            if (found == key || empty)
                return found == key || add ? i : Slots;
        }
    }
    // Notes a state reached with steps left: whether it is new, and whether this exploration went no
    // further from it yet.
    std::pair<bool, bool> reach(quint64 key, int left)
    {
        bool fresh = false;
        const quint32 i = slot(keys, key, true, &fresh);
        const quint16 mark = quint16(exploration << 8 | (left + 1));
        for (quint16 best = reached[i]; (best >> 8) != exploration || best < mark;) {
            if (reached[i].compare_exchange_weak(best, mark)) {
                states += (best >> 8) != exploration;
                return {fresh, true};
            }
        }
        return {fresh, false};
    }
    // The state a step led to, when it is known and was explored as far as it must be.
    quint64 explored(quint64 state, char step, int left)
    {
        const quint32 t = slot(from, state * 131 + quint8(step) + 1, false);
        const quint32 i = t < Slots ? slot(keys, to[t], false) : Slots;
        return i < Slots && (left == 0 || reached[i] > (exploration << 8 | left)) ? quint64(to[t]) : 0;
    }
    void learn(quint64 state, char step, quint64 next) { to[slot(from, state * 131 + quint8(step) + 1, true)] = next; }
};

Device *device = nullptr;
Shared *shared = nullptr;
// The steps that led this copy of the process where it is, and its copies running beside it.
QByteArray currentSteps;
QList<pid_t> beside;

// Keeps the first failure; allocates nothing when a signal ended the copy.
void record(const QByteArray &steps, const QString &text, int signal = 0)
{
    if (shared->failures++ > 0)
        return;
    shared->length = qMin(steps.size(), int(sizeof shared->steps));
    memcpy(shared->steps, steps.constData(), shared->length);
    shared->signal = signal;
    if (!signal)
        qstrncpy(shared->text, text.toUtf8().constData(), sizeof shared->text);
}

void await(pid_t pid)
{
    int status = 0;
    const unsigned limit = alarm(0);
    waitpid(pid, &status, 0);
    alarm(limit ? 60 : 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        record({}, QStringLiteral("explorer process ended with status %1").arg(status));
}

void awaitBeside()
{
    for (pid_t pid : std::exchange(beside, {}))
        await(pid);
}

// Runs work in a copy of this process (the device stays as it is here), beside this one while a core
// is spare, else in its place. A crash, or a minute of the copy's own work, is a failure of the
// steps it had taken.
template<typename Work>
void spawn(Work work)
{
    int spare = shared->spare;
    while (spare > 0 && !shared->spare.compare_exchange_weak(spare, spare - 1)) {
    }
    ++shared->copies;
    const pid_t pid = fork();
    if (pid != 0 && spare > 0)
        beside << pid;
    else if (pid != 0)
        await(pid);
    if (pid != 0)
        return;
    beside.clear();
    for (int signal : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGALRM}) {
        std::signal(signal, [](int caught) {
            record(currentSteps, QString(), caught);
            _exit(0);
        });
    }
    alarm(60);
    work();
    awaitBeside();
    shared->spare += spare > 0;
    _exit(0);
}

// The steps of the alphabet possible from the device's state; a batched one only when another may follow.
QByteArray possibleSteps(quint64 alphabet, bool batching)
{
    QByteArray steps;
    for (int e = 0; e < EventCount; ++e) {
        if (!(alphabet & (quint64(1) << e)) || !device->canHappen(Event(e)))
            continue;
        steps += char(e);
        if (batching && device->batch.isEmpty() && (Batchable & (quint64(1) << e)))
            steps += char(e | Batched);
    }
    return steps;
}

// Explores below the device's state in this copy of the process, `left` more steps of the alphabet;
// `before` is the state the last step was taken from. A new settled state is checked once the world
// has settled. A step that led before to a state explored as far as needed is not taken again. Each
// copy takes its last step in place: where a check is due, the step the settling world takes first,
// so that the check continues there.
void explore(QByteArray steps, int left, quint64 alphabet, quint64 before)
{
    bool check = false;
    for (;; --left) {
        ++shared->sequences;
        currentSteps = steps;
        if (!device->violations.isEmpty())
            return record(steps, device->violations.join(QStringLiteral("; ")));
        const quint64 key = device->key();
        if (before)
            shared->learn(before, steps.back(), key);
        const auto [fresh, further] = shared->reach(key, left);
        check = fresh && device->batch.isEmpty();
        if (!further || left == 0 || shared->failures > 0)
            break;
        const char settling = char(device->settlingStep());
        if (check && settling == char(EventCount)) {
            device->checkOutcome();
            if (!device->violations.isEmpty())
                return record(steps, device->violations.join(QStringLiteral("; ")));
            check = false;
        }
        QByteArray next;
        for (char step : possibleSteps(alphabet, left > 1)) {
            const quint64 known = shared->explored(key, step, left - 1);
            if (known)
                shared->reach(known, left - 1);
            check = check && !(known && step == settling);
            next += known ? QByteArray() : QByteArray(1, step);
        }
        const char here = check ? settling : next.isEmpty() ? char(EventCount) : next.back();
        for (char step : next) {
            if (step != here)
                spawn([&, step] {
                    currentSteps = steps + step;
                    device->apply(quint8(step));
                    explore(currentSteps, left - 1, alphabet, key);
                });
        }
        if (!next.contains(here))
            break;
        check = false;
        device->apply(quint8(here));
        steps += here;
        before = key;
    }
    const QString failure = check ? device->failureAfterSettling() : QString();
    if (!failure.isEmpty())
        record(steps, failure);
}

// What goes wrong after the steps, in a copy of the process.
QString failureAfter(const QByteArray &steps)
{
    shared->failures = 0;
    spawn([&] {
        currentSteps = steps;
        for (char step : steps)
            device->apply(quint8(step));
        const QString failure = device->failureAfterSettling();
        if (!failure.isEmpty())
            record(steps, failure);
    });
    awaitBeside();
    return shared->failures ? QString::fromUtf8(shared->text) : QString();
}

// The failure found, and as few of its steps as still fail; empty when there was none.
QString failureReport()
{
    if (shared->failures == 0)
        return QString();
    const int failures = shared->failures;
    const QString failed = sequenceText(QByteArray(shared->steps, shared->length)) + " => "
                           + (shared->signal ? QStringLiteral("ended by signal %1").arg(shared->signal) : QString::fromUtf8(shared->text));
    QByteArray steps(shared->steps, shared->length);
    for (int i = steps.size() - 1; i >= 0; --i) {
        if (!failureAfter(QByteArray(steps).remove(i, 1)).isEmpty())
            steps.remove(i, 1);
    }
    return QStringLiteral("%1 failures, shortest: %2\nfirst: %3").arg(failures).arg(sequenceText(steps), failed);
}

} // namespace

class TestConvergence : public QObject
{
    Q_OBJECT

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
        void *memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        QVERIFY(memory != MAP_FAILED);
        shared = static_cast<Shared *>(memory);
        shared->spare = qMax(1, QThread::idealThreadCount()) - 1;
        device = new Device;
        QCOMPARE(device->mode(), QStringLiteral("OffMode"));
        QVERIFY(device->violations.isEmpty());
    }

    void cleanupTestCase() { delete device; }

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
        QCOMPARE(failureAfter(parseSequence(steps)), QString());
    }

    // Every sequence up to the bound over one alphabet, from each start: connected in each mode, and
    // off. The states and steps an earlier alphabet explored are not taken again.
    void exhaustiveToBound_data()
    {
        QTest::addColumn<QString>("alphabet");
        QTest::newRow("cable bounce") << "wired automatic hybrid cable-in cable-out echo lease-eth time";
        QTest::newRow("wired hot-plug") << "wired automatic eth-removed eth-added echo lease-eth lost-eth reload-ip time";
        QTest::newRow("association") << "off wireless hybrid configured associate reject ap-lost ap-back lease-wlan lost-wlan time";
        QTest::newRow("wireless hot-plug") << "wireless hybrid wlan-down wlan-up wlan-removed wlan-added configured associate lease-wlan time";
        QTest::newRow("wps and networks") << "wireless automatic wps wps-credentials wps-failure networks-right networks-wrong "
                                             "configured associate lease-wlan time";
        QTest::newRow("hand-over") << "automatic wired wireless cable-in cable-out echo configured associate lease-eth lease-wlan time";
    }
    void exhaustiveToBound()
    {
        QFETCH(QString, alphabet);
        const int bound = qEnvironmentVariableIntValue("KIV_EXPLORER_BOUND") > 0 ? qEnvironmentVariableIntValue("KIV_EXPLORER_BOUND") : 6;
        quint64 events = 0;
        for (char event : parseSequence(alphabet))
            events |= quint64(1) << event;
        ++shared->exploration;
        shared->sequences = shared->copies = shared->states = shared->failures = 0;
        QElapsedTimer clock;
        clock.start();
        for (const char *start : {"hybrid echo configured associate lease-eth lease-wlan", "automatic echo lease-eth",
                                  "wireless configured associate lease-wlan", "wired echo lease-eth", ""}) {
            const QByteArray prefix = parseSequence(start);
            spawn([&] {
                currentSteps = prefix;
                for (char step : prefix)
                    device->apply(quint8(step));
                explore(prefix, bound, events, 0);
            });
        }
        awaitBeside();
        qInfo("explorer: to %d steps: %llu distinct states, %llu sequences, %llu processes, %lld ms", bound,
              quint64(shared->states), quint64(shared->sequences), quint64(shared->copies), clock.elapsed());
        const QString report = failureReport();
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }

    // Long seeded random walks over the whole alphabet, checked along the way and once the world has settled.
    void randomWalks()
    {
        const int walks = qEnvironmentVariableIntValue("KIV_EXPLORER_WALKS") > 0 ? qEnvironmentVariableIntValue("KIV_EXPLORER_WALKS") : 100;
        shared->failures = 0;
        for (int seed = 1; seed <= walks; ++seed) {
            spawn([seed] {
                std::mt19937 random(seed);
                for (int i = 0; i < 200 && device->violations.isEmpty(); ++i) {
                    const QByteArray steps = possibleSteps(~quint64(0), true);
                    currentSteps += steps.at(int(random() % steps.size()));
                    device->apply(quint8(currentSteps.back()));
                }
                const QString failure = device->failureAfterSettling();
                if (!failure.isEmpty())
                    record(currentSteps, failure);
            });
        }
        awaitBeside();
        const QString report = failureReport();
        QVERIFY2(report.isEmpty(), qPrintable(report));
    }
};

KIV_PRIVATE_NAMESPACE_TEST_MAIN(TestConvergence)
#include "tst_convergence.moc"
