#include "InterfaceState.h"

#include "LogHandler.h"

InterfaceState::InterfaceState(QState *parent, const InterfaceName *interfaceName, const QString &stateName)
    : QState(parent)
    , m_interfaceName(interfaceName)
    , m_stateName(stateName)
{
    setObjectName(stateName);
}

void InterfaceState::onEntry(QEvent *)
{
    kivInfo() << "Interface " << *m_interfaceName << " entering state: " << m_stateName;
}

void InterfaceState::onExit(QEvent *)
{
    kivInfo() << "Interface " << *m_interfaceName << " exiting state: " << m_stateName;
}

InterfaceWiredState::InterfaceWiredState(QState *parent, InterfaceWired *interface,
                                         const InterfaceName *interfaceName, const QString &stateName)
    : InterfaceState(parent, interfaceName, stateName)
    , m_interface(interface)
{
}

InterfaceWirelessState::InterfaceWirelessState(QState *parent, InterfaceWireless *interface,
                                               const InterfaceName *interfaceName, const QString &stateName)
    : InterfaceState(parent, interfaceName, stateName)
    , m_interface(interface)
{
}
