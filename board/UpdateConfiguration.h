#pragma once

#include "PropertyList.h"

#include <cstdint>
#include <optional>
#include <string>

// The update configuration: the property list QRB_Image.plist in the resource
// directory, naming the image version and the two image files.
struct UpdateConfiguration {
    // Major in bits 0-7, minor in 8-15, revision in 16-23 (each the low eight
    // bits of its integer; 0 when missing or not an integer), 0 above.
    uint32_t version = 0;
    std::string imagePath;         // the firmware image, in the resource directory
    std::string ramBootloaderPath; // the RAM bootloader, in the resource directory

    bool operator==(const UpdateConfiguration&) const = default;
};

inline constexpr const char* kUpdateConfigurationFileName = "QRB_Image.plist";

// dir joined with name by exactly one separator.
std::string appendPathComponent(const std::string& dir, const std::string& name);

// The configuration file's path in resourceDir.
std::string updateConfigurationPath(const std::string& resourceDir);

// The configuration in a parsed property list; none when either image path
// is missing or not a string (without both the update cannot run).
std::optional<UpdateConfiguration>
updateConfigurationFrom(const PropertyListDictionary& configuration,
                        const std::string& resourceDir);

// Reads and parses the configuration file of resourceDir; none when it is
// missing, not a property list, or not usable as above.
std::optional<UpdateConfiguration> readUpdateConfiguration(const std::string& resourceDir);
