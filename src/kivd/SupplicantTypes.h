#pragma once

#include <QByteArray>
#include <QMap>
#include <QPair>
#include <QString>
#include <QVector>

// Bus argument types named in the supplicant's interface descriptions. The byte vector is a
// QByteArray: the bus library reserves "ay" for that class and refuses any other type for it.
typedef QVector<uint> QVectorUnsignedInt;                           // au
typedef QByteArray QVectorUnsignedChar;                             // ay
typedef QMap<QString, QVectorUnsignedChar> QMapQVectorUnsignedChar; // a{say}
typedef QPair<uint, uint> UnsignedPair;                             // (uu)
typedef QVector<UnsignedPair> VectorUnsignedPair;                   // a(uu)

// Registers the values the supplicant emits in queued signals ("Ssid", "WirelessNetwork",
// "QList<ApDescription>") and the bus argument types above with their marshalling.
// Call before the first queued signal or bus call that carries them; repeating it is harmless.
void registerSupplicantMetaTypes();
