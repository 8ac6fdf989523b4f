#include "BoardRecognition.h"

std::optional<std::string> boardSerialNumberOf(const PropertyDictionary& properties) {
    const std::string* baseName = stringProperty(properties, kBaseNameKey);
    if (baseName == nullptr) {
        return std::nullopt;
    }
    if (!baseName->starts_with("usbserial-WMX") && !baseName->starts_with("usbserial-QRB")) {
        return std::nullopt;
    }
    return baseName->substr(baseName->rfind('-') + 1);
}
