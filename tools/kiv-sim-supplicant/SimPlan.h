#pragma once

#include <QList>
#include <QObject>
#include <QTimer>

#include <functional>

// A sequence of delayed steps (association states, registration); clearing it cancels the rest.
class SimPlan : public QObject
{
    Q_OBJECT

public:
    explicit SimPlan(QObject *parent = nullptr);

    void then(int delayMs, std::function<void()> action);
    void clear();
    bool isActive() const { return !m_steps.isEmpty(); }

private slots:
    void runNext();

private:
    struct Step
    {
        int delayMs;
        std::function<void()> action;
    };

    QList<Step> m_steps;
    QTimer m_timer;
};
