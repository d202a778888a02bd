#pragma once

#include <QFile>
#include <QString>
#include <QTextStream>

// Writes one generated file atomically: text goes to "<target>.new", which replaces the
// target in one rename when the writer is destroyed. Every file starts with the header line.
class ConfigFileWriter
{
public:
    explicit ConfigFileWriter(const QString &path);
    ~ConfigFileWriter();

    ConfigFileWriter(const ConfigFileWriter &) = delete;
    ConfigFileWriter &operator=(const ConfigFileWriter &) = delete;

    ConfigFileWriter &operator<<(const QString &text);
    ConfigFileWriter &operator<<(char c);

    bool isOpen() const { return m_file.isOpen(); }
    const QString &path() const { return m_path; }

    static const QString TempSuffix;
    static const QString Header;

private:
    QString m_path;
    QFile m_file;
    QTextStream m_stream;
};
