#include "SimNetworkConfig.h"

#include "SimBssProperties.h"

#include <QRegularExpression>

#include <climits>

namespace {

const QStringList unquotedFields{QStringLiteral("key_mgmt"), QStringLiteral("proto"), QStringLiteral("pairwise"),
                                 QStringLiteral("group"), QStringLiteral("auth_alg"), QStringLiteral("eap"),
                                 QStringLiteral("bssid"), QStringLiteral("scan_ssid")};

bool tokens(const QString &value, const QStringList &allowed, QStringList *result)
{
    const QStringList parts = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return false;
    for (const QString &part : parts) {
        if (!allowed.contains(part))
            return false;
    }
    *result = parts;
    return true;
}

bool number(const QString &value, int min, int max, int *result)
{
    bool ok = false;
    const int parsed = value.toInt(&ok);
    if (!ok || parsed < min || parsed > max)
        return false;
    *result = parsed;
    return true;
}

bool isHexBytes(const QString &text)
{
    static const QRegularExpression hex(QStringLiteral("^([0-9a-fA-F]{2})*$"));
    return hex.match(text).hasMatch();
}

QString displayText(const QByteArray &bytes)
{
    for (char c : bytes) {
        if (c < 0x20 || c > 0x7e)
            return QString::fromLatin1(bytes.toHex());
    }
    return QLatin1Char('"') + QString::fromLatin1(bytes) + QLatin1Char('"');
}

QString akmName(const QString &keyMgmt)
{
    return keyMgmt.toLower();
}

// The AKM wpa_supplicant picks among those both sides offer: SHA-256 forms first.
QString selectedAkm(const SimNetworkConfig &network, const QStringList &offered)
{
    for (const QString &akm : {QStringLiteral("WPA-PSK-SHA256"), QStringLiteral("WPA-PSK")}) {
        if (network.keyMgmt.contains(akm) && offered.contains(akmName(akm)) && network.hasPsk())
            return akm;
    }
    return QString();
}

QStringList offeredAkms(const SimNetworkConfig &network, const SimAccessPoint &ap, bool *rsn)
{
    *rsn = ap.hasRsnIe() && network.proto.contains(QStringLiteral("RSN"));
    if (*rsn)
        return SimBssProperties::rsnDictionary(ap).value(QStringLiteral("KeyMgmt")).toStringList();
    if (ap.hasWpaIe() && network.proto.contains(QStringLiteral("WPA")))
        return SimBssProperties::wpaDictionary(ap).value(QStringLiteral("KeyMgmt")).toStringList();
    return {};
}

} // namespace

bool SimNetworkConfig::apply(const QVariantMap &entries, QString *error)
{
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        const QVariant &value = it.value();
        QString text;
        bool quoted = false;
        switch (value.userType()) {
        case QMetaType::QByteArray:
            text = QString::fromLatin1(value.toByteArray().toHex());
            break;
        case QMetaType::QString:
            text = value.toString();
            quoted = !unquotedFields.contains(it.key());
            break;
        case QMetaType::Int:
        case QMetaType::UInt:
            text = value.toString();
            break;
        default:
            *error = QStringLiteral("%1: unsupported value type").arg(it.key());
            return false;
        }
        if (!setField(it.key(), text, quoted, error))
            return false;
    }
    return true;
}

