#include "KivCommon.h"

#include "LogHandler.h"

#include <QObject>

namespace KivCommon {

bool connect(const QObject *sender, const char *signal, const QObject *receiver, const char *method)
{
    if (!QObject::connect(sender, signal, receiver, method, Qt::AutoConnection)) {
        kivCritical() << "Couldn't connect: " << signal << " -> " << method;
        kivAbort();
    }
    return true;
}

bool disconnect(const QObject *sender, const char *signal, const QObject *receiver, const char *method)
{
    if (!QObject::disconnect(sender, signal, receiver, method)) {
        kivCritical() << "Couldn't disconnect: " << signal << " -> " << method;
        kivAbort();
    }
    return true;
}

} // namespace KivCommon
