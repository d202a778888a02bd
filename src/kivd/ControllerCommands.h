#pragma once

#include "InterfaceWired.h"
#include "InterfaceWireless.h"
#include "NetworkManagerStates.h"

// The mode states' commands, carried out by the two controllers.
class ControllerCommands : public ModeCommands
{
public:
    ControllerCommands(InterfaceWired *wired, InterfaceWireless *wireless) : m_wired(wired), m_wireless(wireless) {}

    void enableWired() override { m_wired->enable(); }
    void disableWired() override { m_wired->disable(); }
    void activateWired(const InterfaceConfiguration &configuration) override { m_wired->activate(configuration); }
    void enableWireless(const QSet<WirelessNetwork> &networks) override { m_wireless->enable(networks); }
    void disableWireless() override { m_wireless->disable(); }
    void activateWireless(const InterfaceConfiguration &configuration) override
    {
        m_wireless->activate(configuration);
    }
    void wirelessWpsPbc() override { m_wireless->wpsPbc(); }
    void wirelessWpsPin(const QString &pin) override { m_wireless->wpsPin(pin); }
    bool isWiredReady() const override { return m_wired->isConnected(); }
    bool isWirelessReady() const override { return m_wireless->isConnected(); }

private:
    InterfaceWired *m_wired;
    InterfaceWireless *m_wireless;
};
