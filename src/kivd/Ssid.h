#pragma once

#include <QByteArray>
#include <QDebug>
#include <QMetaType>
#include <QString>

// A network name of at most 32 UTF-8 bytes; a longer one is rejected as the empty SSID,
// which stands for "no SSID".
class Ssid
{
public:
    static constexpr int MaxBytes = 32;

    Ssid() = default;
    static Ssid fromBytes(const QByteArray &bytes);
    static Ssid fromString(const QString &text);

    const QString &toString() const { return m_text; }
    QByteArray toByteArray() const { return m_text.toUtf8(); }
    bool isEmpty() const { return m_text.isEmpty(); }

    bool operator==(const Ssid &other) const { return m_text == other.m_text; }
    bool operator!=(const Ssid &other) const { return m_text != other.m_text; }

private:
    QString m_text;
};

uint qHash(const Ssid &ssid, uint seed = 0);
QDebug operator<<(QDebug debug, const Ssid &ssid);

Q_DECLARE_METATYPE(Ssid)
