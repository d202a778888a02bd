#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// One argument of a bus method or signal as an interface description lists it.
struct BusArgument
{
    QString name;
    QString type;
    QString direction; // "in" or "out"; signal arguments are "out"
};

// A method or signal with its arguments in order.
struct BusMember
{
    QString name;
    QList<BusArgument> args;
    bool deviceExtension = false; // served by the device's supplicant build only

    QString signature(const QString &direction) const;
};

struct BusProperty
{
    QString name;
    QString type;
    QString access; // "read", "write" or "readwrite"
    bool deviceExtension = false;

    bool readable() const { return access != QLatin1String("write"); }
    bool writable() const { return access != QLatin1String("read"); }
};

struct BusInterfaceDescription
{
    QString name;
    QList<BusMember> methods;
    QList<BusMember> signalMembers;
    QList<BusProperty> properties;

    const BusMember *method(const QString &member) const;
    const BusMember *signalMember(const QString &member) const;
    const BusProperty *property(const QString &property) const;
};

// Reads and writes D-Bus introspection XML (the <interface> elements only).
namespace BusDescription {

QList<BusInterfaceDescription> parse(const QByteArray &xml, QString *error);

// The <interface> element for an introspection reply, without Qt annotations.
QString toXml(const BusInterfaceDescription &description);

} // namespace BusDescription
