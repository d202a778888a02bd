// Runs one AddressManager inside a sandbox device, with the real ip driver, netlink watcher and
// resolver, driven by one command per line on standard input:
//   dhcp | static IP NETMASK GATEWAY NAMESERVER DOMAIN | stop | status | delete
// It reports on standard output, one line each: "EVENT connected <ms>" and "EVENT disconnected
// <ms>" (milliseconds since the last start), "STATUS connected|disconnected" and
// "DONE <command>" once a command has returned.

#include "AddressManager.h"
#include "KivCommon.h"
#include "NetlinkWatcher.h"
#include "NetworkDriverIp.h"
#include "ResolvConf.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>

#include <cstdio>
#include <unistd.h>

class AddressDriver : public QObject
{
    Q_OBJECT
public:
    explicit AddressDriver(const QString &interface)
        : m_interface(interface), m_resolvConf(ResolvConf::create(this)),
          m_manager(new AddressManager(m_interface, &m_watcher, &m_driver, m_resolvConf)),
          m_input(STDIN_FILENO, QSocketNotifier::Read, this)
    {
        KivCommon::connect(m_manager, SIGNAL(connected()), this, SLOT(on_manager_connected()));
        KivCommon::connect(m_manager, SIGNAL(disconnected()), this, SLOT(on_manager_disconnected()));
        KivCommon::connect(&m_input, SIGNAL(activated(int)), this, SLOT(on_input_activated()));
        m_clock.start();
    }
    ~AddressDriver() override { delete m_manager; }

private slots:
    void on_manager_connected() { report("EVENT connected " + QByteArray::number(m_clock.elapsed())); }
    void on_manager_disconnected() { report("EVENT disconnected " + QByteArray::number(m_clock.elapsed())); }

    void on_input_activated()
    {
        char buffer[512];
        const ssize_t size = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (size <= 0) {
            m_input.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        m_pending += QByteArray(buffer, int(size));
        int end;
        while ((end = m_pending.indexOf('\n')) >= 0) {
            const QByteArray line = m_pending.left(end).trimmed();
            m_pending.remove(0, end + 1);
            execute(QString::fromUtf8(line).split(QLatin1Char(' '), Qt::SkipEmptyParts));
        }
    }

private:
    void execute(const QStringList &command)
    {
        if (command.isEmpty())
            return;
        const QString &verb = command.constFirst();
        if (verb == QLatin1String("dhcp") && m_manager) {
            m_clock.restart();
            m_manager->start(InterfaceConfiguration(m_interface.toString()));
        } else if (verb == QLatin1String("static") && command.size() == 6 && m_manager) {
            m_clock.restart();
            m_manager->start(InterfaceConfiguration(m_interface.toString(), command.at(1), command.at(2),
                                                    command.at(3), {command.at(4)}, {command.at(5)}));
        } else if (verb == QLatin1String("stop") && m_manager) {
            m_manager->stop();
        } else if (verb == QLatin1String("status") && m_manager) {
            report(m_manager->isConnected() ? "STATUS connected" : "STATUS disconnected");
        } else if (verb == QLatin1String("delete")) {
            delete m_manager;
            m_manager = nullptr;
        } else {
            report("ERROR " + command.join(QLatin1Char(' ')).toUtf8());
            return;
        }
        report("DONE " + verb.toUtf8());
    }

    static void report(const QByteArray &line)
    {
        std::fprintf(stdout, "%s\n", line.constData());
        std::fflush(stdout);
    }

    InterfaceName m_interface;
    NetworkDriverIp m_driver;
    NetlinkWatcher m_watcher;
    ResolvConf *m_resolvConf;
    AddressManager *m_manager;
    QSocketNotifier m_input;
    QElapsedTimer m_clock;
    QByteArray m_pending;
};

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: kiv-address-driver INTERFACE\n");
        return 2;
    }
    AddressDriver driver{QString::fromLocal8Bit(argv[1])};
    return application.exec();
}

#include "address_driver.moc"
