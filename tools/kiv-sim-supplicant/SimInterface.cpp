#include "SimInterface.h"

#include "SimBssProperties.h"
#include "SimPlan.h"

#include <QDBusObjectPath>
#include <QDBusVariant>

namespace {

const QString stateCompleted = QStringLiteral("completed");
const QString stateDisconnected = QStringLiteral("disconnected");
const QString stateInactive = QStringLiteral("inactive");
const QString stateScanning = QStringLiteral("scanning");


QList<QDBusObjectPath> objectPathList(const QStringList &paths)
{
    QList<QDBusObjectPath> list;
    for (const QString &path : paths)
        list.append(QDBusObjectPath(path));
    return list;
}

// wpa_supplicant's back-off for a network that failed to authenticate, in seconds.
int tempDisabledSeconds(int failures)
{
    if (failures > 50)
        return 300;
    if (failures > 10)
        return 120;
    if (failures > 5)
        return 90;
    if (failures > 3)
        return 60;
    if (failures > 2)
        return 30;
    if (failures > 1)
        return 20;
    return 10;
}

int trailingId(const QString &path, const QString &prefix)
{
    if (!path.startsWith(prefix))
        return -1;
    bool ok = false;
    const int id = path.mid(prefix.size()).toInt(&ok);
    return ok && id >= 0 ? id : -1;
}

} // namespace

SimInterface::SimInterface(int index, const QString &ifname, const QString &driver, const SimWorld *world,
                           SimBusEmitter *bus, QObject *parent)
    : QObject(parent)
    , m_path(QStringLiteral("/fi/w1/wpa_supplicant1/Interfaces/%1").arg(index))
    , m_ifname(ifname)
    , m_driver(driver)
    , m_world(world)
    , m_bus(bus)
    , m_plan(new SimPlan(this))
    , m_bssExpireAge(static_cast<uint>(world->timing.bssExpireAge))
    , m_bssExpireCount(static_cast<uint>(world->timing.bssExpireCount))
{
    m_clock.start();
    m_scanTimer.setSingleShot(true);
    m_rescanTimer.setSingleShot(true);
    m_wpsWalkTimer.setSingleShot(true);
    connect(&m_scanTimer, &QTimer::timeout, this, &SimInterface::finishScan);
    connect(&m_rescanTimer, &QTimer::timeout, this, &SimInterface::reconsider);
    connect(&m_wpsWalkTimer, &QTimer::timeout, this, &SimInterface::wpsTimedOut);
    m_published = interfaceProperties();
}

SimInterface::~SimInterface() = default;

void SimInterface::start()
{
    QTimer::singleShot(m_world->timing.stepMs, this, &SimInterface::reconsider);
}

void SimInterface::shutdown()
{
    m_plan->clear();
    m_scanTimer.stop();
    m_rescanTimer.stop();
    m_wpsWalkTimer.stop();
    for (const Network &network : qAsConst(m_networks))
        m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("NetworkRemoved"),
                          {QVariant::fromValue(QDBusObjectPath(network.path))});
    for (const Bss &bss : qAsConst(m_bss))
        m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("BSSRemoved"),
                          {QVariant::fromValue(QDBusObjectPath(bss.path))});
    m_networks.clear();
    m_bss.clear();
}

SimInterface::ObjectKind SimInterface::objectKind(const QString &path, int *id) const
{
    if (path == m_path)
        return ObjectKind::Interface;
    *id = trailingId(path, m_path + QStringLiteral("/BSSs/"));
    if (*id >= 0 && m_bss.contains(*id))
        return ObjectKind::Bss;
    *id = trailingId(path, m_path + QStringLiteral("/Networks/"));
    if (*id >= 0 && m_networks.contains(*id))
        return ObjectKind::Network;
    return ObjectKind::None;
}

QStringList SimInterface::objectPaths() const
{
    QStringList paths{m_path};
    for (const Bss &bss : m_bss)
        paths.append(bss.path);
    for (const Network &network : m_networks)
        paths.append(network.path);
    return paths;
}

