#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QProcess>
#include <QSignalSpy>
#include <QString>
#include <QTemporaryDir>

// A dbus-daemon of the test's own on a socket in a temporary directory, used as the system bus.
class PrivateBus
{
public:
    PrivateBus() = default;
    PrivateBus(const PrivateBus &) = delete;
    PrivateBus &operator=(const PrivateBus &) = delete;
    ~PrivateBus()
    {
        m_daemon.terminate();
        m_daemon.waitForFinished(5000);
    }

    // Starts the daemon and points DBUS_SYSTEM_BUS_ADDRESS at it (before the first system-bus use).
    // The session configuration lets its one user own and call every name.
    bool start()
    {
        if (!m_dir.isValid())
            return false;
        m_address = QStringLiteral("unix:path=") + m_dir.filePath(QStringLiteral("bus"));
        m_daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // The daemon goes with the test even when the test crashes.
        m_daemon.start(QStringLiteral("setpriv"),
                       {QStringLiteral("--pdeathsig"), QStringLiteral("TERM"), QStringLiteral("dbus-daemon"),
                        QStringLiteral("--session"), QStringLiteral("--address=") + m_address, QStringLiteral("--nofork"),
                        QStringLiteral("--nopidfile"), QStringLiteral("--print-address")});
        // The address is printed once the socket listens.
        if (!m_daemon.waitForReadyRead(10000))
            return false;
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());
        return true;
    }

    QString address() const { return m_address; }

    // A call to a service living in this process: waits without blocking its event loop.
    static QDBusMessage callServedHere(const QDBusConnection &client, const QDBusMessage &message)
    {
        QDBusPendingCall pending = client.asyncCall(message);
        QDBusPendingCallWatcher watcher(pending);
        QSignalSpy finished(&watcher, &QDBusPendingCallWatcher::finished);
        if (!watcher.isFinished())
            finished.wait(10000);
        return pending.reply();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
};
