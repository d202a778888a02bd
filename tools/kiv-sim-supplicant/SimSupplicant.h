#pragma once

#include "SimBus.h"
#include "SimWorld.h"

#include <QMap>
#include <QObject>

class SimInterface;

// The root object of the simulated supplicant: its interfaces and the radio environment they share.
class SimSupplicant : public QObject
{
    Q_OBJECT

public:
    SimSupplicant(const SimScenario &scenario, SimBusEmitter *bus, QObject *parent = nullptr);

    QVariantMap rootProperties() const;
    SimResult setRootProperty(const QString &name, const QVariant &value);

    SimResult createInterface(const QVariantMap &args);
    SimResult getInterface(const QString &ifname) const;
    SimResult removeInterface(const QString &path);

    // The interface owning an object path (the interface object itself or one of its children).
    SimInterface *interfaceFor(const QString &path) const;
    QStringList objectPaths() const;

    // Control of the radio environment; errors use the control interface's names.
    SimResult addAccessPoint(const QString &json);
    SimResult updateAccessPoint(const QString &json);
    SimResult removeAccessPoint(const QString &bssid);
    SimResult setSignal(const QString &bssid, int signal);
    SimResult setWpsOutcome(const QString &bssid, const QString &mode, int configError);
    SimResult dropLink();
    SimResult restoreLink();

private:
    int accessPointIndex(const QString &bssid) const;
    SimAccessPoint *accessPoint(const QString &bssid);
    SimResult parseAccessPoint(const QString &json, SimAccessPoint *ap) const;
    void publish();

    SimWorld m_world;
    QStringList m_allowedInterfaces;
    SimBusEmitter *m_bus;
    QMap<int, SimInterface *> m_interfaces;
    int m_nextIndex = 0;
    QString m_debugLevel = QStringLiteral("info");
    QVariantMap m_published;
};
