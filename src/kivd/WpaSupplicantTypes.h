#pragma once

#include "SupplicantTypes.h"

#include <QDBusMetaType>
#include <QMetaType>

namespace WpaSupplicantTypes {

// The bus name wpa_supplicant owns.
inline const QString service = QStringLiteral("fi.w1.wpa_supplicant1");

// Registers the bus argument types of the supplicant's interface descriptions under their
// annotation names, with their marshalling ("ay" is QByteArray's own and needs only the name).
inline void registerBusTypes()
{
    qRegisterMetaType<QVectorUnsignedInt>("QVectorUnsignedInt");
    qRegisterMetaType<QVectorUnsignedChar>("QVectorUnsignedChar");
    qRegisterMetaType<QMapQVectorUnsignedChar>("QMapQVectorUnsignedChar");
    qRegisterMetaType<UnsignedPair>("UnsignedPair");
    qRegisterMetaType<VectorUnsignedPair>("VectorUnsignedPair");
    qDBusRegisterMetaType<QVectorUnsignedInt>();
    qDBusRegisterMetaType<QMapQVectorUnsignedChar>();
    qDBusRegisterMetaType<UnsignedPair>();
    qDBusRegisterMetaType<VectorUnsignedPair>();
}

} // namespace WpaSupplicantTypes
