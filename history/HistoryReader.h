#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

// Reading the update history back, as stored: every column of each row of
// the table `attempts` that the file has (an older file has fewer), by its
// column name.

// A stored value: unknown (NULL), a number, or a text.
using StoredValue = std::variant<std::monostate, double, std::string>;

struct StoredRow {
    // The row's columns in the table's order.
    std::vector<std::pair<std::string, StoredValue>> columns;
};

// Which rows to read.
struct HistoryQuery {
    std::optional<std::string> serial;  // only the rows of this adapter
    std::optional<std::string> station; // only the rows of this station
    std::optional<std::string> since;   // only rows from this day or moment on, as stored
    long long limit = -1;               // only the newest N of them (-1: all)
};

// The history could not be read; what() is SQLite's message.
class HistoryReadError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The rows of the history at path that query keeps, oldest first, newest
// last. The file is opened read-only and never changed; a writer holding it
// is waited for as long as an append would. Throws HistoryReadError.
std::vector<StoredRow> readHistoryRows(const std::string& path, const HistoryQuery& query);
