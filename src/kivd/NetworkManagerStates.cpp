#include "NetworkManagerStates.h"

#include "KivEvents.h"
#include "LogHandler.h"
#include "NetworkConfiguration.h"

KivState::KivState(QState *parent, const KivStateContext &context, const QString &name)
    : QState(parent)
    , m_context(context)
    , m_name(name)
{
    setObjectName(name);
}

void KivState::onEntry(QEvent *event)
{
    QState::onEntry(event);
    kivInfo() << "Entering state: " << m_name;
}

void KivState::onExit(QEvent *event)
{
    QState::onExit(event);
    kivInfo() << "Exiting state: " << m_name;
}

#define KIV_MODE_STATE_CONSTRUCTOR(Name)                                 \
    Name::Name(QState *parent, const KivStateContext &context)           \
        : KivState(parent, context, QStringLiteral(#Name))               \
    {                                                                    \
    }

KIV_MODE_STATE_CONSTRUCTOR(WiredMode)
KIV_MODE_STATE_CONSTRUCTOR(WiredModeState)
KIV_MODE_STATE_CONSTRUCTOR(WirelessMode)
KIV_MODE_STATE_CONSTRUCTOR(WirelessModeState)
KIV_MODE_STATE_CONSTRUCTOR(AutomaticMode)
KIV_MODE_STATE_CONSTRUCTOR(WiredStateContainer)
KIV_MODE_STATE_CONSTRUCTOR(WirelessStateContainer)
KIV_MODE_STATE_CONSTRUCTOR(WiredConnectedState)
KIV_MODE_STATE_CONSTRUCTOR(WirelessConnectedState)
KIV_MODE_STATE_CONSTRUCTOR(AutomaticWirelessEnabledContainer)
KIV_MODE_STATE_CONSTRUCTOR(AutomaticWirelessDisabledState)
KIV_MODE_STATE_CONSTRUCTOR(AutomaticWpsTargetEnabledState)
KIV_MODE_STATE_CONSTRUCTOR(AutomaticWpsTargetDisabledState)
KIV_MODE_STATE_CONSTRUCTOR(OffMode)
KIV_MODE_STATE_CONSTRUCTOR(HybridMode)
KIV_MODE_STATE_CONSTRUCTOR(WiredDisabledState)
KIV_MODE_STATE_CONSTRUCTOR(WirelessDisabledState)
KIV_MODE_STATE_CONSTRUCTOR(WiredWaitingState)
KIV_MODE_STATE_CONSTRUCTOR(WiredIpsetupState)
KIV_MODE_STATE_CONSTRUCTOR(WirelessWaitingState)
KIV_MODE_STATE_CONSTRUCTOR(WirelessIpsetupState)
KIV_MODE_STATE_CONSTRUCTOR(WirelessWpsState)

void OffMode::onEntry(QEvent *event)
{
    KivState::onEntry(event);
    controllers()->disableWired();
    controllers()->disableWireless();
}

void HybridMode::onEntry(QEvent *event)
{
    KivState::onEntry(event);
    controllers()->enableWired();
    controllers()->enableWireless(configuration()->wirelessNetworks());
}

void WiredDisabledState::onEntry(QEvent *event)
{
    KivState::onEntry(event);
    controllers()->disableWired();
}

void WirelessDisabledState::onEntry(QEvent *event)
{
    KivState::onEntry(event);
    controllers()->disableWireless();
}

void WiredWaitingState::onEntry(QEvent *event)
{
    KivState::onEntry(event);
    controllers()->enableWired();
}

void WiredIpsetupState::onEntry(QEvent *event)
{
    KivState::onEntry(event);
    controllers()->activateWired(configuration()->wiredIpConfiguration());
    if (controllers()->isWiredReady())
        emit alreadyReady();
}

void WirelessWaitingState::onEntry(QEvent *event)
{
    KivState::onEntry(event);
    // The wireless controller reconnects by itself; enabling it again would restart it.
    if (event && event->type() == ManagerEvent::Reconnecting::type())
        return;
    controllers()->enableWireless(configuration()->wirelessNetworks());
}

void WirelessIpsetupState::onEntry(QEvent *event)
{
    KivState::onEntry(event);
    controllers()->activateWireless(configuration()->wirelessIpConfiguration());
    if (controllers()->isWirelessReady())
        emit alreadyReady();
}

void WirelessWpsState::onEntry(QEvent *event)
{
    KivState::onEntry(event);
    if (event && event->type() == ManagerEvent::WpsPin::type())
        controllers()->wirelessWpsPin(static_cast<ManagerEvent::WpsPin *>(event)->value());
    else
        controllers()->wirelessWpsPbc();
}