QVariantMap SimInterface::interfaceProperties() const
{
    QStringList bssPaths;
    for (const Bss &bss : m_bss)
        bssPaths.append(bss.path);
    QStringList networkPaths;
    for (const Network &network : m_networks)
        networkPaths.append(network.path);
    const bool associating = m_state != stateDisconnected && m_state != stateInactive && m_state != stateScanning;

    QVariantMap capabilities;
    capabilities.insert(QStringLiteral("Pairwise"), QStringList{QStringLiteral("ccmp"), QStringLiteral("tkip"), QStringLiteral("none")});
    capabilities.insert(QStringLiteral("Group"), QStringList{QStringLiteral("ccmp"), QStringLiteral("tkip"), QStringLiteral("wep104"), QStringLiteral("wep40")});
    capabilities.insert(QStringLiteral("KeyMgmt"), QStringList{QStringLiteral("none"), QStringLiteral("ieee8021x"), QStringLiteral("wpa-eap"), QStringLiteral("wpa-psk"), QStringLiteral("wpa-eap-sha256"), QStringLiteral("wpa-psk-sha256"), QStringLiteral("wps")});
    capabilities.insert(QStringLiteral("Protocol"), QStringList{QStringLiteral("rsn"), QStringLiteral("wpa")});
    capabilities.insert(QStringLiteral("AuthAlg"), QStringList{QStringLiteral("open"), QStringLiteral("shared")});
    capabilities.insert(QStringLiteral("Scan"), QStringList{QStringLiteral("active"), QStringLiteral("passive"), QStringLiteral("ssid")});
    capabilities.insert(QStringLiteral("Modes"), QStringList{QStringLiteral("infrastructure")});
    capabilities.insert(QStringLiteral("MaxScanSSID"), 16);

    QVariantMap map;
    map.insert(QStringLiteral("Capabilities"), capabilities);
    map.insert(QStringLiteral("State"), m_state);
    map.insert(QStringLiteral("Scanning"), m_scanning);
    map.insert(QStringLiteral("ApScan"), m_apScan);
    map.insert(QStringLiteral("BSSExpireAge"), m_bssExpireAge);
    map.insert(QStringLiteral("BSSExpireCount"), m_bssExpireCount);
    map.insert(QStringLiteral("Ifname"), m_ifname);
    map.insert(QStringLiteral("Driver"), m_driver);
    map.insert(QStringLiteral("CurrentBSS"), QVariant::fromValue(QDBusObjectPath(m_currentBss)));
    map.insert(QStringLiteral("CurrentNetwork"), QVariant::fromValue(QDBusObjectPath(m_currentNetwork)));
    map.insert(QStringLiteral("CurrentAuthMode"), associating ? m_authMode : QStringLiteral("INACTIVE"));
    map.insert(QStringLiteral("Blobs"), QVariant::fromValue(m_blobs));
    map.insert(QStringLiteral("BSSs"), QVariant::fromValue(objectPathList(bssPaths)));
    map.insert(QStringLiteral("Networks"), QVariant::fromValue(objectPathList(networkPaths)));
    map.insert(QStringLiteral("DisconnectReason"), m_disconnectReason);
    return map;
}

QVariantMap SimInterface::wpsProperties() const
{
    return {{QStringLiteral("ProcessCredentials"), m_processCredentials},
            {QStringLiteral("ConfigMethods"), m_wpsConfigMethods},
            {QStringLiteral("DeviceName"), m_wpsDeviceName},
            {QStringLiteral("DeviceType"), m_wpsDeviceType}};
}

QVariantMap SimInterface::bssProperties(int id) const
{
    const Bss &bss = m_bss[id];
    QVariantMap map = bss.published;
    map.insert(QStringLiteral("Age"), static_cast<uint>((m_clock.elapsed() - bss.lastSeenMs) / 1000));
    return map;
}

