#include "WirelessSoftApStarted.h"

#include "ConfigFileWriter.h"
#include "HostapdOutput.h"
#include "InterfaceSoftap.h"
#include "InterfaceWireless.h"
#include "KivCommon.h"
#include "LogHandler.h"
#include "NetworkDriver.h"
#include "SoftApFiles.h"

#include <QMetaEnum>
#include <QNetworkInterface>
#include <QTimer>

namespace {

const QString Udhcpd = QStringLiteral("/usr/sbin/udhcpd");
const QString Hostapd = QStringLiteral("/usr/sbin/hostapd");
const QString Dnsd = QStringLiteral("/usr/sbin/dnsd");

QTimer *singleShot(int intervalMs, QObject *parent)
{
    auto *timer = new QTimer(parent);
    timer->setSingleShot(true);
    timer->setInterval(intervalMs);
    return timer;
}

QProcess *mergedProcess(QObject *parent)
{
    auto *process = new QProcess(parent);
    process->setProcessChannelMode(QProcess::MergedChannels);
    return process;
}

} // namespace

WirelessSoftApStarted::WirelessSoftApStarted(QState *parent, InterfaceWireless *interface, InterfaceSoftap *softap,
                                             const InterfaceName *interfaceName, const QString &stateName)
    : InterfaceWirelessState(parent, interface, interfaceName, stateName)
    , m_udhcpd(mergedProcess(this))
    , m_hostapd(mergedProcess(this))
    , m_dnsd(mergedProcess(this))
    , m_softap(softap)
    , m_interfaceDownTimer(singleShot(InterfaceDownDelayMs, this))
    , m_udhcpdRestartTimer(singleShot(ProcessRestartDelayMs, this))
    , m_softapRestartTimer(singleShot(SoftApRestartDelayMs, this))
    , m_dnsdRestartTimer(singleShot(ProcessRestartDelayMs, this))
{
    KivCommon::connect(m_interfaceDownTimer, SIGNAL(timeout()), this, SLOT(on_ipSetSoftApInterfaceDownTimeout()));
    KivCommon::connect(m_udhcpdRestartTimer, SIGNAL(timeout()), this, SLOT(on_udhcpdRestartTimeout()));
    KivCommon::connect(m_softapRestartTimer, SIGNAL(timeout()), this, SLOT(on_softapRestartTimeout()));
    KivCommon::connect(m_dnsdRestartTimer, SIGNAL(timeout()), this, SLOT(on_dnsdRestartTimeout()));
    KivCommon::connect(m_udhcpd, SIGNAL(readyReadStandardOutput()), this, SLOT(on_udhcpd_standardOutputReady()));
    KivCommon::connect(m_hostapd, SIGNAL(readyReadStandardOutput()), this, SLOT(on_hostapd_standardOutputReady()));
    KivCommon::connect(m_dnsd, SIGNAL(readyReadStandardOutput()), this, SLOT(on_dnsd_standardOutputReady()));
    for (QProcess *process : {m_udhcpd, m_hostapd, m_dnsd})
        KivCommon::connect(process, SIGNAL(errorOccurred(QProcess::ProcessError)), this,
                           SLOT(on_process_errorOccurred(QProcess::ProcessError)));
}

// A machine destroyed while the access point runs still ends its programs; the interface is left as it is.
WirelessSoftApStarted::~WirelessSoftApStarted()
{
    if (!m_running)
        return;
    for (QProcess *process : {m_udhcpd, m_hostapd, m_dnsd}) {
        process->disconnect(this);
        process->terminate();
    }
    awaitTermination(m_udhcpd, "udhcpd");
    awaitTermination(m_hostapd, "hostapd");
    awaitTermination(m_dnsd, "dnsd");
}

InterfaceName WirelessSoftApStarted::apName() const
{
    return InterfaceName(m_softap->settings().apInterface());
}

void WirelessSoftApStarted::onEntry(QEvent *event)
{
    InterfaceWirelessState::onEntry(event);
    startSoftAp();
    emit ready(apName());
}

void WirelessSoftApStarted::onExit(QEvent *event)
{
    InterfaceWirelessState::onExit(event);
    stopSoftAp();
    emit unready(apName());
}

void WirelessSoftApStarted::restartSoftAp()
{
    kivInfo() << "Restarting SoftAp";
    stopSoftAp();
    startSoftAp();
}