bool SimNetworkConfig::setField(const QString &name, const QString &value, bool quoted, QString *error)
{
    auto reject = [&](const QString &why) {
        *error = QStringLiteral("%1: %2").arg(name, why);
        return false;
    };
    QString shown = quoted ? QLatin1Char('"') + value + QLatin1Char('"') : value;
    const QRegularExpression wepName(QStringLiteral("^wep_key([0-3])$"));
    const QRegularExpressionMatch wepMatch = wepName.match(name);
    if (name == QLatin1String("ssid")) {
        const QByteArray bytes = quoted ? value.toUtf8() : QByteArray::fromHex(value.toLatin1());
        if ((!quoted && !isHexBytes(value)) || bytes.size() > 32)
            return reject(QStringLiteral("invalid SSID"));
        ssid = bytes;
        shown = displayText(bytes);
    } else if (name == QLatin1String("psk")) {
        if (quoted) {
            if (value.size() < 8 || value.size() > 63)
                return reject(QStringLiteral("passphrase must have 8 to 63 characters"));
            passphrase = value;
            psk.clear();
        } else {
            if (value.size() != 64 || !isHexBytes(value))
                return reject(QStringLiteral("raw PSK must have 32 bytes"));
            psk = QByteArray::fromHex(value.toLatin1());
            passphrase.clear();
        }
        shown = QStringLiteral("*");
    } else if (wepMatch.hasMatch()) {
        const QByteArray key = quoted ? value.toLatin1() : QByteArray::fromHex(value.toLatin1());
        if ((!quoted && !isHexBytes(value)) || (key.size() != 5 && key.size() != 13 && key.size() != 16))
            return reject(QStringLiteral("WEP key must have 5, 13 or 16 bytes"));
        wepKeys[wepMatch.captured(1).toInt()] = key;
        shown = QStringLiteral("*");
    } else if (name == QLatin1String("key_mgmt")) {
        if (!tokens(value, {QStringLiteral("NONE"), QStringLiteral("WPA-PSK"), QStringLiteral("WPA-EAP"),
                            QStringLiteral("IEEE8021X"), QStringLiteral("WPA-PSK-SHA256"),
                            QStringLiteral("WPA-EAP-SHA256"), QStringLiteral("SAE"), QStringLiteral("OWE"),
                            QStringLiteral("WPS")},
                    &keyMgmt))
            return reject(QStringLiteral("invalid key management"));
    } else if (name == QLatin1String("proto")) {
        QStringList parsed;
        if (!tokens(value, {QStringLiteral("WPA"), QStringLiteral("RSN"), QStringLiteral("WPA2")}, &parsed))
            return reject(QStringLiteral("invalid protocol"));
        proto = parsed.replaceInStrings(QStringLiteral("WPA2"), QStringLiteral("RSN"));
    } else if (name == QLatin1String("auth_alg")) {
        if (!tokens(value, {QStringLiteral("OPEN"), QStringLiteral("SHARED"), QStringLiteral("LEAP")}, &authAlg))
            return reject(QStringLiteral("invalid authentication algorithm"));
    } else if (name == QLatin1String("pairwise") || name == QLatin1String("group")) {
        QStringList parsed;
        if (!tokens(value, {QStringLiteral("CCMP"), QStringLiteral("TKIP"), QStringLiteral("GCMP"),
                            QStringLiteral("NONE"), QStringLiteral("WEP104"), QStringLiteral("WEP40")},
                    &parsed))
            return reject(QStringLiteral("invalid cipher"));
    } else if (name == QLatin1String("scan_ssid")) {
        int flag = 0;
        if (!number(value, 0, 1, &flag))
            return reject(QStringLiteral("must be 0 or 1"));
        scanSsid = flag == 1;
    } else if (name == QLatin1String("priority")) {
        if (quoted || !number(value, INT_MIN, INT_MAX, &priority))
            return reject(QStringLiteral("must be an integer"));
    } else if (name == QLatin1String("ieee80211w")) {
        if (quoted || !number(value, 0, 3, &ieee80211w))
            return reject(QStringLiteral("must be 0 to 3"));
    } else if (name == QLatin1String("wep_tx_keyidx")) {
        if (quoted || !number(value, 0, 3, &wepTxKeyIdx))
            return reject(QStringLiteral("must be 0 to 3"));
    } else if (name == QLatin1String("bssid")) {
        if (SimKeys::macFromText(value).isEmpty())
            return reject(QStringLiteral("invalid BSSID"));
    } else if (name == QLatin1String("eap") || name == QLatin1String("identity") || name == QLatin1String("password")) {
        if (name == QLatin1String("password"))
            shown = QStringLiteral("*");
    } else {
        return reject(QStringLiteral("unknown network field"));
    }
    m_text.insert(name, shown);
    return true;
}

