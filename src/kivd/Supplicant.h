#pragma once

#include "ApDescription.h"
#include "Ssid.h"
#include "WirelessNetwork.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>

#include <memory>

// The wireless client controller's view of the supplicant. Every operation only queues a
// request (or answers a query) on the main thread; outcomes arrive later through the signals,
// always delivered queued on the receiver's thread.
class Supplicant : public QObject
{
    Q_OBJECT

public:
    Supplicant(QObject *parent, const QString &interfaceName);

    const QString &interfaceName() const { return m_interfaceName; }

public slots:
    // An empty set disables the supplicant; true only means that the request was queued.
    virtual bool enable(const QSet<WirelessNetwork> &networks) = 0;
    virtual bool disable() = 0;
    virtual bool wpsPbc() = 0;
    virtual bool wpsPin(const QString &pin) = 0;
    // Answered by exactly one scanResults(), possibly empty.
    virtual void scan() = 0;
    // "Ssid", "Bssid", "Encryption", "Signal", "Frequency", "Channel"; empty when not connected.
    virtual QVariantMap getNetworkDetails() = 0;
    // Channel of the current access point, 0 when there is none.
    virtual int getCurrentChannel() = 0;
    virtual void interfaceAdded() = 0;
    virtual void interfaceRemoved() = 0;

signals:
    void disabled();
    void configured();
    void connected();
    void wps();
    void wpsFinished(const WirelessNetwork &network);
    void wpsError(const QString &error);
    void authError(const Ssid &ssid, const QString &reason);
    void scanResults(const QList<ApDescription> &results);

private:
    QString m_interfaceName;
};

// Makes the supplicant of a wireless interface; the caller owns the result.
class SupplicantFactory : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual std::unique_ptr<Supplicant> create(QObject *parent, const QString &interfaceName);
};
