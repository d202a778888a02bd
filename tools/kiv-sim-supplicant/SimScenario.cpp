#include "SimScenario.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPasswordDigestor>
#include <QRegularExpression>
#include <QSet>

namespace {

bool isHexDigits(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^[0-9a-fA-F]*$"));
    return hex.match(text).hasMatch();
}

bool checkKeys(const QJsonObject &object, const QStringList &allowed, const QString &where, QString *error)
{
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!allowed.contains(it.key())) {
            *error = QStringLiteral("%1: unknown field \"%2\"").arg(where, it.key());
            return false;
        }
    }
    return true;
}

template<typename Enum>
bool enumValue(const QJsonObject &object, const QString &field, const QList<QPair<QString, Enum>> &names,
               Enum *value, QString *error)
{
    if (!object.contains(field))
        return true;
    const QString text = object.value(field).toString();
    for (const auto &entry : names) {
        if (entry.first == text) {
            *value = entry.second;
            return true;
        }
    }
    *error = QStringLiteral("invalid %1 \"%2\"").arg(field, text);
    return false;
}

bool intValue(const QJsonObject &object, const QString &field, int min, int max, int *value, QString *error)
{
    if (!object.contains(field))
        return true;
    const QJsonValue json = object.value(field);
    const double number = json.toDouble(-1e12);
    if (!json.isDouble() || number != static_cast<int>(number) || number < min || number > max) {
        *error = QStringLiteral("%1 must be an integer from %2 to %3").arg(field).arg(min).arg(max);
        return false;
    }
    *value = static_cast<int>(number);
    return true;
}

QByteArray ssidField(const QJsonObject &object, const QString &textField, const QString &hexField, QString *error)
{
    if (object.contains(hexField)) {
        const QString hex = object.value(hexField).toString();
        if (!isHexDigits(hex) || hex.size() % 2 != 0) {
            *error = QStringLiteral("%1 must be hex digits").arg(hexField);
            return {};
        }
        return QByteArray::fromHex(hex.toLatin1());
    }
    return object.value(textField).toString().toUtf8();
}

bool parseWps(const QJsonObject &object, SimWpsRegistrar *wps, QString *error)
{
    if (!checkKeys(object, {QStringLiteral("mode"), QStringLiteral("pin"), QStringLiteral("configError"),
                            QStringLiteral("msg"), QStringLiteral("errorIndication"), QStringLiteral("credentials")},
                   QStringLiteral("wps"), error))
        return false;
    wps->capable = true;
    if (!enumValue<SimWpsMode>(object, QStringLiteral("mode"),
                               {{QStringLiteral("off"), SimWpsMode::Off}, {QStringLiteral("pbc"), SimWpsMode::Pbc},
                                {QStringLiteral("pin"), SimWpsMode::Pin}},
                               &wps->mode, error))
        return false;
    wps->pin = object.value(QStringLiteral("pin")).toString();
    if (!intValue(object, QStringLiteral("configError"), 0, 65535, &wps->configError, error)
        || !intValue(object, QStringLiteral("msg"), 0, 255, &wps->msg, error)
        || !intValue(object, QStringLiteral("errorIndication"), 0, 65535, &wps->errorIndication, error))
        return false;
    if (object.contains(QStringLiteral("credentials"))) {
        const QJsonObject credentials = object.value(QStringLiteral("credentials")).toObject();
        if (!checkKeys(credentials, {QStringLiteral("ssid"), QStringLiteral("ssidHex"), QStringLiteral("key"),
                                     QStringLiteral("authType"), QStringLiteral("encrType")},
                       QStringLiteral("wps credentials"), error))
            return false;
        wps->overrideCredentials = true;
        wps->credentials.ssid = ssidField(credentials, QStringLiteral("ssid"), QStringLiteral("ssidHex"), error);
        if (!error->isEmpty())
            return false;
        wps->credentials.key = credentials.value(QStringLiteral("key")).toString();
        for (const QJsonValue &entry : credentials.value(QStringLiteral("authType")).toArray())
            wps->credentials.authType.append(entry.toString());
        for (const QJsonValue &entry : credentials.value(QStringLiteral("encrType")).toArray())
            wps->credentials.encrType.append(entry.toString());
    }
    return true;
}

