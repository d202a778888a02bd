#pragma once

#include <QMutex>
#include <QtTest>

// Expects one log line with the given text after the "file:line " prefix of the log macros.
inline void expectLog(QtMsgType type, const QString &text)
{
    QTest::ignoreMessage(type, QRegularExpression(QStringLiteral("^[\\w.]+:\\d+ ") + QRegularExpression::escape(text) + QLatin1Char('$')));
}

// Records every message logged while it lives, bypassing the test framework's handler.
class LogCapture
{
public:
    LogCapture() { s_messages.clear(); m_previous = qInstallMessageHandler(&LogCapture::record); }
    ~LogCapture() { qInstallMessageHandler(m_previous); }

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
        static const char *const levels[] = {"DEBUG", "WARN", "ERROR", "FATAL", "INFO"};
        QStringList lines;
        for (const auto &message : s_messages)
            lines << levels[message.first] + QStringLiteral(" ") + message.second;
        return lines.replaceInStrings(QRegularExpression(QStringLiteral("^(\\w+ [\\w.]+\\.cpp):\\d+ ")), QStringLiteral("\\1 "));
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
