#pragma once

#include "InterfaceName.h"
#include "InterfaceState.h"

#include <QProcess>

class InterfaceSoftap;
class QTimer;

// A soft access point runs while this is active: on entry the interface is configured, the
// configuration files written and hostapd, udhcpd and (with a domain name) dnsd started; they are
// supervised and restarted, hostapd's station lines become signals, and on exit everything stops.
class WirelessSoftApStarted : public InterfaceWirelessState
{
    Q_OBJECT
public:
    WirelessSoftApStarted(QState *parent, InterfaceWireless *interface, InterfaceSoftap *softap,
                          const InterfaceName *interfaceName, const QString &stateName);
    ~WirelessSoftApStarted() override;

    bool isRunning() const { return m_running; }

    static constexpr int InterfaceDownDelayMs = 1000;
    static constexpr int ProcessRestartDelayMs = 5000;
    static constexpr int SoftApRestartDelayMs = 10000;
    static constexpr int TerminateTimeoutMs = 5000;

signals:
    void ready(const InterfaceName &ap);
    void unready(const InterfaceName &ap);
    void stationConnected(const QString &mac);
    void stationDisconnected(const QString &mac);

public slots:
    // Stops and starts the processes again (with a freshly chosen channel), without ready/unready.
    void restartSoftAp();

protected:
    void onEntry(QEvent *event) override;
    void onExit(QEvent *event) override;

private slots:
    void on_udhcpd_standardOutputReady();
    void on_hostapd_standardOutputReady();
    void on_dnsd_standardOutputReady();
    void on_udhcpd_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void on_hostapd_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void on_dnsd_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void on_ipSetSoftApInterfaceDownTimeout();
    void on_udhcpdRestartTimeout();
    void on_softapRestartTimeout();
    void on_dnsdRestartTimeout();
    void on_process_errorOccurred(QProcess::ProcessError error);

private:
    InterfaceName apName() const;
    void startSoftAp();
    void stopSoftAp();
    void writeFiles(const QString &hostapdFile, const QString &udhcpdFile, const QString &dnsdFile);
    void setBssid();
    // SIGTERM already sent: waits, then SIGKILL; a program that survives that ends the daemon.
    void awaitTermination(QProcess *process, const char *program);
    QStringList readOutput(QProcess *process);
    void reportUnexpectedEnd(const char *program, int exitCode, QProcess::ExitStatus exitStatus, QTimer *restartTimer);

    QProcess *m_udhcpd;
    QProcess *m_hostapd;
    QProcess *m_dnsd;
    InterfaceSoftap *m_softap;
    QTimer *m_interfaceDownTimer;
    QTimer *m_udhcpdRestartTimer;
    QTimer *m_softapRestartTimer;
    QTimer *m_dnsdRestartTimer;
    bool m_running = false;
    // dnsd runs with the settings of the start, whatever the settings say by the time it is stopped.
    bool m_dnsdStarted = false;
};
