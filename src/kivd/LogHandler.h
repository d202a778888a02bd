#pragma once

#include <QDebug>
#include <QString>

// Process-wide logging: one timestamped line per message on standard output.
namespace KivLog {

// Debug messages are composed only while this is above 0 (set by "-d" and the LogLevel property).
extern int debugLevel;

void install();
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &text);

// The level name written in the line for a message type.
const char *levelName(QtMsgType type);

// The complete line (with trailing line feed) for a message at the given moment and ids.
QByteArray formatLine(QtMsgType type, const QString &text, long epochSeconds, long microseconds,
                      int pid, unsigned long tid);

// The LogLevel property setter's rule: values above 1 (including negatives) are capped at 2.
void setLevelFromProperty(int value);

constexpr const char *baseName(const char *path)
{
    const char *base = path;
    for (const char *p = path; *p; ++p) {
        if (*p == '/')
            base = p + 1;
    }
    return base;
}

[[noreturn]] void fatal(const char *file, int line, const QString &text);

} // namespace KivLog

// Stream-style logging with the "file:line " prefix; debug messages are not composed at level 0.
#define KIV_LOG_PREFIX(stream) stream.nospace().noquote() << KivLog::baseName(__FILE__) << ':' << __LINE__ << ' '
// A one-pass loop rather than if/else, so that "if (x) kivDebug() << ...;" has no dangling else.
#define kivDebug() \
    for (bool kivDebugEnabled = KivLog::debugLevel > 0; kivDebugEnabled; kivDebugEnabled = false) \
        KIV_LOG_PREFIX(qDebug())
#define kivInfo() KIV_LOG_PREFIX(qInfo())
#define kivWarning() KIV_LOG_PREFIX(qWarning())
#define kivCritical() KIV_LOG_PREFIX(qCritical())
#define kivFatal(text) KivLog::fatal(KivLog::baseName(__FILE__), __LINE__, text)
// The one fatal line the daemon writes after a critical line that says what failed.
#define kivAbort() kivFatal(QStringLiteral("Aborting program due to fatal error!"))
