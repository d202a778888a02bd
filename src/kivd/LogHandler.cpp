#include "LogHandler.h"

#include <cstdio>
#include <ctime>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

namespace KivLog {

int debugLevel = 0;

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return "DEBUG";
    case QtInfoMsg: return "INFO";
    case QtWarningMsg: return "WARN";
    case QtCriticalMsg: return "ERROR";
    case QtFatalMsg: return "FATAL";
    }
    return "UNKNOWN";
}

QByteArray formatLine(QtMsgType type, const QString &text, long epochSeconds, long microseconds,
                      int pid, unsigned long tid)
{
    const time_t seconds = epochSeconds;
    struct tm local;
    localtime_r(&seconds, &local);
    char head[96];
    const int length = snprintf(head, sizeof head, "%04d%02d%02d %02d:%02d:%02d.%03ld [%d.%lu] %s ",
                                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                local.tm_hour, local.tm_min, local.tm_sec, microseconds / 1000,
                                pid, tid, levelName(type));
    QByteArray line(head, qBound(0, length, int(sizeof head) - 1));
    line += text.toUtf8();
    line += '\n';
    return line;
}

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    const QByteArray line = formatLine(type, text, now.tv_sec, now.tv_usec, getpid(),
                                       static_cast<unsigned long>(syscall(SYS_gettid)));
    fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    fflush(stdout);
    if (type == QtFatalMsg)
        abort();
}

void install()
{
    qInstallMessageHandler(messageHandler);
}

void setLevelFromProperty(int value)
{
    if (static_cast<unsigned int>(value) > 1u) {
        KIV_LOG_PREFIX(qWarning()) << "LogLevel: " << value
                                   << " greater than maximum log level, capping at maximum log level!";
        debugLevel = 2;
    } else {
        debugLevel = value;
    }
}

void fatal(const char *file, int line, const QString &text)
{
    qFatal("%s:%d %s", file, line, qUtf8Printable(text));
    abort();
}

} // namespace KivLog
