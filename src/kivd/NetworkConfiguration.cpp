#include "NetworkConfiguration.h"

template<typename T>
static bool storeIfChanged(T &stored, const T &value)
{
    if (stored == value)
        return false;
    stored = value;
    return true;
}

NetworkConfiguration::NetworkConfiguration(QObject *parent, const QString &wiredInterface,
                                           const QString &wirelessInterface, const QStringList &softApInterfaces)
    : QObject(parent)
    , m_wiredInterface(wiredInterface)
    , m_wirelessInterface(wirelessInterface)
{
    for (const QString &name : softApInterfaces)
        m_softApInterfaces.insert(InterfaceName(name));
}

bool NetworkConfiguration::setWiredIpConfiguration(const InterfaceConfiguration &configuration)
{
    return storeIfChanged(m_wiredIpConfiguration, configuration);
}

bool NetworkConfiguration::setWirelessIpConfiguration(const InterfaceConfiguration &configuration)
{
    return storeIfChanged(m_wirelessIpConfiguration, configuration);
}

bool NetworkConfiguration::setSoftApSettings(const InterfaceName &name, const SoftApSettings &settings)
{
    const auto stored = m_softApSettings.find(name);
    if (stored == m_softApSettings.end()) {
        m_softApSettings.insert(name, settings);
        return true;
    }
    return storeIfChanged(*stored, settings);
}

bool NetworkConfiguration::setWirelessNetworks(const QSet<WirelessNetwork> &networks)
{
    return storeIfChanged(m_wirelessNetworks, networks);
}
