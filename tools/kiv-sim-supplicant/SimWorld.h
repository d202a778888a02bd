#pragma once

#include "SimScenario.h"

// The access points in reach of every simulated interface, steered by the control interface.
struct SimWorld
{
    SimTiming timing;
    QList<SimAccessPoint> accessPoints;
    bool linkDown = false; // nothing can be heard: scans come back empty, associations drop

    const SimAccessPoint *find(const QByteArray &bssid) const
    {
        for (const SimAccessPoint &ap : accessPoints) {
            if (ap.bssid == bssid)
                return &ap;
        }
        return nullptr;
    }

    const SimAccessPoint *reachable(const QByteArray &bssid) const { return linkDown ? nullptr : find(bssid); }
};
