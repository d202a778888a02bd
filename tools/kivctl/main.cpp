// kivctl: command-line client of kivd's com.tarvel.kiv interface on the system bus.
#include "KivctlClient.h"
#include "KivctlCommand.h"
#include "KivctlFormat.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QTextStream>
#include <QThread>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    QTextStream err(stderr);
    // SSIDs are UTF-8 whatever the locale says.
    out.setCodec("UTF-8");
    err.setCodec("UTF-8");

    const Kivctl::Parsed parsed = Kivctl::parse(QCoreApplication::arguments().mid(1));
    if (!parsed.ok()) {
        err << "kivctl: " << parsed.error << '\n';
        return Kivctl::UsageError;
    }
    if (parsed.command.action == Kivctl::Action::Help) {
        out << Kivctl::helpText(parsed.command.topic);
        return Kivctl::Success;
    }

    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        err << "kivctl: cannot reach the system bus: " << bus.lastError().message() << '\n';
        return Kivctl::Failed;
    }
    const int status = KivctlClient(bus, out, err).run(parsed.command);
    // The bus thread may still be releasing the last reply: let it finish before the process ends.
    QObject *busThreadObject = bus.interface();
    if (busThreadObject->thread() != QThread::currentThread())
        QMetaObject::invokeMethod(busThreadObject, [] {}, Qt::BlockingQueuedConnection);
    return status;
}
