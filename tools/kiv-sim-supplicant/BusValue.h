#pragma once

#include <QJsonValue>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// Received bus values: unpacking of containers and the JSON form of the call log.
namespace BusValue {

// Unpacks QDBusArgument and QDBusVariant recursively: dictionaries become QVariantMap,
// arrays and structures QVariantList, "ay" QByteArray, "as" QStringList.
QVariant toPlain(const QVariant &value);

// A received "a{sv}" as a plain map (empty when the value is not a dictionary).
QVariantMap toPlainMap(const QVariant &value);

// The bus signature of a received value, empty when it has none.
QString signatureOf(const QVariant &value);

// JSON form: byte arrays become {"bytes": "<hex>"}, object paths {"path": "<path>"}.
QJsonValue toJson(const QVariant &value);

} // namespace BusValue
