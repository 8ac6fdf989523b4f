#include "PropertyDictionary.h"

const std::string* stringProperty(const PropertyDictionary& properties, const std::string& key) {
    auto entry = properties.find(key);
    if (entry == properties.end()) {
        return nullptr;
    }
    return std::get_if<std::string>(&entry->second);
}