QVariantMap SimInterface::networkProperties(int id) const
{
    const Network &network = m_networks[id];
    return {{QStringLiteral("Properties"), network.config.properties()}, {QStringLiteral("Enabled"), network.enabled}};
}

SimResult SimInterface::setInterfaceProperty(const QString &name, const QVariant &value)
{
    const uint number = value.toUInt();
    if (name == QLatin1String("ApScan") && number <= 2)
        m_apScan = number;
    else if (name == QLatin1String("BSSExpireAge") && number >= 10)
        m_bssExpireAge = number;
    else if (name == QLatin1String("BSSExpireCount") && number >= 1)
        m_bssExpireCount = number;
    else
        return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("invalid value"));
    publish();
    return SimResult::success();
}

SimResult SimInterface::setWpsProperty(const QString &name, const QVariant &value)
{
    const QVariantMap before = wpsProperties();
    if (name == QLatin1String("ProcessCredentials")) {
        m_processCredentials = value.toBool();
    } else if (name == QLatin1String("ConfigMethods")) {
        m_wpsConfigMethods = value.toString();
    } else if (name == QLatin1String("DeviceName")) {
        m_wpsDeviceName = value.toString();
    } else {
        if (value.toByteArray().size() != 8)
            return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("DeviceType must have 8 bytes"));
        m_wpsDeviceType = value.toByteArray();
    }
    m_bus->emitPropertiesChanged(m_path, SimNames::wpsInterface, changedProperties(before, wpsProperties()));
    return SimResult::success();
}

SimResult SimInterface::setNetworkProperty(int id, const QString &name, const QVariant &value)
{
    Network &network = m_networks[id];
    if (name == QLatin1String("Properties")) {
        SimNetworkConfig config = network.config;
        QString error;
        if (!config.apply(value.toMap(), &error))
            return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("invalid message format"));
        network.config = config;
        publishNetwork(id);
        return SimResult::success();
    }
    const bool enable = value.toBool();
    if (enable == network.enabled)
        return SimResult::success();
    network.enabled = enable;
    network.authFailures = 0;
    network.disabledUntilMs = 0;
    publishNetwork(id);
    if (!enable && network.path == m_currentNetwork) {
        m_plan->clear();
        markDisconnected(ReasonLocallyLeaving);
    }
    reconsider();
    return SimResult::success();
}

SimResult SimInterface::scan(const QVariantMap &args)
{
    const QString unknown = unknownKey(args, {QStringLiteral("Type"), QStringLiteral("SSIDs"), QStringLiteral("IEs"),
                                              QStringLiteral("Channels"), QStringLiteral("AllowRoam")});
    if (!unknown.isEmpty())
        return SimResult::failure(SimNames::errorInvalidArgs, QStringLiteral("Unknown argument %1").arg(unknown));
    const QString type = args.value(QStringLiteral("Type")).toString();
    if (type.isEmpty())
        return SimResult::failure(SimNames::errorInvalidArgs, QStringLiteral("Scan type not specified"));
    if (type != QLatin1String("active") && type != QLatin1String("passive"))
        return SimResult::failure(SimNames::errorInvalidArgs, QStringLiteral("Wrong scan type"));
    if (type == QLatin1String("passive") && args.contains(QStringLiteral("SSIDs")))
        return SimResult::failure(SimNames::errorInvalidArgs, QStringLiteral("You can specify only Channels in passive scan"));
    if (m_scanning)
        return SimResult::failure(SimNames::errorScan, QStringLiteral("Scan request rejected"));
    for (const QVariant &ssid : args.value(QStringLiteral("SSIDs")).toList())
        m_probeSsids.append(ssid.toByteArray());
    startScan();
    return SimResult::success();
}