void WirelessSoftApStarted::startSoftAp()
{
    m_running = false;
    m_interfaceDownTimer->stop();
    const SoftApSettings &settings = m_softap->settings();
    const QString ap = settings.apInterface();
    const QString unwritable = SoftApFiles::unwritableField(settings);
    if (!unwritable.isEmpty()) {
        kivCritical() << "Can't start softap, " << '"' << ap << '"' << " setting " << unwritable
                      << " can't be written to its configuration files!";
        return;
    }
    if (!QNetworkInterface::interfaceFromName(ap).isValid()) {
        kivWarning() << "Can't start softap, " << '"' << ap << '"' << " is not a valid interface!";
        return;
    }

    const QString hostapdFile = SoftApFiles::hostapdPath(ap);
    const QString udhcpdFile = SoftApFiles::udhcpdPath(ap);
    const QString dnsdFile = SoftApFiles::dnsdPath(ap);
    writeFiles(hostapdFile, udhcpdFile, dnsdFile);
    setBssid();
    m_softap->driver()->linkUp(apName());
    // The subnet is always a /24, whatever the netmask handed out by udhcpd.
    m_softap->driver()->replaceAddress(settings.apAddress().toString(), 24, apName());

    kivInfo() << "Starting udhcpd & hostapd";
    KivCommon::connect(m_udhcpd, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                       SLOT(on_udhcpd_finished(int, QProcess::ExitStatus)));
    KivCommon::connect(m_hostapd, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                       SLOT(on_hostapd_finished(int, QProcess::ExitStatus)));
    m_udhcpd->start(Udhcpd, {QStringLiteral("-f"), udhcpdFile}, QIODevice::ReadWrite);
    m_hostapd->start(Hostapd, {hostapdFile}, QIODevice::ReadWrite);
    m_dnsdStarted = !settings.domainName().isEmpty();
    if (m_dnsdStarted) {
        kivInfo() << "Starting dnsd";
        KivCommon::connect(m_dnsd, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                           SLOT(on_dnsd_finished(int, QProcess::ExitStatus)));
        m_dnsd->start(Dnsd, {QStringLiteral("-c"), dnsdFile}, QIODevice::ReadWrite);
    }
    m_running = true;
}

void WirelessSoftApStarted::writeFiles(const QString &hostapdFile, const QString &udhcpdFile, const QString &dnsdFile)
{
    const SoftApSettings &settings = m_softap->settings();
    ConfigFileWriter(hostapdFile) << SoftApFiles::hostapdConfig(settings, interface()->softApChannel());
    ConfigFileWriter(udhcpdFile) << SoftApFiles::udhcpdConfig(settings);
    if (!settings.domainName().isEmpty())
        ConfigFileWriter(dnsdFile) << SoftApFiles::dnsdConfig(settings);
}

void WirelessSoftApStarted::setBssid()
{
    const MacAddress &bssid = m_softap->settings().bssid();
    const QString current = QNetworkInterface::interfaceFromName(apName().toString()).hardwareAddress();
    if (bssid.isEmpty() || bssid.toString().compare(current, Qt::CaseInsensitive) == 0)
        return;
    on_ipSetSoftApInterfaceDownTimeout();
    kivInfo() << "Setting softap BSSID: " << bssid.toString() << " from: " << '"' << current << '"';
    m_softap->driver()->setMacAddress(bssid, apName());
}

void WirelessSoftApStarted::stopSoftAp()
{
    if (!m_running)
        return;
    m_softapRestartTimer->stop();
    m_udhcpdRestartTimer->stop();
    KivCommon::disconnect(m_udhcpd, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                          SLOT(on_udhcpd_finished(int, QProcess::ExitStatus)));
    KivCommon::disconnect(m_hostapd, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                          SLOT(on_hostapd_finished(int, QProcess::ExitStatus)));
    kivDebug() << "Terminating udhcpd & hostapd";
    m_udhcpd->terminate();
    m_hostapd->terminate();
    awaitTermination(m_udhcpd, "udhcpd");
    awaitTermination(m_hostapd, "hostapd");
    if (m_dnsdStarted) {
        m_dnsdRestartTimer->stop();
        KivCommon::disconnect(m_dnsd, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                              SLOT(on_dnsd_finished(int, QProcess::ExitStatus)));
        kivDebug() << "Terminating dnsd";
        m_dnsd->terminate();
        awaitTermination(m_dnsd, "dnsd");
        m_dnsdStarted = false;
    }
    if (apName() != interface()->name())
        m_interfaceDownTimer->start();
    m_softap->driver()->flushAddresses(AddressFamily::Both, apName(), false);
    m_running = false;
}

