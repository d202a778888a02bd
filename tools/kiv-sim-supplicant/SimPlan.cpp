#include "SimPlan.h"

SimPlan::SimPlan(QObject *parent)
    : QObject(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &SimPlan::runNext);
}

void SimPlan::then(int delayMs, std::function<void()> action)
{
    m_steps.append({delayMs, std::move(action)});
    if (m_steps.size() == 1)
        m_timer.start(delayMs);
}

void SimPlan::clear()
{
    m_steps.clear();
    m_timer.stop();
}

void SimPlan::runNext()
{
    if (m_steps.isEmpty())
        return;
    const std::function<void()> action = m_steps.first().action;
    m_steps.removeFirst();
    if (!m_steps.isEmpty())
        m_timer.start(m_steps.first().delayMs);
    action();
}
