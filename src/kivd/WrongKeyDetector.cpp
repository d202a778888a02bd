#include "WrongKeyDetector.h"

#include <QDBusObjectPath>

QString WrongKeyDetector::update(const QVariantMap &properties)
{
    const QVariant network = properties.value(QStringLiteral("CurrentNetwork"));
    const QString path = network.canConvert<QDBusObjectPath>() ? network.value<QDBusObjectPath>().path() : network.toString();
    if (!path.isEmpty() && path != QLatin1String("/"))
        m_network = path;
    if (properties.contains(QStringLiteral("DisconnectReason")))
        m_disconnectReason = properties.value(QStringLiteral("DisconnectReason")).toInt();
    if (!properties.contains(QStringLiteral("State")))
        return QString();

    const QString state = properties.value(QStringLiteral("State")).toString();
    // A busy supplicant batches its updates and may go from the handshake straight to scanning.
    const bool leftHandshake = m_state == QLatin1String("4way_handshake") && state != m_state
                               && state != QLatin1String("group_handshake") && state != QLatin1String("completed");
    const bool rejected = leftHandshake && m_disconnectReason > 0 && !m_network.isEmpty();
    m_state = state;
    // A reason belongs to the disconnection it came with, never to a later one.
    if (state != QLatin1String("disconnected") || rejected)
        m_disconnectReason = 0;
    return rejected ? m_network : QString();
}
