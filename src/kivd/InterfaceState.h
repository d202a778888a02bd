#pragma once

#include "InterfaceName.h"

#include <QState>
#include <QString>

class InterfaceWired;
class InterfaceWireless;

// A controller state that logs every entry and exit under the controller's current interface name.
class InterfaceState : public QState
{
    Q_OBJECT
public:
    // The name is the controller's, read at every log line; the state name is also the object name.
    InterfaceState(QState *parent, const InterfaceName *interfaceName, const QString &stateName);

    const QString &stateName() const { return m_stateName; }

protected:
    void onEntry(QEvent *event) override;
    void onExit(QEvent *event) override;

private:
    const InterfaceName *m_interfaceName;
    QString m_stateName;
};

// A state of the wired controller's machine.
class InterfaceWiredState : public InterfaceState
{
    Q_OBJECT
public:
    InterfaceWiredState(QState *parent, InterfaceWired *interface, const InterfaceName *interfaceName,
                        const QString &stateName);

protected:
    InterfaceWired *interface() const { return m_interface; }

private:
    InterfaceWired *m_interface;
};

// A state of the wireless controller's machine.
class InterfaceWirelessState : public InterfaceState
{
    Q_OBJECT
public:
    InterfaceWirelessState(QState *parent, InterfaceWireless *interface, const InterfaceName *interfaceName,
                           const QString &stateName);

protected:
    InterfaceWireless *interface() const { return m_interface; }

private:
    InterfaceWireless *m_interface;
};
