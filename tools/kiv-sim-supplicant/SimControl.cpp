#include "SimControl.h"

#include "SimCallLog.h"
#include "SimSupplicant.h"

SimControl::SimControl(SimSupplicant *supplicant, SimCallLog *log, QObject *parent)
    : QObject(parent)
    , m_supplicant(supplicant)
    , m_log(log)
{
    connect(log, &SimCallLog::recorded, this, &SimControl::CallReceived);
}

void SimControl::AddAp(const QString &json)
{
    answer(m_supplicant->addAccessPoint(json));
}

void SimControl::UpdateAp(const QString &json)
{
    answer(m_supplicant->updateAccessPoint(json));
}

void SimControl::RemoveAp(const QString &bssid)
{
    answer(m_supplicant->removeAccessPoint(bssid));
}

void SimControl::SetSignal(const QString &bssid, int signal)
{
    answer(m_supplicant->setSignal(bssid, signal));
}

void SimControl::SetWpsOutcome(const QString &bssid, const QString &mode, int configError)
{
    answer(m_supplicant->setWpsOutcome(bssid, mode, configError));
}

void SimControl::DropLink()
{
    answer(m_supplicant->dropLink());
}

void SimControl::RestoreLink()
{
    answer(m_supplicant->restoreLink());
}

QStringList SimControl::Calls() const
{
    return m_log->entries();
}

void SimControl::ClearCalls()
{
    m_log->clear();
}

void SimControl::answer(const SimResult &result)
{
    if (!result.ok() && calledFromDBus())
        sendErrorReply(result.errorName, result.errorMessage);
}
