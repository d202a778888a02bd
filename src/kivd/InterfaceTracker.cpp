#include "InterfaceTracker.h"

#include "InterfaceBase.h"
#include "LogHandler.h"

void InterfaceTracker::addFound(const QString &name, bool up, bool running)
{
    insert(m_existing, name);
    if (up)
        insert(m_up, name);
    if (running)
        insert(m_running, name);
}

void InterfaceTracker::route(const QString &name, InterfaceBase *controller, bool replace)
{
    if (replace || !m_controllers.contains(name))
        m_controllers.insert(name, controller);
}

bool InterfaceTracker::insert(QStringList &set, const QString &name)
{
    if (set.contains(name))
        return false;
    set.append(name);
    return true;
}

void InterfaceTracker::linkChanged(const QString &name, bool up, bool running)
{
    if (!m_existing.contains(name)) {
        kivWarning() << "Ignoring netlink update for non-existent interface: " << name;
        return;
    }
    if (up && insert(m_up, name))
        reportUp(name, true);
    if (running && insert(m_running, name))
        reportRunning(name, true);
    else if (!running && m_running.removeOne(name))
        reportRunning(name, false);
    if (!up && m_up.removeOne(name))
        reportUp(name, false);
}

void InterfaceTracker::added(const QString &name)
{
    if (!insert(m_existing, name))
        return;
    kivInfo() << "Interface " << name << " added";
    if (InterfaceBase *target = controller(name))
        target->interfaceAdded(InterfaceName(name));
}

void InterfaceTracker::removed(const QString &name)
{
    linkChanged(name, false, false);
    if (!m_existing.removeOne(name))
        return;
    kivInfo() << "Interface " << name << " removed";
    if (InterfaceBase *target = controller(name))
        target->interfaceRemoved(InterfaceName(name));
}

void InterfaceTracker::reportUp(const QString &name, bool up)
{
    kivDebug() << "Interface " << name << (up ? " up" : " down");
    if (InterfaceBase *target = controller(name))
        target->setUpState(InterfaceName(name), up);
}

void InterfaceTracker::reportRunning(const QString &name, bool running)
{
    kivDebug() << "Interface " << name << (running ? " running" : " not running");
    if (InterfaceBase *target = controller(name))
        target->setRunningState(running);
}
