#pragma once

#include "InterfaceConfiguration.h"
#include "InterfaceName.h"
#include "SoftApSettings.h"
#include "WirelessNetwork.h"

#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

// The daemon's current configuration. Setters report whether the stored value changed and
// store only then, so callers follow up only on a change.
class NetworkConfiguration : public QObject
{
    Q_OBJECT

public:
    NetworkConfiguration(QObject *parent, const QString &wiredInterface, const QString &wirelessInterface,
                         const QStringList &softApInterfaces);

    const QString &wiredInterface() const { return m_wiredInterface; }
    const QString &wirelessInterface() const { return m_wirelessInterface; }
    const QSet<InterfaceName> &softApInterfaces() const { return m_softApInterfaces; }

    const InterfaceConfiguration &wiredIpConfiguration() const { return m_wiredIpConfiguration; }
    bool setWiredIpConfiguration(const InterfaceConfiguration &configuration);
    const InterfaceConfiguration &wirelessIpConfiguration() const { return m_wirelessIpConfiguration; }
    bool setWirelessIpConfiguration(const InterfaceConfiguration &configuration);

    const QHash<InterfaceName, SoftApSettings> &softApSettings() const { return m_softApSettings; }
    bool setSoftApSettings(const InterfaceName &name, const SoftApSettings &settings);

    const QSet<WirelessNetwork> &wirelessNetworks() const { return m_wirelessNetworks; }
    bool setWirelessNetworks(const QSet<WirelessNetwork> &networks);

private:
    QString m_wiredInterface;
    QString m_wirelessInterface;
    QSet<InterfaceName> m_softApInterfaces;
    InterfaceConfiguration m_wiredIpConfiguration;
    InterfaceConfiguration m_wirelessIpConfiguration;
    QHash<InterfaceName, SoftApSettings> m_softApSettings;
    QSet<WirelessNetwork> m_wirelessNetworks;
};
