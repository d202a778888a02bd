#pragma once

#include <QString>
#include <QStringList>
#include <QVariantMap>

// Command line of kivctl: what to do, turned into the bus values it will send. Pure functions,
// so every rule here is checked without a bus.
namespace Kivctl {

enum class Action {
    Help,
    Status,
    GetMode,
    SetMode,
    Details,
    Scan,
    ListNetworks,
    SetNetworks,
    AddNetworks,
    RemoveNetworks,
    ShowIp,
    SetIp,
    WpsPbc,
    WpsPin,
    StartSoftAp,
    StopSoftAp,
    SoftApSettings,
    GetLogLevel,
    SetLogLevel,
    Monitor,
    Reconnect,
};

struct Command
{
    Action action = Action::Help;
    QString topic;           // Help: the command asked about; empty for the overview
    bool json = false;
    int timeoutMs = 0;       // 0: the action's own default
    int count = 0;           // Monitor: stop after this many signals; 0 never
    QStringList signalNames; // Monitor: only these signals; empty for all
    QString argument;        // mode word, interface name or WPS PIN
    QString property;        // SetIp: "WiredIpSettings" or "WirelessIpSettings"
    QStringList names;       // ShowIp: property names; RemoveNetworks: SSIDs
    QVariantMap map;         // networks (SSID to credentials), IP settings or soft-AP settings
    QString file;            // SetNetworks, AddNetworks: JSON file of further networks
    int logLevel = 0;
};

struct Parsed
{
    Command command;
    QString error; // one line, without the program name; empty when parsing succeeded
    bool ok() const { return error.isEmpty(); }
};

// Parses the arguments after the program name.
Parsed parse(const QStringList &arguments);

// Help text of one command (by its first word), or the overview for an empty or unknown topic.
QString helpText(const QString &topic);

// The signals of the com.tarvel.kiv interface.
const QStringList &signalNames();

// Networks from a JSON object {"SSID": {"wpa_psk": "...", "priority": 1}, "Open": {}}, checked
// like command-line networks; returns the error text, empty on success.
QString networksFromJson(const QByteArray &json, QVariantMap *networks);

// The credentials map that writes back a network as the WirelessNetworks property reads it.
QVariantMap credentialsFromStored(const QVariantMap &stored);

// The WirelessNetworks value after adding (or replacing) and removing networks by SSID.
QVariantMap mergeNetworks(const QVariantMap &stored, const QVariantMap &added, const QStringList &removed);

} // namespace Kivctl
