#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

// A device's properties, keyed by property name ("IOTTYBaseName",
// "IOCalloutDevice", ...). Values are strings, integers or booleans.
using PropertyValue = std::variant<std::string, std::int64_t, bool>;
using PropertyDictionary = std::map<std::string, PropertyValue>;

// A report hands over an immutable snapshot; whoever keeps it holds a
// reference of its own.
using DeviceProperties = std::shared_ptr<const PropertyDictionary>;

// A batch report: the snapshots in the order the registry produced them.
using DeviceList = std::vector<DeviceProperties>;

// The string value under key, or nullptr when the key is absent or its value
// is not a string.
const std::string* stringProperty(const PropertyDictionary& properties, const std::string& key);
