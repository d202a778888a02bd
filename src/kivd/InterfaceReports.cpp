#include "InterfaceReports.h"

#include "KivCommon.h"

InterfaceReports::InterfaceReports(const QString &interface, QObject *controller, QObject *parent)
    : QObject(parent), m_interface(interface)
{
    KivCommon::connect(controller, SIGNAL(ready()), this, SLOT(on_controller_ready()));
    KivCommon::connect(controller, SIGNAL(disconnecting()), this, SLOT(on_controller_disconnecting()));
    KivCommon::connect(controller, SIGNAL(waitingIpSetup()), this, SLOT(on_controller_notReady()));
    KivCommon::connect(controller, SIGNAL(unready()), this, SLOT(on_controller_notReady()));
}

void InterfaceReports::on_controller_ready()
{
    m_connected = true;
    emit connected(m_interface);
}

void InterfaceReports::on_controller_disconnecting()
{
    emit disconnecting(m_interface);
}

void InterfaceReports::on_controller_notReady()
{
    if (!m_connected)
        return;
    m_connected = false;
    emit disconnected(m_interface);
}
