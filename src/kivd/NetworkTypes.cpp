#include "NetworkTypes.h"

#include <QDBusArgument>
#include <QDBusVariant>

namespace NetworkTypes {

QString securityTypeToString(SecurityType type)
{
    switch (type) {
    case SecurityType::Unsecured:
        return QStringLiteral("unsecured");
    case SecurityType::Wep:
        return QStringLiteral("wep");
    case SecurityType::WpaPsk:
        return QStringLiteral("wpa_psk");
    }
    return QString();
}

int frequencyToScanChannel(int frequency)
{
    if (frequency >= 2412 && frequency < 2473)
        return (frequency - 2412) / 5 + 1;
    if (frequency == 2484)
        return 14;
    if (frequency >= 5170 && frequency <= 5825)
        return (frequency - 5170) / 5 + 34;
    return 0;
}

static QVariant unwrapBusVariant(const QVariant &value)
{
    if (value.userType() == qMetaTypeId<QDBusVariant>())
        return value.value<QDBusVariant>().variant();
    return value;
}

QVariantMap variantToMap(const QVariant &value)
{
    const QVariant unwrapped = unwrapBusVariant(value);
    if (unwrapped.userType() != qMetaTypeId<QDBusArgument>())
        return unwrapped.toMap();

    // A nested dictionary arrives marshalled; only string keys make a string-keyed map.
    const QDBusArgument argument = unwrapped.value<QDBusArgument>();
    QVariantMap map;
    if (argument.currentType() != QDBusArgument::MapType || !argument.currentSignature().startsWith(QLatin1String("a{s")))
        return map;
    argument.beginMap();
    while (!argument.atEnd()) {
        QString key;
        argument.beginMapEntry();
        argument >> key;
        map.insert(key, unwrapBusVariant(argument.asVariant()));
        argument.endMapEntry();
    }
    argument.endMap();
    return map;
}

} // namespace NetworkTypes
