#pragma once

// Turns fuzzer bytes into what the daemon receives: texts, byte strings and variant maps as the
// bus delivers them (plain values, values wrapped in bus variants, nested maps, lists).
#include <QByteArray>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// An invariant of the target; a failure names the line of the target that checked it.
inline void check(bool condition, const char *file = __builtin_FILE(), int line = __builtin_LINE())
{
    if (!condition) {
        std::fprintf(stderr, "invariant failed at %s:%d\n", file, line);
        std::abort();
    }
}

namespace FuzzInput {

// The daemon's log lines would dominate every run.
inline const bool LogsSilenced = (qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {}), true);

// words: the keys and values the parser looks for, so that short inputs reach deep.
struct Reader
{
    static constexpr int MaxDepth = 4;
    const std::uint8_t *data;
    std::size_t size;
    QStringList words;

    bool atEnd() const { return size == 0; }
    quint8 byte() { return size == 0 ? 0 : (--size, *data++); }

    // Four bytes, the first the highest.
    quint32 number()
    {
        quint32 value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | byte();
        return value;
    }

    QByteArray take(std::size_t length)
    {
        length = std::min(length, size);
        const QByteArray result(reinterpret_cast<const char *>(data), int(length));
        data += length;
        size -= length;
        return result;
    }

    // Tag bytes from 0xc0 pick a word; below, the tag is the length of UTF-8 text.
    QString text()
    {
        const quint8 tag = byte();
        return tag >= 0xc0 && !words.isEmpty() ? words.at((tag - 0xc0) % words.size()) : QString::fromUtf8(take(tag));
    }

    // A tag byte modulo 13 picks the type; nesting stops at MaxDepth.
    QVariant variant(int depth = 0)
    {
        const bool deeper = depth < MaxDepth;
        switch (byte() % 13) {
        case 0: return text();
        case 1: { const quint8 length = byte(); return take(length == 255 ? size : length); }
        case 2: return qint32(number());
        case 3: return number();
        case 4: return bool(byte() & 1);
        case 5: return double(qint32(number())) / 16;
        case 6: {
            QStringList list;
            for (int count = byte() % 8; count > 0 && !atEnd(); --count)
                list << text();
            return list;
        }
        case 7: return deeper ? QVariant(map(depth + 1)) : QVariant(text());
        case 8: return deeper ? QVariant::fromValue(QDBusVariant(variant(depth + 1))) : QVariant(text());
        case 9: return QVariant::fromValue(qint16(number()));
        case 10: return QVariant::fromValue(quint16(number()));
        case 11: return QVariant::fromValue(QDBusObjectPath(text()));
        default: {
            QVariantList list;
            for (int count = byte() % 8; count > 0 && !atEnd() && deeper; --count)
                list << variant(depth + 1);
            return list;
        }
        }
    }

    // A count byte modulo 16, then that many text keys with their values.
    QVariantMap map(int depth = 0)
    {
        QVariantMap result;
        for (int count = byte() % 16; count > 0 && !atEnd(); --count) {
            const QString key = text();
            result.insert(key, variant(depth));
        }
        return result;
    }
};

} // namespace FuzzInput
