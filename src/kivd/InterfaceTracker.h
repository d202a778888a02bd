#pragma once

#include "InsertionOrderedMap.h"
#include "InterfaceName.h"

#include <QString>
#include <QStringList>

class InterfaceBase;

// The interfaces the manager has seen exist, be up and be running, and which controller hears
// about each name. Kernel reports are passed on to that controller only when they change something.
class InterfaceTracker
{
public:
    // An interface found at start: it exists, with the given flags; nothing is reported.
    void addFound(const QString &name, bool up, bool running);
    // Routes the reports about name to controller; an existing route is kept unless replace is set.
    void route(const QString &name, InterfaceBase *controller, bool replace);

    // A link report from netlink: the changes of the flags, up before running when they are set
    // and running before up when they are cleared. Names never seen to exist are dropped.
    void linkChanged(const QString &name, bool up, bool running);
    // A hot-plug report; reported to the controller only when the name is new.
    void added(const QString &name);
    // A hot-plug removal: first as a link report with both flags cleared, then the removal itself.
    void removed(const QString &name);

    bool exists(const QString &name) const { return m_existing.contains(name); }
    bool isUp(const QString &name) const { return m_up.contains(name); }
    bool isRunning(const QString &name) const { return m_running.contains(name); }
    InterfaceBase *controller(const QString &name) const { return m_controllers.value(name); }

private:
    static bool insert(QStringList &set, const QString &name);
    void reportUp(const QString &name, bool up);
    void reportRunning(const QString &name, bool running);

    QStringList m_existing;
    QStringList m_up;
    QStringList m_running;
    InsertionOrderedMap<QString, InterfaceBase *> m_controllers;
};
