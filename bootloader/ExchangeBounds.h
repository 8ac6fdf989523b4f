#pragma once

#include "Serial.h"

#include <chrono>
#include <cstdint>

// How long the host waits for each answer of the bootloader protocol. Every
// exchange has an end: a board that stops answering, while it stays plugged
// in, fails the exchange with "SerialCommTimeoutError" instead of holding
// the calling thread for ever.
//
// A bound is the exchange's wire time at the line's speed (10 bits a byte:
// every byte the host has handed over since the board last answered, which
// may still be on its way, and the answer itself) plus a margin. The margin
// covers what the wire time does not: a USB serial adapter that holds bytes
// until its latency timer (16 ms by default) runs out, in each direction, a
// machine so loaded that the updater's thread waits its turn, and the board's
// own work on a request. No healthy board on a real adapter comes near it.
// A silent board is noticed within the margin once its answer is due, that
// is within 10 s of its last byte for every exchange of a short request.
namespace exchange_bounds {

using std::chrono::milliseconds;

// Added to the wire time of every answer of the update.
constexpr milliseconds kAnswerMargin{2000};
// Added as well for the commands that change the flash as a whole: the
// unsealing (which may erase it) and the seal.
constexpr milliseconds kFlashWorkAllowance{6000};
// The version query and the exit command, made on the main thread: one
// deadline for the whole exchange, short enough that the window never looks
// frozen to the desktop (which asks after 5 s).
constexpr milliseconds kMainThreadExchange{2000};
// The synchronisation with the RAM bootloader at its speed, all attempts
// together (an attempt waits up to 5 s for a byte).
constexpr milliseconds kRamBootloaderSynchronisation{8000};

// The wire time of bytes at the open port's speed.
std::chrono::microseconds wireTime(uint64_t bytes);

// The deadline of an answer of answerBytes bytes, starting now, with
// bytesInFlight bytes handed over by the host since the board last answered;
// boardWork is added for a request that takes the board a while.
SerialDeadline answerDeadline(uint64_t bytesInFlight, uint64_t answerBytes,
                              milliseconds boardWork = milliseconds::zero());

} // namespace exchange_bounds
