#include "SimBssProperties.h"

#include <QStringList>

namespace {

const QByteArray rsnOui = QByteArray::fromHex("000fac");
const QByteArray wpaOui = QByteArray::fromHex("0050f2");

QByteArray element(quint8 id, const QByteArray &body)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(id));
    bytes.append(static_cast<char>(body.size()));
    return bytes + body;
}

QByteArray le16(int value)
{
    QByteArray bytes;
    bytes.append(static_cast<char>(value & 0xff));
    bytes.append(static_cast<char>((value >> 8) & 0xff));
    return bytes;
}

QByteArray be16(int value)
{
    QByteArray bytes;
    bytes.append(static_cast<char>((value >> 8) & 0xff));
    bytes.append(static_cast<char>(value & 0xff));
    return bytes;
}

QByteArray suite(const QByteArray &oui, quint8 type)
{
    return oui + QByteArray(1, static_cast<char>(type));
}

QByteArray suiteList(const QByteArray &oui, const QList<quint8> &types)
{
    QByteArray bytes = le16(types.size());
    for (quint8 type : types)
        bytes += suite(oui, type);
    return bytes;
}

bool pmfEnabled(const SimAccessPoint &ap)
{
    return ap.pmf != SimPmf::None;
}

QStringList keyManagement(const SimAccessPoint &ap, bool rsn)
{
    const bool sha256 = rsn && pmfEnabled(ap);
    QStringList list;
    if (ap.hasPsk()) {
        list << QStringLiteral("wpa-psk");
        if (sha256)
            list << QStringLiteral("wpa-psk-sha256");
    }
    if (ap.security == SimSecurity::Eap || ap.security == SimSecurity::PskEap) {
        list << QStringLiteral("wpa-eap");
        if (sha256)
            list << QStringLiteral("wpa-eap-sha256");
    }
    return list;
}

// Cipher suite types: 2 = TKIP, 4 = CCMP; AKM types: 1 = 802.1X, 2 = PSK, 5/6 = their SHA-256 forms.
QList<quint8> akmTypes(const SimAccessPoint &ap, bool rsn)
{
    QList<quint8> types;
    for (const QString &name : keyManagement(ap, rsn)) {
        if (name == QLatin1String("wpa-psk"))
            types << 2;
        else if (name == QLatin1String("wpa-psk-sha256"))
            types << 6;
        else if (name == QLatin1String("wpa-eap"))
            types << 1;
        else
            types << 5;
    }
    return types;
}

QVariantMap securityDictionary(const QStringList &keyMgmt, const QStringList &pairwise, const QString &group)
{
    QVariantMap map;
    map.insert(QStringLiteral("KeyMgmt"), keyMgmt);
    map.insert(QStringLiteral("Pairwise"), pairwise);
    map.insert(QStringLiteral("Group"), group);
    return map;
}

QByteArray rsnElement(const SimAccessPoint &ap)
{
    const bool mixed = ap.proto == SimProto::Mixed;
    QByteArray body = le16(1);
    body += suite(rsnOui, mixed ? 2 : 4);
    body += mixed ? suiteList(rsnOui, {2, 4}) : suiteList(rsnOui, {4});
    body += suiteList(rsnOui, akmTypes(ap, true));
    int capabilities = 0;
    if (ap.pmf != SimPmf::None)
        capabilities |= 0x80;
    if (ap.pmf == SimPmf::Required)
        capabilities |= 0x40;
    body += le16(capabilities);
    return element(48, body);
}

QByteArray wpaElement(const SimAccessPoint &ap)
{
    QByteArray body = suite(wpaOui, 1) + le16(1);
    body += suite(wpaOui, 2);
    body += suiteList(wpaOui, {2});
    body += suiteList(wpaOui, akmTypes(ap, false));
    return element(221, body);
}

QByteArray wpsAttribute(int type, const QByteArray &value)
{
    return be16(type) + be16(value.size()) + value;
}

QByteArray wpsElement(const SimAccessPoint &ap)
{
    QByteArray body = suite(wpaOui, 4);
    body += wpsAttribute(0x104a, QByteArray(1, 0x10));
    body += wpsAttribute(0x1044, QByteArray(1, 0x02));
    if (ap.wps.mode != SimWpsMode::Off) {
        body += wpsAttribute(0x1041, QByteArray(1, 0x01));
        body += wpsAttribute(0x1012, be16(ap.wps.mode == SimWpsMode::Pbc ? 0x0004 : 0x0000));
        body += wpsAttribute(0x1053, be16(ap.wps.mode == SimWpsMode::Pbc ? 0x0080 : 0x0008));
    }
    return element(221, body);
}

QStringList wpsAuthTypes(const SimAccessPoint &ap)
{
    switch (ap.security) {
    case SimSecurity::Open:
        return {QStringLiteral("open")};
    case SimSecurity::Wep:
        return {ap.wepSharedAuth ? QStringLiteral("shared") : QStringLiteral("open")};
    case SimSecurity::Eap:
        return ap.proto == SimProto::Wpa ? QStringList{QStringLiteral("wpa-eap")} : QStringList{QStringLiteral("wpa2-eap")};
    case SimSecurity::WpaPsk:
    case SimSecurity::PskEap:
        break;
    }
    if (ap.proto == SimProto::Wpa)
        return {QStringLiteral("wpa-psk")};
    if (ap.proto == SimProto::Rsn)
        return {QStringLiteral("wpa2-psk")};
    return {QStringLiteral("wpa-psk"), QStringLiteral("wpa2-psk")};
}

