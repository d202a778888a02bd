#include "SimBusObject.h"

#include "BusValue.h"
#include "SimCallLog.h"
#include "SimSupplicant.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QSet>

namespace {

const QString introspectableInterface = QStringLiteral("org.freedesktop.DBus.Introspectable");

const char standardInterfacesXml[] =
    " <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
    "  <method name=\"Introspect\">\n   <arg name=\"data\" type=\"s\" direction=\"out\"/>\n  </method>\n"
    " </interface>\n"
    " <interface name=\"org.freedesktop.DBus.Properties\">\n"
    "  <method name=\"Get\">\n   <arg name=\"interface\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"propname\" type=\"s\" direction=\"in\"/>\n   <arg name=\"value\" type=\"v\" direction=\"out\"/>\n  </method>\n"
    "  <method name=\"GetAll\">\n   <arg name=\"interface\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"props\" type=\"a{sv}\" direction=\"out\"/>\n  </method>\n"
    "  <method name=\"Set\">\n   <arg name=\"interface\" type=\"s\" direction=\"in\"/>\n"
    "   <arg name=\"propname\" type=\"s\" direction=\"in\"/>\n   <arg name=\"value\" type=\"v\" direction=\"in\"/>\n  </method>\n"
    " </interface>\n";

QString pathArgument(const QVariant &value)
{
    return value.value<QDBusObjectPath>().path();
}

} // namespace

SimBusObject::SimBusObject(const QDBusConnection &connection, const QList<BusInterfaceDescription> &descriptions,
                           SimCallLog *log, QObject *parent)
    : QDBusVirtualObject(parent)
    , m_connection(connection)
    , m_descriptions(descriptions)
    , m_log(log)
{
}

QString SimBusObject::introspect(const QString &path) const
{
    QString xml;
    for (const QString &name : interfaceNames(resolve(path))) {
        if (const BusInterfaceDescription *interface = description(name))
            xml += BusDescription::toXml(*interface);
    }
    return xml;
}

bool SimBusObject::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    if (message.type() != QDBusMessage::MethodCallMessage)
        return false;
    QDBusConnection bus(connection);
    if (message.interface() == introspectableInterface && message.member() == QLatin1String("Introspect")) {
        bus.send(message.createReply(introspectionXml(message.path())));
        return true;
    }
    m_log->record(message);
    const Target target = resolve(message.path());
    SimResult result;
    if (!target.root && target.kind == SimInterface::ObjectKind::None)
        result = SimResult::failure(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
                                    QStringLiteral("No such object: %1").arg(message.path()));
    else if (message.interface() == SimNames::propertiesInterface)
        result = callProperties(target, message);
    else
        result = callMethod(target, message);
    if (message.isReplyRequired())
        bus.send(result.ok() ? message.createReply(result.values)
                             : message.createErrorReply(result.errorName, result.errorMessage));
    return true;
}

void SimBusObject::emitSignal(const QString &path, const QString &interface, const QString &member,
                              const QVariantList &args)
{
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, member);
    signal.setArguments(args);
    m_connection.send(signal);
}

SimBusObject::Target SimBusObject::resolve(const QString &path) const
{
    Target target;
    if (path == SimNames::rootPath) {
        target.root = true;
        return target;
    }
    target.interface = m_supplicant->interfaceFor(path);
    if (target.interface)
        target.kind = target.interface->objectKind(path, &target.id);
    return target;
}

QStringList SimBusObject::interfaceNames(const Target &target) const
{
    if (target.root)
        return {SimNames::rootInterface};
    switch (target.kind) {
    case SimInterface::ObjectKind::Interface:
        return {SimNames::interfaceInterface, SimNames::wpsInterface};
    case SimInterface::ObjectKind::Bss:
        return {SimNames::bssInterface};
    case SimInterface::ObjectKind::Network:
        return {SimNames::networkInterface};
    case SimInterface::ObjectKind::None:
        break;
    }
    return {};
}

const BusInterfaceDescription *SimBusObject::description(const QString &name) const
{
    for (const BusInterfaceDescription &interface : m_descriptions) {
        if (interface.name == name)
            return &interface;
    }
    return nullptr;
}

QVariantMap SimBusObject::properties(const Target &target, const QString &interface) const
{
    if (!interfaceNames(target).contains(interface))
        return {};
    if (target.root)
        return m_supplicant->rootProperties();
    if (interface == SimNames::wpsInterface)
        return target.interface->wpsProperties();
    switch (target.kind) {
    case SimInterface::ObjectKind::Interface:
        return target.interface->interfaceProperties();
    case SimInterface::ObjectKind::Bss:
        return target.interface->bssProperties(target.id);
    case SimInterface::ObjectKind::Network:
        return target.interface->networkProperties(target.id);
    case SimInterface::ObjectKind::None:
        break;
    }
    return {};
}

SimResult SimBusObject::setProperty(const Target &target, const QString &interface, const QString &name,
                                    const QVariant &value)
{
    if (target.root)
        return m_supplicant->setRootProperty(name, value);
    if (interface == SimNames::wpsInterface)
        return target.interface->setWpsProperty(name, value);
    if (target.kind == SimInterface::ObjectKind::Network)
        return target.interface->setNetworkProperty(target.id, name, value);
    return target.interface->setInterfaceProperty(name, value);
}

