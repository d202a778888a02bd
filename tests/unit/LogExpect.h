#pragma once

#include <QDebug>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QRegularExpression>
#include <QString>
#include <QtTest>

// Expects one log line with the given text after the "file:line " prefix of the log macros.
inline void expectLog(QtMsgType type, const QString &text)
{
    QTest::ignoreMessage(type, QRegularExpression(QStringLiteral("^[\\w.]+:\\d+ ") + QRegularExpression::escape(text)
                                                  + QLatin1Char('$')));
}

// What a value's debug output writes, without the separating blank.
template<typename T>
QString debugText(const T &value)
{
    QString text;
    QDebug(&text).nospace() << value;
    return text;
}

// Records every message logged while it lives, bypassing the test framework's handler.
class LogCapture
{
public:
    LogCapture() { s_messages.clear(); m_previous = qInstallMessageHandler(&LogCapture::record); }
    ~LogCapture() { qInstallMessageHandler(m_previous); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    const QList<QPair<QtMsgType, QString>> &messages() const { return s_messages; }
    QStringList texts() const
    {
        QStringList texts;
        for (const auto &message : s_messages)
            texts.append(message.second);
        return texts;
    }
    // "LEVEL text" per message, with the "file.cpp:NN " prefix reduced to "file.cpp ".
    QStringList lines() const
    {
        static const QRegularExpression prefix(QStringLiteral("^([\\w.]+\\.cpp):\\d+ "));
        static const char *const levels[] = {"DEBUG", "WARN", "ERROR", "FATAL", "INFO"};
        QStringList lines;
        for (const auto &message : s_messages)
            lines << QLatin1String(levels[message.first]) + QLatin1Char(' ') + QString(message.second).replace(prefix, "\\1 ");
        return lines;
    }

private:
    // Messages may come from worker threads; they are read once those have finished.
    static void record(QtMsgType type, const QMessageLogContext &, const QString &text)
    {
        const QMutexLocker locker(&s_mutex);
        s_messages.append(qMakePair(type, text));
    }

    static inline QMutex s_mutex;
    static inline QList<QPair<QtMsgType, QString>> s_messages;
    QtMessageHandler m_previous = nullptr;
};
