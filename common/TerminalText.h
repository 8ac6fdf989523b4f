#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Text that reaches a person's terminal, or a line of a text file, from a
// device or the system (a serial number, a port, a reason, a process name):
// whatever it holds must neither move the cursor, nor change the terminal's
// state, nor break the line.

// text with every control character replaced by '?': C0 (below 0x20), DEL,
// and C1 (U+0080 to U+009F, and any byte that is not part of valid UTF-8,
// which a terminal may take for a C1 control).
std::string terminalText(std::string_view text);

// The columns text takes on a terminal: one per UTF-8 character.
std::size_t terminalWidth(std::string_view text);

// text cut to at most columns characters (UTF-8), with an ellipsis at the cut.
std::string fitToColumns(std::string_view text, std::size_t columns);
