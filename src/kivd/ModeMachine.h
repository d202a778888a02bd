#pragma once

#include "NetworkManagerStates.h"

#include <QAbstractTransition>
#include <QByteArray>
#include <QEvent>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>

class QStateMachine;

// Posts every signal it hears into a machine, so that the machine handles it in order even when it
// arrives while the machine is still busy: a signal transition only hears its signal while its
// source state is active, and a machine with work pending would let the signal pass unheard.
class SignalRelay : public QObject
{
    Q_OBJECT
public:
    explicit SignalRelay(QStateMachine *machine);

    // Starts relaying the signal (with its index in the sender's class) once.
    void listen(QObject *sender, const char *signal, int index);
    // The signals by which a controller reports the state it entered; of these, only the latest
    // one a controller sent is acted on, the others are stale by the time the machine gets them.
    void followStates(QObject *sender, const QList<const char *> &stateSignals);
    bool isCurrent(QObject *sender, int index, quint64 serial) const;

    static QEvent::Type eventType();

private slots:
    void relay();

private:
    QStateMachine *m_machine;
    QSet<QPair<QObject *, int>> m_heard;
    QSet<QPair<QObject *, int>> m_stateSignals;
    QHash<QObject *, quint64> m_latestState;
    quint64 m_serial = 0;
};

// Fires on a relayed signal of one sender, unless a later state report of that sender made it stale.
class RelayedSignalTransition : public QAbstractTransition
{
    Q_OBJECT
public:
    RelayedSignalTransition(const SignalRelay *relay, QObject *sender, int index);

protected:
    bool eventTest(QEvent *event) override;
    void onTransition(QEvent *event) override;

private:
    const SignalRelay *m_relay;
    QObject *m_sender;
    int m_index;
};

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

    // Transitions on a relayed signal (fatal when the signal does not exist); no target: stays.
    QAbstractTransition *onSignal(QState *from, QObject *sender, const char *signal, QAbstractState *to) const;
    QAbstractTransition *onRelayed(QState *from, QObject *sender, const char *signal, QAbstractState *to) const;
    // An IP set-up state entered while its controller is ready already moves on to connected.
    void onAlreadyReady(QState *ipsetup, QAbstractState *connected) const;
    QAbstractTransition *onWired(QState *from, const char *signal, QAbstractState *to) const;
    QAbstractTransition *onWireless(QState *from, const char *signal, QAbstractState *to) const;

    QStateMachine *m_machine;
    SignalRelay *m_relay;
    KivStateContext m_context;
    QObject *m_wired;
    QObject *m_wireless;
};
