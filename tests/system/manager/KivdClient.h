#pragma once

// A bus client of the daemon in a sandbox: calls methods, reads and writes properties, records every signal.
#include "KivSandbox.h"

#include <QtDBus>
#include <QtTest>

class KivdClient : public QObject
{
    Q_OBJECT
public:
    static constexpr int Patience = 30000;
    static inline const QString Service = QStringLiteral("com.tarvel.kiv");
    static inline const QString Path = QStringLiteral("/com/tarvel/kiv");

    explicit KivdClient(KivSandbox *sandbox) : m_sandbox(sandbox) {}

    // Every daemon signal from any sender, so a Started right after the name appears is not missed; call before startKivd().
    bool subscribe() { return m_sandbox->bus().connect(QString(), Path, Service, QString(), this, SLOT(record(QDBusMessage))); }

    // Waits for Started; with KIV_KIVD_UNIT, under setpriv with that unit's CapabilityBoundingSet= and NoNewPrivileges=.
    bool startKivd(const QStringList &arguments = {QStringLiteral("-d")})
    {
        m_log.clear();
        QStringList command{KivSandbox::kivdPath()};
        if (!qEnvironmentVariableIsEmpty("KIV_KIVD_UNIT")) {
            QFile file(qEnvironmentVariable("KIV_KIVD_UNIT"));
            const QString unit = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
            const auto setting = [&](const char *key) {
                return QRegularExpression(QLatin1String(key) + "=(.*)$", QRegularExpression::MultilineOption).match(unit).captured(1).simplified();
            };
            const QString capabilities = setting("^CapabilityBoundingSet").toLower().replace("cap_", "+").replace(' ', ',');
            if (capabilities.isEmpty())
                return false;
            command = QStringList{"/usr/bin/setpriv", "--inh-caps=-all", "--bounding-set=-all," + capabilities, "--"} + command;
            if (QStringList{"yes", "true"}.contains(setting("^NoNewPrivileges")))
                command.insert(3, QStringLiteral("--no-new-privs"));
        }
        m_kivd = m_sandbox->start(command.first(), command.mid(1) + arguments, Service, Patience);
        return m_kivd && awaitEvent(QStringLiteral("Started"));
    }
    void stopKivd() { if (m_kivd) m_sandbox->stop(m_kivd); }
    // Shows the end of the daemon's log after a failed test function; for cleanup().
    void showLogAfterFailure() { if (QTest::currentTestFailed()) qInfo("kivd log, last lines:\n%s", log().right(8000).constData()); }

    // Under its own process name, so the daemon's start-up clean-up of stale supplicants leaves it running.
    bool startSimulatedSupplicant(const QString &program, const QByteArray &scenario)
    {
        QFile file(m_sandbox->hostPath(QStringLiteral("/tmp/scenario.json")));
        return file.open(QIODevice::WriteOnly) && file.write(scenario) == scenario.size() && file.flush()
               && m_sandbox->start(program, {"--scenario", "/tmp/scenario.json"}, QStringLiteral("fi.w1.wpa_supplicant1"));
    }
    // A call to the simulated supplicant's control interface.
    QDBusMessage simulator(const QString &method, const QVariantList &arguments)
    {
        return call(method, arguments, "com.tarvel.kivsim.Control", "com.tarvel.kivsim", "/control");
    }

    // Events are handled while waiting: the daemon blocks once its log fills the pipe to this process.
    QDBusMessage call(const QString &member, const QVariantList &arguments = {}, const QString &interface = Service,
                      const QString &service = Service, const QString &path = Path)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, member);
        message.setArguments(arguments);
        return m_sandbox->bus().call(message, QDBus::BlockWithGui, Patience);
    }
    bool command(const QString &member, const QVariantList &arguments = {}) { return call(member, arguments).type() == QDBusMessage::ReplyMessage; }
    bool setMode(const QString &mode) { return command(QStringLiteral("SetNormalMode"), {mode}); }
    QVariant property(const QString &name) { return call("Get", {Service, name}, Properties).arguments().value(0).value<QDBusVariant>().variant(); }
    bool setProperty(const QString &name, const QVariant &value)
    {
        return call("Set", {Service, name, QVariant::fromValue(QDBusVariant(value))}, Properties).type() == QDBusMessage::ReplyMessage;
    }
    QVariantMap details(const QString &interface) { return qdbus_cast<QVariantMap>(call("InterfaceDetails", {interface}).arguments().value(0)); }
    // The interface's IPv4 addresses as "ip addr" shows them in the device.
    QByteArray ipv4(const QString &interface) { return m_sandbox->exec({"ip", "-4", "addr", "show", "dev", interface}).output; }

    // "Member arg arg" per signal; map arguments are left out.
    QStringList events() const { return m_events; }
    // Signals sent before this call but still queued are taken too, so the next events are only those that follow.
    QStringList takeEvents()
    {
        sync();
        return std::exchange(m_events, {});
    }
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
        if (m_kivd) m_log += m_kivd->readAll();
        return m_log;
    }
    bool awaitLog(const QByteArray &text, int timeoutMs = Patience) { return QTest::qWaitFor([&] { return log().contains(text); }, timeoutMs); }
    int logCount(const QByteArray &text) { return log().count(text); }

public slots:
    void record(const QDBusMessage &message)
    {
        QStringList parts{message.member()};
        for (const QVariant &argument : message.arguments())
            if (!argument.canConvert<QDBusArgument>())
                parts << argument.toString();
        m_events << parts.join(QLatin1Char(' '));
    }

private:
    static inline const QString Properties = QStringLiteral("org.freedesktop.DBus.Properties");
    KivSandbox *m_sandbox;
    QProcess *m_kivd = nullptr;
    QByteArray m_log;
    QStringList m_events;
};
