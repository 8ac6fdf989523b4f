#pragma once

#include <cstdarg>
#include <string>

// printf-style formatting into a std::string.
std::string vformatString(const char* format, va_list args) __attribute__((format(printf, 1, 0)));
std::string formatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
