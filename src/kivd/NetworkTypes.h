#pragma once

#include <QMetaType>
#include <QString>
#include <QVariant>
#include <QVariantMap>

// State of a controller's interface, carried by statusChanged() and sent on the bus as an int.
enum class InterfaceStatus : int {
    Absent = 0,
    Down = 1,
    Up = 2,
};

// Security of a network, shared by scan results and configured networks.
enum class SecurityType : qint32 {
    Unsecured = 0,
    Wep = 1,
    WpaPsk = 2,
};

namespace NetworkTypes {

// Scan-result text of a security type: "unsecured", "wep", "wpa_psk"; any other value gives empty text.
QString securityTypeToString(SecurityType type);

// Channel reported with a scan result for a centre frequency in MHz; 0 when outside the known bands.
int frequencyToScanChannel(int frequency);

// A string-keyed map from a variant that holds a map or a marshalled bus dictionary with string
// keys, possibly wrapped in a bus variant; anything else gives the empty map.
QVariantMap variantToMap(const QVariant &value);

} // namespace NetworkTypes

Q_DECLARE_METATYPE(InterfaceStatus)
Q_DECLARE_METATYPE(SecurityType)
