#include "SimBus.h"

#include "BusValue.h"

#include <QStringList>

void SimBusEmitter::emitPropertiesChanged(const QString &path, const QString &interface, const QVariantMap &changed)
{
    if (changed.isEmpty())
        return;
    emitSignal(path, interface, QStringLiteral("PropertiesChanged"), {changed});
    emitSignal(path, SimNames::propertiesInterface, QStringLiteral("PropertiesChanged"),
               {interface, changed, QStringList()});
}

QString unknownKey(const QVariantMap &args, const QStringList &known)
{
    for (auto it = args.cbegin(); it != args.cend(); ++it) {
        if (!known.contains(it.key()))
            return it.key();
    }
    return QString();
}

QVariantMap changedProperties(const QVariantMap &before, const QVariantMap &after)
{
    QVariantMap changed;
    for (auto it = after.cbegin(); it != after.cend(); ++it) {
        if (!before.contains(it.key()) || BusValue::toJson(before.value(it.key())) != BusValue::toJson(it.value()))
            changed.insert(it.key(), it.value());
    }
    return changed;
}
