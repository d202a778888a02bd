#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// What the soft-AP programs print: their output split into lines, and hostapd's station events.
namespace HostapdOutput {

struct StationEvent
{
    bool connected = false;
    // The station's MAC address as printed: six colon-separated pairs of any characters.
    QString mac;
};

// The trimmed lines of one read of a program's output; a NUL ends the text of its line.
QStringList lines(const QByteArray &output);

// The event of an "AP-STA-CONNECTED <mac>" or "AP-STA-DISCONNECTED <mac>" line, if the line has one.
std::optional<StationEvent> stationEvent(const QString &line);

} // namespace HostapdOutput
