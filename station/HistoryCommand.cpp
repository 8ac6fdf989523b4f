#include "HistoryCommand.h"

#include "History.h"
#include "HistoryReader.h"
#include "Ledger.h"
#include "LedgerCommand.h"
#include "LedgerUrl.h"
#include "TerminalText.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <ostream>
#include <sys/stat.h>

namespace {

constexpr int kUsageError = 64;

constexpr const char* kUsage =
    "usage: qrb-flash history [--json | --csv] [--serial SERIAL] [--station NAME]\n"
    "                         [--since YYYY-MM-DD] [--limit N] [--history PATH | --ledger URL]\n";

struct Options {
    bool json = false;
    bool csv = false;
    std::string ledger; // read the ledger at this address, not the local history
    std::optional<std::string> serial;
    std::optional<std::string> station;
    std::optional<std::string> since;
    long long limit = -1; // all
    std::string path;
};

// A column of the table and its key in the JSON objects, in their order.
struct Column {
    const char* name;
    const char* key;
};
constexpr Column kColumns[] = {
    {"time", "time"},         {"front", "front"},      {"tty", "tty"},
    {"port", "port"},         {"serial", "serial"},    {"version_read", "from"},
    {"version_case", "case"}, {"image_version", "to"}, {"image_sha256", "image_sha256"},
    {"result", "result"},     {"error", "error"},      {"reason", "reason"},
    {"step", "step"},         {"seconds", "seconds"},  {"trace", "trace"},
    {"attempt_id", "id"},     {"station", "station"},  {"operator", "operator"},
    {"received", "received"},
};

bool digits(const std::string& text, std::size_t from, std::size_t count) {
    return std::all_of(text.begin() + static_cast<long>(from),
                       text.begin() + static_cast<long>(from + count),
                       [](unsigned char c) { return std::isdigit(c) != 0; });
}

int number(const std::string& text, std::size_t from, std::size_t count) {
    return std::stoi(text.substr(from, count));
}

// A day "YYYY-MM-DD" or a moment "YYYY-MM-DDTHH:MM:SSZ" in UTC, as stored.
bool validSince(const std::string& text) {
    if (text.size() != 10 && text.size() != 20) {
        return false;
    }
    if (!digits(text, 0, 4) || text[4] != '-' || !digits(text, 5, 2) || text[7] != '-' ||
        !digits(text, 8, 2)) {
        return false;
    }
    const int month = number(text, 5, 2);
    const int day = number(text, 8, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31) {
        return false;
    }
    if (text.size() == 10) {
        return true;
    }
    return text[10] == 'T' && digits(text, 11, 2) && text[13] == ':' && digits(text, 14, 2) &&
           text[16] == ':' && digits(text, 17, 2) && text[19] == 'Z' && number(text, 11, 2) < 24 &&
           number(text, 14, 2) < 60 && number(text, 17, 2) < 61;
}

// Parses the words after "history"; a message on err and false for a usage
// error.
bool parse(const std::vector<std::string>& args, Options& options, std::ostream& err, bool& help) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        auto value = [&](const char* option) -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                err << "qrb-flash history: " << option << " needs a value\n" << kUsage;
                return std::nullopt;
            }
            return args[++i];
        };
        if (word == "--json") {
            options.json = true;
        } else if (word == "--csv") {
            options.csv = true;
        } else if (word == "--station") {
            options.station = value("--station");
            if (!options.station) {
                return false;
            }
        } else if (word == "--ledger") {
            std::optional<std::string> url = value("--ledger");
            if (!url) {
                return false;
            }
            options.ledger = *url;
        } else if (word == "--help" || word == "-h") {
            help = true;
        } else if (word == "--serial") {
            options.serial = value("--serial");
            if (!options.serial) {
                return false;
            }
        } else if (word == "--since") {
            options.since = value("--since");
            if (!options.since) {
                return false;
            }
            if (!validSince(*options.since)) {
                err << "qrb-flash history: --since takes a UTC day YYYY-MM-DD or a moment "
                       "YYYY-MM-DDTHH:MM:SSZ, not \""
                    << *options.since << "\"\n";
                return false;
            }
        } else if (word == "--limit") {
            std::optional<std::string> text = value("--limit");
            if (!text) {
                return false;
            }
            const bool allDigits =
                !text->empty() && text->size() <= 9 && digits(*text, 0, text->size());
            if (!allDigits || std::stoll(*text) < 1) {
                err << "qrb-flash history: --limit takes a count of 1 or more, not \"" << *text
                    << "\"\n";
                return false;
            }
            options.limit = std::stoll(*text);
        } else if (word == "--history") {
            std::optional<std::string> path = value("--history");
            if (!path) {
                return false;
            }
            options.path = *path;
        } else {
            err << "qrb-flash history: unknown argument \"" << redactLedgerText(word) << "\"\n"
                << kUsage;
            return false;
        }
    }
    return true;
}

