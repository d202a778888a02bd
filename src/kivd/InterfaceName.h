#pragma once

#include <QDebug>
#include <QHash>
#include <QMetaType>
#include <QString>

// A network interface name (eth0, wlan0, uap0): the key of every per-interface table.
class InterfaceName
{
public:
    InterfaceName() = default;
    explicit InterfaceName(const QString &name) : m_name(name) {}

    const QString &toString() const { return m_name; }
    bool isEmpty() const { return m_name.isEmpty(); }

    bool operator==(const InterfaceName &other) const { return m_name == other.m_name; }
    bool operator!=(const InterfaceName &other) const { return m_name != other.m_name; }

private:
    QString m_name;
};

inline uint qHash(const InterfaceName &name, uint seed = 0)
{
    return qHash(name.toString(), seed);
}

inline QDebug operator<<(QDebug debug, const InterfaceName &name)
{
    QDebugStateSaver saver(debug);
    debug.noquote() << name.toString();
    return debug;
}

Q_DECLARE_METATYPE(InterfaceName)