bool checkKey(const SimAccessPoint &ap, QString *error)
{
    if (ap.security == SimSecurity::Wep && SimKeys::wepKeyBytes(ap.key).isEmpty()) {
        *error = QStringLiteral("a WEP key has 5, 13 or 16 characters or 10, 26 or 32 hex digits");
        return false;
    }
    if (ap.hasPsk() && SimKeys::pskFor(ap.key, ap.ssid).isEmpty()) {
        *error = QStringLiteral("a WPA key is a passphrase of 8 to 63 characters or 64 hex digits");
        return false;
    }
    return true;
}

} // namespace

QString SimAccessPoint::bssidText() const
{
    return SimKeys::macToText(bssid);
}

SimAccessPoint SimAccessPoint::fromJson(const QJsonObject &object, QString *error)
{
    SimAccessPoint ap;
    error->clear();
    const QString bssidText = object.value(QStringLiteral("bssid")).toString();
    const QString where = QStringLiteral("access point %1").arg(bssidText.isEmpty() ? QStringLiteral("?") : bssidText);
    auto fail = [&](const QString &text) {
        *error = where + QStringLiteral(": ") + text;
        return SimAccessPoint();
    };
    if (!checkKeys(object, {QStringLiteral("ssid"), QStringLiteral("ssidHex"), QStringLiteral("bssid"),
                            QStringLiteral("security"), QStringLiteral("proto"), QStringLiteral("pmf"),
                            QStringLiteral("key"), QStringLiteral("signal"), QStringLiteral("frequency"),
                            QStringLiteral("hidden"), QStringLiteral("wepAuth"), QStringLiteral("wps")},
                   where, error))
        return SimAccessPoint();
    ap.bssid = SimKeys::macFromText(bssidText);
    if (ap.bssid.isEmpty())
        return fail(QStringLiteral("bssid must look like 02:00:00:00:00:01"));
    QString detail;
    ap.ssid = ssidField(object, QStringLiteral("ssid"), QStringLiteral("ssidHex"), &detail);
    if (!detail.isEmpty())
        return fail(detail);
    if (ap.ssid.isEmpty() || ap.ssid.size() > 32)
        return fail(QStringLiteral("ssid must have 1 to 32 bytes"));
    if (!enumValue<SimSecurity>(object, QStringLiteral("security"),
                                {{QStringLiteral("open"), SimSecurity::Open}, {QStringLiteral("wep"), SimSecurity::Wep},
                                 {QStringLiteral("wpa-psk"), SimSecurity::WpaPsk}, {QStringLiteral("eap"), SimSecurity::Eap},
                                 {QStringLiteral("psk+eap"), SimSecurity::PskEap}},
                                &ap.security, &detail)
        || !enumValue<SimProto>(object, QStringLiteral("proto"),
                                {{QStringLiteral("rsn"), SimProto::Rsn}, {QStringLiteral("wpa"), SimProto::Wpa},
                                 {QStringLiteral("mixed"), SimProto::Mixed}},
                                &ap.proto, &detail)
        || !enumValue<SimPmf>(object, QStringLiteral("pmf"),
                              {{QStringLiteral("none"), SimPmf::None}, {QStringLiteral("optional"), SimPmf::Optional},
                               {QStringLiteral("required"), SimPmf::Required}},
                              &ap.pmf, &detail))
        return fail(detail);
    ap.key = object.value(QStringLiteral("key")).toString();
    int signal = ap.signal;
    int frequency = ap.frequency;
    if (!intValue(object, QStringLiteral("signal"), -32768, 32767, &signal, &detail)
        || !intValue(object, QStringLiteral("frequency"), 1, 65535, &frequency, &detail))
        return fail(detail);
    ap.signal = static_cast<qint16>(signal);
    ap.frequency = static_cast<quint16>(frequency);
    ap.hidden = object.value(QStringLiteral("hidden")).toBool(false);
    const QString wepAuth = object.value(QStringLiteral("wepAuth")).toString(QStringLiteral("shared"));
    if (wepAuth != QLatin1String("shared") && wepAuth != QLatin1String("open"))
        return fail(QStringLiteral("wepAuth is \"open\" or \"shared\""));
    ap.wepSharedAuth = wepAuth == QLatin1String("shared");
    if (!checkKey(ap, &detail))
        return fail(detail);
    if (object.contains(QStringLiteral("wps"))
        && !parseWps(object.value(QStringLiteral("wps")).toObject(), &ap.wps, &detail))
        return fail(detail);
    return ap;
}

