#pragma once

#include <cstddef>
#include <optional>
#include <string>

// The SHA-256 of a file's contents in lower-case hex, or none when the file
// cannot be read to its end.
std::optional<std::string> sha256OfFile(const std::string& path);
// The SHA-256 of size bytes in lower-case hex, or none when the digest
// cannot be taken.
std::optional<std::string> sha256OfBytes(const void* data, std::size_t size);
