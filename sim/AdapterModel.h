#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

// The USB serial adapter between the board and the host. The board's line
// runs into the adapter's chip, which passes the bytes on to the host over
// USB. A CDC-ACM modem passes them on at once; a USB serial converter of the
// ftdi_sio kind holds them until a USB packet's 62 data bytes wait, or until
// its latency timer has run out since the first waiting byte. The host's
// bytes to the board are not delayed by either.
namespace qrbsim {

enum class AdapterModel {
    None,   // the pty alone: bytes reach the host as they are sent
    Ftdi,   // a USB serial converter with a latency timer
    CdcAcm, // a USB CDC-ACM modem: no timer
};

// "none", "ftdi", "cdc-acm"; nothing for another word.
std::optional<AdapterModel> parseAdapterModel(const std::string& text);
const char* adapterModelName(AdapterModel model);

// The latency timer that the adapter's driver was asked for, as its sysfs
// attribute `latency_timer` shows it: whole milliseconds in a text file. A
// file that cannot be read, or holds no number from 0 to 255, stands for the
// driver's default of 16 ms.
constexpr std::chrono::milliseconds kDefaultLatencyTimer{16};
std::chrono::milliseconds readLatencyTimer(const std::string& path);

// The holding rule of a USB serial converter's chip, on a clock of the
// caller's: bytes arrive one by one at non-decreasing times, and leave in
// batches. Pure: it never reads a clock.
class AdapterHold {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    // Data bytes in one USB packet of the chip (64 less 2 status bytes).
    static constexpr size_t kPacketBytes = 62;

    // A byte reaches the chip at `at`. `latency` is the timer in force; it
    // counts only for a byte that finds nothing waiting (the first of a batch).
    void arrive(uint8_t byte, TimePoint at, Duration latency);
    // When the bytes that wait now leave; nothing when none wait.
    std::optional<TimePoint> nextRelease() const;
    // The bytes that have left by `now`, in order; they are no longer held.
    std::vector<uint8_t> takeReleased(TimePoint now);
    bool empty() const { return batches_.empty(); }

  private:
    struct Batch {
        std::vector<uint8_t> bytes;
        TimePoint release; // the timer's end, or the 62nd byte's arrival
        bool full = false;
    };
    std::deque<Batch> batches_; // the last one may still be filling
};

} // namespace qrbsim
