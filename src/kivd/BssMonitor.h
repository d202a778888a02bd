#pragma once

#include "ApDescription.h"

#include <QDBusObjectPath>
#include <QObject>
#include <QVariantMap>

class FiW1WpaSupplicant1Bss;

// Mirrors one BSS object of wpa_supplicant: its access-point description, read once, and the
// changes wpa_supplicant announces for it.
class BssMonitor : public QObject
{
    Q_OBJECT

public:
    explicit BssMonitor(const QDBusObjectPath &path);

    const QDBusObjectPath &path() const { return m_path; }
    ApDescription description() const { return m_description; }

    // Live reads from the BSS object.
    qint16 liveSignal() const;
    quint16 liveFrequency() const;
    bool livePrivacy() const;

    // The description of a BSS from its properties ("SSID", "BSSID", "WPA", "RSN", "Privacy",
    // "Signal", "Frequency", "IEs"); hidden, EAP-only and over-long SSIDs give an invalid one.
    static ApDescription describe(const QVariantMap &properties);

    // Channel number of a centre frequency in MHz; 0 with a warning outside every band.
    static int frequencyToChannel(int frequency);

signals:
    void bssReread(const QDBusObjectPath &path);
    void bssSignalUpdated(const QDBusObjectPath &path);

public slots:
    void on_propertiesChanged(const QVariantMap &properties);

private:
    QDBusObjectPath m_path;
    FiW1WpaSupplicant1Bss *m_bss;
    ApDescription m_description;
};
