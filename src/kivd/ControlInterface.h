#pragma once

#include <QString>

class QObject;
class com_tarvel_kiv;

// The daemon's control object on the system bus, shared by the manager and the monitor: both
// expose the same members, and the generated adaptor forwards to them by name.
namespace ControlInterface {

extern const QString ServiceName;
extern const QString ObjectPath;

// Gives owner its bus adaptor, registers owner at objectPath and takes serviceName on the system
// bus. Either failure logs a critical line and ends the process through the fatal path.
com_tarvel_kiv *registerOnSystemBus(QObject *owner, const QString &objectPath, const QString &serviceName);

// The LogLevel property as both top-level objects serve it: the read logs at debug level, the
// write logs the value and caps anything above 1 at 2.
int logLevel();
void setLogLevel(int value);

} // namespace ControlInterface