void WirelessSoftApStarted::awaitTermination(QProcess *process, const char *program)
{
    if (process->waitForFinished(TerminateTimeoutMs) || process->state() == QProcess::NotRunning)
        return;
    kivCritical() << program << " didn't terminate after 5 seconds, sending SIGKILL...";
    process->kill();
    if (process->waitForFinished(TerminateTimeoutMs) || process->state() == QProcess::NotRunning)
        return;
    kivCritical() << program << " is still running after SIGKILL!";
    kivAbort();
}

QStringList WirelessSoftApStarted::readOutput(QProcess *process)
{
    return HostapdOutput::lines(process->readAllStandardOutput());
}

void WirelessSoftApStarted::on_udhcpd_standardOutputReady()
{
    for (const QString &piece : readOutput(m_udhcpd))
        kivInfo() << "udhcpd output: " << '"' << piece << '"';
}

void WirelessSoftApStarted::on_hostapd_standardOutputReady()
{
    for (const QString &piece : readOutput(m_hostapd)) {
        kivInfo() << "hostapd output: " << '"' << piece << '"';
        const std::optional<HostapdOutput::StationEvent> event = HostapdOutput::stationEvent(piece);
        if (!event)
            continue;
        const QString name = event->connected ? QStringLiteral("CONNECTED") : QStringLiteral("DISCONNECTED");
        kivInfo() << "Got " << '"' << name << '"' << " station: " << '"' << event->mac << '"';
        if (event->connected)
            emit stationConnected(event->mac);
        else
            emit stationDisconnected(event->mac);
    }
}

void WirelessSoftApStarted::on_dnsd_standardOutputReady()
{
    for (const QString &piece : readOutput(m_dnsd))
        kivInfo() << "dnsd output: " << '"' << piece << '"';
}

void WirelessSoftApStarted::reportUnexpectedEnd(const char *program, int exitCode, QProcess::ExitStatus exitStatus,
                                                QTimer *restartTimer)
{
    kivCritical() << program << " quit unexpectedly with exit code: " << exitCode
                  << " status: " << QMetaEnum::fromType<QProcess::ExitStatus>().valueToKey(exitStatus);
    if (!restartTimer->isActive())
        restartTimer->start();
}

void WirelessSoftApStarted::on_udhcpd_finished(int exitCode, QProcess::ExitStatus exitStatus)
{
    reportUnexpectedEnd("udhcpd", exitCode, exitStatus, m_udhcpdRestartTimer);
}

void WirelessSoftApStarted::on_hostapd_finished(int exitCode, QProcess::ExitStatus exitStatus)
{
    reportUnexpectedEnd("hostapd", exitCode, exitStatus, m_softapRestartTimer);
}

void WirelessSoftApStarted::on_dnsd_finished(int exitCode, QProcess::ExitStatus exitStatus)
{
    reportUnexpectedEnd("dnsd", exitCode, exitStatus, m_dnsdRestartTimer);
}

// A program that cannot be started never finishes; it is retried like one that quit.
void WirelessSoftApStarted::on_process_errorOccurred(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart || !m_running)
        return;
    auto *process = qobject_cast<QProcess *>(sender());
    QTimer *restartTimer = process == m_udhcpd ? m_udhcpdRestartTimer
                           : process == m_hostapd ? m_softapRestartTimer
                                                  : m_dnsdRestartTimer;
    kivCritical() << process->program() << " could not be started: " << process->errorString();
    if (!restartTimer->isActive())
        restartTimer->start();
}

void WirelessSoftApStarted::on_ipSetSoftApInterfaceDownTimeout()
{
    m_softap->driver()->linkDown(apName());
}

void WirelessSoftApStarted::on_udhcpdRestartTimeout()
{
    kivCritical() << "Restarting udhcpd...";
    m_udhcpd->start(Udhcpd, {QStringLiteral("-f"), SoftApFiles::udhcpdPath(apName().toString())}, QIODevice::ReadWrite);
}

void WirelessSoftApStarted::on_dnsdRestartTimeout()
{
    kivCritical() << "Restarting dnsd...";
    m_dnsd->start(Dnsd, {QStringLiteral("-c"), SoftApFiles::dnsdPath(apName().toString())}, QIODevice::ReadWrite);
}

void WirelessSoftApStarted::on_softapRestartTimeout()
{
    kivCritical() << "Restarting softap...";
    interface()->reloadSoftAp(apName());
}
