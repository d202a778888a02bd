#pragma once

#include "SimScenario.h"

#include <QList>
#include <QVariantMap>

// The properties wpa_supplicant publishes for a BSS object, built from a simulated AP.
namespace SimBssProperties {

// "WPA" and "RSN" dictionaries: "KeyMgmt" (as), "Pairwise" (as), "Group" (s), RSN also "MgmtGroup" (s).
QVariantMap wpaDictionary(const SimAccessPoint &ap);
QVariantMap rsnDictionary(const SimAccessPoint &ap);

// "WPS" dictionary: "Type" is "pbc" or "pin" while the registrar is active, else empty; no entry without WPS.
QVariantMap wpsDictionary(const SimAccessPoint &ap);

// Supported rates in bits per second, highest first.
QList<uint> rates(const SimAccessPoint &ap);

// Information elements of the beacon: SSID, rates, DS parameter set, RSN, WPA and WPS elements.
QByteArray informationElements(const SimAccessPoint &ap, const QByteArray &advertisedSsid);

// Every BSS property ("Age" excluded) as sent in BSSAdded; advertisedSsid is empty for a hidden AP.
QVariantMap properties(const SimAccessPoint &ap, const QByteArray &advertisedSsid);

// The "Credentials" signal map a registrar on this AP hands to the enrollee.
QVariantMap wpsCredentials(const SimAccessPoint &ap);

// The channel of a frequency in MHz (0 outside the 2.4 and 5 GHz bands).
int channel(int frequency);

} // namespace SimBssProperties
