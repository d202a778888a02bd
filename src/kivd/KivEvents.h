#pragma once

#include "InterfaceName.h"
#include "WirelessNetwork.h"

#include <QAbstractTransition>
#include <QState>
#include <QEvent>
#include <QHash>
#include <QSet>
#include <QString>

#include <functional>

// Printable names of the daemon's custom event types.
class KivEvents
{
public:
    static void registerEvent(int type, const QString &name);
    static QString eventName(int type);
};

// Reserves a new event type number (from the top of the user range) and names it.
QEvent::Type kivRegisterEventType(const char *name);

// An event that carries one value.
template<typename T>
class EventWithValue : public QEvent
{
public:
    EventWithValue(QEvent::Type type, const T &value) : QEvent(type), m_value(value) {}
    const T &value() const { return m_value; }

private:
    T m_value;
};

// Fires on every event of the type of the event it was made for.
class KivTransition : public QAbstractTransition
{
    Q_OBJECT
public:
    KivTransition(const QEvent &event, QAbstractState *target);

protected:
    bool eventTest(QEvent *event) override;
    void onTransition(QEvent *event) override;

private:
    QEvent::Type m_type;
};

// Fires on events of one type that carry the given interface name.
class KivInterfaceTransition : public KivTransition
{
    Q_OBJECT
public:
    KivInterfaceTransition(const InterfaceName &name, const QEvent &event, QAbstractState *target);
    const InterfaceName &interfaceName() const { return m_name; }

protected:
    bool eventTest(QEvent *event) override;

private:
    InterfaceName m_name;
};

// Fires like a KivTransition, but only while its guard holds when the event is handled.
class KivGuardedTransition : public KivTransition
{
    Q_OBJECT
public:
    KivGuardedTransition(const QEvent &event, QAbstractState *target, std::function<bool()> guard);

protected:
    bool eventTest(QEvent *event) override;

private:
    std::function<bool()> m_guard;
};

// Adds to source a KivTransition on the type of the given event, leading to target.
void addKivTransition(QState *source, const QEvent &event, QAbstractState *target);

#define KIV_EVENT(Name)                                    \
    class Name : public QEvent                             \
    {                                                      \
    public:                                                \
        Name() : QEvent(type()) {}                         \
        static QEvent::Type type();                        \
    };

#define KIV_EVENT_WITH_VALUE(Name, ValueType)                                          \
    class Name : public EventWithValue<ValueType>                                      \
    {                                                                                  \
    public:                                                                            \
        explicit Name(const ValueType &value = ValueType())                            \
            : EventWithValue<ValueType>(type(), value) {}                              \
        static QEvent::Type type();                                                    \
    };

namespace WiredEvent {
KIV_EVENT(InterfaceAdded)
KIV_EVENT(InterfaceRemoved)
KIV_EVENT(InterfaceStopped)
KIV_EVENT(InterfaceStarted)
KIV_EVENT(Enable)
KIV_EVENT(Disable)
KIV_EVENT(Activate)
KIV_EVENT(ReloadIp)
KIV_EVENT(CablePluggedIn)
KIV_EVENT(CableUnplugged)
KIV_EVENT(IpSetupComplete)
KIV_EVENT(IpSetupError)
} // namespace WiredEvent

namespace WirelessEvent {
KIV_EVENT_WITH_VALUE(InterfaceAdded, InterfaceName)
KIV_EVENT_WITH_VALUE(InterfaceRemoved, InterfaceName)
KIV_EVENT(InterfaceStopped)
KIV_EVENT(InterfaceStarted)
KIV_EVENT_WITH_VALUE(Enable, QSet<WirelessNetwork>)
KIV_EVENT(Disable)
KIV_EVENT(Activate)
KIV_EVENT(Reload)
KIV_EVENT(ReloadIp)
KIV_EVENT(IpSetupComplete)
KIV_EVENT(IpSetupError)
KIV_EVENT(Wps)
KIV_EVENT_WITH_VALUE(StartSoftAp, InterfaceName)
KIV_EVENT_WITH_VALUE(StopSoftAp, InterfaceName)
KIV_EVENT_WITH_VALUE(SoftApReload, InterfaceName)
KIV_EVENT(SupplicantConnected)
KIV_EVENT(SupplicantConfigured)
KIV_EVENT(Scan)
KIV_EVENT(ScanFinished)
} // namespace WirelessEvent

namespace ManagerEvent {
KIV_EVENT(Off)
KIV_EVENT(Wired)
KIV_EVENT(Wireless)
KIV_EVENT(Automatic)
KIV_EVENT(Hybrid)
KIV_EVENT(Scan)
KIV_EVENT(WpsPbc)
KIV_EVENT_WITH_VALUE(WpsPin, QString)
KIV_EVENT(Reconnecting)
KIV_EVENT(ReloadAps)
} // namespace ManagerEvent
