#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// The radio environment the simulated supplicant sees, read from a JSON scenario file.

enum class SimSecurity { Open, Wep, WpaPsk, Eap, PskEap };
enum class SimProto { Rsn, Wpa, Mixed };
enum class SimPmf { None, Optional, Required };
enum class SimWpsMode { Off, Pbc, Pin };

// Credentials an AP's registrar hands out instead of those derived from the AP itself.
struct SimWpsCredentials
{
    QByteArray ssid;
    QString key;
    QStringList authType;
    QStringList encrType;
};

// The AP's WPS registrar: which session it answers and how the registration ends.
struct SimWpsRegistrar
{
    bool capable = false;    // the AP advertises WPS at all
    SimWpsMode mode = SimWpsMode::Off;
    QString pin;             // empty: any PIN is accepted
    int configError = 0;     // non-zero: the registration fails with this code
    int msg = -1;            // "msg" of the fail event; -1 repeats configError
    int errorIndication = 0;
    bool overrideCredentials = false;
    SimWpsCredentials credentials;

    int failMsg() const { return msg < 0 ? configError : msg; }
};

struct SimAccessPoint
{
    QByteArray ssid;
    QByteArray bssid; // six bytes
    SimSecurity security = SimSecurity::Open;
    SimProto proto = SimProto::Rsn;
    SimPmf pmf = SimPmf::None;
    QString key;
    qint16 signal = -50;
    quint16 frequency = 2412;
    bool hidden = false;
    bool wepSharedAuth = true;
    SimWpsRegistrar wps;

    QString bssidText() const;
    bool usesWpa() const { return security == SimSecurity::WpaPsk || security == SimSecurity::Eap || security == SimSecurity::PskEap; }
    bool hasPsk() const { return security == SimSecurity::WpaPsk || security == SimSecurity::PskEap; }
    bool hasRsnIe() const { return usesWpa() && proto != SimProto::Wpa; }
    bool hasWpaIe() const { return usesWpa() && proto != SimProto::Rsn; }

    // Parses one AP object; on failure returns an AP with an empty BSSID and sets error.
    static SimAccessPoint fromJson(const QJsonObject &object, QString *error);
};

// Delays of the simulated supplicant, in milliseconds unless named otherwise.
struct SimTiming
{
    int stepMs = 100;              // between two association states
    int scanMs = 300;              // from a scan request to its results
    int rescanMs = 5000;           // between scans while disconnected with enabled networks
    int wpsWalkMs = 120000;        // until a WPS session without registrar gives up
    int wpsExchangeMs = 500;       // registration protocol run once associated with the registrar
    int tempDisabledUnitMs = 1000; // one second of the supplicant's temporary-disable back-off
    int bssExpireCount = 2;        // scans a BSS may be missed before it is removed
    int bssExpireAge = 180;        // seconds a BSS may be unseen before it is removed
};

struct SimScenario
{
    QStringList interfaces; // empty: every interface name is accepted
    SimTiming timing;
    QList<SimAccessPoint> accessPoints;

    static SimScenario fromJson(const QByteArray &json, QString *error);
};

namespace SimKeys {

// Six bytes from "aa:bb:cc:dd:ee:ff" (either case); empty when malformed.
QByteArray macFromText(const QString &text);
QString macToText(const QByteArray &bytes);

// A WEP key as the radio uses it: 5, 13 or 16 characters, or 10, 26 or 32 hex digits; empty when invalid.
QByteArray wepKeyBytes(const QString &key);

// The 32-byte pre-shared key of a passphrase (8 to 63 characters) or a 64-digit hex key; empty when invalid.
QByteArray pskFor(const QString &key, const QByteArray &ssid);

} // namespace SimKeys
