#pragma once

#include "KivSandbox.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QtTest>

// AddressManagers running inside a sandbox device (kiv-address-driver), with helpers that read
// the device's addresses, routes, resolver file and processes.
class AddressSandbox
{
public:
    // Starts a driver for the interface, forgetting the reports of an earlier one; false when it
    // could not be started.
    bool startDriver(const QString &interface)
    {
        m_output.clear();
        m_driver = sandbox.start(QStringLiteral(KIV_ADDRESS_DRIVER), {interface});
        return m_driver != nullptr;
    }

    void send(const QByteArray &command)
    {
        m_driver->write(command + '\n');
        m_driver->waitForBytesWritten(5000);
    }

    // The driver's report lines so far (its log lines left out).
    QStringList reports()
    {
        m_output += m_driver->readAll();
        static const QRegularExpression report(QStringLiteral("^(EVENT|STATUS|DONE|ERROR) "));
        return QString::fromUtf8(m_output).split(QLatin1Char('\n')).filter(report);
    }

    // Sends a command and waits until the driver has carried it out.
    bool command(const QByteArray &command, int timeoutMs = 40000)
    {
        const int done = count("DONE " + command.split(' ').constFirst());
        send(command);
        return waitUntil([&] { return count("DONE " + command.split(' ').constFirst()) > done; }, timeoutMs);
    }

    int count(const QString &prefix)
    {
        int n = 0;
        for (const QString &line : reports())
            n += line.startsWith(prefix) ? 1 : 0;
        return n;
    }

    bool connectedNow()
    {
        const int before = count(QStringLiteral("STATUS"));
        send("status");
        waitUntil([&] { return count(QStringLiteral("STATUS")) > before; }, 5000);
        return reports().filter(QRegularExpression(QStringLiteral("^STATUS "))).constLast() == "STATUS connected";
    }

    template<typename Condition>
    bool waitUntil(Condition condition, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!condition()) {
            if (clock.elapsed() > timeoutMs || m_driver->state() == QProcess::NotRunning)
                return condition();
            m_driver->waitForReadyRead(50);
        }
        return true;
    }

    QString exec(const QStringList &command)
    {
        return QString::fromUtf8(sandbox.exec(command).output);
    }

    bool writeSysctl(const QString &path, const QString &value)
    {
        return sandbox.exec({"sh", "-c", "echo " + value + " > /proc/sys/" + path}).ok();
    }

    // The interface's addresses of one family ("inet" or "inet6") as "address/prefix scope",
    // with " tentative" while duplicate detection runs.
    QStringList addresses(const QString &interface, const QString &family)
    {
        QStringList texts;
        const QJsonArray links = QJsonDocument::fromJson(sandbox.exec({"ip", "-j", "addr", "show", "dev", interface})
                                                             .output)
                                     .array();
        for (const QJsonValue &link : links) {
            for (const QJsonValue &value : link.toObject().value(QStringLiteral("addr_info")).toArray()) {
                const QJsonObject info = value.toObject();
                if (info.value(QStringLiteral("family")).toString() != family)
                    continue;
                texts << info.value(QStringLiteral("local")).toString() + '/'
                             + QString::number(info.value(QStringLiteral("prefixlen")).toInt()) + ' '
                             + info.value(QStringLiteral("scope")).toString()
                             + (info.value(QStringLiteral("tentative")).toBool() ? " tentative" : "");
            }
        }
        return texts;
    }

    // The IPv4 default routes as "via gateway dev interface".
    QStringList defaultRoutes()
    {
        QStringList texts;
        const QJsonArray routes = QJsonDocument::fromJson(sandbox.exec({"ip", "-j", "-4", "route", "show", "default"})
                                                              .output)
                                      .array();
        for (const QJsonValue &value : routes) {
            const QJsonObject route = value.toObject();
            texts << "via " + route.value(QStringLiteral("gateway")).toString() + " dev "
                         + route.value(QStringLiteral("dev")).toString();
        }
        return texts;
    }

    QString resolvConf()
    {
        QFile file(sandbox.hostPath(QStringLiteral("/etc/resolv.conf")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    // Whether a program of that name runs in the device.
    bool running(const QString &name) { return sandbox.exec({"pidof", name}).ok(); }

    KivSandbox sandbox;

private:
    QProcess *m_driver = nullptr;
    QByteArray m_output;
};
