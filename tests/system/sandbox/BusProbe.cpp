// kiv-bus-probe: a minimal system-bus service and client for checking the sandbox bus and its policy.
//
//   kiv-bus-probe own <name>    owns <name>, prints "owned <name>", answers Ping at /probe until killed
//   kiv-bus-probe call <name>   calls Ping on <name>, prints the reply or the error name

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QObject>

#include <cstdio>

class Probe : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kivsandbox.Probe")

public slots:
    QString Ping() { return QStringLiteral("pong"); }
};

static int own(QDBusConnection bus, const QString &name)
{
    static Probe probe;
    bus.registerObject(QStringLiteral("/probe"), &probe, QDBusConnection::ExportAllSlots);
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        name, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid()) {
        printf("error %s\n", qPrintable(reply.error().name()));
        return 2;
    }
    if (reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        printf("not owned %s\n", qPrintable(name));
        return 2;
    }
    printf("owned %s\n", qPrintable(name));
    fflush(stdout);
    return QCoreApplication::exec();
}

static int call(QDBusConnection bus, const QString &name)
{
    const QDBusMessage request = QDBusMessage::createMethodCall(name, QStringLiteral("/probe"),
                                                                QStringLiteral("org.kivsandbox.Probe"), QStringLiteral("Ping"));
    const QDBusMessage reply = bus.call(request, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        printf("error %s\n", qPrintable(reply.errorName()));
        return 1;
    }
    printf("reply %s\n", qPrintable(reply.arguments().value(0).toString()));
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 3 || (args[1] != QLatin1String("own") && args[1] != QLatin1String("call"))) {
        fprintf(stderr, "usage: kiv-bus-probe own|call <name>\n");
        return 2;
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        printf("error %s\n", qPrintable(bus.lastError().name()));
        return 3;
    }
    return args[1] == QLatin1String("own") ? own(bus, args[2]) : call(bus, args[2]);
}

#include "BusProbe.moc"
