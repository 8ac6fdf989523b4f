#include "DeviceSource.h"

#include <mutex>

bool DeviceSource::matches(const PropertyDictionary& matching,
                           const PropertyDictionary& properties) {
    for (const auto& [key, value] : matching) {
        auto property = properties.find(key);
        if (property == properties.end() || property->second != value) {
            return false;
        }
    }
    return true;
}

namespace {
std::mutex defaultSourceMutex;
std::shared_ptr<DeviceSource> defaultSource;
} // namespace

std::shared_ptr<DeviceSource> defaultDeviceSource() {
    std::lock_guard<std::mutex> lock(defaultSourceMutex);
    return defaultSource;
}

void setDefaultDeviceSource(std::shared_ptr<DeviceSource> source) {
    std::lock_guard<std::mutex> lock(defaultSourceMutex);
    defaultSource = std::move(source);
}
