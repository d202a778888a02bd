#pragma once

#include <QString>
#include <QVariantMap>

// Builds of wpa_supplicant without the NetworkTempDisabled signal show a rejected pre-shared key
// on the bus only as a 4-way handshake the access point broke off. The detector applies
// wpa_supplicant's own WRONG_KEY rule to the interface's property updates: the state drops from
// "4way_handshake" to "disconnected" (or, batched, straight to scanning) and the access point (a
// positive "DisconnectReason") ended it.
class WrongKeyDetector
{
public:
    // Takes one PropertiesChanged map; returns the object path of the network whose key was
    // rejected, or an empty string.
    QString update(const QVariantMap &properties);

private:
    QString m_state;
    QString m_network;
    int m_disconnectReason = 0;
};
