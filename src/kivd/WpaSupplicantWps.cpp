#include "SupplicantWpaSupplicant.h"

#include "LogHandler.h"
#include "SupplicantMessages.h"
#include "fi_w1_wpa_supplicant1_WPS.h"

#include <optional>

using namespace SupplicantMessage;

namespace {

// WPS configuration-error codes 0 to 18.
const char *const wpsConfigErrors[] = {
    "No Error",
    "OOB Interface Read Error",
    "Decryption CRC Failure",
    "2.4 channel not supported",
    "5.0 channel not supported",
    "Signal too weak",
    "Network auth failure",
    "Network association failure",
    "No DHCP response",
    "Failed DHCP config",
    "IP address conflict",
    "Couldn\u2019t connect to Registrar",
    "Multiple PBC sessions detected",
    "Rogue activity suspected",
    "Device busy",
    "Setup locked",
    "Message Timeout",
    "Registration Session Timeout",
    "Device Password Auth Failure",
};

const QString timedOut = QStringLiteral("WPS session timed out");

} // namespace

QString WpaSupplicant::wpsErrorText(const QString &message)
{
    bool isNumber = false;
    const int code = message.toInt(&isNumber, 10);
    const int count = int(sizeof(wpsConfigErrors) / sizeof(wpsConfigErrors[0]));
    if (isNumber && code >= 0 && code < count)
        return QString::fromUtf8(wpsConfigErrors[code]);
    return message;
}

WirelessNetwork WpaSupplicant::networkFromWpsCredentials(const QVariantMap &credentials)
{
    const Ssid ssid = Ssid::fromString(credentials.value(QStringLiteral("SSID")).toString());
    if (credentials.value(QStringLiteral("EncrType")).toString() == QLatin1String("none"))
        return WirelessNetwork(ssid, SecurityType::Unsecured, QString(), 0);
    const QString authType = credentials.value(QStringLiteral("AuthType")).toString();
    const SecurityType type = authType == QLatin1String("open") || authType == QLatin1String("shared")
        ? SecurityType::Wep
        : SecurityType::WpaPsk;
    return WirelessNetwork(ssid, type, credentials.value(QStringLiteral("Key")).toString(), 0);
}

void WpaSupplicant::on_wpsEvent(const QString &name, const QVariantMap &args)
{
    kivInfo() << "Wps event received: " << name << " " << args;
    if (name == QLatin1String("success"))
        enqueue(make<WpsFinished>());
    else if (name == QLatin1String("fail"))
        enqueue(make(WpsErrored {args.value(QStringLiteral("msg")).toString()}));
}

void WpaSupplicant::on_wpsCredentials(const QVariantMap &credentials)
{
    kivInfo() << "Wps credentials received: " << credentials;
    kivInfo() << "Saving credentials until the \"success\" message is received.";
    enqueue(make(WpsCredentials {networkFromWpsCredentials(credentials)}));
}

void WpaSupplicant::runWpsSession(const QString &pin)
{
    assertWorkerThread();
    FiW1WpaSupplicant1Wps *wpsProxy = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_queue.mutex());
        wpsProxy = m_supplicantWPS;
    }
    if (!wpsProxy) {
        kivWarning() << "Couldn't start WPS session, no interface available!";
        emit wpsError(QStringLiteral("Wireless interface not present!"));
        return;
    }

    QVariantMap args {{QStringLiteral("Role"), QStringLiteral("enrollee")}};
    if (pin.isEmpty()) {
        args.insert(QStringLiteral("Type"), QStringLiteral("pbc"));
    } else {
        args.insert(QStringLiteral("Type"), QStringLiteral("pin"));
        args.insert(QStringLiteral("Pin"), pin);
    }
    kivInfo() << "Starting supplicant WPS: " << args;

    flushStaleStateMessages();
    const qint64 startMs = SupplicantMessageQueue::monotonicMs();
    wpsProxy->setProcessCredentials(true);
    QDBusPendingReply<QVariantMap> started = wpsProxy->Start(args);
    started.waitForFinished();
    if (started.isError()) {
        kivCritical() << "Error when trying to start supplicant WPS: " << started.error().message();
        emit wpsError(QStringLiteral("Could not start WPS: %1").arg(started.error().message()));
        return;
    }
    emit wps();

    const qint64 deadline = startMs + WpsSessionMs;
    std::optional<WirelessNetwork> credentials;
    for (;;) {
        const QVariant message = dequeue(deadline);
        if (!message.isValid()) {
            kivWarning() << "WPS session timed out (from kivd internal timeout)";
            emit wpsError(timedOut);
            break;
        }
        if (is<WpsErrored>(message)) {
            const QString text = wpsErrorText(message.value<WpsErrored>().error);
            kivInfo() << "Wps session ended with an error: " << text;
            emit wpsError(text);
            break;
        }
        if (is<WpsCredentials>(message)) {
            kivDebug() << "Got WPS credentials";
            credentials = message.value<WpsCredentials>().network;
            continue;
        }
        if (is<WpsFinished>(message)) {
            if (!credentials || !credentials->isValid()) {
                kivInfo() << "Wps session ended, but no credentials were received!";
                emit wpsError(QStringLiteral("WPS session ended without receiving network credentials"));
            } else {
                kivInfo() << "Wps session ended sucessfully, emitting ap details";
                emit wpsFinished(*credentials);
            }
            break;
        }
        if (is<Inactive>(message)) {
            kivInfo() << "Wps session timed out";
            emit wpsError(timedOut);
            break;
        }
        if (!isStateMessage(message)) {
            kivInfo() << "Another command requested, exiting WPS session";
            emit wpsError(QStringLiteral("Another command requested, exiting WPS session"));
            m_queue.defer(message);
            break;
        }
    }
    waitForDisconnection();
}
