#include "SimCallLog.h"

#include "BusValue.h"

#include <QDBusMessage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

SimCallLog::SimCallLog(QObject *parent)
    : QObject(parent)
{
}

void SimCallLog::record(const QDBusMessage &call)
{
    QJsonArray args;
    for (const QVariant &argument : call.arguments())
        args.append(BusValue::toJson(argument));
    QJsonObject entry;
    entry.insert(QStringLiteral("seq"), ++m_sequence);
    entry.insert(QStringLiteral("path"), call.path());
    entry.insert(QStringLiteral("interface"), call.interface());
    entry.insert(QStringLiteral("member"), call.member());
    entry.insert(QStringLiteral("args"), args);
    const QString text = QString::fromUtf8(QJsonDocument(entry).toJson(QJsonDocument::Compact));
    m_entries.append(text);
    emit recorded(text);
}
