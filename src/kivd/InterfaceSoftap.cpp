#include "InterfaceSoftap.h"

#include "InterfaceWireless.h"
#include "KivCommon.h"
#include "KivEvents.h"
#include "NetworkDriver.h"
#include "WirelessSoftApStarted.h"

#include <QNetworkInterface>

#define KIV_SOFTAP_STATE_CONSTRUCTOR(Name)                                                                    \
    Name::Name(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName,             \
               const QString &stateName)                                                                     \
        : InterfaceWirelessState(parent, interface, interfaceName, stateName)                                 \
    {                                                                                                         \
    }

KIV_SOFTAP_STATE_CONSTRUCTOR(WirelessSoftapInterfaceContainer)
KIV_SOFTAP_STATE_CONSTRUCTOR(WirelessSoftapContainerPerInterface)
KIV_SOFTAP_STATE_CONSTRUCTOR(WirelessSoftApNoInterface)
KIV_SOFTAP_STATE_CONSTRUCTOR(WirelessSoftApNoInterfaceEnabled)
KIV_SOFTAP_STATE_CONSTRUCTOR(WirelessSoftApSopped)
KIV_SOFTAP_STATE_CONSTRUCTOR(WirelessSoftApFirstSession)

WirelessSoftApNextSession::WirelessSoftApNextSession(QState *parent, InterfaceWireless *interface,
                                                     const InterfaceName *interfaceName, const QString &stateName,
                                                     WirelessSoftApStarted *started)
    : InterfaceWirelessState(parent, interface, interfaceName, stateName)
    , m_started(started)
{
}

void WirelessSoftApNextSession::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    m_started->restartSoftAp();
}

QString InterfaceSoftap::stateName(const char *base, const InterfaceName &name)
{
    return QStringLiteral("%1_%2").arg(QLatin1String(base), name.toString());
}

// WirelessSoftapContainerPerInterface ("softApContainer_<if>")
// |   WirelessSoftApNoInterface <-> WirelessSoftApNoInterfaceEnabled     (interface missing)
// |   WirelessSoftApSopped <-> WirelessSoftApStarted                     (interface present)
// `-- WirelessSoftApStarted { WirelessSoftApFirstSession -> WirelessSoftApNextSession (client associated) }
InterfaceSoftap::InterfaceSoftap(const InterfaceName &name, QState *softApRoot, QState *clientWaitingInterfaceRunning,
                                 InterfaceWireless *controller, NetworkDriver *driver)
    : QObject(controller)
    , m_driver(driver)
    , m_settings(Ssid::fromString(QStringLiteral("softap_") + name.toString()), name.toString())
{
    using namespace WirelessEvent;
    m_driver->flushAddresses(AddressFamily::Both, name, false);
    m_driver->linkDown(name);
    const bool exists = QNetworkInterface::interfaceFromName(name.toString()).isValid();

    const InterfaceName *clientName = &controller->name();
    const auto named = [&name](const char *base) { return stateName(base, name); };
    const auto on = [&name](QState *source, const QEvent &event, QAbstractState *target) {
        source->addTransition(new KivInterfaceTransition(name, event, target));
    };

    auto *container =
        new WirelessSoftapContainerPerInterface(softApRoot, controller, clientName, named("softApContainer"));
    auto *noInterface = new WirelessSoftApNoInterface(container, controller, clientName, named("softApNoInterface"));
    auto *noInterfaceEnabled =
        new WirelessSoftApNoInterfaceEnabled(container, controller, clientName, named("softApNoInterfaceEnabled"));
    auto *stopped = new WirelessSoftApSopped(container, controller, clientName, named("softApStopped"));
    m_started = new WirelessSoftApStarted(container, controller, this, clientName, named("softApStarted"));
    auto *firstSession = new WirelessSoftApFirstSession(m_started, controller, clientName, named("softApFirstSession"));
    auto *nextSession =
        new WirelessSoftApNextSession(m_started, controller, clientName, named("softApNextSession"), m_started);
    m_started->setInitialState(firstSession);
    container->setInitialState(exists ? static_cast<QState *>(stopped) : static_cast<QState *>(noInterface));

    on(noInterface, InterfaceAdded(), stopped);
    on(noInterface, StartSoftAp(), noInterfaceEnabled);
    on(noInterfaceEnabled, InterfaceAdded(), m_started);
    on(noInterfaceEnabled, StopSoftAp(), noInterface);
    on(stopped, StartSoftAp(), m_started);
    on(stopped, InterfaceRemoved(), noInterface);
    on(m_started, StopSoftAp(), stopped);
    on(m_started, InterfaceRemoved(), noInterfaceEnabled);
    on(m_started, SoftApReload(), m_started);
    firstSession->addTransition(clientWaitingInterfaceRunning, &QState::entered, nextSession);
    nextSession->addTransition(clientWaitingInterfaceRunning, &QState::entered, nextSession);

    KivCommon::connect(m_started, SIGNAL(ready(InterfaceName)), controller, SIGNAL(softapReady(InterfaceName)));
    KivCommon::connect(m_started, SIGNAL(unready(InterfaceName)), controller, SIGNAL(softapUnready(InterfaceName)));
    KivCommon::connect(m_started, SIGNAL(stationConnected(QString)), controller, SIGNAL(stationConnected(QString)));
    KivCommon::connect(m_started, SIGNAL(stationDisconnected(QString)), controller,
                       SIGNAL(stationDisconnected(QString)));
}
