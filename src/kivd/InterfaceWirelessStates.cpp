#include "InterfaceWirelessStates.h"

#include "InterfaceWireless.h"
#include "KivCommon.h"
#include "KivEvents.h"

#define KIV_WIRELESS_STATE_CONSTRUCTOR(Name)                                                       \
    Name::Name(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName)     \
        : InterfaceWirelessState(parent, interface, interfaceName, QStringLiteral(#Name))             \
    {                                                                                             \
    }

KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessStateMachineContainer)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessPresentContainer)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessNoInterface)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessInterfaceDown)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessInterfaceUp)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessScanContainer)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessScanInactive)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessInterfaceContainer)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessInterfaceDownDisabled)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessInterfaceDownEnabled)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessInterfaceDownWps)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessDisabled)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessEnabled)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessWaiting)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessWaitingInterfaceRunning)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessIpRunning)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessWaitingIpSetup)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessReady)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessReconnecting)
KIV_WIRELESS_STATE_CONSTRUCTOR(WirelessWps)

void WirelessInterfaceUp::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    interface()->createMissingSoftApInterfaces();
}

WirelessScanActive::WirelessScanActive(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName)
    : InterfaceWirelessState(parent, interface, interfaceName, QStringLiteral("WirelessScanActive"))
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(ScanTimeoutMs);
    KivCommon::connect(m_timer, SIGNAL(timeout()), this, SIGNAL(timeout()));
}

void WirelessScanActive::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    interface()->requestScan();
    m_timer->start();
}

void WirelessScanActive::onExit(QEvent *event)
{
    InterfaceWirelessState::onExit(event);
    m_timer->stop();
    if (!event || event->type() != WirelessEvent::ScanFinished::type())
        emit scanFailed();
}

WirelessScanDisabled::WirelessScanDisabled(QState *parent, InterfaceWireless *interface,
                                           const InterfaceName *interfaceName)
    : InterfaceWirelessState(parent, interface, interfaceName, QStringLiteral("WirelessScanDisabled"))
{
}

void WirelessScanDisabled::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    if (event && event->type() == WirelessEvent::Scan::type())
        emit scanFailed();
}

void WirelessInterfaceDownEnabled::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    interface()->takeNetworks(event);
}

void WirelessDisabled::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    interface()->disableSupplicant();
}

void WirelessEnabled::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    interface()->takeNetworks(event);
}

void WirelessWaiting::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    interface()->enableSupplicant();
}

void WirelessIpRunning::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    interface()->startIpSetup();
}

void WirelessIpRunning::onExit(QEvent *event)
{
    InterfaceWirelessState::onExit(event);
    interface()->stopIpSetup();
}

void WirelessReady::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    interface()->startReadyPause(this);
}

void WirelessWps::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    interface()->startWps();
}
