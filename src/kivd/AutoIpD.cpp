#include "AutoIpD.h"

#include "KivProcess.h"
#include "LogHandler.h"

const QString AutoIpD::Program = QStringLiteral("avahi-autoipd");

AutoIpD::AutoIpD(QObject *parent, const InterfaceName &interface) : QObject(parent), m_interface(interface)
{
    stop();
}

AutoIpD::~AutoIpD()
{
    stop();
}

void AutoIpD::start()
{
    kivInfo() << "Starting autoipd on " << m_interface;
    KivProcess::execute(Program, {QStringLiteral("-D"), m_interface.toString()});
}

void AutoIpD::stop()
{
    kivInfo() << "Stopping autoipd on " << m_interface;
    KivProcess::execute(Program, {QStringLiteral("-k"), m_interface.toString()});
}
