#include "BusValue.h"

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>

namespace {

QVariant plainArgument(const QDBusArgument &argument);

QVariant plainElement(const QDBusArgument &argument)
{
    return BusValue::toPlain(argument.asVariant());
}

QVariant plainArgument(const QDBusArgument &argument)
{
    switch (argument.currentType()) {
    case QDBusArgument::BasicType:
        return argument.asVariant();
    case QDBusArgument::VariantType: {
        QDBusVariant inner;
        argument >> inner;
        return BusValue::toPlain(inner.variant());
    }
    case QDBusArgument::ArrayType: {
        const QString signature = argument.currentSignature();
        if (signature == QLatin1String("ay")) {
            QByteArray bytes;
            argument >> bytes;
            return bytes;
        }
        if (signature == QLatin1String("as")) {
            QStringList strings;
            argument >> strings;
            return strings;
        }
        QVariantList list;
        argument.beginArray();
        while (!argument.atEnd())
            list.append(plainElement(argument));
        argument.endArray();
        return list;
    }
    case QDBusArgument::MapType: {
        QVariantMap map;
        argument.beginMap();
        while (!argument.atEnd()) {
            argument.beginMapEntry();
            const QVariant key = plainElement(argument);
            map.insert(key.toString(), plainElement(argument));
            argument.endMapEntry();
        }
        argument.endMap();
        return map;
    }
    case QDBusArgument::StructureType: {
        QVariantList fields;
        argument.beginStructure();
        while (!argument.atEnd())
            fields.append(plainElement(argument));
        argument.endStructure();
        return fields;
    }
    case QDBusArgument::MapEntryType:
    case QDBusArgument::UnknownType:
        break;
    }
    return QVariant();
}

} // namespace

QVariant BusValue::toPlain(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return plainArgument(value.value<QDBusArgument>());
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        return toPlain(value.value<QDBusVariant>().variant());
    if (value.userType() == QMetaType::QVariantMap) {
        QVariantMap map = value.toMap();
        for (auto it = map.begin(); it != map.end(); ++it)
            it.value() = toPlain(it.value());
        return map;
    }
    if (value.userType() == QMetaType::QVariantList) {
        QVariantList list = value.toList();
        for (QVariant &element : list)
            element = toPlain(element);
        return list;
    }
    return value;
}

QVariantMap BusValue::toPlainMap(const QVariant &value)
{
    const QVariant plain = toPlain(value);
    if (plain.userType() != QMetaType::QVariantMap)
        return {};
    return plain.toMap();
}

QString BusValue::signatureOf(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return value.value<QDBusArgument>().currentSignature();
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        return QStringLiteral("v");
    return QString::fromLatin1(QDBusMetaType::typeToSignature(value.userType()));
}

QJsonValue BusValue::toJson(const QVariant &value)
{
    const QVariant plain = toPlain(value);
    switch (plain.userType()) {
    case QMetaType::QByteArray:
        return QJsonObject{{QStringLiteral("bytes"), QString::fromLatin1(plain.toByteArray().toHex())}};
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = plain.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            object.insert(it.key(), toJson(it.value()));
        return object;
    }
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant &element : plain.toList())
            array.append(toJson(element));
        return array;
    }
    case QMetaType::QStringList:
        return QJsonArray::fromStringList(plain.toStringList());
    case QMetaType::Bool:
        return plain.toBool();
    case QMetaType::QString:
        return plain.toString();
    case QMetaType::Double:
        return plain.toDouble();
    default:
        break;
    }
    if (plain.userType() == qMetaTypeId<QDBusObjectPath>())
        return QJsonObject{{QStringLiteral("path"), plain.value<QDBusObjectPath>().path()}};
    if (plain.userType() == qMetaTypeId<QDBusSignature>())
        return plain.value<QDBusSignature>().signature();
    if (plain.canConvert<QVariantMap>()) {
        QJsonObject object;
        const QAssociativeIterable map = plain.value<QAssociativeIterable>();
        for (auto it = map.begin(); it != map.end(); ++it)
            object.insert(it.key().toString(), toJson(it.value()));
        return object;
    }
    if (plain.canConvert<QVariantList>()) {
        QJsonArray array;
        for (const QVariant &element : plain.value<QSequentialIterable>())
            array.append(toJson(element));
        return array;
    }
    bool isNumber = false;
    const qlonglong number = plain.toLongLong(&isNumber);
    if (isNumber)
        return number;
    return plain.toString();
}
