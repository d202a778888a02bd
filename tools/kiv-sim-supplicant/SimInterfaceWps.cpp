#include "SimInterface.h"

#include "SimBssProperties.h"
#include "SimPlan.h"

#include <QDBusObjectPath>
#include <QRandomGenerator>

namespace {

constexpr int configErrorDevicePasswordAuthFailure = 18;

// A random eight-digit PIN whose last digit is the WPS checksum of the first seven.
QString generatedPin()
{
    uint value = QRandomGenerator::global()->bounded(10000000u);
    uint accumulator = 0;
    for (uint rest = value, position = 0; position < 7; ++position, rest /= 10)
        accumulator += (position % 2 == 0 ? 3 : 1) * (rest % 10);
    const uint checksum = (10 - accumulator % 10) % 10;
    return QStringLiteral("%1%2").arg(value, 7, 10, QLatin1Char('0')).arg(checksum);
}

} // namespace

SimResult SimInterface::wpsStart(const QVariantMap &args)
{
    const QString unknown = unknownKey(args, {QStringLiteral("Role"), QStringLiteral("Type"), QStringLiteral("Pin"),
                                              QStringLiteral("Bssid"), QStringLiteral("P2PDeviceAddress")});
    if (!unknown.isEmpty())
        return SimResult::failure(SimNames::errorInvalidArgs, unknown);
    const QString role = args.value(QStringLiteral("Role")).toString();
    const QString type = args.value(QStringLiteral("Type")).toString();
    const QByteArray bssid = args.value(QStringLiteral("Bssid")).toByteArray();
    if (!role.isEmpty() && role != QLatin1String("enrollee") && role != QLatin1String("registrar"))
        return SimResult::failure(SimNames::errorInvalidArgs, role);
    if (!type.isEmpty() && type != QLatin1String("pbc") && type != QLatin1String("pin"))
        return SimResult::failure(SimNames::errorInvalidArgs, type);
    if (args.contains(QStringLiteral("Bssid")) && bssid.size() != 6)
        return SimResult::failure(SimNames::errorInvalidArgs, QStringLiteral("Bssid is wrong length"));
    if (role.isEmpty())
        return SimResult::failure(SimNames::errorInvalidArgs, QStringLiteral("Role not specified"));
    if (role == QLatin1String("registrar")) {
        if (!args.contains(QStringLiteral("Pin")))
            return SimResult::failure(SimNames::errorInvalidArgs, QStringLiteral("Pin required for registrar role."));
        return SimResult::failure(SimNames::errorUnknown, QStringLiteral("WPS start failed"));
    }
    if (type.isEmpty())
        return SimResult::failure(SimNames::errorInvalidArgs, QStringLiteral("Type not specified"));

    QVariantMap output;
    QString pin = args.value(QStringLiteral("Pin")).toString();
    if (type == QLatin1String("pin") && pin.isEmpty()) {
        pin = generatedPin();
        output.insert(QStringLiteral("Pin"), pin);
    }
    if (m_wps.active)
        endWps();
    m_plan->clear();
    m_rescanTimer.stop();
    if (m_currentNetwork != QLatin1String("/"))
        markDisconnected(ReasonLocallyLeaving);
    m_disconnectedFlag = false;

    SimNetworkConfig config;
    QString error;
    config.apply({{QStringLiteral("key_mgmt"), QStringLiteral("WPS")}}, &error);
    m_wps.active = true;
    m_wps.pushButton = type == QLatin1String("pbc");
    m_wps.pin = pin;
    m_wps.bssid = bssid;
    m_wps.networkId = addNetworkObject(config, true);
    m_wpsWalkTimer.start(m_world->timing.wpsWalkMs);
    if (!m_scanning)
        startScan();
    return SimResult::success({output});
}

SimResult SimInterface::wpsCancel()
{
    if (m_wps.active)
        abandonWps();
    return SimResult::success();
}