SimResult SimInterface::signalPoll() const
{
    int bssId = -1;
    const SimAccessPoint *ap = nullptr;
    if (m_state == stateCompleted && objectKind(m_currentBss, &bssId) == ObjectKind::Bss)
        ap = m_world->reachable(m_bss[bssId].bssid);
    if (!ap)
        return SimResult::failure(SimNames::errorDBusFailed, QStringLiteral("Failed to read signal"));
    QVariantMap poll;
    poll.insert(QStringLiteral("rssi"), static_cast<int>(ap->signal));
    poll.insert(QStringLiteral("avg-rssi"), static_cast<int>(ap->signal));
    poll.insert(QStringLiteral("linkspeed"), ap->frequency >= 4900 ? 150 : 72);
    poll.insert(QStringLiteral("noise"), -92);
    poll.insert(QStringLiteral("frequency"), static_cast<uint>(ap->frequency));
    poll.insert(QStringLiteral("width"), QStringLiteral("20 MHz"));
    // wpa_supplicant wraps the answer in a variant, unlike its interface description's a{sv}.
    return SimResult::success({QVariant::fromValue(QDBusVariant(poll))});
}

SimResult SimInterface::disconnect()
{
    if (m_currentNetwork == QLatin1String("/"))
        return SimResult::failure(SimNames::errorNotConnected, QStringLiteral("This interface is not connected"));
    m_plan->clear();
    if (m_wps.active)
        endWps();
    m_disconnectedFlag = true;
    markDisconnected(ReasonLocallyLeaving);
    return SimResult::success();
}

SimResult SimInterface::addNetwork(const QVariantMap &args)
{
    SimNetworkConfig config;
    QString error;
    if (!config.apply(args, &error))
        return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("invalid message format"));
    const int id = addNetworkObject(config, false);
    return SimResult::success({QVariant::fromValue(QDBusObjectPath(m_networks[id].path))});
}

SimResult SimInterface::removeNetwork(const QString &path)
{
    if (!path.startsWith(m_path + QStringLiteral("/Networks/")))
        return SimResult::failure(SimNames::errorInvalidArgs, path);
    const int id = networkId(path);
    if (id < 0)
        return SimResult::failure(SimNames::errorNetworkUnknown, QStringLiteral("There is no such a network in this interface."));
    removeNetworkObject(id);
    return SimResult::success();
}

SimResult SimInterface::removeAllNetworks()
{
    const QList<int> ids = m_networks.keys();
    for (int id : ids)
        removeNetworkObject(id);
    return SimResult::success();
}

SimResult SimInterface::selectNetwork(const QString &path)
{
    if (!path.startsWith(m_path + QStringLiteral("/Networks/")))
        return SimResult::failure(SimNames::errorInvalidArgs, path);
    const int id = networkId(path);
    if (id < 0)
        return SimResult::failure(SimNames::errorNetworkUnknown, QStringLiteral("There is no such a network in this interface."));
    for (Network &network : m_networks) {
        network.enabled = network.id == id;
        if (network.enabled) {
            network.authFailures = 0;
            network.disabledUntilMs = 0;
        }
        publishNetwork(network.id);
    }
    m_disconnectedFlag = false;
    m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("NetworkSelected"),
                      {QVariant::fromValue(QDBusObjectPath(path))});
    if (m_currentNetwork != path && m_currentNetwork != QLatin1String("/")) {
        m_plan->clear();
        markDisconnected(ReasonLocallyLeaving);
    }
    reconsider();
    return SimResult::success();
}

SimResult SimInterface::reassociate()
{
    m_disconnectedFlag = false;
    if (m_currentNetwork != QLatin1String("/") && !m_wps.active) {
        m_plan->clear();
        markDisconnected(ReasonLocallyLeaving);
    }
    reconsider();
    return SimResult::success();
}

SimResult SimInterface::reconnect()
{
    if (m_disconnectedFlag) {
        m_disconnectedFlag = false;
        reconsider();
    }
    return SimResult::success();
}

SimResult SimInterface::addBlob(const QString &name, const QByteArray &data)
{
    if (m_blobs.contains(name))
        return SimResult::failure(SimNames::errorBlobExists, QStringLiteral("Blob with this name already exists"));
    m_blobs.insert(name, data);
    m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("BlobAdded"), {name});
    publish();
    return SimResult::success();
}

