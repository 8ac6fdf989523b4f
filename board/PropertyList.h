#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

class PropertyListDictionary;

// One value of a property list: a string, an integer, a boolean, a real, raw
// data, an array or a dictionary. Dates and other kinds read as Other.
class PropertyListValue {
  public:
    using Array = std::vector<PropertyListValue>;
    using Data = std::vector<std::uint8_t>;
    struct Other {
        bool operator==(const Other&) const = default;
    };

    PropertyListValue() : value_(Other{}) {}
    PropertyListValue(std::string value) : value_(std::move(value)) {}
    PropertyListValue(const char* value) : value_(std::string(value)) {}
    PropertyListValue(std::int64_t value) : value_(value) {}
    PropertyListValue(int value) : value_(std::int64_t{value}) {}
    PropertyListValue(bool value) : value_(value) {}
    PropertyListValue(double value) : value_(value) {}
    PropertyListValue(Data value) : value_(std::move(value)) {}
    PropertyListValue(Array value) : value_(std::move(value)) {}
    PropertyListValue(PropertyListDictionary value);

    // The value when it is of that kind, else nullptr.
    const std::string* string() const { return std::get_if<std::string>(&value_); }
    const std::int64_t* integer() const { return std::get_if<std::int64_t>(&value_); }
    const bool* boolean() const { return std::get_if<bool>(&value_); }
    const double* real() const { return std::get_if<double>(&value_); }
    const Data* data() const { return std::get_if<Data>(&value_); }
    const Array* array() const { return std::get_if<Array>(&value_); }
    const PropertyListDictionary* dictionary() const;

  private:
    std::variant<Other, std::string, std::int64_t, bool, double, Data, Array,
                 std::shared_ptr<const PropertyListDictionary>>
        value_;
};

// The dictionary of a property list: keys in sorted order.
class PropertyListDictionary {
  public:
    PropertyListDictionary() = default;
    PropertyListDictionary(
        std::initializer_list<std::pair<const std::string, PropertyListValue>> entries)
        : entries_(entries) {}

    // The value under key, or nullptr.
    const PropertyListValue* find(const std::string& key) const;
    void set(const std::string& key, PropertyListValue value) { entries_[key] = std::move(value); }
    std::size_t size() const { return entries_.size(); }
    const std::map<std::string, PropertyListValue>& entries() const { return entries_; }

  private:
    std::map<std::string, PropertyListValue> entries_;
};

// Reads the property list in the file at path (XML or binary). None when the
// file is missing or unreadable, is not a property list, or its root is not a
// dictionary.
std::optional<PropertyListDictionary> readPropertyListDictionary(const std::string& path);
// The same for a property list held in memory.
std::optional<PropertyListDictionary> parsePropertyListDictionary(const std::string& bytes);