std::string cell(const nlohmann::ordered_json& object, const char* key) {
    if (!object.contains(key)) {
        return "-";
    }
    const nlohmann::ordered_json& value = object.at(key);
    if (value.is_number()) {
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", value.get<double>());
        return text;
    }
    // What a board or the system said: control characters shown as '?'.
    return terminalText(value.get<std::string>());
}

// Whether the trace a row names is gone (removed by the traces' retention, or
// the history read on another machine).
bool traceRemoved(const nlohmann::ordered_json& row) {
    if (!row.contains("trace")) {
        return false;
    }
    struct stat status {};
    return ::stat(row.at("trace").get<std::string>().c_str(), &status) != 0;
}

// The table's trace cell: the trace's file name, "removed" when it is gone,
// "-" when the attempt left none.
std::string traceCell(const nlohmann::ordered_json& row) {
    if (!row.contains("trace")) {
        return "-";
    }
    if (row.value("trace_removed", false)) {
        return "removed";
    }
    const std::string path = row.at("trace").get<std::string>();
    return terminalText(path.substr(path.rfind('/') + 1));
}

// The ledger's table names each row's station too.
void printTable(const std::vector<nlohmann::ordered_json>& rows, bool withStation,
                std::ostream& out) {
    std::vector<const char*> shown = {"time", "front", "serial", "tty",     "port", "from",
                                      "case", "to",    "result", "seconds", "trace"};
    if (withStation) {
        shown.insert(shown.begin() + 1, "station");
    }
    std::vector<std::vector<std::string>> cells;
    cells.emplace_back(std::begin(shown), std::end(shown));
    for (const nlohmann::ordered_json& row : rows) {
        std::vector<std::string> line;
        for (const char* key : shown) {
            line.push_back(std::string(key) == "trace" ? traceCell(row) : cell(row, key));
        }
        cells.push_back(std::move(line));
    }
    std::vector<std::size_t> widths(shown.size(), 0);
    for (const auto& line : cells) {
        for (std::size_t i = 0; i < line.size(); ++i) {
            widths[i] = std::max(widths[i], terminalWidth(line[i]));
        }
    }
    for (std::size_t r = 0; r < cells.size(); ++r) {
        std::string text;
        for (std::size_t i = 0; i < cells[r].size(); ++i) {
            const bool rightAligned = std::string(shown[i]) == "seconds";
            const std::string padding(widths[i] - terminalWidth(cells[r][i]), ' ');
            text += rightAligned ? padding + cells[r][i] : cells[r][i] + padding;
            text += "  ";
        }
        if (r > 0) {
            // The failure, last, as long as it needs to be.
            const nlohmann::ordered_json& row = rows[r - 1];
            if (row.contains("error")) {
                text += cell(row, "error");
                if (row.contains("step")) {
                    text += " in \"" + cell(row, "step") + "\"";
                }
                if (row.contains("reason")) {
                    text += ": " + cell(row, "reason");
                }
            }
        } else {
            text += "failure";
        }
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        out << text << '\n';
    }
}

} // namespace

namespace {

// A field of RFC 4180: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return quoted + "\"";
}

// RFC 4180: a header line of the JSON keys, then a line per row; an
// unknown value is an empty field.
void printCsv(const std::vector<nlohmann::ordered_json>& rows, bool withReceived,
              std::ostream& out) {
    std::vector<const char*> keys;
    for (const Column& column : kColumns) {
        if (withReceived || std::string(column.key) != "received") {
            keys.push_back(column.key);
        }
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        out << (i > 0 ? "," : "") << keys[i];
    }
    out << "\r\n";
    for (const nlohmann::ordered_json& row : rows) {
        for (std::size_t i = 0; i < keys.size(); ++i) {
            std::string text;
            if (row.contains(keys[i])) {
                const nlohmann::ordered_json& value = row.at(keys[i]);
                text = value.is_string() ? value.get<std::string>() : value.dump();
            }
            out << (i > 0 ? "," : "") << csvField(text);
        }
        out << "\r\n";
    }
}

