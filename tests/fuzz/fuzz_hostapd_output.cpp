// libFuzzer target: hostapd prints what stations send it (names, addresses) among its own lines.
#include "HostapdOutput.h"

#include "FuzzInput.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray output(reinterpret_cast<const char *>(data), int(size));
    const QStringList lines = HostapdOutput::lines(output);
    check(lines.size() <= output.count('\n') + 1);
    for (const QString &line : lines) {
        check(!line.contains(QLatin1Char('\n')) && !line.contains(QChar(0)) && line == line.trimmed());
        const std::optional<HostapdOutput::StationEvent> event = HostapdOutput::stationEvent(line);
        if (!event)
            continue;
        // Six pairs and five colons, right after the event's name in the line.
        const QString reprinted = (event->connected ? "AP-STA-CONNECTED " : "AP-STA-DISCONNECTED ") + event->mac;
        check(event->mac.size() == 17 && line.contains(reprinted));
        for (int i = 2; i < 17; i += 3)
            check(event->mac.at(i) == QLatin1Char(':'));
        const std::optional<HostapdOutput::StationEvent> again = HostapdOutput::stationEvent(reprinted);
        check(again && again->connected == event->connected && again->mac == event->mac);
    }
    return 0;
}
