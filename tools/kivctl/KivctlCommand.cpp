#include "KivctlCommand.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAddressEntry>
#include <QRegularExpression>

namespace Kivctl {

namespace {

const QString WpaPsk = QStringLiteral("wpa_psk");
const QString WepKey = QStringLiteral("wep_key");
const QString Unsecured = QStringLiteral("unsecured");
const QString Priority = QStringLiteral("priority");

struct HelpEntry
{
    const char *name;
    const char *summary;
    const char *text;
};

const HelpEntry Help[] = {
    {"status", "mode, connection and the interfaces",
     "Usage: kivctl status [--json]\n"
     "Prints the mode, whether kivd is connected, the log level, the configured networks, the\n"
     "soft access point and one line per interface (link, connection, cable, addresses, network).\n"
     "--json prints all properties of kivd, with network keys hidden.\n"},
    {"mode", "print or set the mode",
     "Usage: kivctl mode [off|wired|wireless|automatic|hybrid]\n"
     "Without a word prints the current mode. \"off\" turns every interface off (SetOffMode); the\n"
     "other words select that normal mode (SetNormalMode). The change happens after kivd replied;\n"
     "follow it with \"kivctl monitor\" or \"kivctl status\".\n"},
    {"details", "everything kivd reports about one interface",
     "Usage: kivctl details IFACE [--json]\n"
     "Prints kivd's InterfaceDetails of IFACE (for example eth0, wlan0 or uap0). Fails when kivd\n"
     "does not know the interface.\n"},
    {"scan", "scan for wireless networks",
     "Usage: kivctl scan [--timeout S] [--json]\n"
     "Starts a wireless scan and waits for its results (30 s unless --timeout is given), then\n"
     "prints one line per network, strongest first: SSID, security, signal, channel.\n"
     "kivd scans only in a mode that uses the wireless interface.\n"},
    {"networks", "the configured wireless networks",
     "Usage: kivctl networks list [--json]\n"
     "       kivctl networks set NETWORK... [--file FILE]\n"
     "       kivctl networks add NETWORK... [--file FILE]\n"
     "       kivctl networks remove SSID...\n"
     "NETWORK is an SSID followed by one of wpa_psk=KEY, wep_key=KEY or unsecured, and optionally\n"
     "priority=N; write ssid=NAME for an SSID that looks like one of these words. \"set\" replaces\n"
     "the whole list, \"add\" adds to (or replaces in) the list kivd holds, \"remove\" drops\n"
     "networks from it. FILE holds a JSON object: {\"Home\": {\"wpa_psk\": \"secret12\", \"priority\": 2},\n"
     "\"Cafe\": {\"unsecured\": true}}. Keys are never printed.\n"},
    {"ip", "IP settings of the wired or wireless interface",
     "Usage: kivctl ip [wired|wireless] [--json]\n"
     "       kivctl ip wired|wireless dhcp\n"
     "       kivctl ip wired|wireless static ADDR/PREFIX [gw GATEWAY] [dns \"A B\"] [search \"D1 D2\"]\n"
     "Without a setting prints the stored IP settings. \"dhcp\" obtains the address by DHCP;\n"
     "\"static\" sets address, gateway, name servers and search domains (lists separated by blanks\n"
     "or commas).\n"},
    {"wps", "WPS push-button or PIN session",
     "Usage: kivctl wps pbc [--timeout S] [--json]\n"
     "       kivctl wps pin PIN [--timeout S] [--json]\n"
     "Starts a WPS session on the wireless interface and waits (240 s unless --timeout is given)\n"
     "for the credentials it delivers or for its error. The credentials' key is not printed.\n"},
    {"softap", "the soft access point",
     "Usage: kivctl softap start IFACE [KEY=VALUE...]\n"
     "       kivctl softap stop IFACE\n"
     "       kivctl softap settings [--json]\n"
     "KEY is one of ssid, bssid, apAddress, apNetmask, dhcpRangeFrom, dhcpRangeTo, countryCode,\n"
     "channel, vendorSpecificData, domainName; kivd gives a missing key its default (address\n"
     "192.168.200.1/255.255.255.0, DHCP range .10-.210, channel 11).\n"},
    {"loglevel", "print or set kivd's debug level",
     "Usage: kivctl loglevel [N] [--json]\n"
     "Prints the debug level, or sets it to N and prints the level kivd keeps (it caps at 2).\n"},
    {"monitor", "print kivd's bus signals as they come",
     "Usage: kivctl monitor [SIGNAL...] [--count N] [--timeout S] [--json]\n"
     "Prints every signal of kivd (or only the SIGNALs named) with a timestamp until interrupted,\n"
     "after N signals, or after S seconds. With --count, reaching the timeout first is a failure.\n"
     "--json prints one JSON object per line. Signals: Started, Connected, Disconnected,\n"
     "Disconnecting, Error, AuthError, CableStatus, WpsCredentials, WpsError, ScanResults,\n"
     "AddressesChanged, InterfaceStatusChanged, StationConnected, StationDisconnected.\n"},
    {"reconnect", "reconnect the wireless interface",
     "Usage: kivctl reconnect\n"
     "Makes kivd reconnect the wireless interface with the configured networks.\n"},
    {"help", "this text, or the help of one command",
     "Usage: kivctl help [COMMAND]\n"},
};

const char Overview[] =
    "Usage: kivctl [--json] [--timeout S] COMMAND [ARGUMENTS]\n"
    "Controls kivd, the network-connection daemon, over the system bus (com.tarvel.kiv).\n"
    "\n"
    "Commands:\n"
    "%1"
    "\n"
    "Options:\n"
    "  --json         machine-readable output\n"
    "  --timeout S    give up after S seconds\n"
    "  -h, --help     help; \"kivctl COMMAND --help\" for one command\n"
    "\n"
    "Exit status: 0 success, 1 kivd or the bus reported a failure, 2 bad command line,\n"
    "124 timeout.\n";

const HelpEntry *helpEntry(const QString &name)
{
    for (const HelpEntry &entry : Help) {
        if (name == QLatin1String(entry.name))
            return &entry;
    }
    return nullptr;
}

bool isHex(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]+$"));
    return hex.match(text).hasMatch();
}

bool parseInt(const QString &text, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok;
}

bool parseSeconds(const QString &text, int *milliseconds)
{
    bool ok = false;
    const double seconds = text.toDouble(&ok);
    if (!ok || !(seconds > 0) || seconds > 86400)
        return false;
    *milliseconds = qMax(1, qRound(seconds * 1000));
    return true;
}

QString checkSsid(const QString &ssid)
{
    const int bytes = ssid.toUtf8().size();
    if (bytes == 0)
        return QStringLiteral("an SSID must not be empty");
    if (bytes > 32)
        return QStringLiteral("SSID '%1' is longer than 32 bytes").arg(ssid);
    return QString();
}

// One network's credentials: exactly one kind of security, a key of a usable length.
QString checkNetwork(const QString &ssid, const QVariantMap &credentials)
{
    const QString ssidError = checkSsid(ssid);
    if (!ssidError.isEmpty())
        return ssidError;
    const int kinds = int(credentials.contains(WpaPsk)) + int(credentials.contains(WepKey)) +
                      int(credentials.value(Unsecured).toBool());
    if (kinds == 0)
        return QStringLiteral("network '%1' needs wpa_psk=KEY, wep_key=KEY or unsecured").arg(ssid);
    if (kinds > 1)
        return QStringLiteral("network '%1' has more than one of wpa_psk, wep_key and unsecured").arg(ssid);
    if (credentials.contains(WpaPsk)) {
        const QString key = credentials.value(WpaPsk).toString();
        static const QRegularExpression printable(QStringLiteral("^[\\x20-\\x7e]{8,63}$"));
        if (!printable.match(key).hasMatch() && !(key.size() == 64 && isHex(key)))
            return QStringLiteral("the WPA key of '%1' must be 8 to 63 printable characters or 64 hex digits").arg(ssid);
    }
    if (credentials.contains(WepKey)) {
        const QString key = credentials.value(WepKey).toString();
        if (key.size() != 5 && key.size() != 13 && !((key.size() == 10 || key.size() == 26) && isHex(key)))
            return QStringLiteral("the WEP key of '%1' must be 5 or 13 characters or 10 or 26 hex digits").arg(ssid);
    }
    if (credentials.contains(Priority) && credentials.value(Priority).toInt() < 0)
        return QStringLiteral("the priority of '%1' must not be negative").arg(ssid);
    return QString();
}

// "SSID wpa_psk=KEY priority=2 Other unsecured": a word that is no credential starts a network.
QString networksFromWords(const QStringList &words, QVariantMap *networks)
{
    QString ssid;
    QVariantMap credentials;
    QStringList order;
    auto finish = [&]() -> QString {
        if (ssid.isNull())
            return QString();
        if (networks->contains(ssid))
            return QStringLiteral("network '%1' is given twice").arg(ssid);
        const QString error = checkNetwork(ssid, credentials);
        if (error.isEmpty())
            networks->insert(ssid, credentials);
        return error;
    };
    for (const QString &word : words) {
        const int equals = word.indexOf(QLatin1Char('='));
        const QString name = equals < 0 ? word : word.left(equals);
        const QString value = word.mid(equals + 1);
        const bool credential = word == Unsecured || (equals > 0 && (name == WpaPsk || name == WepKey || name == Priority));
        if (!credential) {
            const QString error = finish();
            if (!error.isEmpty())
                return error;
            ssid = name == QLatin1String("ssid") && equals > 0 ? value : word;
            credentials.clear();
            continue;
        }
        if (ssid.isNull())
            return QStringLiteral("'%1' comes before any SSID").arg(name);
        if (credentials.contains(name))
            return QStringLiteral("'%1' is given twice for network '%2'").arg(name, ssid);
        if (word == Unsecured) {
            credentials.insert(Unsecured, true);
        } else if (name == Priority) {
            int priority = 0;
            if (!parseInt(value, &priority))
                return QStringLiteral("priority '%1' of network '%2' is not a number").arg(value, ssid);
            credentials.insert(Priority, priority);
        } else {
            credentials.insert(name, value);
        }
    }
    return finish();
}

QString splitList(const QString &text, QStringList *items)
{
    *items = text.split(QRegularExpression(QStringLiteral("[\\s,]+")), Qt::SkipEmptyParts);
    return items->join(QLatin1Char(' '));
}

QString ipSettingsFromWords(const QStringList &words, QVariantMap *settings)
{
    const QString cidr = words.value(0);
    const int slash = cidr.indexOf(QLatin1Char('/'));
    QHostAddress address;
    int prefix = 0;
    if (slash < 0 || !address.setAddress(cidr.left(slash)) || !parseInt(cidr.mid(slash + 1), &prefix))
        return QStringLiteral("'%1' is no address of the form ADDR/PREFIX").arg(cidr);
    const bool ipv4 = address.protocol() == QAbstractSocket::IPv4Protocol;
    if (prefix < 1 || prefix > (ipv4 ? 32 : 128))
        return QStringLiteral("prefix length %1 is out of range").arg(prefix);
    QNetworkAddressEntry entry;
    entry.setIp(address);
    entry.setPrefixLength(prefix);

    QString gateway;
    QString dns;
    QString search;
    for (int i = 1; i < words.size(); i += 2) {
        const QString &keyword = words.at(i);
        if (i + 1 >= words.size())
            return QStringLiteral("'%1' needs a value").arg(keyword);
        const QString &value = words.at(i + 1);
        QStringList items;
        if (keyword == QLatin1String("gw") || keyword == QLatin1String("gateway")) {
            const QHostAddress parsed(value);
            if (parsed.isNull() || parsed.protocol() != address.protocol())
                return QStringLiteral("gateway '%1' is no address of the same family as %2").arg(value, address.toString());
            gateway = parsed.toString();
        } else if (keyword == QLatin1String("dns")) {
            dns = splitList(value, &items);
            for (const QString &server : qAsConst(items)) {
                if (QHostAddress(server).isNull())
                    return QStringLiteral("name server '%1' is no address").arg(server);
            }
        } else if (keyword == QLatin1String("search")) {
            search = splitList(value, &items);
        } else {
            return QStringLiteral("unknown IP setting '%1' (gw, dns or search)").arg(keyword);
        }
    }
    settings->insert(QStringLiteral("Ip"), address.toString());
    settings->insert(QStringLiteral("Netmask"), entry.netmask().toString());
    if (!gateway.isEmpty())
        settings->insert(QStringLiteral("Gateway"), gateway);
    settings->insert(QStringLiteral("Dns"), dns);
    settings->insert(QStringLiteral("SearchDomains"), search);
    return QString();
}

QString softApSettingsFromWords(const QStringList &words, QVariantMap *settings)
{
    static const QStringList addresses{"apAddress", "apNetmask", "dhcpRangeFrom", "dhcpRangeTo"};
    static const QStringList texts{"domainName"};
    static const QRegularExpression mac(QStringLiteral("^[0-9a-fA-F]{2}(:[0-9a-fA-F]{2}){5}$"));
    static const QRegularExpression country(QStringLiteral("^[A-Z]{2}$"));
    for (const QString &word : words) {
        const int equals = word.indexOf(QLatin1Char('='));
        const QString key = word.left(equals);
        const QString value = word.mid(equals + 1);
        if (equals <= 0)
            return QStringLiteral("'%1' is no KEY=VALUE setting").arg(word);
        if (settings->contains(key))
            return QStringLiteral("soft-AP setting '%1' is given twice").arg(key);
        QString error;
        QVariant converted = value;
        if (key == QLatin1String("ssid")) {
            error = checkSsid(value);
        } else if (key == QLatin1String("bssid")) {
            if (!mac.match(value).hasMatch())
                error = QStringLiteral("bssid '%1' is no hardware address").arg(value);
        } else if (addresses.contains(key)) {
            if (QHostAddress(value).protocol() != QAbstractSocket::IPv4Protocol)
                error = QStringLiteral("%1 '%2' is no IPv4 address").arg(key, value);
        } else if (key == QLatin1String("countryCode")) {
            if (!country.match(value).hasMatch())
                error = QStringLiteral("countryCode '%1' is not two capital letters").arg(value);
        } else if (key == QLatin1String("channel")) {
            int channel = 0;
            if (!parseInt(value, &channel) || channel < 1 || channel > 196)
                error = QStringLiteral("channel '%1' is not a channel number").arg(value);
            converted = channel;
        } else if (key == QLatin1String("vendorSpecificData")) {
            if (!value.isEmpty() && (!isHex(value) || value.size() % 2))
                error = QStringLiteral("vendorSpecificData must be hex bytes");
        } else if (!texts.contains(key)) {
            error = QStringLiteral("unknown soft-AP setting '%1'; see 'kivctl softap --help'").arg(key);
        }
        if (!error.isEmpty())
            return error;
        settings->insert(key, converted);
    }
    return QString();
}

// Options anywhere before "--"; everything else is a word of the command.
struct Words
{
    QStringList positional;
    bool json = false;
    bool help = false;
    QString timeout;
    QString count;
    QString file;
    QString error;
};

Words split(const QStringList &arguments)
{
    Words words;
    static const QRegularExpression number(QStringLiteral("^-\\d+$"));
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (optionsEnded || !argument.startsWith(QLatin1Char('-')) || number.match(argument).hasMatch()) {
            words.positional << argument;
            continue;
        }
        const int equals = argument.indexOf(QLatin1Char('='));
        const QString option = equals < 0 ? argument : argument.left(equals);
        QString *target = option == QLatin1String("--timeout") ? &words.timeout
                          : option == QLatin1String("--count") ? &words.count
                          : option == QLatin1String("--file")  ? &words.file
                                                               : nullptr;
        if (argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (argument == QLatin1String("--json")) {
            words.json = true;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            words.help = true;
        } else if (target && equals > 0) {
            *target = argument.mid(equals + 1);
        } else if (target && i + 1 < arguments.size()) {
            *target = arguments.at(++i);
        } else if (target) {
            words.error = QStringLiteral("option '%1' needs a value").arg(option);
        } else {
            words.error = QStringLiteral("unknown option '%1'").arg(argument);
        }
        if (!words.error.isEmpty())
            break;
    }
    return words;
}

QString expectCount(const QString &command, const QStringList &words, int least, int most)
{
    if (words.size() < least)
        return QStringLiteral("'%1' needs more arguments").arg(command);
    if (words.size() > most)
        return QStringLiteral("too many arguments for '%1'").arg(command);
    return QString();
}

// Fills the command from its words (the command word removed); returns the error text.
QString parseWords(const QString &name, const QStringList &words, Command &command)
{
    const QString first = words.value(0);
    if (name == QLatin1String("status") || name == QLatin1String("reconnect")) {
        command.action = name == QLatin1String("status") ? Action::Status : Action::Reconnect;
        return expectCount(name, words, 0, 0);
    }
    if (name == QLatin1String("mode")) {
        static const QStringList modes{"off", "wired", "wireless", "automatic", "hybrid"};
        command.action = words.isEmpty() ? Action::GetMode : Action::SetMode;
        command.argument = first;
        if (!words.isEmpty() && !modes.contains(first))
            return QStringLiteral("unknown mode '%1' (off, wired, wireless, automatic or hybrid)").arg(first);
        return expectCount(name, words, 0, 1);
    }
    if (name == QLatin1String("details")) {
        command.action = Action::Details;
        command.argument = first;
        return expectCount(name, words, 1, 1);
    }
    if (name == QLatin1String("scan")) {
        command.action = Action::Scan;
        return expectCount(name, words, 0, 0);
    }
    if (name == QLatin1String("networks")) {
        const QStringList rest = words.mid(1);
        if (first == QLatin1String("list")) {
            command.action = Action::ListNetworks;
            return expectCount(QStringLiteral("networks list"), rest, 0, 0);
        }
        if (first == QLatin1String("remove")) {
            command.action = Action::RemoveNetworks;
            command.names = rest;
            return expectCount(QStringLiteral("networks remove"), rest, 1, INT_MAX);
        }
        if (first != QLatin1String("set") && first != QLatin1String("add"))
            return QStringLiteral("'networks' needs list, set, add or remove");
        command.action = first == QLatin1String("set") ? Action::SetNetworks : Action::AddNetworks;
        if (rest.isEmpty() && command.file.isEmpty())
            return QStringLiteral("'networks %1' needs networks or --file").arg(first);
        return networksFromWords(rest, &command.map);
    }
    if (name == QLatin1String("ip")) {
        static const QStringList sides{"wired", "wireless"};
        if (!words.isEmpty() && !sides.contains(first))
            return QStringLiteral("'ip' needs wired or wireless, not '%1'").arg(first);
        const QStringList properties{QStringLiteral("WiredIpSettings"), QStringLiteral("WirelessIpSettings")};
        command.property = properties.value(sides.indexOf(first));
        if (words.size() <= 1) {
            command.action = Action::ShowIp;
            command.names = words.isEmpty() ? properties : QStringList{command.property};
            return QString();
        }
        command.action = Action::SetIp;
        const QString method = words.at(1);
        if (method == QLatin1String("dhcp"))
            return expectCount(QStringLiteral("ip %1 dhcp").arg(first), words, 2, 2);
        if (method != QLatin1String("static"))
            return QStringLiteral("'ip %1' needs dhcp or static, not '%2'").arg(first, method);
        if (words.size() < 3)
            return QStringLiteral("'ip %1 static' needs ADDR/PREFIX").arg(first);
        return ipSettingsFromWords(words.mid(2), &command.map);
    }
    if (name == QLatin1String("wps")) {
        static const QRegularExpression pin(QStringLiteral("^(\\d{4}|\\d{8})$"));
        if (first == QLatin1String("pbc")) {
            command.action = Action::WpsPbc;
            return expectCount(QStringLiteral("wps pbc"), words, 1, 1);
        }
        if (first != QLatin1String("pin"))
            return QStringLiteral("'wps' needs pbc or pin PIN");
        command.action = Action::WpsPin;
        command.argument = words.value(1);
        if (words.size() == 2 && !pin.match(command.argument).hasMatch())
            return QStringLiteral("a WPS PIN has 4 or 8 digits");
        return expectCount(QStringLiteral("wps pin"), words, 2, 2);
    }
    if (name == QLatin1String("softap")) {
        command.argument = words.value(1);
        if (first == QLatin1String("settings")) {
            command.action = Action::SoftApSettings;
            return expectCount(QStringLiteral("softap settings"), words, 1, 1);
        }
        if (first == QLatin1String("stop")) {
            command.action = Action::StopSoftAp;
            return expectCount(QStringLiteral("softap stop"), words, 2, 2);
        }
        if (first != QLatin1String("start"))
            return QStringLiteral("'softap' needs start, stop or settings");
        command.action = Action::StartSoftAp;
        if (words.size() < 2)
            return QStringLiteral("'softap start' needs an interface");
        return softApSettingsFromWords(words.mid(2), &command.map);
    }
    if (name == QLatin1String("loglevel")) {
        command.action = words.isEmpty() ? Action::GetLogLevel : Action::SetLogLevel;
        if (!words.isEmpty() && !parseInt(first, &command.logLevel))
            return QStringLiteral("log level '%1' is not a number").arg(first);
        return expectCount(name, words, 0, 1);
    }
    if (name == QLatin1String("monitor")) {
        command.action = Action::Monitor;
        command.signalNames = words;
        for (const QString &signal : words) {
            if (!signalNames().contains(signal))
                return QStringLiteral("unknown signal '%1'; see 'kivctl monitor --help'").arg(signal);
        }
        return QString();
    }
    return QStringLiteral("unknown command '%1'; see 'kivctl --help'").arg(name);
}

} // namespace

