#include "ControlInterface.h"

#include "LogHandler.h"
#include "com_tarvel_kiv_adaptor.h"

#include <QDBusConnection>

namespace ControlInterface {

const QString ServiceName = QStringLiteral("com.tarvel.kiv");
const QString ObjectPath = QStringLiteral("/com/tarvel/kiv");

com_tarvel_kiv *registerOnSystemBus(QObject *owner, const QString &objectPath, const QString &serviceName)
{
    kivDebug() << "Creating DBus interface...";
    auto *adaptor = new com_tarvel_kiv(owner);
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject(objectPath, owner, QDBusConnection::ExportAdaptors)) {
        kivCritical() << "There is already a dbus object at" << objectPath << ", exiting!";
        kivAbort();
    }
    if (!bus.registerService(serviceName)) {
        kivCritical() << "There is already a dbus service at" << serviceName << ", exiting!";
        kivAbort();
    }
    return adaptor;
}

int logLevel()
{
    kivDebug() << "GET: LogLevel: " << KivLog::debugLevel;
    return KivLog::debugLevel;
}

void setLogLevel(int value)
{
    kivInfo() << "SET: LogLevel: " << value;
    KivLog::setLevelFromProperty(value);
}

} // namespace ControlInterface
