#pragma once

#include <QByteArray>
#include <QDebug>
#include <QMetaType>
#include <QString>

// A hardware address as six colon-separated hexadecimal octets; invalid input gives the empty value.
class MacAddress
{
public:
    MacAddress() = default;
    static MacAddress fromBytes(const QByteArray &bytes);
    static MacAddress fromString(const QString &text);

    const QString &toString() const { return m_text; }
    bool isEmpty() const { return m_text.isEmpty(); }

    bool operator==(const MacAddress &other) const { return m_text == other.m_text; }
    bool operator!=(const MacAddress &other) const { return m_text != other.m_text; }

private:
    QString m_text;
};

uint qHash(const MacAddress &address, uint seed = 0);
QDebug operator<<(QDebug debug, const MacAddress &address);

Q_DECLARE_METATYPE(MacAddress)
