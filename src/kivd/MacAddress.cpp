#include "MacAddress.h"

#include <QHash>
#include <QRegularExpression>

MacAddress MacAddress::fromBytes(const QByteArray &bytes)
{
    MacAddress address;
    if (bytes.size() != 6)
        return address;
    const auto *b = reinterpret_cast<const unsigned char *>(bytes.constData());
    address.m_text = QString::asprintf("%02X:%02X:%02X:%02X:%02X:%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
    return address;
}

MacAddress MacAddress::fromString(const QString &text)
{
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(QStringLiteral(
        "[0-9a-fA-F]{2}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}")));
    MacAddress address;
    if (pattern.match(text).hasMatch())
        address.m_text = text;
    return address;
}

uint qHash(const MacAddress &address, uint seed)
{
    return qHash(address.toString(), seed);
}

QDebug operator<<(QDebug debug, const MacAddress &address)
{
    QDebugStateSaver saver(debug);
    debug.quote() << address.toString();
    return debug;
}
