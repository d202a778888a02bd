#pragma once

#include "BusDescription.h"
#include "SimBus.h"
#include "SimInterface.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>

class SimCallLog;
class SimSupplicant;

// Serves every object below "/fi/w1/wpa_supplicant1" on the bus: checks calls against the
// interface descriptions, answers introspection and the Properties interface, routes methods
// to the simulated supplicant and sends its signals.
class SimBusObject : public QDBusVirtualObject, public SimBusEmitter
{
    Q_OBJECT

public:
    SimBusObject(const QDBusConnection &connection, const QList<BusInterfaceDescription> &descriptions,
                 SimCallLog *log, QObject *parent = nullptr);

    void setSupplicant(SimSupplicant *supplicant) { m_supplicant = supplicant; }

    QString introspect(const QString &path) const override;
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;
    void emitSignal(const QString &path, const QString &interface, const QString &member,
                    const QVariantList &args) override;

private:
    struct Target
    {
        SimInterface::ObjectKind kind = SimInterface::ObjectKind::None;
        bool root = false;
        SimInterface *interface = nullptr;
        int id = -1;
    };

    Target resolve(const QString &path) const;
    QStringList interfaceNames(const Target &target) const;
    const BusInterfaceDescription *description(const QString &name) const;
    QVariantMap properties(const Target &target, const QString &interface) const;
    SimResult setProperty(const Target &target, const QString &interface, const QString &name, const QVariant &value);
    SimResult callProperties(const Target &target, const QDBusMessage &message);
    SimResult callMethod(const Target &target, const QDBusMessage &message);
    QString introspectionXml(const QString &path) const;

    QDBusConnection m_connection;
    QList<BusInterfaceDescription> m_descriptions;
    SimCallLog *m_log;
    SimSupplicant *m_supplicant = nullptr;
};