// The rows of the ledger at url; the ledger's column "id" is the local
// attempt_id.
std::vector<nlohmann::ordered_json> ledgerRows(const Options& options) {
    LedgerConnection ledger(options.ledger);
    LedgerQuery query;
    query.station = options.station;
    query.serial = options.serial;
    query.since = options.since;
    query.limit = options.limit;
    std::vector<nlohmann::ordered_json> rows;
    for (const auto& values : readLedger(ledger, query)) {
        nlohmann::ordered_json row = nlohmann::ordered_json::object();
        for (const Column& column : kColumns) {
            const std::string name =
                std::string(column.name) == "attempt_id" ? "id" : std::string(column.name);
            for (std::size_t c = 0; c < kLedgerReadColumnCount; ++c) {
                if (name == kLedgerReadColumns[c] && values[c]) {
                    if (name == "seconds") {
                        row[column.key] = std::stod(*values[c]);
                    } else {
                        row[column.key] = *values[c];
                    }
                }
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

} // namespace

int runHistoryCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    Options options;
    bool help = false;
    if (!parse(args, options, err, help)) {
        return kUsageError;
    }
    if (help) {
        out << kUsage;
        return 0;
    }
    if (options.json && options.csv) {
        err << "qrb-flash history: --json and --csv go one at a time\n" << kUsage;
        return kUsageError;
    }
    if (!options.ledger.empty() && !options.path.empty()) {
        err << "qrb-flash history: --history and --ledger go one at a time\n" << kUsage;
        return kUsageError;
    }
    std::vector<nlohmann::ordered_json> rows;
    std::string source;
    if (!options.ledger.empty()) {
        source = redactLedgerText(options.ledger);
        try {
            rows = ledgerRows(options);
        } catch (const LedgerException& failure) {
            err << "qrb-flash history: " << failure.reason() << "\n";
            return failure.kind() == LedgerFailure::Unreachable     ? kLedgerExitUnreachable
                   : failure.kind() == LedgerFailure::UnknownSchema ? kLedgerExitSchema
                                                                    : 1;
        }
    } else {
        if (options.path.empty()) {
            options.path = defaultHistoryPath();
        }
        source = options.path;
        struct stat status {};
        if (options.path.empty() || ::stat(options.path.c_str(), &status) != 0) {
            if (options.csv) {
                printCsv(rows, false, out);
            } else if (!options.json) {
                out << "No update recorded yet"
                    << (options.path.empty() ? std::string() : " (" + options.path + ")") << ".\n";
            }
            return 0;
        }

        HistoryQuery query;
        query.serial = options.serial;
        query.station = options.station;
        query.since = options.since;
        query.limit = options.limit;
        std::vector<StoredRow> stored;
        try {
            stored = readHistoryRows(options.path, query);
        } catch (const HistoryReadError& error) {
            err << "qrb-flash history: "
                << terminalText("cannot read " + options.path + ": " + error.what()) << "\n";
            return 1;
        }

        for (const StoredRow& storedRow : stored) {
            nlohmann::ordered_json row = nlohmann::ordered_json::object();
            for (const Column& column : kColumns) {
                const auto found =
                    std::find_if(storedRow.columns.begin(), storedRow.columns.end(),
                                 [&](const auto& named) { return named.first == column.name; });
                if (found == storedRow.columns.end()) {
                    continue;
                }
                if (const double* number = std::get_if<double>(&found->second)) {
                    row[column.key] = *number;
                } else if (const std::string* text = std::get_if<std::string>(&found->second)) {
                    row[column.key] = *text;
                }
            }
            if (traceRemoved(row)) {
                row["trace_removed"] = true;
            }
            rows.push_back(std::move(row));
        }
    }

    if (options.json) {
        for (const nlohmann::ordered_json& row : rows) {
            // Text that is not UTF-8 (a reason from a board's bytes) is
            // replaced, never a reason to fail.
            out << row.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                << '\n';
        }
    } else if (options.csv) {
        printCsv(rows, !options.ledger.empty(), out);
    } else if (rows.empty()) {
        out << "No update recorded" << (options.serial ? " for " + *options.serial : "")
            << (options.station ? " at " + *options.station : "")
            << (options.since ? " since " + *options.since : "") << " (" << source << ").\n";
    } else {
        printTable(rows, !options.ledger.empty(), out);
    }
    return 0;
}
