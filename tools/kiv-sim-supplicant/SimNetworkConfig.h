#pragma once

#include "SimScenario.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// One network block as wpa_supplicant keeps it, filled from the entries of AddNetwork.
class SimNetworkConfig
{
public:
    QByteArray ssid;
    bool scanSsid = false;
    QStringList keyMgmt{QStringLiteral("WPA-PSK"), QStringLiteral("WPA-EAP")};
    QStringList proto{QStringLiteral("WPA"), QStringLiteral("RSN")};
    QStringList authAlg;
    QString passphrase;
    QByteArray psk;
    QByteArray wepKeys[4];
    int wepTxKeyIdx = 0;
    int priority = 0;
    int ieee80211w = 0;

    // Applies bus entries the way wpa_supplicant does: text values are quoted except for
    // list-like fields, byte arrays are taken as hex, integers as decimal; booleans and unknown
    // names are rejected. Returns false (config partly applied) with a reason on the first bad entry.
    bool apply(const QVariantMap &entries, QString *error);

    // The "Properties" form: every field set so far as text, secrets shown as "*".
    QVariantMap properties() const { return m_text; }

    bool isWps() const { return keyMgmt.contains(QStringLiteral("WPS")); }
    bool hasWepKey() const { return !wepKeys[wepTxKeyIdx].isEmpty(); }
    bool hasPsk() const { return !psk.isEmpty() || !passphrase.isEmpty(); }

private:
    bool setField(const QString &name, const QString &value, bool quoted, QString *error);

    QVariantMap m_text;
};

// What happens when a station with a network block meets a simulated AP.
namespace SimAssociation {

// Whether wpa_supplicant would try this network on this BSS (SSID and security, not the key).
bool usable(const SimNetworkConfig &network, const SimAccessPoint &ap, const QByteArray &bssSsid);

// Empty when the association completes; otherwise the reason of the temporary disabling.
QString failureReason(const SimNetworkConfig &network, const SimAccessPoint &ap);

// "CurrentAuthMode" while associated: "NONE", "WPA-PSK", "WPA2-PSK", "WPA2-PSK+WPA-PSK" (the
// network allows both protocols) or "WPA2-PSK-SHA256".
QString authMode(const SimNetworkConfig &network, const SimAccessPoint &ap);

// The network block wpa_supplicant makes from WPS credentials, as AddNetwork entries.
QVariantMap networkFromCredentials(const QVariantMap &credentials);

} // namespace SimAssociation
