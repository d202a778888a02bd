#pragma once

#include "ApDescription.h"
#include "WirelessNetwork.h"

#include <QList>
#include <QNetworkAddressEntry>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The maps and texts the manager answers on the bus, built from plain values.
namespace NetworkManagerMaps {

// One entry per SSID: the strongest access point seen for it; equal signals keep the earlier one.
QVariantMap scanResults(const QList<ApDescription> &results);

// "address/prefix", followed by "l" for a link-local address; the address has no scope suffix.
QString addressText(const QHostAddress &address, int prefixLength);
// Every address of an interface as addressText, joined with single blanks.
QString addressesText(const QList<QNetworkAddressEntry> &entries);

// The SSIDs of the configured networks in SSID order, each "," escaped as "\,", joined with ",".
QString configuredNetworksText(const QSet<WirelessNetwork> &networks);

// The WirelessNetworks property: SSID text to the network's map form.
QVariantMap wirelessNetworksMap(const QSet<WirelessNetwork> &networks);
// The networks of a WirelessNetworks write (SSID text to credentials map); entries without
// usable credentials are logged and skipped.
QSet<WirelessNetwork> wirelessNetworksFromMap(const QVariantMap &map);

// Whether any of the machine's current state names contains "connected", in any letter case.
bool isConnected(const QStringList &stateNames);
// The first current state name that names a mode; empty when none does.
QString modeName(const QStringList &stateNames);

// Everything InterfaceDetails reports about one interface, gathered by the manager.
struct InterfaceFacts
{
    enum class Kind { Wired, Wireless, SoftAp, Other };

    QString name;
    bool present = false;
    bool up = false;
    QString mac;
    QList<QNetworkAddressEntry> addresses;
    Kind kind = Kind::Other;
    bool connected = false;
    bool cablePluggedIn = false;
    bool dhcp = false;
    QVariantMap networkDetails;
    QSet<WirelessNetwork> configuredNetworks;
    bool softApUp = false;
    QString gateway;
    QString gateway6;
    QStringList nameservers;
};

// The InterfaceDetails answer: "Interface" and "Present" 0 for an absent interface, otherwise
// presence, addresses, what the interface's controller knows and the system's routing.
QVariantMap interfaceDetails(const InterfaceFacts &facts);

} // namespace NetworkManagerMaps
