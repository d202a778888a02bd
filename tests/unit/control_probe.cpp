// Child process for the control interface tests: registers on the system bus with the real log
// handler, after taking the object path itself when asked to.
#include "ControlInterface.h"
#include "LogHandler.h"

#include <QCoreApplication>
#include <QDBusConnection>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    KivLog::install();
    KivLog::debugLevel = 1;
    QObject earlier, owner;
    if (app.arguments().value(1) == QLatin1String("object-taken"))
        QDBusConnection::systemBus().registerObject(ControlInterface::ObjectPath, &earlier);
    ControlInterface::registerOnSystemBus(&owner, ControlInterface::ObjectPath, ControlInterface::ServiceName);
    return 0;
}
