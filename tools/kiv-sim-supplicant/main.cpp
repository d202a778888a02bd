#include "BusDescription.h"
#include "SimBusObject.h"
#include "SimCallLog.h"
#include "SimControl.h"
#include "SimSupplicant.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QFile>

#include <cstdio>

namespace {

const QString controlService = QStringLiteral("com.tarvel.kivsim");
const QStringList descriptionFiles{QStringLiteral(":/dbus/fi.w1.wpa_supplicant1.xml"),
                                   QStringLiteral(":/dbus/fi.w1.wpa_supplicant1.Interface.xml"),
                                   QStringLiteral(":/dbus/fi.w1.wpa_supplicant1.Interface.WPS.xml"),
                                   QStringLiteral(":/dbus/fi.w1.wpa_supplicant1.BSS.xml"),
                                   QStringLiteral(":/dbus/fi.w1.wpa_supplicant1.Network.xml")};

int fail(const QString &text)
{
    std::fprintf(stderr, "kiv-sim-supplicant: %s\n", qPrintable(text));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Simulated wpa_supplicant on the system bus"));
    parser.addHelpOption();
    parser.addOption({QStringLiteral("scenario"), QStringLiteral("JSON file with the access points."), QStringLiteral("file")});
    parser.addOption({QStringLiteral("verbose"), QStringLiteral("Print every received call on standard error.")});
    parser.process(app);

    if (qEnvironmentVariableIsEmpty("DBUS_SYSTEM_BUS_ADDRESS"))
        return fail(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS is not set; refusing to take over the machine's system bus"));

    QByteArray scenarioJson = "{}";
    if (parser.isSet(QStringLiteral("scenario"))) {
        QFile file(parser.value(QStringLiteral("scenario")));
        if (!file.open(QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read %1").arg(file.fileName()));
        scenarioJson = file.readAll();
    }
    QString error;
    const SimScenario scenario = SimScenario::fromJson(scenarioJson, &error);
    if (!error.isEmpty())
        return fail(QStringLiteral("scenario: ") + error);

    QList<BusInterfaceDescription> descriptions;
    for (const QString &name : descriptionFiles) {
        QFile file(name);
        file.open(QIODevice::ReadOnly);
        descriptions += BusDescription::parse(file.readAll(), &error);
        if (!error.isEmpty())
            return fail(name + QStringLiteral(": ") + error);
    }

    qDBusRegisterMetaType<QMap<QString, QByteArray>>();
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return fail(QStringLiteral("cannot connect to the system bus: ") + bus.lastError().message());

    SimCallLog log;
    SimBusObject busObject(bus, descriptions, &log);
    SimSupplicant supplicant(scenario, &busObject);
    busObject.setSupplicant(&supplicant);
    SimControl control(&supplicant, &log);
    if (parser.isSet(QStringLiteral("verbose")))
        QObject::connect(&log, &SimCallLog::recorded, [](const QString &entry) {
            std::fprintf(stderr, "%s\n", qPrintable(entry));
        });

    if (!bus.registerObject(QStringLiteral("/control"), &control,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)
        || !bus.registerService(controlService))
        return fail(QStringLiteral("cannot publish the control interface: ") + bus.lastError().message());
    if (!bus.registerVirtualObject(SimNames::rootPath, &busObject, QDBusConnection::SubPath)
        || !bus.registerService(SimNames::service))
        return fail(QStringLiteral("cannot own %1: %2").arg(SimNames::service, bus.lastError().message()));
    return app.exec();
}
