#pragma once

#include <QThread>

class WpaSupplicant;

// The supplicant's worker: runs its owner's connection logic until the owner queues Quit.
class WpaSupplicantThread : public QThread
{
    Q_OBJECT

public:
    explicit WpaSupplicantThread(WpaSupplicant *owner);

protected:
    void run() override;

private:
    WpaSupplicant *m_owner;
};
