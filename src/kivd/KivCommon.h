#pragma once

class QObject;

// Verified signal wiring: a connection that cannot be made (or removed) is a programming
// error and ends the process through the fatal log path.
namespace KivCommon {

bool connect(const QObject *sender, const char *signal, const QObject *receiver, const char *method);
bool disconnect(const QObject *sender, const char *signal, const QObject *receiver, const char *method);

} // namespace KivCommon
