#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QStringList>

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>

// Builders for RTM_NEWNDUSEROPT payloads as the kernel forwards router-advertisement options.
namespace RaBuffers {

inline QByteArray message(const QByteArray &options, int optionsLength = -1, int interfaceIndex = 7,
                          unsigned char family = AF_INET6, unsigned char icmpType = 134)
{
    nduseroptmsg header;
    std::memset(&header, 0, sizeof header);
    header.nduseropt_family = family;
    header.nduseropt_opts_len = static_cast<unsigned short>(optionsLength < 0 ? options.size() : optionsLength);
    header.nduseropt_ifindex = interfaceIndex;
    header.nduseropt_icmp_type = icmpType;
    return QByteArray(reinterpret_cast<const char *>(&header), sizeof header) + options;
}

// An option with the given type and length field; the body is padded or cut to fill it.
inline QByteArray option(unsigned char type, unsigned char units, const QByteArray &body)
{
    QByteArray bytes;
    bytes.append(char(type));
    bytes.append(char(units));
    bytes.append(QByteArray(6, '\0')); // reserved and lifetime
    bytes.append(body);
    const int size = units * 8;
    if (bytes.size() < size)
        bytes.append(QByteArray(size - bytes.size(), '\0'));
    return bytes.left(qMax(size, 8));
}

inline QByteArray ipv6(const QString &text)
{
    const Q_IPV6ADDR address = QHostAddress(text).toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(address.c), 16);
}

inline QByteArray rdnss(const QStringList &servers)
{
    QByteArray body;
    for (const QString &server : servers)
        body += ipv6(server);
    return option(25, static_cast<unsigned char>(1 + 2 * servers.size()), body);
}

inline QByteArray domainName(const QString &name)
{
    QByteArray wire;
    for (const QString &label : name.split(QLatin1Char('.'))) {
        wire.append(char(label.size()));
        wire.append(label.toLatin1());
    }
    wire.append('\0');
    return wire;
}

inline QByteArray dnssl(const QByteArray &encodedNames)
{
    const int units = (8 + encodedNames.size() + 7) / 8;
    return option(31, static_cast<unsigned char>(units), encodedNames);
}

} // namespace RaBuffers
