#include "HostapdOutput.h"

#include <QList>
#include <QRegularExpression>

namespace HostapdOutput {

QStringList lines(const QByteArray &output)
{
    QStringList pieces;
    const QList<QByteArray> rawLines = output.trimmed().split('\n');
    for (const QByteArray &line : rawLines)
        pieces << QString::fromUtf8(line.constData()).trimmed();
    return pieces;
}

std::optional<StationEvent> stationEvent(const QString &line)
{
    static const QRegularExpression station(QStringLiteral("AP-STA-(CONNECTED|DISCONNECTED) (..:..:..:..:..:..)"));
    const QRegularExpressionMatch match = station.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    return StationEvent {match.captured(1) == QLatin1String("CONNECTED"), match.captured(2)};
}

} // namespace HostapdOutput
