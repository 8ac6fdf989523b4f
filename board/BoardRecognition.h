#pragma once

#include "PropertyDictionary.h"

#include <optional>
#include <string>

// How both fronts tell a QRB Box among the serial devices that the device
// registry reports.

// The device class of serial terminals.
inline constexpr const char* kSerialDeviceClass = "IOSerialBSDClient";

// The property keys a board is read from.
inline constexpr const char* kBaseNameKey = "IOTTYBaseName";
inline constexpr const char* kCalloutDeviceKey = "IOCalloutDevice";
inline constexpr const char* kPhysicalPortKey = "Physical Port";

// The serial number of a board ("usbserial-QRB..." or "usbserial-WMX..."
// base names), or none for any other device.
std::optional<std::string> boardSerialNumberOf(const PropertyDictionary& properties);
