#include "SimSupplicant.h"

#include "SimInterface.h"

#include <QDBusObjectPath>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString errorControlInvalidArgs = QStringLiteral("com.tarvel.kivsim.Error.InvalidArgs");
const QString errorControlUnknownAp = QStringLiteral("com.tarvel.kivsim.Error.UnknownAccessPoint");

} // namespace

SimSupplicant::SimSupplicant(const SimScenario &scenario, SimBusEmitter *bus, QObject *parent)
    : QObject(parent)
    , m_allowedInterfaces(scenario.interfaces)
    , m_bus(bus)
{
    m_world.timing = scenario.timing;
    m_world.accessPoints = scenario.accessPoints;
    m_published = rootProperties();
}

QVariantMap SimSupplicant::rootProperties() const
{
    QList<QDBusObjectPath> interfaces;
    for (const SimInterface *interface : m_interfaces)
        interfaces.append(QDBusObjectPath(interface->path()));
    QVariantMap map;
    map.insert(QStringLiteral("DebugLevel"), m_debugLevel);
    map.insert(QStringLiteral("Interfaces"), QVariant::fromValue(interfaces));
    map.insert(QStringLiteral("EapMethods"), QStringList{QStringLiteral("MD5"), QStringLiteral("TLS"),
                                                         QStringLiteral("MSCHAPV2"), QStringLiteral("PEAP"),
                                                         QStringLiteral("TTLS"), QStringLiteral("GTC"),
                                                         QStringLiteral("WSC")});
    map.insert(QStringLiteral("Capabilities"), QStringList{QStringLiteral("ap"), QStringLiteral("pmf")});
    return map;
}

SimResult SimSupplicant::setRootProperty(const QString &name, const QVariant &value)
{
    const QStringList levels{QStringLiteral("msgdump"), QStringLiteral("debug"), QStringLiteral("info"),
                             QStringLiteral("warning"), QStringLiteral("error")};
    if (name != QLatin1String("DebugLevel") || !levels.contains(value.toString()))
        return SimResult::failure(SimNames::errorDBusFailed, QStringLiteral("wrong debug level value"));
    m_debugLevel = value.toString();
    publish();
    return SimResult::success();
}

SimResult SimSupplicant::createInterface(const QVariantMap &args)
{
    const QString ifname = args.value(QStringLiteral("Ifname")).toString();
    const QString unknown = unknownKey(args, {QStringLiteral("Ifname"), QStringLiteral("Driver"), QStringLiteral("ConfigFile"),
                                              QStringLiteral("BridgeIfname"), QStringLiteral("Create"),
                                              QStringLiteral("Type"), QStringLiteral("Address")});
    if (ifname.isEmpty() || args.value(QStringLiteral("Ifname")).userType() != QMetaType::QString || !unknown.isEmpty())
        return SimResult::failure(SimNames::errorInvalidArgs, QStringLiteral("Did not receive correct message arguments."));
    for (const SimInterface *interface : qAsConst(m_interfaces)) {
        if (interface->ifname() == ifname)
            return SimResult::failure(SimNames::errorInterfaceExists, QStringLiteral("wpa_supplicant already controls this interface."));
    }
    if (!m_allowedInterfaces.isEmpty() && !m_allowedInterfaces.contains(ifname))
        return SimResult::failure(SimNames::errorUnknown, QStringLiteral("wpa_supplicant couldn't grab this interface."));

    const int index = m_nextIndex++;
    const QString driver = args.value(QStringLiteral("Driver"), QStringLiteral("nl80211")).toString();
    auto *interface = new SimInterface(index, ifname, driver, &m_world, m_bus, this);
    m_interfaces.insert(index, interface);
    m_bus->emitSignal(SimNames::rootPath, SimNames::rootInterface, QStringLiteral("InterfaceAdded"),
                      {QVariant::fromValue(QDBusObjectPath(interface->path())), interface->interfaceProperties()});
    publish();
    interface->start();
    return SimResult::success({QVariant::fromValue(QDBusObjectPath(interface->path()))});
}

SimResult SimSupplicant::getInterface(const QString &ifname) const
{
    for (const SimInterface *interface : m_interfaces) {
        if (interface->ifname() == ifname)
            return SimResult::success({QVariant::fromValue(QDBusObjectPath(interface->path()))});
    }
    return SimResult::failure(SimNames::errorInterfaceUnknown, QStringLiteral("wpa_supplicant knows nothing about this interface."));
}

SimResult SimSupplicant::removeInterface(const QString &path)
{
    for (auto it = m_interfaces.begin(); it != m_interfaces.end(); ++it) {
        SimInterface *interface = it.value();
        if (interface->path() != path)
            continue;
        interface->shutdown();
        m_interfaces.erase(it);
        delete interface;
        m_bus->emitSignal(SimNames::rootPath, SimNames::rootInterface, QStringLiteral("InterfaceRemoved"),
                          {QVariant::fromValue(QDBusObjectPath(path))});
        publish();
        return SimResult::success();
    }
    return SimResult::failure(SimNames::errorInterfaceUnknown, QStringLiteral("wpa_supplicant knows nothing about this interface."));
}

