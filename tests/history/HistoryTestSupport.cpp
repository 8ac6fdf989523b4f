#include "HistoryTestSupport.h"

#include "HistoryCommand.h"
#include "JsonSchemaCheck.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

namespace testing_support {

std::vector<nlohmann::ordered_json> historyJson(const std::string& path,
                                                std::vector<std::string> extra) {
    std::vector<std::string> args{"--json", "--history", path};
    args.insert(args.end(), extra.begin(), extra.end());
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runHistoryCommand(args, out, err), 0) << err.str();
    std::vector<nlohmann::ordered_json> rows;
    std::vector<std::string> read;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        rows.push_back(nlohmann::ordered_json::parse(line));
        read.push_back(line);
    }
    EXPECT_EQ(schemaViolations(read, JsonSchema::History), "");
    return rows;
}

std::string queryOne(const std::string& path, const std::string& sql) {
    sqlite3* raw = nullptr;
    int code = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close);
    sqlite3_stmt* statement = nullptr;
    if (code == SQLITE_OK) {
        code = sqlite3_prepare_v2(raw, sql.c_str(), -1, &statement, nullptr);
    }
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(statement, sqlite3_finalize);
    if (code == SQLITE_OK) {
        code = sqlite3_step(statement);
    }
    if (code != SQLITE_ROW) {
        return std::string("ERROR: ") + (raw != nullptr ? sqlite3_errmsg(raw) : "open");
    }
    const unsigned char* text = sqlite3_column_text(statement, 0);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

} // namespace testing_support
