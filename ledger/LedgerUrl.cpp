#include "LedgerUrl.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string_view>

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
    // "password = VALUE" in a connection string, "password=VALUE" in a
    // URI's query: the word at the start or after a space, '?' or '&', its
    // value quoted ('...', with \' inside) or up to a space, '&' or quote.
    const std::string source = redactUserInfo(text);
    const auto lower = [](char c) {
        return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    };
    const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    static constexpr std::string_view kWord = "password";
    std::string result;
    std::size_t i = 0;
    while (i < source.size()) {
        const bool atStart =
            i == 0 || space(source[i - 1]) || source[i - 1] == '?' || source[i - 1] == '&';
        bool word = atStart && source.size() - i >= kWord.size();
        for (std::size_t k = 0; word && k < kWord.size(); ++k) {
            word = lower(source[i + k]) == kWord[k];
        }
        std::size_t j = i + kWord.size();
        if (word) {
            while (j < source.size() && space(source[j])) {
                ++j;
            }
            word = j < source.size() && source[j] == '=';
        }
        if (!word) {
            result += source[i++];
            continue;
        }
        ++j;
        while (j < source.size() && space(source[j])) {
            ++j;
        }
        result += source.substr(i, j - i) + "***";
        if (j < source.size() && source[j] == '\'') {
            for (++j; j < source.size() && source[j] != '\''; ++j) {
                if (source[j] == '\\') {
                    ++j;
                }
            }
            j = std::min(j + 1, source.size());
        } else {
            while (j < source.size() && !space(source[j]) && source[j] != '&' &&
                   source[j] != '\'' && source[j] != '"') {
                ++j;
            }
        }
        i = j;
    }
    return result;
}

std::string ledgerUrlOrDefault(const std::string& url) {
    if (!url.empty()) {
        return url;
    }
    const char* fromEnvironment = std::getenv("QRB_LEDGER");
    return fromEnvironment != nullptr ? fromEnvironment : "";
}
