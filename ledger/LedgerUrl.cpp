#include "LedgerUrl.h"

#include <cstdlib>
#include <regex>

namespace {

// A URI's "user:password@": the password goes.
std::string redactUserInfo(const std::string& text) {
    std::string result;
    std::size_t from = 0;
    for (;;) {
        const std::size_t scheme = text.find("://", from);
        if (scheme == std::string::npos) {
            break;
        }
        const std::size_t start = scheme + 3;
        const std::size_t end = text.find_first_of("/?# \t\n", start);
        const std::size_t authorityEnd = end == std::string::npos ? text.size() : end;
        const std::size_t at = text.rfind('@', authorityEnd);
        result += text.substr(from, start - from);
        if (at != std::string::npos && at >= start && at < authorityEnd) {
            const std::size_t colon = text.find(':', start);
            if (colon != std::string::npos && colon < at) {
                result += text.substr(start, colon + 1 - start) + "***";
                result += text.substr(at, authorityEnd - at);
            } else {
                result += text.substr(start, authorityEnd - start);
            }
        } else {
            result += text.substr(start, authorityEnd - start);
        }
        from = authorityEnd;
    }
    return result + text.substr(from);
}

} // namespace

std::string redactLedgerText(const std::string& text) {
    static const std::regex password(
        R"(((?:^|[\s?&])password\s*=\s*)('(?:[^'\\]|\\.)*'?|[^\s&'"]*))", std::regex::icase);
    return std::regex_replace(redactUserInfo(text), password, "$1***");
}

std::string ledgerUrlOrDefault(const std::string& url) {
    if (!url.empty()) {
        return url;
    }
    const char* fromEnvironment = std::getenv("QRB_LEDGER");
    return fromEnvironment != nullptr ? fromEnvironment : "";
}