SimInterface *SimSupplicant::interfaceFor(const QString &path) const
{
    for (SimInterface *interface : m_interfaces) {
        if (path == interface->path() || path.startsWith(interface->path() + QLatin1Char('/')))
            return interface;
    }
    return nullptr;
}

QStringList SimSupplicant::objectPaths() const
{
    QStringList paths{SimNames::rootPath};
    for (const SimInterface *interface : m_interfaces)
        paths += interface->objectPaths();
    return paths;
}

SimResult SimSupplicant::addAccessPoint(const QString &json)
{
    SimAccessPoint ap;
    const SimResult parsed = parseAccessPoint(json, &ap);
    if (!parsed.ok())
        return parsed;
    if (m_world.find(ap.bssid))
        return SimResult::failure(errorControlInvalidArgs, QStringLiteral("bssid %1 is already used").arg(ap.bssidText()));
    m_world.accessPoints.append(ap);
    return SimResult::success();
}

SimResult SimSupplicant::updateAccessPoint(const QString &json)
{
    SimAccessPoint ap;
    const SimResult parsed = parseAccessPoint(json, &ap);
    if (!parsed.ok())
        return parsed;
    SimAccessPoint *existing = accessPoint(ap.bssidText());
    if (!existing)
        return SimResult::failure(errorControlUnknownAp, QStringLiteral("no access point %1").arg(ap.bssidText()));
    *existing = ap;
    return SimResult::success();
}

SimResult SimSupplicant::removeAccessPoint(const QString &bssid)
{
    const int index = accessPointIndex(bssid);
    if (index < 0)
        return SimResult::failure(errorControlUnknownAp, QStringLiteral("no access point %1").arg(bssid));
    const QByteArray bytes = m_world.accessPoints.takeAt(index).bssid;
    for (SimInterface *interface : qAsConst(m_interfaces))
        interface->apRemoved(bytes);
    return SimResult::success();
}

SimResult SimSupplicant::setSignal(const QString &bssid, int signal)
{
    SimAccessPoint *ap = accessPoint(bssid);
    if (!ap)
        return SimResult::failure(errorControlUnknownAp, QStringLiteral("no access point %1").arg(bssid));
    if (signal < -32768 || signal > 32767)
        return SimResult::failure(errorControlInvalidArgs, QStringLiteral("signal out of range"));
    ap->signal = static_cast<qint16>(signal);
    return SimResult::success();
}

SimResult SimSupplicant::setWpsOutcome(const QString &bssid, const QString &mode, int configError)
{
    SimAccessPoint *ap = accessPoint(bssid);
    if (!ap)
        return SimResult::failure(errorControlUnknownAp, QStringLiteral("no access point %1").arg(bssid));
    SimWpsMode wpsMode = SimWpsMode::Off;
    if (mode == QLatin1String("pbc"))
        wpsMode = SimWpsMode::Pbc;
    else if (mode == QLatin1String("pin"))
        wpsMode = SimWpsMode::Pin;
    else if (mode != QLatin1String("off"))
        return SimResult::failure(errorControlInvalidArgs, QStringLiteral("mode is \"pbc\", \"pin\" or \"off\""));
    if (configError < 0 || configError > 65535)
        return SimResult::failure(errorControlInvalidArgs, QStringLiteral("configError out of range"));
    ap->wps.capable = true;
    ap->wps.mode = wpsMode;
    ap->wps.configError = configError;
    return SimResult::success();
}

SimResult SimSupplicant::dropLink()
{
    m_world.linkDown = true;
    for (SimInterface *interface : qAsConst(m_interfaces))
        interface->linkDropped();
    return SimResult::success();
}

SimResult SimSupplicant::restoreLink()
{
    m_world.linkDown = false;
    for (SimInterface *interface : qAsConst(m_interfaces))
        interface->linkRestored();
    return SimResult::success();
}

int SimSupplicant::accessPointIndex(const QString &bssid) const
{
    const QByteArray bytes = SimKeys::macFromText(bssid);
    for (int i = 0; i < m_world.accessPoints.size(); ++i) {
        if (!bytes.isEmpty() && m_world.accessPoints.at(i).bssid == bytes)
            return i;
    }
    return -1;
}

SimAccessPoint *SimSupplicant::accessPoint(const QString &bssid)
{
    const int index = accessPointIndex(bssid);
    return index < 0 ? nullptr : &m_world.accessPoints[index];
}

SimResult SimSupplicant::parseAccessPoint(const QString &json, SimAccessPoint *ap) const
{
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    if (!document.isObject())
        return SimResult::failure(errorControlInvalidArgs, QStringLiteral("not a JSON object"));
    QString error;
    *ap = SimAccessPoint::fromJson(document.object(), &error);
    if (!error.isEmpty())
        return SimResult::failure(errorControlInvalidArgs, error);
    return SimResult::success();
}

void SimSupplicant::publish()
{
    const QVariantMap now = rootProperties();
    m_bus->emitPropertiesChanged(SimNames::rootPath, SimNames::rootInterface, changedProperties(m_published, now));
    m_published = now;
}
