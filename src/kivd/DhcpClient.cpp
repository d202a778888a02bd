#include "DhcpClient.h"

#include "KivCommon.h"
#include "LogHandler.h"

#include <QHostInfo>
#include <QMetaEnum>

namespace {

const QString IpKey = QStringLiteral("KIVD_IP=");
const QString NetmaskKey = QStringLiteral("KIVD_NETMASK=");
const QString GatewayKey = QStringLiteral("KIVD_GATEWAY=");
const QString DnsKey = QStringLiteral("KIVD_DNS=");
const QString DomainKey = QStringLiteral("KIVD_DOMAIN=");

// The value of a key line: the line with every occurrence of the key removed.
QString valueOf(const QString &line, const QString &key)
{
    return QString(line).remove(key);
}

QStringList spaceSeparated(const QString &value)
{
    return value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// What the debug stream writes for a value: quoted strings, lists in parentheses.
template<typename T>
QString debugForm(const T &value)
{
    QString text;
    QDebug(&text).nospace() << value;
    return text;
}

} // namespace

DhcpClient::DhcpClient(const InterfaceName &interface) : QObject(nullptr), m_interface(interface) {}

InterfaceConfiguration DhcpRecord::toConfiguration(const InterfaceName &interface) const
{
    return InterfaceConfiguration(interface.toString(), address, netmask, gateway, nameservers, searchDomains);
}

const QString DhcpProtocol::Terminator = QStringLiteral("KIVD_FINISHED");

bool DhcpProtocol::hasRecord(const QString &output)
{
    return output.contains(Terminator);
}

DhcpRecord DhcpProtocol::parseRecord(const QString &output)
{
    DhcpRecord record;
    const QStringList lines = output.split(QLatin1Char('\n'));
    for (const QString &line : lines) {
        if (line.startsWith(IpKey)) {
            record.address = valueOf(line, IpKey);
        } else if (line.startsWith(NetmaskKey)) {
            record.netmask = valueOf(line, NetmaskKey);
        } else if (line.startsWith(GatewayKey)) {
            const QStringList routers = spaceSeparated(valueOf(line, GatewayKey));
            record.gateway = routers.value(0);
        } else if (line.startsWith(DnsKey)) {
            record.nameservers = spaceSeparated(valueOf(line, DnsKey));
        } else if (line.startsWith(DomainKey)) {
            record.searchDomains = spaceSeparated(valueOf(line, DomainKey));
        }
    }
    return record;
}

const QString Udhcpc::Program = QStringLiteral("/sbin/udhcpc");
const QString Udhcpc::Script = QStringLiteral("/usr/share/kivd/kivd_udhcpc.sh");

Udhcpc::Udhcpc(const InterfaceName &interface) : DhcpClient(interface), m_process(new QProcess())
{
    KivCommon::connect(m_process, SIGNAL(readyReadStandardOutput()), this, SLOT(on_readyReadStandardOutput()));
    KivCommon::connect(m_process, SIGNAL(finished(int, QProcess::ExitStatus)), this,
                       SLOT(on_finished(int, QProcess::ExitStatus)));
    KivCommon::connect(m_process, SIGNAL(error(QProcess::ProcessError)), this,
                       SLOT(on_error(QProcess::ProcessError)));
    m_process->setProcessChannelMode(QProcess::MergedChannels);
}

Udhcpc::~Udhcpc()
{
    stop();
    delete m_process;
}

QStringList Udhcpc::arguments(const InterfaceName &interface, const QString &hostName)
{
    return {QStringLiteral("-f"), QStringLiteral("-x"), QStringLiteral("hostname:") + hostName,
            QStringLiteral("-t"), QStringLiteral("7"),  QStringLiteral("-T"),
            QStringLiteral("3"),  QStringLiteral("-i"), interface.toString(),
            QStringLiteral("-s"), Script};
}

void Udhcpc::start()
{
    stop();
    m_output.clear();
    const QStringList args = arguments(interfaceName(), QHostInfo::localHostName());
    kivInfo() << "Starting dhcp client " << debugForm(Program) << " w/args: " << debugForm(args);
    m_process->start(Program, args, QIODevice::ReadWrite);
}

bool Udhcpc::stop()
{
    if (m_process->state() == QProcess::NotRunning)
        return true;
    m_stopping = true;
    m_process->terminate();
    const bool ended = m_process->waitForFinished(StopTimeoutMs);
    m_stopping = false;
    return ended;
}

void Udhcpc::on_readyReadStandardOutput()
{
    receiveOutput(m_process->readAllStandardOutput());
}

void Udhcpc::receiveOutput(const QByteArray &data)
{
    m_output += QString::fromUtf8(data);
    if (!DhcpProtocol::hasRecord(m_output))
        return;

    kivInfo() << interfaceName() << " Finished setup, parsing dhcp data from output:";
    const QStringList lines = m_output.trimmed().split(QLatin1Char('\n'));
    for (const QString &line : lines)
        kivInfo() << "Dhcp output: " << debugForm(line.trimmed());

    const DhcpRecord record = DhcpProtocol::parseRecord(m_output);
    m_output.clear();
    kivInfo() << interfaceName() << " Dhcp settings: " << debugForm(record.address) << ' ' << debugForm(record.netmask)
              << ' ' << debugForm(record.gateway) << ' ' << record.nameservers.join(QLatin1Char(' ')) << ' '
              << record.searchDomains.join(QLatin1Char(' '));
    emit finished(record.toConfiguration(interfaceName()));
}

void Udhcpc::on_finished(int exitCode, QProcess::ExitStatus)
{
    kivInfo() << interfaceName() << ": dhcp client process finished, exit code: " << exitCode;
    if (!m_stopping)
        emit exited();
}

void Udhcpc::on_error(QProcess::ProcessError error)
{
    // A killed client is an end like any other: exited() follows, the lease stays valid.
    if (error != QProcess::Crashed)
        emit this->error(QStringLiteral("dhcpc: ") + interfaceName().toString() + QStringLiteral(": an error occurred!"));
    kivCritical() << interfaceName() << ": An error occurred in the dhcp client " << "QProcess::"
                  << QMetaEnum::fromType<QProcess::ProcessError>().valueToKey(error);
}
