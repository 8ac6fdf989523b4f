#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>

// The one serial connection of the process: the board's callout device,
// opened raw (8N1, no flow control) with exclusive use. Plain functions over
// process-wide state; every failure raises SerialException, which keeps the
// errno of a failed open, exclusive-use request or wait (errorNumber()).
// Nothing here retries, sleeps or logs.
//
// Only one thread does I/O on the port at a time: the callers hand the port
// from thread to thread. ser_fd_mutex guards ser_fd during open and close.

extern int ser_fd;                                 // -1 while no port is open
extern std::mutex ser_fd_mutex;                    // guards ser_fd in open and close
extern std::optional<std::string> savedDevicePath; // path of the last serInit that gave one

// Line speeds in bits per second; the three that the board uses.
using BaudRate = unsigned int;
// The speed of the open port, as last set (0 before any open).
extern BaudRate ser_baud_rate;
constexpr BaudRate kFirmwareBaudRate = 115200;      // the board's running firmware
constexpr BaudRate kBootloaderBaudRate = 57600;     // the resident bootloader
constexpr BaudRate kRamBootloaderBaudRate = 460800; // the RAM bootloader

// If path is given it replaces savedDevicePath; then opens savedDevicePath at
// the given speed. Raises "SerialOpenError" or "SerialTIOCEXCLError.".
void serInit(const char* path, BaudRate baudRate);
void serOpenAndConfig(const char* path, BaudRate baudRate);
// Closes the port if one is open; never raises.
void serClose();
// Changes the speed of the open port both ways and discards unread input.
void serSetBaudRate(BaudRate baudRate);
// Writes all n bytes, waiting for room in the adapter as long as the bound
// of a write (serWriteBound) allows: an adapter that takes nothing more
// fails with "SerialCommTimeoutError"; a failed write is
// "SerialCommSendError".
void serQueueTxBytes(const void* buffer, size_t n);
// The same by the given deadline.
struct SerialDeadline;
void serQueueTxBytesBy(const void* buffer, size_t n, const SerialDeadline& deadline);
// The bound of a write of n bytes: their wire time at the port's speed (10
// bits a byte) + kWriteMargin, for an adapter that holds bytes for a while.
inline constexpr std::chrono::milliseconds kWriteMargin{2000};
std::chrono::microseconds serWriteBound(size_t n);
// Waits without limit for one byte; "SerialCommReceiveError".
uint8_t rxByte();
// Reads exactly count bytes with rxByte.
void RxBytes(uint8_t* buffer, uint32_t count);
// Waits at most seconds + microseconds for one byte; on a time-out returns 0
// and sets *timedOut. "SerialCommReceiveError", "SerialSelectError.".
uint8_t rxByteWithTimeout(time_t seconds, int32_t microseconds, bool* timedOut);
// The end of an exchange: the moment by which the answer must be in, and the
// bound it was set with (for the failure's reason).
struct SerialDeadline {
    std::chrono::steady_clock::time_point at;
    std::chrono::microseconds bound;
};
// A deadline bound from now.
SerialDeadline serDeadlineIn(std::chrono::microseconds bound);
// Raises "SerialCommTimeoutError" with bound in its reason.
[[noreturn]] void raiseTimeout(std::chrono::microseconds bound);
// Waits until the deadline at most for one byte and returns it; when none
// came raises "SerialCommTimeoutError". "SerialCommReceiveError",
// "SerialSelectError.".
uint8_t rxByteBy(const SerialDeadline& deadline);
// Reads exactly count bytes, every one by the same deadline.
void RxBytesBy(uint8_t* buffer, uint32_t count, const SerialDeadline& deadline);
// As rxBufFlush, but a line that is not quiet for 10 ms by the deadline
// raises "SerialCommTimeoutError".
void rxBufFlushBy(const SerialDeadline& deadline);
// Reads and discards input until the line has been quiet for 10 ms.
void rxBufFlush();
// The same, unless stop is set first (then false): a line that keeps talking
// holds the caller only until somebody says stop.
bool rxBufFlushUnless(const std::atomic<bool>& stop);

// Low latency on USB serial adapters. A USB serial converter holds the bytes
// it receives until its buffer fills or its latency timer runs out (16 ms by
// default), and every exchange of the bootloader protocol ends with a short
// answer. So after configuring a new port serOpenAndConfig asks the driver
// for low latency (the ASYNC_LOW_LATENCY flag of its serial settings), which
// a converter's driver turns into a 1 ms timer; serClose restores the flags
// it found. Neither ever fails because of it: the outcome is only recorded
// here, for the caller to report.
enum class LowLatency {
    NotAsked,    // no port opened yet
    Unsupported, // the device has no serial settings (a pty: ENOTTY)
    AlreadySet,  // the flag was set before; nothing changed
    Granted,     // the flag is set now and is cleared again on close
    Unreadable,  // reading the settings failed otherwise
    Refused,     // the driver refused the change
};
struct LowLatencyOutcome {
    LowLatency result = LowLatency::NotAsked;
    int error = 0; // errno of the failed request (Unsupported, Unreadable, Refused)
};
// The outcome of the most recent open's request; written by serOpenAndConfig.
extern LowLatencyOutcome ser_low_latency;
