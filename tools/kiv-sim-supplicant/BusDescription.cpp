#include "BusDescription.h"

#include <QXmlStreamReader>

namespace {

const QString extensionAnnotation = QStringLiteral("com.tarvel.kiv.DeviceExtension");

template<typename T>
const T *findByName(const QList<T> &items, const QString &name)
{
    for (const T &item : items) {
        if (item.name == name)
            return &item;
    }
    return nullptr;
}

QString escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

void appendMember(QString &xml, const char *element, const BusMember &member, bool withDirection)
{
    if (member.args.isEmpty()) {
        xml += QStringLiteral("  <%1 name=\"%2\"/>\n").arg(QLatin1String(element), escaped(member.name));
        return;
    }
    xml += QStringLiteral("  <%1 name=\"%2\">\n").arg(QLatin1String(element), escaped(member.name));
    for (const BusArgument &arg : member.args) {
        xml += QStringLiteral("   <arg name=\"%1\" type=\"%2\"").arg(escaped(arg.name), escaped(arg.type));
        if (withDirection)
            xml += QStringLiteral(" direction=\"%1\"").arg(arg.direction);
        xml += QStringLiteral("/>\n");
    }
    xml += QStringLiteral("  </%1>\n").arg(QLatin1String(element));
}

} // namespace

QString BusMember::signature(const QString &direction) const
{
    QString result;
    for (const BusArgument &arg : args) {
        if (arg.direction == direction)
            result += arg.type;
    }
    return result;
}

const BusMember *BusInterfaceDescription::method(const QString &member) const
{
    return findByName(methods, member);
}

const BusMember *BusInterfaceDescription::signalMember(const QString &member) const
{
    return findByName(signalMembers, member);
}

const BusProperty *BusInterfaceDescription::property(const QString &name) const
{
    return findByName(properties, name);
}

QList<BusInterfaceDescription> BusDescription::parse(const QByteArray &xml, QString *error)
{
    QList<BusInterfaceDescription> result;
    QXmlStreamReader reader(xml);
    BusInterfaceDescription *interface = nullptr;
    BusMember *member = nullptr;
    BusProperty *property = nullptr;
    bool inSignal = false;

    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement) {
            const QStringRef name = reader.name();
            if (name == QLatin1String("interface"))
                interface = nullptr;
            else if (name == QLatin1String("method") || name == QLatin1String("signal"))
                member = nullptr;
            else if (name == QLatin1String("property"))
                property = nullptr;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        const QStringRef name = reader.name();
        const QXmlStreamAttributes attributes = reader.attributes();
        if (name == QLatin1String("interface")) {
            result.append(BusInterfaceDescription());
            interface = &result.last();
            interface->name = attributes.value(QLatin1String("name")).toString();
        } else if (interface && (name == QLatin1String("method") || name == QLatin1String("signal"))) {
            inSignal = name == QLatin1String("signal");
            QList<BusMember> &list = inSignal ? interface->signalMembers : interface->methods;
            list.append(BusMember());
            member = &list.last();
            member->name = attributes.value(QLatin1String("name")).toString();
        } else if (member && name == QLatin1String("arg")) {
            BusArgument arg;
            arg.name = attributes.value(QLatin1String("name")).toString();
            arg.type = attributes.value(QLatin1String("type")).toString();
            arg.direction = inSignal ? QStringLiteral("out") : attributes.value(QLatin1String("direction")).toString();
            if (arg.direction.isEmpty())
                arg.direction = QStringLiteral("in");
            member->args.append(arg);
        } else if (interface && name == QLatin1String("property")) {
            interface->properties.append(BusProperty());
            property = &interface->properties.last();
            property->name = attributes.value(QLatin1String("name")).toString();
            property->type = attributes.value(QLatin1String("type")).toString();
            property->access = attributes.value(QLatin1String("access")).toString();
        } else if (name == QLatin1String("annotation")
                   && attributes.value(QLatin1String("name")) == extensionAnnotation
                   && attributes.value(QLatin1String("value")) == QLatin1String("true")) {
            if (property)
                property->deviceExtension = true;
            else if (member)
                member->deviceExtension = true;
        }
    }
    if (reader.hasError()) {
        if (error)
            *error = QStringLiteral("line %1: %2").arg(reader.lineNumber()).arg(reader.errorString());
        return {};
    }
    if (error)
        error->clear();
    return result;
}

QString BusDescription::toXml(const BusInterfaceDescription &description)
{
    QString xml = QStringLiteral(" <interface name=\"%1\">\n").arg(escaped(description.name));
    for (const BusMember &method : description.methods)
        appendMember(xml, "method", method, true);
    for (const BusMember &signal : description.signalMembers)
        appendMember(xml, "signal", signal, false);
    for (const BusProperty &property : description.properties) {
        xml += QStringLiteral("  <property name=\"%1\" type=\"%2\" access=\"%3\"/>\n")
                   .arg(escaped(property.name), escaped(property.type), property.access);
    }
    xml += QStringLiteral(" </interface>\n");
    return xml;
}
