#include "SupplicantTypes.h"

#include "ApDescription.h"
#include "Ssid.h"
#include "WirelessNetwork.h"

#include <QDBusMetaType>
#include <QList>
#include <QMetaType>

template<typename T>
static void registerBusType(const char *name)
{
    qRegisterMetaType<T>(name);
    qDBusRegisterMetaType<T>();
}

void registerSupplicantMetaTypes()
{
    qRegisterMetaType<Ssid>("Ssid");
    qRegisterMetaType<WirelessNetwork>("WirelessNetwork");
    qRegisterMetaType<QList<ApDescription>>("QList<ApDescription>");

    registerBusType<QVectorUnsignedInt>("QVectorUnsignedInt");
    // Marshalled natively as "ay"; only its name is new.
    qRegisterMetaType<QVectorUnsignedChar>("QVectorUnsignedChar");
    registerBusType<QMapQVectorUnsignedChar>("QMapQVectorUnsignedChar");
    registerBusType<UnsignedPair>("UnsignedPair");
    registerBusType<VectorUnsignedPair>("VectorUnsignedPair");
}