bool SimAssociation::usable(const SimNetworkConfig &network, const SimAccessPoint &ap, const QByteArray &bssSsid)
{
    if (network.isWps() || bssSsid.isEmpty() || network.ssid != bssSsid)
        return false;
    const bool noneKeyMgmt = network.keyMgmt.contains(QStringLiteral("NONE"));
    switch (ap.security) {
    case SimSecurity::Open:
        return noneKeyMgmt && !network.hasWepKey();
    case SimSecurity::Wep:
        return noneKeyMgmt && network.hasWepKey();
    case SimSecurity::WpaPsk:
    case SimSecurity::Eap:
    case SimSecurity::PskEap:
        break;
    }
    if (ap.pmf == SimPmf::Required && network.ieee80211w == 0)
        return false;
    bool rsn = false;
    return !selectedAkm(network, offeredAkms(network, ap, &rsn)).isEmpty();
}

QString SimAssociation::failureReason(const SimNetworkConfig &network, const SimAccessPoint &ap)
{
    const QString wrongKey = QStringLiteral("WRONG_KEY");
    if (ap.security == SimSecurity::Wep) {
        const bool keyMatches = network.wepKeys[network.wepTxKeyIdx] == SimKeys::wepKeyBytes(ap.key);
        return keyMatches || !ap.wepSharedAuth ? QString() : wrongKey;
    }
    if (!ap.hasPsk())
        return QString();
    const QByteArray expected = SimKeys::pskFor(ap.key, ap.ssid);
    const QByteArray offered = network.psk.isEmpty() ? SimKeys::pskFor(network.passphrase, network.ssid) : network.psk;
    return offered == expected ? QString() : wrongKey;
}

QString SimAssociation::authMode(const SimNetworkConfig &network, const SimAccessPoint &ap)
{
    if (!ap.usesWpa())
        return QStringLiteral("NONE");
    bool rsn = false;
    const QString akm = selectedAkm(network, offeredAkms(network, ap, &rsn));
    if (akm == QLatin1String("WPA-PSK-SHA256"))
        return QStringLiteral("WPA2-PSK-SHA256");
    // wpa_supplicant names the protocols the network block allows, not the one negotiated.
    const bool allowsWpa = network.proto.contains(QLatin1String("WPA"));
    const bool allowsRsn = network.proto.contains(QLatin1String("RSN")) || network.proto.contains(QLatin1String("WPA2"));
    if (allowsWpa && allowsRsn)
        return QStringLiteral("WPA2-PSK+WPA-PSK");
    return rsn ? QStringLiteral("WPA2-PSK") : QStringLiteral("WPA-PSK");
}

QVariantMap SimAssociation::networkFromCredentials(const QVariantMap &credentials)
{
    QVariantMap entries;
    entries.insert(QStringLiteral("ssid"), credentials.value(QStringLiteral("SSID")).toByteArray());
    const QStringList encrTypes = credentials.value(QStringLiteral("EncrType")).toStringList();
    const QByteArray key = credentials.value(QStringLiteral("Key")).toByteArray();
    if (encrTypes.contains(QStringLiteral("aes")) || encrTypes.contains(QStringLiteral("tkip"))) {
        entries.insert(QStringLiteral("key_mgmt"), QStringLiteral("WPA-PSK"));
        if (key.size() == 64)
            entries.insert(QStringLiteral("psk"), QByteArray::fromHex(key));
        else
            entries.insert(QStringLiteral("psk"), QString::fromUtf8(key));
    } else {
        entries.insert(QStringLiteral("key_mgmt"), QStringLiteral("NONE"));
        if (encrTypes.contains(QStringLiteral("wep")))
            entries.insert(QStringLiteral("wep_key0"), SimKeys::wepKeyBytes(QString::fromUtf8(key)));
    }
    return entries;
}