SimResult SimInterface::getBlob(const QString &name) const
{
    if (!m_blobs.contains(name))
        return SimResult::failure(SimNames::errorBlobUnknown, QStringLiteral("Blob id not set"));
    return SimResult::success({m_blobs.value(name)});
}

SimResult SimInterface::removeBlob(const QString &name)
{
    if (!m_blobs.remove(name))
        return SimResult::failure(SimNames::errorBlobUnknown, QStringLiteral("Blob id not set"));
    m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("BlobRemoved"), {name});
    publish();
    return SimResult::success();
}

SimResult SimInterface::flushBss(uint age)
{
    const qint64 now = m_clock.elapsed();
    const QList<int> ids = m_bss.keys();
    for (int id : ids) {
        const Bss &bss = m_bss[id];
        if (bss.path != m_currentBss && (now - bss.lastSeenMs) / 1000 >= age)
            removeBss(id);
    }
    publish();
    return SimResult::success();
}

SimResult SimInterface::abortScan()
{
    if (!m_scanning)
        return SimResult::failure(SimNames::errorScan, QStringLiteral("Abort failed or no scan in progress"));
    m_scanTimer.stop();
    m_scanning = false;
    m_probeSsids.clear();
    if (m_state == stateScanning)
        m_state = idleState();
    publish();
    m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("ScanDone"), {false});
    if (hasEnabledNetworks() || m_wps.active)
        m_rescanTimer.start(m_world->timing.rescanMs);
    return SimResult::success();
}

void SimInterface::apRemoved(const QByteArray &bssid)
{
    int bssId = -1;
    if (objectKind(m_currentBss, &bssId) != ObjectKind::Bss || m_bss[bssId].bssid != bssid)
        return;
    m_plan->clear();
    markDisconnected(ReasonLinkLost);
    reconsider();
}

void SimInterface::linkDropped()
{
    if (m_currentNetwork == QLatin1String("/"))
        return;
    m_plan->clear();
    markDisconnected(ReasonLinkLost);
    reconsider();
}

void SimInterface::linkRestored()
{
    m_rescanTimer.stop();
    reconsider();
}

void SimInterface::setState(const QString &state)
{
    m_state = state;
    publish();
}

void SimInterface::publish()
{
    const QVariantMap now = interfaceProperties();
    m_bus->emitPropertiesChanged(m_path, SimNames::interfaceInterface, changedProperties(m_published, now));
    m_published = now;
}

void SimInterface::publishNetwork(int id)
{
    Network &network = m_networks[id];
    const QVariantMap now = networkProperties(id);
    m_bus->emitPropertiesChanged(network.path, SimNames::networkInterface, changedProperties(network.published, now));
    network.published = now;
}

QString SimInterface::idleState() const
{
    return hasEnabledNetworks() || m_wps.active ? stateDisconnected : stateInactive;
}

bool SimInterface::busy() const
{
    return m_plan->isActive() || m_state == stateCompleted || m_disconnectedFlag;
}

bool SimInterface::hasEnabledNetworks() const
{
    for (const Network &network : m_networks) {
        if (network.enabled && !network.config.isWps())
            return true;
    }
    return false;
}

bool SimInterface::tempDisabled(const Network &network) const
{
    return network.disabledUntilMs > m_clock.elapsed();
}

void SimInterface::markDisconnected(int reason)
{
    m_currentBss = QStringLiteral("/");
    m_currentNetwork = QStringLiteral("/");
    m_disconnectReason = reason;
    setState(m_scanning ? stateScanning : stateDisconnected);
}

int SimInterface::addNetworkObject(const SimNetworkConfig &config, bool enabled)
{
    int id = 0;
    if (!m_networks.isEmpty())
        id = m_networks.lastKey() + 1;
    Network network;
    network.id = id;
    network.path = m_path + QStringLiteral("/Networks/%1").arg(id);
    network.config = config;
    network.enabled = enabled;
    m_networks.insert(id, network);
    m_networks[id].published = networkProperties(id);
    m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("NetworkAdded"),
                      {QVariant::fromValue(QDBusObjectPath(network.path)), networkProperties(id)});
    publish();
    return id;
}

