// Child process for the runtime tests: logs, aborts or crashes on request with the real handlers.
#include "KivCommon.h"
#include "LogHandler.h"
#include "TavuStacktrace.h"

#include <QCoreApplication>
#include <QObject>
#include <QThread>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>

namespace {

void logEveryLevel(int debugLevel)
{
    KivLog::debugLevel = debugLevel;
    kivDebug() << "debug text " << 1;
    kivInfo() << "info text " << 2;
    kivWarning() << "warning text " << 3;
    kivCritical() << "critical text " << 4;
    QThread *worker = QThread::create([] { kivInfo() << "worker text"; });
    worker->start();
    worker->wait();
    delete worker;
}

} // namespace

// Exported, so that the backtrace names them.
volatile int sideEffect = 0;

// Writes to a page mapped without access (a null pointer would be caught by the sanitizer first).
__attribute__((noinline)) void crashBySegmentationFault()
{
    void *page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int *>(page) = 1;
}

__attribute__((noinline)) int crashByStackOverflow(int depth)
{
    if (depth > 100000000)
        return 0;
    volatile char frame[1024];
    frame[0] = static_cast<char>(depth);
    sideEffect = crashByStackOverflow(depth + 1) + frame[0];
    return sideEffect;
}

// Called through a pointer and followed by a store, so that the call stays a call inside this function.
void (*volatile abortFunction)() = abort;

__attribute__((noinline)) void crashByAbort()
{
    abortFunction();
    sideEffect = 0;
}

__attribute__((noinline)) void crashBySignal(int signal)
{
    raise(signal);
    sideEffect = 0;
}

__attribute__((noinline)) int crashOnRequest(const char *kind)
{
    tavuStacktrace::install();
    kivInfo() << "about to crash: " << kind;
    if (!strcmp(kind, "segv"))
        crashBySegmentationFault();
    else if (!strcmp(kind, "overflow"))
        return crashByStackOverflow(0);
    else if (!strcmp(kind, "abort"))
        crashByAbort();
    else if (!strcmp(kind, "fpe"))
        crashBySignal(SIGFPE);
    else if (!strcmp(kind, "ill"))
        crashBySignal(SIGILL);
    else if (!strcmp(kind, "bus"))
        crashBySignal(SIGBUS);
    return 3;
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    KivLog::install();
    const QByteArray mode = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    const char *parameter = argc > 2 ? argv[2] : "";

    if (mode == "levels") {
        logEveryLevel(atoi(parameter));
    } else if (mode == "fatal") {
        kivCritical() << "probe failure";
        kivAbort();
    } else if (mode == "connect-missing") {
        QObject object;
        KivCommon::connect(&object, SIGNAL(noSuchSignal()), &object, SLOT(deleteLater()));
    } else if (mode == "disconnect-missing") {
        QObject object;
        KivCommon::disconnect(&object, SIGNAL(destroyed()), &object, SLOT(deleteLater()));
    } else if (mode == "crash") {
        return crashOnRequest(parameter);
    } else {
        fprintf(stderr, "usage: runtime_probe levels N | fatal | connect-missing | disconnect-missing | crash KIND\n");
        return 2;
    }
    kivInfo() << "probe finished";
    return 0;
}
