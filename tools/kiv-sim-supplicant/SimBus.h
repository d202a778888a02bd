#pragma once

#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

// Names of the simulated service as wpa_supplicant publishes them.
namespace SimNames {

const QString service = QStringLiteral("fi.w1.wpa_supplicant1");
const QString rootPath = QStringLiteral("/fi/w1/wpa_supplicant1");
const QString rootInterface = QStringLiteral("fi.w1.wpa_supplicant1");
const QString interfaceInterface = QStringLiteral("fi.w1.wpa_supplicant1.Interface");
const QString wpsInterface = QStringLiteral("fi.w1.wpa_supplicant1.Interface.WPS");
const QString bssInterface = QStringLiteral("fi.w1.wpa_supplicant1.BSS");
const QString networkInterface = QStringLiteral("fi.w1.wpa_supplicant1.Network");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

const QString errorInvalidArgs = QStringLiteral("fi.w1.wpa_supplicant1.InvalidArgs");
const QString errorUnknown = QStringLiteral("fi.w1.wpa_supplicant1.UnknownError");
const QString errorInterfaceExists = QStringLiteral("fi.w1.wpa_supplicant1.InterfaceExists");
const QString errorInterfaceUnknown = QStringLiteral("fi.w1.wpa_supplicant1.InterfaceUnknown");
const QString errorNotConnected = QStringLiteral("fi.w1.wpa_supplicant1.NotConnected");
const QString errorNetworkUnknown = QStringLiteral("fi.w1.wpa_supplicant1.NetworkUnknown");
const QString errorBlobExists = QStringLiteral("fi.w1.wpa_supplicant1.BlobExists");
const QString errorBlobUnknown = QStringLiteral("fi.w1.wpa_supplicant1.BlobUnknown");
const QString errorScan = QStringLiteral("fi.w1.wpa_supplicant1.Interface.ScanError");
const QString errorDBusInvalidArgs = QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs");
const QString errorDBusFailed = QStringLiteral("org.freedesktop.DBus.Error.Failed");

} // namespace SimNames

// The outcome of one bus call: reply values, or an error name and text.
struct SimResult
{
    QVariantList values;
    QString errorName;
    QString errorMessage;

    bool ok() const { return errorName.isEmpty(); }
    static SimResult success(const QVariantList &values = {}) { return {values, {}, {}}; }
    static SimResult failure(const QString &name, const QString &message) { return {{}, name, message}; }
};

// Where the simulated objects send their bus signals.
class SimBusEmitter
{
public:
    virtual ~SimBusEmitter() = default;
    virtual void emitSignal(const QString &path, const QString &interface, const QString &member,
                            const QVariantList &args) = 0;

    // wpa_supplicant announces changes twice: on the object's own interface and on the standard one.
    void emitPropertiesChanged(const QString &path, const QString &interface, const QVariantMap &changed);
};

// The first key of args that is not in known, empty when there is none.
QString unknownKey(const QVariantMap &args, const QStringList &known);

// Entries of "after" whose value differs from "before" (or is new).
QVariantMap changedProperties(const QVariantMap &before, const QVariantMap &after);
