#pragma once

#include <string>
#include <vector>

namespace testing_support {

// The installed JSON Schemas of the program's JSON lines.
enum class JsonSchema { Events, History };

// Checks each line against the schema (Debian's python3-jsonschema, draft
// 2020-12); what is wrong with the lines that do not match, one line each,
// or nothing when all match.
std::string schemaViolations(const std::vector<std::string>& lines, JsonSchema schema);

} // namespace testing_support
