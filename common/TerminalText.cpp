#include "TerminalText.h"

#include <algorithm>

namespace {

bool isContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// The length of the valid UTF-8 sequence at text[i] (1 to 4), or 0 when the
// bytes there are not one (overlong forms, surrogates and code points past
// U+10FFFF included).
std::size_t sequenceAt(std::string_view text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const unsigned char lead = at(0);
    std::size_t length = 0;
    unsigned int min = 0;
    unsigned int code = 0;
    if (lead < 0x80) {
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        code = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < length; ++k) {
        if (!isContinuation(at(k))) {
            return 0;
        }
        code = (code << 6) | (at(k) & 0x3Fu);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

} // namespace

std::string terminalText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = sequenceAt(text, i);
        const auto lead = static_cast<unsigned char>(text[i]);
        if (length == 0) {
            out += '?';
            ++i;
        } else if (length == 1 && (lead < 0x20 || lead == 0x7F)) {
            out += '?';
            ++i;
        } else if (length == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
            out += '?'; // U+0080 to U+009F
            i += 2;
        } else {
            out.append(text.substr(i, length));
            i += length;
        }
    }
    return out;
}

std::size_t terminalWidth(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return !isContinuation(static_cast<unsigned char>(c));
    }));
}

std::string fitToColumns(std::string_view text, std::size_t columns) {
    if (terminalWidth(text) <= columns) {
        return std::string(text);
    }
    std::size_t kept = 0;
    std::size_t end = 0;
    for (; end < text.size(); ++end) {
        if (!isContinuation(static_cast<unsigned char>(text[end])) && ++kept == columns) {
            break; // this character gives way to the ellipsis
        }
    }
    return std::string(text.substr(0, end)) + "\u2026";
}
