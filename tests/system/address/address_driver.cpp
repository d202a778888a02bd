// Runs one AddressManager inside a sandbox device, with the real ip driver, netlink watcher and
// resolver, driven by one command per line on standard input:
//   dhcp | stop | status
// It reports on standard output, one line each: "EVENT connected", "EVENT disconnected",
// "STATUS connected|disconnected" and "DONE <command>" once a command has returned.

#include "AddressManager.h"
#include "KivCommon.h"
#include "NetlinkWatcher.h"
#include "NetworkDriverIp.h"
#include "ResolvConf.h"

#include <QCoreApplication>
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
    }
    ~AddressDriver() override { delete m_manager; }

private slots:
    void on_manager_connected() { report("EVENT connected"); }
    void on_manager_disconnected() { report("EVENT disconnected"); }

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
        if (verb == QLatin1String("dhcp")) {
            m_manager->start(InterfaceConfiguration(m_interface.toString()));
        } else if (verb == QLatin1String("stop")) {
            m_manager->stop();
        } else if (verb == QLatin1String("status")) {
            report(m_manager->isConnected() ? "STATUS connected" : "STATUS disconnected");
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
