#pragma once

#include <QEvent>
#include <QList>
#include <QSet>
#include <QStateMachine>
#include <QTimer>

class QState;

// A state machine that can hold events back for a while after a state was reached, so that a
// tear-down is announced before it happens.
class KivStateMachine : public QStateMachine
{
    Q_OBJECT
public:
    explicit KivStateMachine(QObject *parent = nullptr);
    ~KivStateMachine() override;

    // The only way events are posted into such a machine; takes ownership of the event.
    void postEvent(QEvent *event);

    // Holds events until `state` is left or intervalMs have passed after the first held event.
    void pause(int intervalMs, QState *state);

    void addUnpauseEventType(const QEvent &event);
    void addImmediateEventType(const QEvent &event);

    bool isPaused() const { return m_paused; }
    bool isWaiting() const { return m_timer->isActive(); }
    int heldEventCount() const { return m_queue.size(); }
    // The types of the held events, in arrival order.
    QList<int> heldEventTypes() const;

signals:
    void paused(QState *state, QEvent::Type type);

public slots:
    void pause();
    void unpause();

private slots:
    void on_started();

private:
    bool m_paused = false;
    QState *m_pausedState = nullptr;
    QTimer *m_timer;
    QList<QEvent *> m_queue;
    // Posted before the machine entered its initial states, which the framework would drop.
    QList<QEvent *> m_beforeStart;
    QSet<int> m_unpauseTypes;
    QSet<int> m_immediateTypes;
};
