#include "KivctlClient.h"

#include "KivCommon.h"
#include "KivctlFormat.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

using namespace Kivctl;

const QString KivctlClient::Service = QStringLiteral("com.tarvel.kiv");
const QString KivctlClient::Path = QStringLiteral("/com/tarvel/kiv");
const QString KivctlClient::Interface = QStringLiteral("com.tarvel.kiv");

namespace {

const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const int ScanTimeoutMs = 30000;
const int WpsTimeoutMs = 240000;

// A received bus value as plain maps, lists and scalars.
QVariant plainValue(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        return plainValue(value.value<QDBusVariant>().variant());
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        switch (argument.currentType()) {
        case QDBusArgument::MapType: {
            QVariantMap map;
            argument.beginMap();
            while (!argument.atEnd()) {
                argument.beginMapEntry();
                const QVariant key = argument.asVariant();
                const QVariant item = argument.asVariant();
                argument.endMapEntry();
                map.insert(plainValue(key).toString(), plainValue(item));
            }
            argument.endMap();
            return map;
        }
        case QDBusArgument::ArrayType: {
            QVariantList list;
            argument.beginArray();
            while (!argument.atEnd())
                list.append(plainValue(argument.asVariant()));
            argument.endArray();
            return list;
        }
        case QDBusArgument::StructureType: {
            QVariantList list;
            argument.beginStructure();
            while (!argument.atEnd())
                list.append(plainValue(argument.asVariant()));
            argument.endStructure();
            return list;
        }
        default:
            return plainValue(argument.asVariant());
        }
    }
    if (value.userType() == QMetaType::QVariantMap) {
        QVariantMap map = value.toMap();
        for (QVariant &item : map)
            item = plainValue(item);
        return map;
    }
    if (value.userType() == QMetaType::QVariantList) {
        QVariantList list = value.toList();
        for (QVariant &item : list)
            item = plainValue(item);
        return list;
    }
    return value;
}

QVariantList plainValues(const QVariantList &values)
{
    QVariantList plain;
    for (const QVariant &value : values)
        plain.append(plainValue(value));
    return plain;
}

} // namespace

KivctlClient::KivctlClient(const QDBusConnection &bus, QTextStream &out, QTextStream &err, QObject *parent)
    : QObject(parent), m_bus(bus), m_out(out), m_err(err)
{
}

int KivctlClient::run(const Command &command)
{
    m_command = command;
    m_callTimeoutMs = command.timeoutMs > 0 ? command.timeoutMs : 25000;
    switch (command.action) {
    case Action::Status:
        return status();
    case Action::GetMode: {
        QVariant mode;
        if (!readProperty(QStringLiteral("Mode"), &mode))
            return m_exitCode;
        if (command.json)
            printJson(QVariantMap{{QStringLiteral("Mode"), mode}});
        else
            print(QStringLiteral("Mode: %1\n").arg(mode.toString()));
        return Success;
    }
    case Action::SetMode:
        if (command.argument == QLatin1String("off"))
            return call(QStringLiteral("SetOffMode")) ? Success : m_exitCode;
        return call(QStringLiteral("SetNormalMode"), {command.argument}) ? Success : m_exitCode;
    case Action::Details:
        return details();
    case Action::Scan:
        return scan();
    case Action::ListNetworks:
    case Action::SetNetworks:
    case Action::AddNetworks:
    case Action::RemoveNetworks:
        return networks();
    case Action::ShowIp:
    case Action::SetIp:
        return ipSettings();
    case Action::WpsPbc:
    case Action::WpsPin:
        return wps();
    case Action::StartSoftAp:
    case Action::StopSoftAp:
    case Action::SoftApSettings:
        return softAp();
    case Action::GetLogLevel:
    case Action::SetLogLevel:
        return logLevel();
    case Action::Monitor:
        return monitor();
    case Action::Reconnect:
        return call(QStringLiteral("ForceWifiReconnect")) ? Success : m_exitCode;
    case Action::Help:
        break;
    }
    print(helpText(command.topic));
    return Success;
}

int KivctlClient::status()
{
    QVariantList results;
    if (!call(QStringLiteral("GetAll"), {Interface}, &results))
        return m_exitCode;
    const QVariantMap properties = results.value(0).toMap();
    if (m_command.json)
        printJson(redacted(properties));
    else
        print(statusText(properties));
    return Success;
}

int KivctlClient::details()
{
    QVariantList results;
    if (!call(QStringLiteral("InterfaceDetails"), {m_command.argument}, &results))
        return m_exitCode;
    const QVariantMap details = results.value(0).toMap();
    if (details.isEmpty() || details.value(QStringLiteral("Present"), 1).toInt() == 0)
        return fail(Failed, QStringLiteral("kivd knows no interface '%1'").arg(m_command.argument));
    if (m_command.json)
        printJson(redacted(details));
    else
        print(fieldLines(details));
    return Success;
}

