#pragma once

#include "NetworkManagerStates.h"

class QObject;
class QStateMachine;

// The manager's five modes, built as children of a machine.
struct ModeStates
{
    KivState *off = nullptr;
    KivState *wired = nullptr;
    KivState *wireless = nullptr;
    KivState *automatic = nullptr;
    KivState *hybrid = nullptr;
};

// Builds the mode machine's states and transitions. The states follow the signals of the wired
// and wireless controllers (given as plain objects, connected by signal signature) and the
// manager events posted into the machine.
class ModeMachine
{
public:
    ModeMachine(QStateMachine *machine, const KivStateContext &context, QObject *wired, QObject *wireless);

    ModeStates build();

private:
    template<typename State>
    State *add(QState *parent);
    void addWiredBlock(QState *container);
    void addWirelessBlock(QState *container);
    void buildWiredMode(QState *mode);
    void buildWirelessMode(QState *mode);
    void buildAutomaticMode(QState *mode);
    void buildHybridMode(QState *mode);

    // Transitions on a controller signal (fatal when the signal does not exist).
    static void onSignal(QState *from, QObject *sender, const char *signal, QAbstractState *to);
    void onWired(QState *from, const char *signal, QAbstractState *to) const;
    void onWireless(QState *from, const char *signal, QAbstractState *to) const;

    QStateMachine *m_machine;
    KivStateContext m_context;
    QObject *m_wired;
    QObject *m_wireless;
};
