#pragma once

#include "InterfaceName.h"

// What the manager tells an interface controller about its interface, whatever its kind. Each
// operation only posts an event into the controller's own machine.
class InterfaceBase
{
public:
    virtual ~InterfaceBase() = default;

    // An interface of this name now exists.
    virtual void interfaceAdded(const InterfaceName &name) = 0;
    // The interface of this name is gone.
    virtual void interfaceRemoved(const InterfaceName &name) = 0;
    // The interface's administrative "up" flag changed.
    virtual void setUpState(const InterfaceName &name, bool up) = 0;
    // The interface's operational "running" flag (carrier) changed.
    virtual void setRunningState(bool running) = 0;
};
