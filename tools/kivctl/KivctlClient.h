#pragma once

#include "KivctlCommand.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QTextStream>

class QEventLoop;

// Carries out one kivctl command against kivd's com.tarvel.kiv object on the given bus and
// prints its result; run() returns the exit status.
class KivctlClient : public QObject
{
    Q_OBJECT

public:
    KivctlClient(const QDBusConnection &bus, QTextStream &out, QTextStream &err, QObject *parent = nullptr);

    int run(const Kivctl::Command &command);

    static const QString Service;
    static const QString Path;
    static const QString Interface;

public slots:
    void on_bus_signal(const QDBusMessage &message);

private:
    int status();
    int details();
    int scan();
    int networks();
    int ipSettings();
    int wps();
    int softAp();
    int logLevel();
    int monitor();

    bool call(const QString &member, const QVariantList &arguments = {}, QVariantList *results = nullptr);
    bool readProperty(const QString &name, QVariant *value);
    bool writeProperty(const QString &name, const QVariant &value);
    // Listens to the signals; the round trip to the bus after it makes sure none is missed.
    bool subscribe(const QStringList &signalNames);
    // Waits for the next signal listened to; false after the timeout.
    bool awaitSignal(int timeoutMs, QDBusMessage *message);
    int fail(int exitCode, const QString &message);
    void print(const QString &text);
    void printJson(const QVariant &value);

    QDBusConnection m_bus;
    QTextStream &m_out;
    QTextStream &m_err;
    Kivctl::Command m_command;
    int m_callTimeoutMs = 25000;
    int m_exitCode = 0;
    QList<QDBusMessage> m_received;
    QEventLoop *m_waiting = nullptr;
};
