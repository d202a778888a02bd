#pragma once

// What /proc tells about one process: its files, children and memory.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

namespace ProcSample {

inline QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The number at the start of a "Name: value kB" line; 0 when the line is missing.
inline qint64 field(const QByteArray &text, const QByteArray &name)
{
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith(name + ':'))
            return line.mid(name.size() + 1).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

inline int openDescriptors(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
}

// Processes whose parent is pid, zombies included.
inline int children(qint64 pid)
{
    int count = 0;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        entry.toLongLong(&numeric);
        if (numeric && field(read(QStringLiteral("/proc/") + entry + QStringLiteral("/status")), "PPid") == pid)
            ++count;
    }
    return count;
}

} // namespace ProcSample
