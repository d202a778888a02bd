#pragma once

#include "SoftApSettings.h"

#include <QString>

// The configuration files of a running soft access point, as text after the generated-file header.
namespace SoftApFiles {

QString hostapdPath(const QString &apInterface);
QString udhcpdPath(const QString &apInterface);
QString dnsdPath(const QString &apInterface);

QString hostapdConfig(const SoftApSettings &settings, int channel);
QString udhcpdConfig(const SoftApSettings &settings);
// Only written when the settings carry a domain name.
QString dnsdConfig(const SoftApSettings &settings);

// The settings key of the first value that cannot be written into a file line (an empty SSID, or
// a control character in the SSID, country code, vendor data or domain name); empty when all fit.
QString unwritableField(const SoftApSettings &settings);

} // namespace SoftApFiles
