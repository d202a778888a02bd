#pragma once

#include "InterfaceConfiguration.h"
#include "WirelessNetwork.h"

#include <QSet>
#include <QState>
#include <QString>

class NetworkConfiguration;

// What the mode states ask of the two interface controllers; the manager passes it on.
class ModeCommands
{
public:
    virtual ~ModeCommands() = default;

    virtual void enableWired() = 0;
    virtual void disableWired() = 0;
    virtual void activateWired(const InterfaceConfiguration &configuration) = 0;
    virtual void enableWireless(const QSet<WirelessNetwork> &networks) = 0;
    virtual void disableWireless() = 0;
    virtual void activateWireless(const InterfaceConfiguration &configuration) = 0;
    virtual void wirelessWpsPbc() = 0;
    virtual void wirelessWpsPin(const QString &pin) = 0;
    // Whether a controller already has its address, so that an activation will change nothing.
    virtual bool isWiredReady() const { return false; }
    virtual bool isWirelessReady() const { return false; }
};

// What every mode state works with.
struct KivStateContext
{
    ModeCommands *controllers = nullptr;
    const NetworkConfiguration *configuration = nullptr;
};

// A state of the manager's mode machine: logs its entries and exits under its name, which is
// also its object name.
class KivState : public QState
{
    Q_OBJECT
public:
    KivState(QState *parent, const KivStateContext &context, const QString &name);

    const QString &name() const { return m_name; }

protected:
    void onEntry(QEvent *event) override;
    void onExit(QEvent *event) override;

    ModeCommands *controllers() const { return m_context.controllers; }
    const NetworkConfiguration *configuration() const { return m_context.configuration; }

private:
    KivStateContext m_context;
    QString m_name;
};

// Wired mode: wireless is disabled first, then the wired block runs.
class WiredMode : public KivState
{
    Q_OBJECT
public:
    WiredMode(QState *parent, const KivStateContext &context);
};

// Wired mode once wireless is disabled: the wired block beside a wireless WPS region.
class WiredModeState : public KivState
{
    Q_OBJECT
public:
    WiredModeState(QState *parent, const KivStateContext &context);
};

// Wireless mode: wired is disabled first, then the wireless block runs.
class WirelessMode : public KivState
{
    Q_OBJECT
public:
    WirelessMode(QState *parent, const KivStateContext &context);
};

// Wireless mode once wired is disabled: holds the wireless block.
class WirelessModeState : public KivState
{
    Q_OBJECT
public:
    WirelessModeState(QState *parent, const KivStateContext &context);
};

// Automatic mode: wireless while the wired link is missing, wired once it is there.
class AutomaticMode : public KivState
{
    Q_OBJECT
public:
    AutomaticMode(QState *parent, const KivStateContext &context);
};

// The wired region of a parallel mode.
class WiredStateContainer : public KivState
{
    Q_OBJECT
public:
    WiredStateContainer(QState *parent, const KivStateContext &context);
};

// The wireless region of a parallel mode.
class WirelessStateContainer : public KivState
{
    Q_OBJECT
public:
    WirelessStateContainer(QState *parent, const KivStateContext &context);
};

// The wired interface is ready.
class WiredConnectedState : public KivState
{
    Q_OBJECT
public:
    WiredConnectedState(QState *parent, const KivStateContext &context);
};

// The wireless interface is ready.
class WirelessConnectedState : public KivState
{
    Q_OBJECT
public:
    WirelessConnectedState(QState *parent, const KivStateContext &context);
};

// Automatic mode's wireless states while wireless is in use.
class AutomaticWirelessEnabledContainer : public KivState
{
    Q_OBJECT
public:
    AutomaticWirelessEnabledContainer(QState *parent, const KivStateContext &context);
};

// Automatic mode uses the wired interface; wireless stays disabled.
class AutomaticWirelessDisabledState : public KivState
{
    Q_OBJECT
public:
    AutomaticWirelessDisabledState(QState *parent, const KivStateContext &context);
};

// An automatic-mode WPS session that returns to using wireless.
class AutomaticWpsTargetEnabledState : public KivState
{
    Q_OBJECT
public:
    AutomaticWpsTargetEnabledState(QState *parent, const KivStateContext &context);
};

// An automatic-mode WPS session that returns to wireless disabled.
class AutomaticWpsTargetDisabledState : public KivState
{
    Q_OBJECT
public:
    AutomaticWpsTargetDisabledState(QState *parent, const KivStateContext &context);
};

// Off mode: both controllers disabled.
class OffMode : public KivState
{
    Q_OBJECT
public:
    OffMode(QState *parent, const KivStateContext &context);

protected:
    void onEntry(QEvent *event) override;
};

// Hybrid mode: both interfaces used at once.
class HybridMode : public KivState
{
    Q_OBJECT
public:
    HybridMode(QState *parent, const KivStateContext &context);

protected:
    void onEntry(QEvent *event) override;
};

// Disables the wired controller.
class WiredDisabledState : public KivState
{
    Q_OBJECT
public:
    WiredDisabledState(QState *parent, const KivStateContext &context);

protected:
    void onEntry(QEvent *event) override;
};

// Disables the wireless controller.
class WirelessDisabledState : public KivState
{
    Q_OBJECT
public:
    WirelessDisabledState(QState *parent, const KivStateContext &context);

protected:
    void onEntry(QEvent *event) override;
};

// Enables the wired controller and waits for its link.
class WiredWaitingState : public KivState
{
    Q_OBJECT
public:
    WiredWaitingState(QState *parent, const KivStateContext &context);

protected:
    void onEntry(QEvent *event) override;
};

// Starts IP set-up on the wired interface with the stored settings.
class WiredIpsetupState : public KivState
{
    Q_OBJECT
public:
    WiredIpsetupState(QState *parent, const KivStateContext &context);

signals:
    // Entered while the controller is ready already: it will not say ready() again.
    void alreadyReady();

protected:
    void onEntry(QEvent *event) override;
};

// Enables the wireless controller with the configured networks, except after a reconnection report.
class WirelessWaitingState : public KivState
{
    Q_OBJECT
public:
    WirelessWaitingState(QState *parent, const KivStateContext &context);

protected:
    void onEntry(QEvent *event) override;
};

// Starts IP set-up on the wireless interface with the stored settings.
class WirelessIpsetupState : public KivState
{
    Q_OBJECT
public:
    WirelessIpsetupState(QState *parent, const KivStateContext &context);

signals:
    // Entered while the controller is ready already: it will not say ready() again.
    void alreadyReady();

protected:
    void onEntry(QEvent *event) override;
};

// Starts a WPS session: with the PIN of a WpsPin event, push-button otherwise.
class WirelessWpsState : public KivState
{
    Q_OBJECT
public:
    WirelessWpsState(QState *parent, const KivStateContext &context);

protected:
    void onEntry(QEvent *event) override;
};
