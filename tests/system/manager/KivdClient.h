#pragma once

// A bus client of the daemon running in a sandbox: calls its methods, reads and writes its
// properties through the standard properties interface, and records every signal it sends.
#include "KivSandbox.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QVariantMap>
#include <QtTest>

class KivdClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int Patience = 30000;

    explicit KivdClient(KivSandbox *sandbox) : m_sandbox(sandbox) {}

    // Subscribes to every daemon signal from any sender, so a Started sent right after the
    // name appears is not missed; call before the daemon starts.
    bool subscribe()
    {
        QDBusConnection bus = m_sandbox->bus();
        for (const char *signal : {"Started", "Connected", "Disconnected", "Disconnecting", "Error", "AuthError",
                                   "CableStatus", "WpsCredentials", "WpsError", "ScanResults", "AddressesChanged",
                                   "InterfaceStatusChanged", "StationConnected", "StationDisconnected"}) {
            if (!bus.connect(QString(), Path, Service, QLatin1String(signal), this, SLOT(record(QDBusMessage))))
                return false;
        }
        return true;
    }

    // Starts the daemon in the sandbox and waits for its Started signal. With KIV_KIVD_UNIT naming
    // a unit file, the daemon runs under setpriv with only that unit's capability bounding set.
    bool startKivd(const QStringList &arguments = {QStringLiteral("-d")})
    {
        const QString unit = qEnvironmentVariable("KIV_KIVD_UNIT");
        if (unit.isEmpty()) {
            m_kivd = m_sandbox->startKivd(arguments, Patience);
        } else {
            const QStringList launcher = unitLauncher(unit);
            if (launcher.isEmpty())
                return false;
            m_kivd = m_sandbox->startAndWaitForBusName(launcher.first(),
                                                       launcher.mid(1) + QStringList{KivSandbox::kivdPath()} + arguments,
                                                       Service, Patience);
            if (m_kivd && !runsLikeLauncher(launcher))
                return false;
        }
        return m_kivd && awaitEvent(QStringLiteral("Started"));
    }
    // setpriv with the unit's CapabilityBoundingSet= and NoNewPrivileges=; empty when the unit has no bounding set.
    static QStringList unitLauncher(const QString &unitFile)
    {
        QFile file(unitFile);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
            return {};
        QStringList capabilities;
        bool noNewPrivileges = false;
        for (const QByteArray &raw : file.readAll().split('\n')) {
            const QString line = QString::fromUtf8(raw).trimmed();
            if (line.startsWith(QLatin1String("CapabilityBoundingSet="))) {
                for (const QString &name : line.section(QLatin1Char('='), 1).split(QLatin1Char(' '), Qt::SkipEmptyParts))
                    capabilities << QLatin1Char('+') + name.toLower().remove(QLatin1String("cap_"));
            } else if (line == QLatin1String("NoNewPrivileges=yes") || line == QLatin1String("NoNewPrivileges=true")) {
                noNewPrivileges = true;
            }
        }
        if (capabilities.isEmpty())
            return {};
        QStringList launcher{QStringLiteral("/usr/bin/setpriv"), QStringLiteral("--inh-caps=-all"),
                             QStringLiteral("--bounding-set=-all,") + capabilities.join(QLatin1Char(','))};
        if (noNewPrivileges)
            launcher << QStringLiteral("--no-new-privs");
        return launcher << QStringLiteral("--");
    }
    // The running daemon has the bounding set and no-new-privileges flag a program under the launcher gets.
    bool runsLikeLauncher(const QStringList &launcher)
    {
        const QString status = QStringLiteral("grep -E '^(CapBnd|NoNewPrivs)' /proc/%1/status");
        const KivSandbox::Result expected = m_sandbox->exec(launcher + QStringList{QStringLiteral("sh"), QStringLiteral("-c"), status.arg(QStringLiteral("self"))});
        const KivSandbox::Result actual = m_sandbox->exec({QStringLiteral("sh"), QStringLiteral("-c"), status.arg(QStringLiteral("$(pidof kivd)"))});
        if (expected.exitCode == 0 && expected.output == actual.output)
            return true;
        qWarning("kivd runs with\n%s\nexpected\n%s", actual.output.constData(), expected.output.constData());
        return false;
    }
    QProcess *kivd() const { return m_kivd; }
    // Stops the daemon, if it was started; for cleanupTestCase().
    void stopKivd()
    {
        if (m_kivd)
            m_sandbox->stop(m_kivd);
    }
    // Shows the end of the daemon's log after a failed test function; for cleanup().
    void showLogAfterFailure()
    {
        if (QTest::currentTestFailed())
            printLogTail();
    }

    // Starts the simulated supplicant with this scenario on the sandbox bus. It runs under its own
    // process name, so the daemon's start-up clean-up of stale supplicants leaves it running.
    bool startSimulatedSupplicant(const QString &program, const QByteArray &scenario)
    {
        QFile file(m_sandbox->hostPath(QStringLiteral("/tmp/scenario.json")));
        if (!file.open(QIODevice::WriteOnly) || file.write(scenario) != scenario.size())
            return false;
        file.close();
        return m_sandbox->startAndWaitForBusName(program, {QStringLiteral("--scenario"), QStringLiteral("/tmp/scenario.json")},
                                                 QStringLiteral("fi.w1.wpa_supplicant1"));
    }

    // Events are handled while waiting: the daemon blocks once its log fills the pipe to this process.
    QDBusMessage call(const QString &member, const QVariantList &arguments = {},
                      const QString &interface = Service)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(Service, Path, interface, member);
        message.setArguments(arguments);
        return m_sandbox->bus().call(message, QDBus::BlockWithGui, Patience);
    }
    bool command(const QString &member, const QVariantList &arguments = {})
    {
        return call(member, arguments).type() == QDBusMessage::ReplyMessage;
    }
    QVariant property(const QString &name)
    {
        const QDBusMessage reply = call(QStringLiteral("Get"), {Service, name}, Properties);
        return reply.arguments().value(0).value<QDBusVariant>().variant();
    }
    QVariantMap mapProperty(const QString &name) { return toMap(property(name)); }
    bool setProperty(const QString &name, const QVariant &value)
    {
        return call(QStringLiteral("Set"), {Service, name, QVariant::fromValue(QDBusVariant(value))}, Properties).type()
               == QDBusMessage::ReplyMessage;
    }
    QVariantMap details(const QString &interface)
    {
        return toMap(call(QStringLiteral("InterfaceDetails"), {interface}).arguments().value(0));
    }

    static QVariantMap toMap(const QVariant &value)
    {
        if (value.canConvert<QDBusArgument>())
            return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
        return value.toMap();
    }

    // "Member arg arg" per signal; map arguments are kept in messages().
    QStringList events() const { return m_events; }
    // Signals the daemon sent before this call may still wait in the event queue: they are
    // taken too, so the next events are only those that follow.
    QStringList takeEvents()
    {
        sync();
        const QStringList taken = m_events;
        m_events.clear();
        return taken;
    }
    QList<QDBusMessage> messages(const QString &member) const
    {
        QList<QDBusMessage> found;
        for (const QDBusMessage &message : m_messages) {
            if (message.member() == member)
                found << message;
        }
        return found;
    }
    void clearMessages() { m_messages.clear(); }

    // Waits for a signal, then for a reply the daemon sends after everything emitted before.
    bool awaitEvent(const QString &event, int timeoutMs = Patience)
    {
        if (!QTest::qWaitFor([&] { return m_events.contains(event); }, timeoutMs))
            return false;
        sync();
        return true;
    }
    // A round trip: the daemon's signals emitted before it have been received afterwards.
    void sync()
    {
        property(QStringLiteral("Mode"));
        QCoreApplication::processEvents();
    }
    int count(const QString &event) const { return m_events.count(event); }

    // Everything the daemon wrote so far.
    const QByteArray &log()
    {
        if (m_kivd)
            m_log += m_kivd->readAll();
        return m_log;
    }
    bool awaitLog(const QByteArray &text, int timeoutMs = Patience)
    {
        return QTest::qWaitFor([&] { return log().contains(text); }, timeoutMs);
    }
    int logCount(const QByteArray &text) { return log().count(text); }
    // After a failed test function: the daemon's last lines, for the test's output.
    void printLogTail(int lines = 80)
    {
        const QList<QByteArray> all = log().split('\n');
        for (const QByteArray &line : all.mid(qMax(0, all.size() - lines)))
            qInfo("kivd| %s", line.constData());
    }

    static inline const QString Service = QStringLiteral("com.tarvel.kiv");
    static inline const QString Path = QStringLiteral("/com/tarvel/kiv");
    static inline const QString Properties = QStringLiteral("org.freedesktop.DBus.Properties");

public slots:
    void record(const QDBusMessage &message)
    {
        QStringList parts{message.member()};
        for (const QVariant &argument : message.arguments()) {
            if (!argument.canConvert<QDBusArgument>())
                parts << argument.toString();
        }
        m_events << parts.join(QLatin1Char(' '));
        m_messages << message;
    }

private:
    KivSandbox *m_sandbox;
    QProcess *m_kivd = nullptr;
    QByteArray m_log;
    QStringList m_events;
    QList<QDBusMessage> m_messages;
};
