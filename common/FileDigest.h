#pragma once

#include <optional>
#include <string>

// The SHA-256 of a file's contents in lower-case hex, or none when the file
// cannot be read to its end.
std::optional<std::string> sha256OfFile(const std::string& path);
