#include "KivdOptions.h"

#include "LogHandler.h"

KivdOptions KivdOptions::parse(const QStringList &arguments)
{
    KivdOptions options;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--wired") || argument == QLatin1String("--wireless")
            || argument == QLatin1String("--softap")) {
            if (i + 1 >= arguments.size()) {
                kivCritical() << QStringLiteral("Missing value for argument '%1'").arg(argument);
                options.outcome = Outcome::MissingValue;
                return options;
            }
            const QString &value = arguments.at(++i);
            if (argument == QLatin1String("--wired"))
                options.wired = value;
            else if (argument == QLatin1String("--wireless"))
                options.wireless = value;
            else
                options.softaps = value.split(QLatin1Char(','));
        } else if (argument == QLatin1String("-d")) {
            options.debug = true;
        } else if (argument == QLatin1String("-m")) {
            options.monitor = true;
        } else if (argument == QLatin1String("-h") || argument == QLatin1String("--help")) {
            options.outcome = Outcome::ShowHelp;
            return options;
        } else {
            kivCritical() << QStringLiteral("Unknown argument '%1'").arg(argument);
        }
    }
    return options;
}

int KivdOptions::exitStatus() const
{
    switch (outcome) {
    case Outcome::Run: return 0;
    case Outcome::ShowHelp: return 1;
    case Outcome::MissingValue: return -1;
    }
    return 0;
}

QStringList KivdOptions::interfaces() const
{
    return QStringList{wired, wireless} + softaps;
}

namespace Kivd {

QString helpText()
{
    return QStringLiteral("kivd arguments:\n"
                          "\t-d\tIncrease debug level\n"
                          "\t-m\tMonitor mode (Don't change anything)\n"
                          "\t--wired-interface - default wired interface: eth0\n"
                          "\t--wireless interface - default wireless interface: wlan0"
                          "\t--softap interfaces (separated by comma) - default sofap interface: uap0\n");
}

QVector<KivdCommand> cleanupCommands(const KivdOptions &options)
{
    QVector<KivdCommand> commands;
    commands.append({QStringLiteral("killall"),
                     {QStringLiteral("wpa_supplicant"), QStringLiteral("udhcpd"), QStringLiteral("udhcpc"),
                      QStringLiteral("hostapd"), QStringLiteral("dnsd")}});
    const QString ip = QStringLiteral("ip");
    for (const QString &name : options.interfaces()) {
        commands.append({ip, {QStringLiteral("link"), QStringLiteral("set"), QStringLiteral("dev"), name,
                              QStringLiteral("down")}});
        commands.append({ip, {QStringLiteral("-4"), QStringLiteral("addr"), QStringLiteral("flush"),
                              QStringLiteral("dev"), name}});
        commands.append({ip, {QStringLiteral("-6"), QStringLiteral("addr"), QStringLiteral("flush"),
                              QStringLiteral("dev"), name, QStringLiteral("scope"), QStringLiteral("global")}});
    }
    return commands;
}

} // namespace Kivd