const QStringList &signalNames()
{
    static const QStringList names{"Started",       "Connected",      "Disconnected",     "Disconnecting",
                                   "Error",         "AuthError",      "CableStatus",      "WpsCredentials",
                                   "WpsError",      "ScanResults",    "AddressesChanged", "InterfaceStatusChanged",
                                   "StationConnected", "StationDisconnected"};
    return names;
}

Parsed parse(const QStringList &arguments)
{
    Parsed parsed;
    Command &command = parsed.command;
    const Words words = split(arguments);
    if (!words.error.isEmpty()) {
        parsed.error = words.error;
        return parsed;
    }
    command.json = words.json;
    command.file = words.file;
    const QString name = words.positional.value(0);
    if (words.help || name.isEmpty() || name == QLatin1String("help")) {
        command.topic = name == QLatin1String("help") ? words.positional.value(1) : name;
        if (!command.topic.isEmpty() && !helpEntry(command.topic))
            parsed.error = QStringLiteral("unknown command '%1'; see 'kivctl --help'").arg(command.topic);
        return parsed;
    }
    parsed.error = parseWords(name, words.positional.mid(1), command);
    if (!parsed.error.isEmpty())
        return parsed;

    if (!words.timeout.isNull() && !parseSeconds(words.timeout, &command.timeoutMs))
        parsed.error = QStringLiteral("--timeout needs a positive number of seconds, not '%1'").arg(words.timeout);
    else if (!words.count.isNull() && command.action != Action::Monitor)
        parsed.error = QStringLiteral("--count applies to 'monitor' only");
    else if (!words.count.isNull() && (!parseInt(words.count, &command.count) || command.count < 1))
        parsed.error = QStringLiteral("--count needs a positive number, not '%1'").arg(words.count);
    else if (!words.file.isNull() && command.action != Action::SetNetworks && command.action != Action::AddNetworks)
        parsed.error = QStringLiteral("--file applies to 'networks set' and 'networks add' only");
    return parsed;
}

