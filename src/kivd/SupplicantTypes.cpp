#include "SupplicantTypes.h"

#include "WpaSupplicantTypes.h"

#include "ApDescription.h"
#include "Ssid.h"
#include "WirelessNetwork.h"

#include <QDBusMetaType>
#include <QList>
#include <QMetaType>

void registerSupplicantMetaTypes()
{
    qRegisterMetaType<Ssid>("Ssid");
    qRegisterMetaType<WirelessNetwork>("WirelessNetwork");
    qRegisterMetaType<QList<ApDescription>>("QList<ApDescription>");

    WpaSupplicantTypes::registerBusTypes();
}