int KivctlClient::scan()
{
    QVariant mode;
    if (!subscribe({QStringLiteral("ScanResults")}) || !readProperty(QStringLiteral("Mode"), &mode))
        return m_exitCode;
    if (mode.toString() == QLatin1String("OffMode"))
        return fail(Failed, QStringLiteral("kivd is in off mode; scanning needs wireless, automatic or hybrid mode"));
    if (!call(QStringLiteral("Scan")))
        return m_exitCode;
    const int timeoutMs = m_command.timeoutMs > 0 ? m_command.timeoutMs : ScanTimeoutMs;
    QDBusMessage message;
    if (!awaitSignal(timeoutMs, &message))
        return fail(TimedOut, QStringLiteral("no ScanResults from kivd within %1").arg(secondsText(timeoutMs)));
    const QVariantMap results = plainValue(message.arguments().value(0)).toMap();
    if (m_command.json)
        printJson(sortedScanResults(results));
    else
        print(scanTable(results));
    return Success;
}

int KivctlClient::networks()
{
    const QString property = QStringLiteral("WirelessNetworks");
    QVariant stored;
    if (m_command.action != Action::SetNetworks && !readProperty(property, &stored))
        return m_exitCode;
    const QVariantMap storedNetworks = stored.toMap();
    if (m_command.action == Action::ListNetworks) {
        if (m_command.json)
            printJson(networkList(storedNetworks));
        else
            print(storedNetworks.isEmpty() ? QStringLiteral("No networks configured.\n") : networksTable(storedNetworks));
        return Success;
    }

    QVariantMap added = m_command.map;
    if (!m_command.file.isEmpty()) {
        QFile file(m_command.file);
        if (!file.open(QIODevice::ReadOnly))
            return fail(Failed, QStringLiteral("cannot read %1: %2").arg(m_command.file, file.errorString()));
        const QString error = networksFromJson(file.readAll(), &added);
        if (!error.isEmpty())
            return fail(UsageError, QStringLiteral("%1: %2").arg(m_command.file, error));
    }
    for (const QString &ssid : qAsConst(m_command.names)) {
        if (!storedNetworks.contains(ssid))
            return fail(Failed, QStringLiteral("kivd has no network '%1'").arg(ssid));
    }
    const QVariantMap networks = m_command.action == Action::SetNetworks
                                     ? added
                                     : mergeNetworks(storedNetworks, added, m_command.names);
    return writeProperty(property, networks) ? Success : m_exitCode;
}

int KivctlClient::ipSettings()
{
    if (m_command.action == Action::SetIp)
        return writeProperty(m_command.property, m_command.map) ? Success : m_exitCode;
    QVariantMap shown;
    QString text;
    for (const QString &property : qAsConst(m_command.names)) {
        QVariant settings;
        if (!readProperty(property, &settings))
            return m_exitCode;
        const QString side = property.startsWith(QLatin1String("Wired")) ? QStringLiteral("wired") : QStringLiteral("wireless");
        shown.insert(side, settings);
        text += ipSettingsLine(side, settings.toMap()) + QLatin1Char('\n');
    }
    if (m_command.json)
        printJson(shown);
    else
        print(text);
    return Success;
}

int KivctlClient::wps()
{
    if (!subscribe({QStringLiteral("WpsCredentials"), QStringLiteral("WpsError")}))
        return m_exitCode;
    const bool started = m_command.action == Action::WpsPbc ? call(QStringLiteral("WpsPbc"))
                                                            : call(QStringLiteral("WpsPin"), {m_command.argument});
    if (!started)
        return m_exitCode;
    const int timeoutMs = m_command.timeoutMs > 0 ? m_command.timeoutMs : WpsTimeoutMs;
    QDBusMessage message;
    if (!awaitSignal(timeoutMs, &message))
        return fail(TimedOut, QStringLiteral("no WPS result from kivd within %1").arg(secondsText(timeoutMs)));
    const QVariant result = plainValue(message.arguments().value(0));
    if (message.member() == QLatin1String("WpsError"))
        return fail(Failed, QStringLiteral("WPS failed: %1").arg(result.toString()));
    if (m_command.json)
        printJson(redacted(result));
    else
        print(fieldLines(result.toMap()));
    return Success;
}

int KivctlClient::softAp()
{
    if (m_command.action == Action::StartSoftAp)
        return call(QStringLiteral("StartSoftAp"), {m_command.argument, m_command.map}) ? Success : m_exitCode;
    if (m_command.action == Action::StopSoftAp)
        return call(QStringLiteral("StopSoftAp"), {m_command.argument}) ? Success : m_exitCode;
    QVariant settings;
    if (!readProperty(QStringLiteral("SoftApModeSettings"), &settings))
        return m_exitCode;
    if (m_command.json)
        printJson(settings);
    else
        print(softApSettingsText(settings.toMap()));
    return Success;
}

