#include "KivProcess.h"
#include "KivdOptions.h"
#include "LogHandler.h"
#include "NetworkManager.h"
#include "NetworkMonitor.h"
#include "TavuStacktrace.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstdlib>

namespace {

void printHelp()
{
    const QByteArray text = Kivd::helpText().toUtf8();
    fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    fflush(stdout);
}

// Kills what an earlier run left behind and takes every known interface down, one command at a time.
void cleanUp(const KivdOptions &options)
{
    for (const KivdCommand &command : Kivd::cleanupCommands(options))
        KivProcess::execute(command.program, command.arguments);
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own event dispatcher: the GLib main context costs about 40 kB of dirty memory for nothing.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    tavuStacktrace::install();
    KivLog::install();

    kivInfo() << "kivd version: " << KIVD_VERSION;
    kivInfo() << "Network connection daemon for wired, wireless and soft access-point interfaces";

    KivLog::debugLevel = 0;
    setenv("PATH", "/sbin:/bin:/usr/sbin:/usr/bin", 0);

    const KivdOptions options = KivdOptions::parse(app.arguments().mid(1));
    if (options.outcome == KivdOptions::Outcome::ShowHelp)
        printHelp();
    if (options.outcome != KivdOptions::Outcome::Run)
        return options.exitStatus();
    if (options.debug)
        KivLog::debugLevel = 1;

    QObject *topLevel = nullptr;
    if (options.monitor) {
        topLevel = new NetworkMonitor(options.wired, options.wireless, options.softaps);
    } else {
        cleanUp(options);
        topLevel = new NetworkManager(options.wired, options.wireless, options.softaps);
    }
    kivInfo() << "Finished setting up, starting main loop...";
    app.exec();
    delete topLevel;
    return 0;
}
