#include "UpdateConfiguration.h"

namespace {

constexpr const char* kVersionMajorKey = "QRB_FW_Image_Version_Major";
constexpr const char* kVersionMinorKey = "QRB_FW_Image_Version_Minor";
constexpr const char* kVersionRevisionKey = "QRB_FW_Image_Version_Revision";
constexpr const char* kImagePathKey = "QRB_FW_Image_File_Path";
constexpr const char* kRamBootloaderPathKey = "RAM_Bootloader_Path";

// The low eight bits of an integer value; 0 when missing or not an integer.
uint32_t versionByte(const PropertyListDictionary& configuration, const char* key) {
    const PropertyListValue* value = configuration.find(key);
    const std::int64_t* number = value != nullptr ? value->integer() : nullptr;
    return number != nullptr ? static_cast<uint32_t>(static_cast<std::uint64_t>(*number) & 0xFF)
                             : 0;
}

const std::string* stringValue(const PropertyListDictionary& configuration, const char* key) {
    const PropertyListValue* value = configuration.find(key);
    return value != nullptr ? value->string() : nullptr;
}

} // namespace

std::string appendPathComponent(const std::string& dir, const std::string& name) {
    std::string head = dir;
    while (head.size() > 1 && head.back() == '/') {
        head.pop_back();
    }
    std::string::size_type start = 0;
    while (start < name.size() && name[start] == '/') {
        ++start;
    }
    const std::string tail = name.substr(start);
    if (tail.empty()) {
        return head;
    }
    if (head.empty() || head.back() == '/') {
        return head + tail;
    }
    return head + "/" + tail;
}

std::string updateConfigurationPath(const std::string& resourceDir) {
    return appendPathComponent(resourceDir, kUpdateConfigurationFileName);
}

std::optional<UpdateConfiguration>
updateConfigurationFrom(const PropertyListDictionary& configuration,
                        const std::string& resourceDir) {
    const std::string* imageFile = stringValue(configuration, kImagePathKey);
    const std::string* ramBootloaderFile = stringValue(configuration, kRamBootloaderPathKey);
    if (imageFile == nullptr || ramBootloaderFile == nullptr) {
        return std::nullopt;
    }
    UpdateConfiguration result;
    result.version = versionByte(configuration, kVersionMajorKey) |
                     versionByte(configuration, kVersionMinorKey) << 8 |
                     versionByte(configuration, kVersionRevisionKey) << 16;
    result.imagePath = appendPathComponent(resourceDir, *imageFile);
    result.ramBootloaderPath = appendPathComponent(resourceDir, *ramBootloaderFile);
    return result;
}

std::optional<UpdateConfiguration> readUpdateConfiguration(const std::string& resourceDir) {
    const std::optional<PropertyListDictionary> configuration =
        readPropertyListDictionary(updateConfigurationPath(resourceDir));
    return configuration ? updateConfigurationFrom(*configuration, resourceDir) : std::nullopt;
}