int KivctlClient::logLevel()
{
    const QString property = QStringLiteral("LogLevel");
    QVariant level;
    if (m_command.action == Action::SetLogLevel && !writeProperty(property, m_command.logLevel))
        return m_exitCode;
    if (!readProperty(property, &level))
        return m_exitCode;
    if (m_command.json) {
        printJson(QVariantMap{{property, level.toInt()}});
        return Success;
    }
    QString text = QStringLiteral("Log level: %1").arg(level.toInt());
    if (m_command.action == Action::SetLogLevel && level.toInt() != m_command.logLevel)
        text += QStringLiteral(" (kivd capped %1)").arg(m_command.logLevel);
    print(text + QLatin1Char('\n'));
    return Success;
}

int KivctlClient::monitor()
{
    const QStringList names = m_command.signalNames.isEmpty() ? signalNames() : m_command.signalNames;
    if (!subscribe(names))
        return m_exitCode;
    if (!m_bus.interface()->isServiceRegistered(Service))
        m_err << "kivctl: kivd is not running; waiting for it\n";
    m_err << "kivctl: listening for kivd's signals\n";
    m_err.flush();

    QElapsedTimer elapsed;
    elapsed.start();
    int seen = 0;
    while (m_command.count == 0 || seen < m_command.count) {
        int remainingMs = -1;
        if (m_command.timeoutMs > 0) {
            remainingMs = m_command.timeoutMs - int(elapsed.elapsed());
            if (remainingMs <= 0)
                break;
        }
        QDBusMessage message;
        if (!awaitSignal(remainingMs, &message))
            break;
        ++seen;
        print(signalLine(QDateTime::currentDateTime(), message.member(), plainValues(message.arguments()), m_command.json) +
              QLatin1Char('\n'));
    }
    if (m_command.count > 0 && seen < m_command.count)
        return fail(TimedOut, QStringLiteral("%1 of %2 signals within %3")
                                  .arg(seen)
                                  .arg(m_command.count)
                                  .arg(secondsText(m_command.timeoutMs)));
    return Success;
}

bool KivctlClient::call(const QString &member, const QVariantList &arguments, QVariantList *results)
{
    const QString interface = member == QLatin1String("Get") || member == QLatin1String("Set") || member == QLatin1String("GetAll")
                                  ? PropertiesInterface
                                  : Interface;
    QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, interface, member);
    message.setArguments(arguments);
    const QDBusMessage reply = m_bus.call(message, QDBus::Block, m_callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        const Failure failure = busFailure(reply.errorName(), reply.errorMessage(), m_callTimeoutMs);
        fail(failure.exitCode, failure.message);
        return false;
    }
    if (results)
        *results = plainValues(reply.arguments());
    return true;
}

bool KivctlClient::readProperty(const QString &name, QVariant *value)
{
    QVariantList results;
    if (!call(QStringLiteral("Get"), {Interface, name}, &results))
        return false;
    *value = results.value(0);
    return true;
}

bool KivctlClient::writeProperty(const QString &name, const QVariant &value)
{
    return call(QStringLiteral("Set"), {Interface, name, QVariant::fromValue(QDBusVariant(value))});
}

bool KivctlClient::subscribe(const QStringList &signalNames)
{
    for (const QString &name : signalNames) {
        if (!m_bus.connect(Service, Path, Interface, name, this, SLOT(on_bus_signal(QDBusMessage)))) {
            fail(Failed, QStringLiteral("cannot listen to %1: %2").arg(name, m_bus.lastError().message()));
            return false;
        }
    }
    // The bus handles a connection's messages in order: after this reply every match rule is in place.
    m_bus.interface()->isServiceRegistered(Service);
    return true;
}

bool KivctlClient::awaitSignal(int timeoutMs, QDBusMessage *message)
{
    if (m_received.isEmpty()) {
        QEventLoop loop;
        QTimer timer;
        timer.setSingleShot(true);
        KivCommon::connect(&timer, SIGNAL(timeout()), &loop, SLOT(quit()));
        if (timeoutMs >= 0)
            timer.start(timeoutMs);
        m_waiting = &loop;
        loop.exec();
        m_waiting = nullptr;
    }
    if (m_received.isEmpty())
        return false;
    *message = m_received.takeFirst();
    return true;
}

void KivctlClient::on_bus_signal(const QDBusMessage &message)
{
    m_received.append(message);
    if (m_waiting)
        m_waiting->quit();
}

int KivctlClient::fail(int exitCode, const QString &message)
{
    m_err << "kivctl: " << message << '\n';
    m_err.flush();
    m_exitCode = exitCode;
    return exitCode;
}

void KivctlClient::print(const QString &text)
{
    m_out << text;
    m_out.flush();
}

void KivctlClient::printJson(const QVariant &value)
{
    print(jsonText(value) + QLatin1Char('\n'));
}