void SimInterface::removeNetworkObject(int id)
{
    const QString path = m_networks[id].path;
    if (m_wps.active && m_wps.networkId == id) {
        m_wps.networkId = -1;
        endWps();
    }
    if (path == m_currentNetwork) {
        m_plan->clear();
        markDisconnected(ReasonLocallyLeaving);
        QTimer::singleShot(m_world->timing.stepMs, this, &SimInterface::reconsider);
    }
    m_networks.remove(id);
    m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("NetworkRemoved"),
                      {QVariant::fromValue(QDBusObjectPath(path))});
    publish();
}

void SimInterface::removeBss(int id)
{
    const QString path = m_bss[id].path;
    m_bss.remove(id);
    m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("BSSRemoved"),
                      {QVariant::fromValue(QDBusObjectPath(path))});
}

int SimInterface::networkId(const QString &path) const
{
    int id = -1;
    return objectKind(path, &id) == ObjectKind::Network ? id : -1;
}

void SimInterface::reconsider()
{
    if (m_wps.active) {
        if (!m_scanning && !m_plan->isActive())
            startScan();
        return;
    }
    if (busy())
        return;
    if (!hasEnabledNetworks()) {
        if (!m_scanning && m_state != stateInactive)
            setState(stateInactive);
        return;
    }
    if (!m_scanning)
        startScan();
}

void SimInterface::startScan()
{
    m_rescanTimer.stop();
    m_scanning = true;
    if (m_state == stateDisconnected || m_state == stateInactive)
        m_state = stateScanning;
    publish();
    m_scanTimer.start(m_world->timing.scanMs);
}

void SimInterface::finishScan()
{
    m_scanning = false;
    updateBssTable();
    m_probeSsids.clear();
    publish();
    m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("ScanDone"), {true});
    afterScan();
}

void SimInterface::afterScan()
{
    if (m_wps.active) {
        if (!m_plan->isActive())
            wpsAfterScan();
        return;
    }
    if (busy() || !hasEnabledNetworks()) {
        if (m_state == stateScanning)
            setState(idleState());
        return;
    }
    int bssId = -1;
    int netId = -1;
    if (selectCandidate(&bssId, &netId)) {
        startAttempt(bssId, netId);
        return;
    }
    setState(stateDisconnected);
    m_rescanTimer.start(m_world->timing.rescanMs);
}

void SimInterface::updateBssTable()
{
    QList<QPair<const SimAccessPoint *, QByteArray>> heard;
    if (!m_world->linkDown) {
        for (const SimAccessPoint &ap : m_world->accessPoints) {
            heard.append({&ap, ap.hidden ? QByteArray() : ap.ssid});
            if (ap.hidden && revealed(ap.ssid))
                heard.append({&ap, ap.ssid});
        }
    }
    const qint64 now = m_clock.elapsed();
    QSet<int> seen;
    for (const auto &entry : heard) {
        const SimAccessPoint &ap = *entry.first;
        const QVariantMap properties = SimBssProperties::properties(ap, entry.second);
        int id = -1;
        for (const Bss &bss : qAsConst(m_bss)) {
            if (bss.bssid == ap.bssid && bss.ssid == entry.second)
                id = bss.id;
        }
        if (id < 0) {
            Bss bss;
            bss.id = id = m_nextBssId++;
            bss.path = m_path + QStringLiteral("/BSSs/%1").arg(id);
            bss.bssid = ap.bssid;
            bss.ssid = entry.second;
            bss.published = properties;
            bss.lastSeenMs = now;
            m_bss.insert(id, bss);
            m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("BSSAdded"),
                              {QVariant::fromValue(QDBusObjectPath(bss.path)), bssProperties(id)});
        } else {
            Bss &bss = m_bss[id];
            m_bus->emitPropertiesChanged(bss.path, SimNames::bssInterface, changedProperties(bss.published, properties));
            bss.published = properties;
        }
        m_bss[id].lastSeenMs = now;
        m_bss[id].missedScans = 0;
        seen.insert(id);
    }
    const QList<int> ids = m_bss.keys();
    for (int id : ids) {
        if (seen.contains(id))
            continue;
        Bss &bss = m_bss[id];
        ++bss.missedScans;
        const bool expired = bss.missedScans >= static_cast<int>(m_bssExpireCount)
                             || now - bss.lastSeenMs > static_cast<qint64>(m_bssExpireAge) * 1000;
        if (expired && bss.path != m_currentBss)
            removeBss(id);
    }
}

