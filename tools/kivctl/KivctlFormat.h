#pragma once

#include <QDateTime>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// What kivctl prints: tables, aligned fields and JSON made from the bus values, and the one-line
// messages of failures. Pure functions of their arguments.
namespace Kivctl {

enum ExitCode { Success = 0, Failed = 1, UsageError = 2, TimedOut = 124 };

struct Failure
{
    int exitCode = Failed;
    QString message; // one line, without the "kivctl: " prefix
};

// The failure a bus error stands for; timeoutMs is the limit the call had.
Failure busFailure(const QString &errorName, const QString &errorMessage, int timeoutMs);
QString secondsText(int milliseconds);

// JSON of a bus value: maps become objects, lists arrays, byte arrays hex strings.
QJsonValue toJson(const QVariant &value);
// The whole value as JSON text: indented, or one line when compact.
QString jsonText(const QVariant &value, bool compact = false);
// The value with every network key ("wpa_psk", "wep_key", "psk") replaced by a placeholder.
QVariant redacted(const QVariant &value);

// Left-aligned columns two blanks apart, a header row first, no trailing blanks.
QString table(const QStringList &headers, const QList<QStringList> &rows);
// One value for people: yes/no, lists joined with blanks, maps as one-line JSON.
QString humanValue(const QVariant &value);
// "Key: value" lines with the values aligned, in the map's key order.
QString fieldLines(const QList<QPair<QString, QString>> &fields);
QString fieldLines(const QVariantMap &map);

// The SoftApModeSettings property (interface name to settings): a block of fields per interface.
QString softApSettingsText(const QVariantMap &settings);
// kivctl status: all properties of kivd (org.freedesktop.DBus.Properties.GetAll).
QString statusText(const QVariantMap &properties);
// Scan results (SSID to result map), strongest first; equal signals by SSID.
QVariantList sortedScanResults(const QVariantMap &results);
QString scanTable(const QVariantMap &results);
// Configured networks as the WirelessNetworks property reads them, without their keys.
QVariantList networkList(const QVariantMap &stored);
QString networksTable(const QVariantMap &stored);
// One line about the IP settings of one side ("wired" or "wireless").
QString ipSettingsLine(const QString &side, const QVariantMap &settings);
// One line of kivctl monitor.
QString signalLine(const QDateTime &time, const QString &member, const QVariantList &arguments, bool json);

} // namespace Kivctl
