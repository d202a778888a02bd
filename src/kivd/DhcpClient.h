#pragma once

#include "InterfaceConfiguration.h"
#include "InterfaceName.h"

#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// Obtains and renews an IPv4 lease for one interface; every lease is reported with finished().
class DhcpClient : public QObject
{
    Q_OBJECT
public:
    explicit DhcpClient(const InterfaceName &interface);

    const InterfaceName &interfaceName() const { return m_interface; }

    virtual void start() = 0;
    // Returns whether the client has ended.
    virtual bool stop() = 0;

signals:
    void finished(const InterfaceConfiguration &configuration);
    void error(const QString &message);
    // The client ended on its own (it exited or was killed), not through stop().
    void exited();

private:
    InterfaceName m_interface;
};

// One lease as the helper script prints it, before the texts are parsed into addresses.
struct DhcpRecord
{
    QString address;
    QString netmask;
    QString gateway;
    QStringList nameservers;
    QStringList searchDomains;

    InterfaceConfiguration toConfiguration(const InterfaceName &interface) const;
};

// The helper script's line protocol: "KIVD_<KEY>=" lines at column 0, ended by a "KIVD_FINISHED" line.
namespace DhcpProtocol {

extern const QString Terminator;

// Whether buffered output holds a complete record.
bool hasRecord(const QString &output);
// Applies the key rules to every line: the last value of a key wins, other lines are ignored.
DhcpRecord parseRecord(const QString &output);

} // namespace DhcpProtocol

// Runs /sbin/udhcpc in the foreground with the installed helper script and parses what it prints.
class Udhcpc : public DhcpClient
{
    Q_OBJECT
public:
    explicit Udhcpc(const InterfaceName &interface);
    ~Udhcpc() override;

    void start() override;
    bool stop() override;

    // The command line for an interface, sending hostName as the DHCP host-name option.
    static QStringList arguments(const InterfaceName &interface, const QString &hostName);

    static const QString Program;
    static const QString Script;
    static constexpr int StopTimeoutMs = 30000;

protected:
    // Takes one piece of the client's output and reports the record it completes, if any.
    void receiveOutput(const QByteArray &data);

private slots:
    void on_readyReadStandardOutput();
    void on_finished(int exitCode, QProcess::ExitStatus exitStatus);
    void on_error(QProcess::ProcessError error);

private:
    QProcess *m_process;
    QString m_output;
    bool m_stopping = false;
};
