#include "ExchangeBounds.h"

namespace exchange_bounds {

std::chrono::microseconds wireTime(uint64_t bytes) {
    // A port without a known speed counts as the slowest the board uses.
    const uint64_t rate = ser_baud_rate != 0 ? ser_baud_rate : kBootloaderBaudRate;
    constexpr uint64_t kBitsPerByte = 10; // start bit, 8 data bits, stop bit
    return std::chrono::microseconds((bytes * kBitsPerByte * 1'000'000 + rate - 1) / rate);
}

SerialDeadline answerDeadline(uint64_t bytesInFlight, uint64_t answerBytes,
                              milliseconds boardWork) {
    return serDeadlineIn(wireTime(bytesInFlight + answerBytes) + kAnswerMargin + boardWork);
}

} // namespace exchange_bounds