bool SimInterface::revealed(const QByteArray &ssid) const
{
    if (m_probeSsids.contains(ssid))
        return true;
    for (const Network &network : m_networks) {
        if (network.enabled && network.config.scanSsid && network.config.ssid == ssid)
            return true;
    }
    return false;
}

bool SimInterface::selectCandidate(int *bssId, int *netId) const
{
    bool found = false;
    int bestPriority = 0;
    int bestSignal = 0;
    for (const Network &network : m_networks) {
        if (!network.enabled || tempDisabled(network))
            continue;
        for (const Bss &bss : m_bss) {
            const SimAccessPoint *ap = m_world->reachable(bss.bssid);
            if (!ap || !SimAssociation::usable(network.config, *ap, bss.ssid))
                continue;
            const int priority = network.config.priority;
            if (!found || priority > bestPriority || (priority == bestPriority && ap->signal > bestSignal)) {
                found = true;
                bestPriority = priority;
                bestSignal = ap->signal;
                *bssId = bss.id;
                *netId = network.id;
            }
        }
    }
    return found;
}

void SimInterface::startAttempt(int bssId, int netId)
{
    const SimAccessPoint &ap = *m_world->find(m_bss[bssId].bssid);
    const Network &network = m_networks[netId];
    const QString reason = SimAssociation::failureReason(network.config, ap);
    const bool handshake = ap.usesWpa();
    const int step = m_world->timing.stepMs;
    m_rescanTimer.stop();
    m_authMode = SimAssociation::authMode(network.config, ap);
    m_currentBss = m_bss[bssId].path;
    m_currentNetwork = network.path;
    setState(QStringLiteral("authenticating"));
    m_plan->then(step, [this] { setState(QStringLiteral("associating")); });
    m_plan->then(step, [this] { setState(QStringLiteral("associated")); });
    if (handshake)
        m_plan->then(step, [this] { setState(QStringLiteral("4way_handshake")); });
    if (!reason.isEmpty()) {
        m_plan->then(step, [this, netId, reason] { attemptFailed(netId, reason); });
        return;
    }
    if (handshake)
        m_plan->then(step, [this] { setState(QStringLiteral("group_handshake")); });
    m_plan->then(step, [this, netId] {
        m_networks[netId].authFailures = 0;
        setState(stateCompleted);
    });
}

void SimInterface::attemptFailed(int netId, const QString &reason)
{
    Network &network = m_networks[netId];
    ++network.authFailures;
    const int seconds = tempDisabledSeconds(network.authFailures);
    const int delayMs = seconds * m_world->timing.tempDisabledUnitMs;
    network.disabledUntilMs = m_clock.elapsed() + delayMs;
    QVariantMap args;
    args.insert(QStringLiteral("network"), QVariant::fromValue(QDBusObjectPath(network.path)));
    args.insert(QStringLiteral("reason"), reason);
    args.insert(QStringLiteral("auth_failures"), network.authFailures);
    args.insert(QStringLiteral("duration"), seconds);
    m_bus->emitSignal(m_path, SimNames::interfaceInterface, QStringLiteral("NetworkTempDisabled"), {args});
    markDisconnected(ReasonHandshakeTimeout);
    QTimer::singleShot(delayMs, this, &SimInterface::reconsider);
    reconsider();
}