SimResult SimBusObject::callProperties(const Target &target, const QDBusMessage &message)
{
    const QString member = message.member();
    const QVariantList args = message.arguments();
    const QString signature = message.signature();
    const QString interface = args.value(0).toString();
    const BusInterfaceDescription *described =
        interfaceNames(target).contains(interface) ? description(interface) : nullptr;
    if (member == QLatin1String("GetAll") && signature == QLatin1String("s")) {
        if (!described)
            return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("No such interface"));
        return SimResult::success({properties(target, interface)});
    }
    const QString name = args.value(1).toString();
    const BusProperty *property = described ? described->property(name) : nullptr;
    if (member == QLatin1String("Get") && signature == QLatin1String("ss")) {
        if (!property || !property->readable())
            return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("No such property"));
        return SimResult::success({QVariant::fromValue(QDBusVariant(properties(target, interface).value(name)))});
    }
    if (member == QLatin1String("Set") && signature == QLatin1String("ssv")) {
        if (!property)
            return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("No such property"));
        if (!property->writable())
            return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("Property is read-only"));
        const QVariant value = args.value(2).value<QDBusVariant>().variant();
        if (BusValue::signatureOf(value) != property->type)
            return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("wrong property type"));
        return setProperty(target, interface, name, BusValue::toPlain(value));
    }
    return SimResult::failure(SimNames::errorDBusInvalidArgs, QStringLiteral("Invalid arguments"));
}

SimResult SimBusObject::callMethod(const Target &target, const QDBusMessage &message)
{
    const QString interface = message.interface();
    const QString member = message.member();
    QString owner;
    const BusMember *method = nullptr;
    for (const QString &name : interfaceNames(target)) {
        const BusInterfaceDescription *described = description(name);
        if ((interface.isEmpty() || interface == name) && described && described->method(member)) {
            owner = name;
            method = described->method(member);
            break;
        }
    }
    if (!method)
        return SimResult::failure(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"),
                                  QStringLiteral("Method \"%1\" on interface \"%2\" doesn't exist").arg(member, interface));
    if (message.signature() != method->signature(QStringLiteral("in")))
        return SimResult::failure(SimNames::errorDBusInvalidArgs, QString());
    QVariantList args;
    for (const QVariant &arg : message.arguments())
        args.append(BusValue::toPlain(arg));

    if (target.root) {
        if (member == QLatin1String("CreateInterface"))
            return m_supplicant->createInterface(args.value(0).toMap());
        if (member == QLatin1String("GetInterface"))
            return m_supplicant->getInterface(args.value(0).toString());
        return m_supplicant->removeInterface(pathArgument(args.value(0)));
    }
    SimInterface *object = target.interface;
    if (owner == SimNames::wpsInterface)
        return member == QLatin1String("Start") ? object->wpsStart(args.value(0).toMap()) : object->wpsCancel();
    if (member == QLatin1String("Scan"))
        return object->scan(args.value(0).toMap());
    if (member == QLatin1String("SignalPoll"))
        return object->signalPoll();
    if (member == QLatin1String("Disconnect"))
        return object->disconnect();
    if (member == QLatin1String("AddNetwork"))
        return object->addNetwork(args.value(0).toMap());
    if (member == QLatin1String("Reassociate"))
        return object->reassociate();
    if (member == QLatin1String("Reconnect"))
        return object->reconnect();
    if (member == QLatin1String("RemoveNetwork"))
        return object->removeNetwork(pathArgument(args.value(0)));
    if (member == QLatin1String("RemoveAllNetworks"))
        return object->removeAllNetworks();
    if (member == QLatin1String("SelectNetwork"))
        return object->selectNetwork(pathArgument(args.value(0)));
    if (member == QLatin1String("AddBlob"))
        return object->addBlob(args.value(0).toString(), args.value(1).toByteArray());
    if (member == QLatin1String("GetBlob"))
        return object->getBlob(args.value(0).toString());
    if (member == QLatin1String("RemoveBlob"))
        return object->removeBlob(args.value(0).toString());
    if (member == QLatin1String("FlushBSS"))
        return object->flushBss(args.value(0).toUInt());
    return object->abortScan();
}

QString SimBusObject::introspectionXml(const QString &path) const
{
    QString xml = QStringLiteral("<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\"\n"
                                 "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n<node>\n");
    const QString own = introspect(path);
    if (!own.isEmpty())
        xml += QLatin1String(standardInterfacesXml) + own;
    const QString prefix = path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
    QStringList children;
    for (const QString &objectPath : m_supplicant->objectPaths()) {
        if (!objectPath.startsWith(prefix))
            continue;
        const QString child = objectPath.mid(prefix.size()).section(QLatin1Char('/'), 0, 0);
        if (!children.contains(child))
            children.append(child);
    }
    for (const QString &child : qAsConst(children))
        xml += QStringLiteral(" <node name=\"%1\"/>\n").arg(child);
    return xml + QStringLiteral("</node>\n");
}