SimScenario SimScenario::fromJson(const QByteArray &json, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *error = QStringLiteral("not a JSON object: %1").arg(parseError.errorString());
        return {};
    }
    const QJsonObject root = document.object();
    if (!checkKeys(root, {QStringLiteral("interfaces"), QStringLiteral("timing"), QStringLiteral("accessPoints")},
                   QStringLiteral("scenario"), error))
        return {};
    SimScenario scenario;
    for (const QJsonValue &name : root.value(QStringLiteral("interfaces")).toArray())
        scenario.interfaces.append(name.toString());

    const QJsonObject timing = root.value(QStringLiteral("timing")).toObject();
    const struct { const char *name; int *value; int min; } timingFields[] = {
        {"stepMs", &scenario.timing.stepMs, 0},
        {"scanMs", &scenario.timing.scanMs, 0},
        {"rescanMs", &scenario.timing.rescanMs, 1},
        {"wpsWalkMs", &scenario.timing.wpsWalkMs, 1},
        {"wpsExchangeMs", &scenario.timing.wpsExchangeMs, 0},
        {"tempDisabledUnitMs", &scenario.timing.tempDisabledUnitMs, 1},
        {"bssExpireCount", &scenario.timing.bssExpireCount, 1},
        {"bssExpireAge", &scenario.timing.bssExpireAge, 10},
    };
    QStringList timingNames;
    for (const auto &field : timingFields)
        timingNames.append(QLatin1String(field.name));
    if (!checkKeys(timing, timingNames, QStringLiteral("timing"), error))
        return {};
    for (const auto &field : timingFields) {
        QString detail;
        if (!intValue(timing, QLatin1String(field.name), field.min, 3600000, field.value, &detail)) {
            *error = QStringLiteral("timing: ") + detail;
            return {};
        }
    }

    QSet<QByteArray> bssids;
    for (const QJsonValue &entry : root.value(QStringLiteral("accessPoints")).toArray()) {
        const SimAccessPoint ap = SimAccessPoint::fromJson(entry.toObject(), error);
        if (!error->isEmpty())
            return {};
        if (bssids.contains(ap.bssid)) {
            *error = QStringLiteral("access point %1: bssid used twice").arg(ap.bssidText());
            return {};
        }
        bssids.insert(ap.bssid);
        scenario.accessPoints.append(ap);
    }
    error->clear();
    return scenario;
}

QByteArray SimKeys::macFromText(const QString &text)
{
    static const QRegularExpression mac(QStringLiteral("^([0-9a-fA-F]{2}:){5}[0-9a-fA-F]{2}$"));
    if (!mac.match(text).hasMatch())
        return {};
    return QByteArray::fromHex(text.toLatin1().replace(':', ""));
}

QString SimKeys::macToText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(':'));
}

QByteArray SimKeys::wepKeyBytes(const QString &key)
{
    const int length = key.size();
    if (length == 5 || length == 13 || length == 16)
        return key.toLatin1();
    if ((length == 10 || length == 26 || length == 32) && isHexDigits(key))
        return QByteArray::fromHex(key.toLatin1());
    return {};
}

QByteArray SimKeys::pskFor(const QString &key, const QByteArray &ssid)
{
    if (key.size() == 64 && isHexDigits(key))
        return QByteArray::fromHex(key.toLatin1());
    if (key.size() < 8 || key.size() > 63)
        return {};
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha1, key.toUtf8(), ssid, 4096, 32);
}