QStringList wpsEncrTypes(const SimAccessPoint &ap)
{
    if (ap.security == SimSecurity::Open)
        return {QStringLiteral("none")};
    if (ap.security == SimSecurity::Wep)
        return {QStringLiteral("wep")};
    if (ap.proto == SimProto::Wpa)
        return {QStringLiteral("tkip")};
    if (ap.proto == SimProto::Rsn)
        return {QStringLiteral("aes")};
    return {QStringLiteral("tkip"), QStringLiteral("aes")};
}

} // namespace

QVariantMap SimBssProperties::wpaDictionary(const SimAccessPoint &ap)
{
    if (!ap.hasWpaIe())
        return securityDictionary({}, {}, QString());
    return securityDictionary(keyManagement(ap, false), {QStringLiteral("tkip")}, QStringLiteral("tkip"));
}

QVariantMap SimBssProperties::rsnDictionary(const SimAccessPoint &ap)
{
    if (!ap.hasRsnIe())
        return securityDictionary({}, {}, QString());
    const bool mixed = ap.proto == SimProto::Mixed;
    QVariantMap map = securityDictionary(keyManagement(ap, true),
                                         mixed ? QStringList{QStringLiteral("tkip"), QStringLiteral("ccmp")}
                                               : QStringList{QStringLiteral("ccmp")},
                                         mixed ? QStringLiteral("tkip") : QStringLiteral("ccmp"));
    map.insert(QStringLiteral("MgmtGroup"), pmfEnabled(ap) ? QStringLiteral("aes128cmac") : QString());
    return map;
}

QVariantMap SimBssProperties::wpsDictionary(const SimAccessPoint &ap)
{
    if (!ap.wps.capable)
        return {};
    QString type;
    if (ap.wps.mode == SimWpsMode::Pbc)
        type = QStringLiteral("pbc");
    else if (ap.wps.mode == SimWpsMode::Pin)
        type = QStringLiteral("pin");
    return {{QStringLiteral("Type"), type}};
}

QList<uint> SimBssProperties::rates(const SimAccessPoint &ap)
{
    if (ap.frequency >= 4900)
        return {54000000, 48000000, 36000000, 24000000, 18000000, 12000000, 9000000, 6000000};
    return {54000000, 48000000, 36000000, 24000000, 18000000, 12000000, 11000000, 9000000,
            6000000, 5500000, 2000000, 1000000};
}

QByteArray SimBssProperties::informationElements(const SimAccessPoint &ap, const QByteArray &advertisedSsid)
{
    QByteArray ies = element(0, advertisedSsid);
    const int chan = channel(ap.frequency);
    if (ap.frequency >= 4900) {
        ies += element(1, QByteArray::fromHex("8c129824b048606c"));
    } else {
        ies += element(1, QByteArray::fromHex("82848b960c121824"));
        ies += element(3, QByteArray(1, static_cast<char>(chan)));
        ies += element(50, QByteArray::fromHex("30486c60"));
    }
    if (ap.hasRsnIe())
        ies += rsnElement(ap);
    if (ap.hasWpaIe())
        ies += wpaElement(ap);
    if (ap.wps.capable)
        ies += wpsElement(ap);
    return ies;
}

QVariantMap SimBssProperties::properties(const SimAccessPoint &ap, const QByteArray &advertisedSsid)
{
    QVariantMap map;
    map.insert(QStringLiteral("SSID"), advertisedSsid);
    map.insert(QStringLiteral("BSSID"), ap.bssid);
    map.insert(QStringLiteral("Privacy"), ap.security != SimSecurity::Open);
    map.insert(QStringLiteral("Mode"), QStringLiteral("infrastructure"));
    map.insert(QStringLiteral("Signal"), QVariant::fromValue<qint16>(ap.signal));
    map.insert(QStringLiteral("Frequency"), QVariant::fromValue<quint16>(ap.frequency));
    map.insert(QStringLiteral("Rates"), QVariant::fromValue(rates(ap)));
    map.insert(QStringLiteral("WPA"), wpaDictionary(ap));
    map.insert(QStringLiteral("RSN"), rsnDictionary(ap));
    map.insert(QStringLiteral("WPS"), wpsDictionary(ap));
    map.insert(QStringLiteral("IEs"), informationElements(ap, advertisedSsid));
    return map;
}

QVariantMap SimBssProperties::wpsCredentials(const SimAccessPoint &ap)
{
    QByteArray ssid = ap.ssid;
    QString key = ap.key;
    QStringList authType = wpsAuthTypes(ap);
    QStringList encrType = wpsEncrTypes(ap);
    if (ap.wps.overrideCredentials) {
        ssid = ap.wps.credentials.ssid;
        key = ap.wps.credentials.key;
        authType = ap.wps.credentials.authType;
        encrType = ap.wps.credentials.encrType;
    } else if (ap.security == SimSecurity::Open || ap.security == SimSecurity::Eap) {
        key.clear();
    }
    QVariantMap map;
    // wpa_supplicant leaves the credential's own address field zero.
    map.insert(QStringLiteral("BSSID"), QByteArray(6, '\0'));
    map.insert(QStringLiteral("SSID"), ssid);
    map.insert(QStringLiteral("AuthType"), authType);
    map.insert(QStringLiteral("EncrType"), encrType);
    map.insert(QStringLiteral("Key"), key.toUtf8());
    map.insert(QStringLiteral("KeyIndex"), QVariant::fromValue<uint>(ap.security == SimSecurity::Wep ? 1 : 0));
    return map;
}

int SimBssProperties::channel(int frequency)
{
    if (frequency == 2484)
        return 14;
    if (frequency >= 2412 && frequency < 2484)
        return (frequency - 2407) / 5;
    if (frequency >= 5000 && frequency <= 5900)
        return (frequency - 5000) / 5;
    return 0;
}
