#pragma once

#include "SimBus.h"

#include <QDBusContext>
#include <QObject>
#include <QStringList>

class SimCallLog;
class SimSupplicant;

// The bus object "/control" (interface "com.tarvel.kivsim.Control") through which tests steer
// the simulated radio and read back what the supplicant was asked to do.
class SimControl : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tarvel.kivsim.Control")

public:
    SimControl(SimSupplicant *supplicant, SimCallLog *log, QObject *parent = nullptr);

public slots:
    void AddAp(const QString &json);
    void UpdateAp(const QString &json);
    void RemoveAp(const QString &bssid);
    void SetSignal(const QString &bssid, int signal);
    void SetWpsOutcome(const QString &bssid, const QString &mode, int configError);
    void DropLink();
    void RestoreLink();
    QStringList Calls() const;
    void ClearCalls();

signals:
    void CallReceived(const QString &call);

private:
    void answer(const SimResult &result);

    SimSupplicant *m_supplicant;
    SimCallLog *m_log;
};
