#pragma once

#include "BoardOutcome.h"

#include <optional>
#include <string>

// After an open of a board's tty: whether the device behind it is still the
// board that was given (the same adapter, by its USB serial number, on the
// same port, as udev lists them now). None when it is; otherwise why it is
// not, for the failure's reason. A tty that udev did not list when the
// board was given (a board named by --port that is a pseudo-terminal, say)
// has nothing to compare and passes.
std::optional<std::string> deviceChange(const BoardIdentity& board);
