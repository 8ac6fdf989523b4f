#include "JsonSchemaCheck.h"

#include "TempDir.h"

#include <sys/wait.h>

#include <cstdio>
#include <fstream>

namespace testing_support {

std::string schemaViolations(const std::vector<std::string>& lines, JsonSchema schema) {
    if (lines.empty()) {
        return "";
    }
    TempDir directory;
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    const std::string input = directory.writeFile("lines.jsonl", text);
    const std::string schemaPath =
        std::string(QRB_SCHEMA_DIR) +
        (schema == JsonSchema::Events ? "/events.schema.json" : "/history.schema.json");
    const std::string command = std::string(QRB_SYSTEM_PYTHON) + " " + QRB_JSON_LINES_VALIDATOR +
                                " '" + schemaPath + "' < '" + input + "' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "cannot run " + command;
    }
    std::string output;
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, n);
    }
    const int status = ::pclose(pipe);
    if (status != 0 && output.empty()) {
        output = "the validator ended with status " + std::to_string(status);
    }
    return status == 0 ? "" : output;
}

} // namespace testing_support
