#include "Ssid.h"

#include "LogHandler.h"

#include <QHash>

Ssid Ssid::fromBytes(const QByteArray &bytes)
{
    Ssid ssid;
    if (bytes.size() > MaxBytes) {
        kivWarning() << "SSID is too long: " << '"' << bytes.toHex() << '"' << ", rejecting!";
        return ssid;
    }
    ssid.m_text = QString::fromUtf8(bytes);
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
