#include "Ssid.h"

#include "LogHandler.h"

#include <QHash>

Ssid Ssid::fromBytes(const QByteArray &bytes)
{
    Ssid ssid;
    // Each byte of invalid UTF-8 becomes a replacement character of three bytes.
    const QString text = QString::fromUtf8(bytes);
    if (bytes.size() > MaxBytes || text.toUtf8().size() > MaxBytes) {
        kivWarning() << "SSID is too long: " << '"' << bytes.toHex() << '"' << ", rejecting!";
        return ssid;
    }
    ssid.m_text = text;
    return ssid;
}

Ssid Ssid::fromString(const QString &text)
{
    Ssid ssid;
    if (text.toUtf8().size() > MaxBytes) {
        kivWarning() << "SSID is too long: " << '"' << text << '"' << ", rejecting!";
        return ssid;
    }
    ssid.m_text = text;
    return ssid;
}

uint qHash(const Ssid &ssid, uint seed)
{
    return qHash(ssid.toString(), seed);
}

QDebug operator<<(QDebug debug, const Ssid &ssid)
{
    QDebugStateSaver saver(debug);
    debug.nospace().noquote() << '"' << ssid.toString() << '"';
    return debug;
}