QString helpText(const QString &topic)
{
    if (const HelpEntry *entry = helpEntry(topic))
        return QString::fromUtf8(entry->text);
    QString commands;
    for (const HelpEntry &entry : Help)
        commands += QStringLiteral("  %1%2\n").arg(QString::fromLatin1(entry.name), -12).arg(QString::fromUtf8(entry.summary));
    return QString::fromUtf8(Overview).arg(commands);
}

QString networksFromJson(const QByteArray &json, QVariantMap *networks)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (!document.isObject())
        return parseError.error != QJsonParseError::NoError
                   ? QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset)
                   : QStringLiteral("the networks must be one JSON object");
    const QJsonObject object = document.object();
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isObject())
            return QStringLiteral("network '%1' is not a JSON object").arg(it.key());
        const QJsonObject fields = it.value().toObject();
        QVariantMap credentials;
        for (auto field = fields.begin(); field != fields.end(); ++field) {
            const QString &key = field.key();
            const QJsonValue &value = field.value();
            if ((key == WpaPsk || key == WepKey) && value.isString())
                credentials.insert(key, value.toString());
            else if (key == Unsecured && value.isBool())
                credentials.insert(key, value.toBool());
            else if (key == Priority && value.isDouble() && value.toDouble() == value.toInt())
                credentials.insert(key, value.toInt());
            else
                return QStringLiteral("network '%1': '%2' is no known setting of the right type").arg(it.key(), key);
        }
        if (fields.isEmpty())
            credentials.insert(Unsecured, true);
        if (networks->contains(it.key()))
            return QStringLiteral("network '%1' is given twice").arg(it.key());
        const QString error = checkNetwork(it.key(), credentials);
        if (!error.isEmpty())
            return error;
        networks->insert(it.key(), credentials);
    }
    return QString();
}

QVariantMap credentialsFromStored(const QVariantMap &stored)
{
    QVariantMap credentials;
    const QString type = stored.value(QStringLiteral("type")).toString();
    if (type == QLatin1String("wpa-psk"))
        credentials.insert(WpaPsk, stored.value(WpaPsk).toString());
    else if (type == QLatin1String("wep"))
        credentials.insert(WepKey, stored.value(WepKey).toString());
    else
        credentials.insert(Unsecured, true);
    if (stored.contains(Priority))
        credentials.insert(Priority, stored.value(Priority).toInt());
    return credentials;
}

QVariantMap mergeNetworks(const QVariantMap &stored, const QVariantMap &added, const QStringList &removed)
{
    QVariantMap networks = added;
    for (auto it = stored.begin(); it != stored.end(); ++it) {
        if (!added.contains(it.key()) && !removed.contains(it.key()))
            networks.insert(it.key(), credentialsFromStored(it.value().toMap()));
    }
    return networks;
}

} // namespace Kivctl
