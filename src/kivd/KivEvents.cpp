#include "KivEvents.h"

static QHash<int, QString> &registry()
{
    static auto *names = new QHash<int, QString>();
    return *names;
}

void KivEvents::registerEvent(int type, const QString &name)
{
    registry().insert(type, name);
}

QString KivEvents::eventName(int type)
{
    const auto it = registry().constFind(type);
    if (it != registry().constEnd())
        return it.value();
    return QStringLiteral("Unknown event %1").arg(type);
}

QEvent::Type kivRegisterEventType(const char *name)
{
    const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    KivEvents::registerEvent(type, QString::fromLatin1(name));
    return type;
}

KivTransition::KivTransition(const QEvent &event, QAbstractState *target)
    : m_type(event.type())
{
    setTargetState(target);
}

bool KivTransition::eventTest(QEvent *event)
{
    return event && event->type() == m_type;
}

void KivTransition::onTransition(QEvent *)
{
}

KivGuardedTransition::KivGuardedTransition(const QEvent &event, QAbstractState *target, std::function<bool()> guard)
    : KivTransition(event, target)
    , m_guard(std::move(guard))
{
}

bool KivGuardedTransition::eventTest(QEvent *event)
{
    return KivTransition::eventTest(event) && m_guard();
}

void addKivTransition(QState *source, const QEvent &event, QAbstractState *target)
{
    source->addTransition(new KivTransition(event, target));
}

KivInterfaceTransition::KivInterfaceTransition(const InterfaceName &name, const QEvent &event,
                                               QAbstractState *target)
    : KivTransition(event, target)
    , m_name(name)
{
}

bool KivInterfaceTransition::eventTest(QEvent *event)
{
    if (!event || !KivTransition::eventTest(event))
        return false;
    const auto *withName = dynamic_cast<EventWithValue<InterfaceName> *>(event);
    return withName && withName->value() == m_name;
}

#define KIV_EVENT_TYPE(Namespace, Name)                                    \
    QEvent::Type Namespace::Name::type()                                   \
    {                                                                      \
        static const QEvent::Type registered = kivRegisterEventType(#Name); \
        return registered;                                                 \
    }

KIV_EVENT_TYPE(WiredEvent, InterfaceAdded)
KIV_EVENT_TYPE(WiredEvent, InterfaceRemoved)
KIV_EVENT_TYPE(WiredEvent, InterfaceStopped)
KIV_EVENT_TYPE(WiredEvent, InterfaceStarted)
KIV_EVENT_TYPE(WiredEvent, Enable)
KIV_EVENT_TYPE(WiredEvent, Disable)
KIV_EVENT_TYPE(WiredEvent, Activate)
KIV_EVENT_TYPE(WiredEvent, ReloadIp)
KIV_EVENT_TYPE(WiredEvent, CablePluggedIn)
KIV_EVENT_TYPE(WiredEvent, CableUnplugged)
KIV_EVENT_TYPE(WiredEvent, IpSetupComplete)
KIV_EVENT_TYPE(WiredEvent, IpSetupError)

KIV_EVENT_TYPE(WirelessEvent, InterfaceAdded)
KIV_EVENT_TYPE(WirelessEvent, InterfaceRemoved)
KIV_EVENT_TYPE(WirelessEvent, InterfaceStopped)
KIV_EVENT_TYPE(WirelessEvent, InterfaceStarted)
KIV_EVENT_TYPE(WirelessEvent, Enable)
KIV_EVENT_TYPE(WirelessEvent, Disable)
KIV_EVENT_TYPE(WirelessEvent, Activate)
KIV_EVENT_TYPE(WirelessEvent, Reload)
KIV_EVENT_TYPE(WirelessEvent, ReloadIp)
KIV_EVENT_TYPE(WirelessEvent, IpSetupComplete)
KIV_EVENT_TYPE(WirelessEvent, IpSetupError)
KIV_EVENT_TYPE(WirelessEvent, Wps)
KIV_EVENT_TYPE(WirelessEvent, StartSoftAp)
KIV_EVENT_TYPE(WirelessEvent, StopSoftAp)
KIV_EVENT_TYPE(WirelessEvent, SoftApReload)
KIV_EVENT_TYPE(WirelessEvent, SupplicantConnected)
KIV_EVENT_TYPE(WirelessEvent, SupplicantConfigured)
KIV_EVENT_TYPE(WirelessEvent, Scan)
KIV_EVENT_TYPE(WirelessEvent, ScanFinished)

KIV_EVENT_TYPE(ManagerEvent, Off)
KIV_EVENT_TYPE(ManagerEvent, Wired)
KIV_EVENT_TYPE(ManagerEvent, Wireless)
KIV_EVENT_TYPE(ManagerEvent, Automatic)
KIV_EVENT_TYPE(ManagerEvent, Hybrid)
KIV_EVENT_TYPE(ManagerEvent, Scan)
KIV_EVENT_TYPE(ManagerEvent, WpsPbc)
KIV_EVENT_TYPE(ManagerEvent, WpsPin)
KIV_EVENT_TYPE(ManagerEvent, Reconnecting)
KIV_EVENT_TYPE(ManagerEvent, ReloadAps)