void SimInterface::wpsAfterScan()
{
    const SimWpsMode wanted = m_wps.pushButton ? SimWpsMode::Pbc : SimWpsMode::Pin;
    QList<const SimAccessPoint *> registrars;
    QMap<QByteArray, int> bssOf;
    for (const Bss &bss : qAsConst(m_bss)) {
        const SimAccessPoint *ap = m_world->reachable(bss.bssid);
        if (!ap || !ap->wps.capable || ap->wps.mode != wanted || bssOf.contains(ap->bssid))
            continue;
        if (!m_wps.bssid.isEmpty() && ap->bssid != m_wps.bssid)
            continue;
        registrars.append(ap);
        bssOf.insert(ap->bssid, bss.id);
    }
    if (m_wps.pushButton && registrars.size() > 1) {
        m_bus->emitSignal(m_path, SimNames::wpsInterface, QStringLiteral("Event"),
                          {QStringLiteral("pbc-overlap"), QVariantMap()});
        endWps();
        setState(idleState());
        reconsider();
        return;
    }
    if (registrars.isEmpty()) {
        setState(QStringLiteral("disconnected"));
        m_rescanTimer.start(m_world->timing.rescanMs);
        return;
    }
    const SimAccessPoint *registrar = registrars.first();
    for (const SimAccessPoint *ap : registrars) {
        if (ap->signal > registrar->signal)
            registrar = ap;
    }
    const QByteArray registrarBssid = registrar->bssid;
    const int step = m_world->timing.stepMs;
    m_authMode = QStringLiteral("WPS");
    m_currentBss = m_bss[bssOf.value(registrarBssid)].path;
    m_currentNetwork = m_networks[m_wps.networkId].path;
    setState(QStringLiteral("authenticating"));
    m_plan->then(step, [this] { setState(QStringLiteral("associating")); });
    m_plan->then(step, [this] { setState(QStringLiteral("associated")); });
    m_plan->then(m_world->timing.wpsExchangeMs, [this, registrarBssid] { finishRegistration(registrarBssid); });
}

void SimInterface::finishRegistration(const QByteArray &bssid)
{
    const SimAccessPoint *ap = m_world->reachable(bssid);
    if (!ap) {
        markDisconnected(ReasonDeauthenticated);
        reconsider();
        return;
    }
    int configError = ap->wps.configError;
    int msg = ap->wps.failMsg();
    if (!m_wps.pushButton && !ap->wps.pin.isEmpty() && ap->wps.pin != m_wps.pin && configError == 0) {
        configError = configErrorDevicePasswordAuthFailure;
        msg = ap->wps.msg < 0 ? configError : ap->wps.msg;
    }
    if (configError != 0) {
        QVariantMap fail;
        fail.insert(QStringLiteral("msg"), msg);
        fail.insert(QStringLiteral("config_error"), configError);
        fail.insert(QStringLiteral("error_indication"), ap->wps.errorIndication);
        m_bus->emitSignal(m_path, SimNames::wpsInterface, QStringLiteral("Event"), {QStringLiteral("fail"), fail});
        markDisconnected(ReasonDeauthenticated);
        endWps();
        reconsider();
        return;
    }
    const QVariantMap credentials = SimBssProperties::wpsCredentials(*ap);
    m_bus->emitSignal(m_path, SimNames::wpsInterface, QStringLiteral("Credentials"), {credentials});
    if (m_processCredentials) {
        SimNetworkConfig config;
        QString error;
        if (config.apply(SimAssociation::networkFromCredentials(credentials), &error))
            addNetworkObject(config, true);
    }
    m_bus->emitSignal(m_path, SimNames::wpsInterface, QStringLiteral("Event"), {QStringLiteral("success"), QVariantMap()});
    markDisconnected(ReasonDeauthenticated);
    endWps();
    reconsider();
}

void SimInterface::endWps()
{
    const int id = m_wps.networkId;
    m_wps = WpsSession();
    m_wpsWalkTimer.stop();
    if (id >= 0 && m_networks.contains(id))
        removeNetworkObject(id);
}

void SimInterface::wpsTimedOut()
{
    if (m_wps.active)
        abandonWps();
}

void SimInterface::abandonWps()
{
    m_plan->clear();
    endWps();
    m_currentBss = QStringLiteral("/");
    m_currentNetwork = QStringLiteral("/");
    setState(m_scanning ? QStringLiteral("scanning") : idleState());
    reconsider();
}
