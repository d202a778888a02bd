#include "KivStateMachine.h"

#include "KivCommon.h"
#include "KivEvents.h"
#include "LogHandler.h"

#include <QState>

KivStateMachine::KivStateMachine(QObject *parent)
    : QStateMachine(parent)
    , m_timer(new QTimer(this))
{
    qRegisterMetaType<QEvent::Type>("QEvent::Type");
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    KivCommon::connect(m_timer, SIGNAL(timeout()), this, SLOT(unpause()));
    KivCommon::connect(this, SIGNAL(started()), this, SLOT(on_started()));
}

KivStateMachine::~KivStateMachine()
{
    qDeleteAll(m_queue);
    qDeleteAll(m_beforeStart);
}

void KivStateMachine::postEvent(QEvent *event)
{
    const int type = event->type();
    if (!isRunning()) {
        m_beforeStart.append(event);
        return;
    }
    if (!m_paused) {
        kivDebug() << "Posting event: " << KivEvents::eventName(type);
        QStateMachine::postEvent(event, NormalPriority);
        return;
    }
    if (m_unpauseTypes.contains(type)) {
        m_queue.append(event);
        unpause();
        return;
    }
    if (m_immediateTypes.contains(type)) {
        kivDebug() << "Posting immediate event: " << KivEvents::eventName(type);
        QStateMachine::postEvent(event, NormalPriority);
        return;
    }
    if (!m_timer->isActive()) {
        kivDebug() << "Starting wait period...";
        emit paused(m_pausedState, event->type());
        m_timer->start();
    }
    kivDebug() << "Queuing event: " << KivEvents::eventName(type);
    m_queue.append(event);
}

QList<int> KivStateMachine::heldEventTypes() const
{
    QList<int> types;
    for (const QEvent *event : m_queue)
        types << event->type();
    return types;
}

void KivStateMachine::pause(int intervalMs, QState *state)
{
    kivDebug() << "Will wait on next event!";
    m_timer->setInterval(intervalMs);
    KivCommon::connect(state, SIGNAL(exited()), this, SLOT(unpause()));
    m_pausedState = state;
    pause();
}

void KivStateMachine::pause()
{
    m_paused = true;
}

void KivStateMachine::unpause()
{
    m_paused = false;
    m_timer->stop();
    if (m_pausedState) {
        KivCommon::disconnect(m_pausedState, SIGNAL(exited()), this, SLOT(unpause()));
        m_pausedState = nullptr;
    }
    const QList<QEvent *> held = std::exchange(m_queue, {});
    for (QEvent *event : held) {
        kivDebug() << "Posting delayed event: " << KivEvents::eventName(event->type());
        QStateMachine::postEvent(event, NormalPriority);
    }
}

void KivStateMachine::on_started()
{
    for (QEvent *event : std::exchange(m_beforeStart, {}))
        postEvent(event);
}

void KivStateMachine::addUnpauseEventType(const QEvent &event)
{
    m_unpauseTypes.insert(event.type());
}

void KivStateMachine::addImmediateEventType(const QEvent &event)
{
    m_immediateTypes.insert(event.type());
}
