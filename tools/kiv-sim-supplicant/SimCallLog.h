#pragma once

#include <QObject>
#include <QStringList>

class QDBusMessage;

// Every method call the simulated supplicant received, one JSON object per call:
// {"seq": n, "path": ..., "interface": ..., "member": ..., "args": [...]}.
class SimCallLog : public QObject
{
    Q_OBJECT

public:
    explicit SimCallLog(QObject *parent = nullptr);

    void record(const QDBusMessage &call);
    QStringList entries() const { return m_entries; }
    void clear() { m_entries.clear(); }

signals:
    void recorded(const QString &entry);

private:
    QStringList m_entries;
    int m_sequence = 0;
};
