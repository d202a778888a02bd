#pragma once

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QMap>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QVector>

// Bus argument types named by the Qt annotations of wpa_supplicant's interface descriptions.
typedef QVector<uint> QVectorUnsignedInt;                            // "au"
typedef QVector<uchar> QVectorUnsignedChar;                          // "ay"
typedef QMap<QString, QVectorUnsignedChar> QMapQVectorUnsignedChar;  // "a{say}"
typedef QPair<uint, uint> UnsignedPair;
typedef QVector<UnsignedPair> VectorUnsignedPair;

namespace WpaSupplicantTypes {

// Registers the types above under their annotation names, the first three with bus marshalling.
inline void registerBusTypes()
{
    qRegisterMetaType<QVectorUnsignedInt>("QVectorUnsignedInt");
    qRegisterMetaType<QVectorUnsignedChar>("QVectorUnsignedChar");
    qRegisterMetaType<QMapQVectorUnsignedChar>("QMapQVectorUnsignedChar");
    qRegisterMetaType<UnsignedPair>("UnsignedPair");
    qRegisterMetaType<VectorUnsignedPair>("VectorUnsignedPair");
    qDBusRegisterMetaType<QVectorUnsignedInt>();
    qDBusRegisterMetaType<QVectorUnsignedChar>();
    qDBusRegisterMetaType<QMapQVectorUnsignedChar>();
}

} // namespace WpaSupplicantTypes
