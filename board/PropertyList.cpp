#include "PropertyList.h"

#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <limits>

PropertyListValue::PropertyListValue(PropertyListDictionary value)
    : value_(std::make_shared<const PropertyListDictionary>(std::move(value))) {}

const PropertyListDictionary* PropertyListValue::dictionary() const {
    const auto* held = std::get_if<std::shared_ptr<const PropertyListDictionary>>(&value_);
    return held != nullptr ? held->get() : nullptr;
}

const PropertyListValue* PropertyListDictionary::find(const std::string& key) const {
    const auto entry = entries_.find(key);
    return entry != entries_.end() ? &entry->second : nullptr;
}

namespace {

// Owns a node tree of the reader.
struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using OwnedNode = std::unique_ptr<void, NodeDeleter>;

// A string that the reader allocated.
std::string takeString(char* text) {
    std::string result = text != nullptr ? std::string(text) : std::string();
    std::free(text);
    return result;
}

// A property list that parsed but cannot be read as one: none for the caller.
struct MalformedPropertyList {};

// Whether a key holds a NUL character (possible in a binary property list),
// which the library refuses with an assertion when the key is read. Its XML
// form shows it: the text is then shorter than the length written.
bool keyHoldsNul(plist_t keyNode) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(keyNode, &xml, &length);
    const bool holdsNul = xml == nullptr || std::strlen(xml) != length;
    std::free(xml);
    return holdsNul;
}

PropertyListDictionary convertDictionary(plist_t node);

PropertyListValue convert(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return PropertyListValue(value != 0);
    }
    case PLIST_UINT: {
        // Integers are held as 64 bits; negative ones in two's complement.
        uint64_t value = 0;
        plist_get_uint_val(node, &value);
        return PropertyListValue(static_cast<std::int64_t>(value));
    }
    case PLIST_REAL: {
        double value = 0;
        plist_get_real_val(node, &value);
        return PropertyListValue(value);
    }
    case PLIST_STRING: {
        // Taken with its length: a string may hold U+0000, which the reader's
        // copying accessor refuses by aborting the process.
        uint64_t length = 0;
        const char* value = plist_get_string_ptr(node, &length);
        return PropertyListValue(value != nullptr ? std::string(value, length) : std::string());
    }
    case PLIST_DATA: {
        char* value = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &value, &length);
        PropertyListValue::Data bytes;
        if (value != nullptr) {
            const auto* first = reinterpret_cast<const uint8_t*>(value);
            bytes.assign(first, first + length);
        }
        std::free(value);
        return PropertyListValue(std::move(bytes));
    }
    case PLIST_ARRAY: {
        PropertyListValue::Array items;
        const uint32_t count = plist_array_get_size(node);
        items.reserve(count);
        for (uint32_t i = 0; i < count; ++i) {
            items.push_back(convert(plist_array_get_item(node, i)));
        }
        return PropertyListValue(std::move(items));
    }
    case PLIST_DICT:
        return PropertyListValue(convertDictionary(node));
    default:
        return PropertyListValue();
    }
}

// Memory that the library allocated with malloc.
struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};

PropertyListDictionary convertDictionary(plist_t node) {
    PropertyListDictionary result;
    plist_dict_iter iter = nullptr;
    plist_dict_new_iter(node, &iter);
    // Freed however the walk ends: a dictionary nested in this one may be
    // refused part-way.
    const std::unique_ptr<void, FreeDeleter> ownedIter(iter);
    if (iter == nullptr) {
        return result;
    }
    for (;;) {
        // The value first: its key node is checked before the key is read,
        // since a binary property list may hold keys that the library would
        // refuse with an assertion when read.
        plist_t value = nullptr;
        plist_dict_next_item(node, iter, nullptr, &value);
        if (value == nullptr) {
            break;
        }
        plist_t keyNode = plist_dict_item_get_key(value);
        if (keyNode == nullptr || plist_get_node_type(keyNode) != PLIST_KEY ||
            keyHoldsNul(keyNode)) {
            throw MalformedPropertyList();
        }
        char* key = nullptr;
        plist_get_key_val(keyNode, &key);
        std::string name = takeString(key); // before the value, which may be refused
        result.set(std::move(name), convert(value));
    }
    return result;
}

} // namespace

std::optional<PropertyListDictionary> parsePropertyListDictionary(const std::string& bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
        return std::nullopt;
    }
    plist_t root = nullptr;
    plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
    const OwnedNode owner(root);
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) {
        return std::nullopt;
    }
    try {
        return convertDictionary(root);
    } catch (const MalformedPropertyList&) {
        return std::nullopt;
    }
}

std::optional<PropertyListDictionary> readPropertyListDictionary(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string bytes;
    char buffer[4096];
    size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, count);
    }
    // A directory, or a read error part-way: not a readable file.
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        return std::nullopt;
    }
    return parsePropertyListDictionary(bytes);
}
