#include "Bootloader.h"

#include "ExchangeBounds.h"
#include "FirmwareUpdaterException.h"
#include "Serial.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

const uint8_t sync_sequence[sync_sequence_length] = {0xAA, 0x55, 0xA5, 0x5A};
const uint8_t reset_sequence[reset_sequence_length] = {0xE5, 0x7F};

using namespace exchange_bounds;

namespace {

// Bytes read per synchronisation attempt, and the wait for each of them.
constexpr int kSyncBytesPerAttempt = 8;
constexpr time_t kSyncByteTimeoutSeconds = 5;
// Pause after sending the sync sequence and after a match.
constexpr auto kSyncPause = std::chrono::milliseconds(10);
// How soon a stoppable synchronisation sees its stop.
constexpr auto kStopSlice = std::chrono::microseconds(50'000);

void sendByte(uint8_t byte) {
    serQueueTxBytes(&byte, 1);
}

// The next byte of a synchronisation answer, awaited at most the 5 seconds of
// the synchronisation; none on a time-out. With a stop flag the wait is cut
// into short slices, so that a stop is seen at once: then none as well.
std::optional<uint8_t> syncAnswerByte(const std::atomic<bool>* stopRequested) {
    bool timedOut = false;
    if (stopRequested == nullptr) {
        const uint8_t byte = rxByteWithTimeout(kSyncByteTimeoutSeconds, 0, &timedOut);
        return timedOut ? std::nullopt : std::optional<uint8_t>(byte);
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(kSyncByteTimeoutSeconds);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        if (stopRequested->load() || left.count() <= 0) {
            return std::nullopt;
        }
        const auto slice = std::min<std::chrono::microseconds>(left, kStopSlice);
        const uint8_t byte = rxByteWithTimeout(0, static_cast<int32_t>(slice.count()), &timedOut);
        if (!timedOut) {
            return byte;
        }
    }
}

// One attempt: flush, send the sequence, look for its echo in up to 8 bytes.
// With a deadline, no wait of the attempt goes past it.
bool attemptSynchronisation(const std::atomic<bool>* stopRequested,
                            const SerialDeadline* deadline) {
    // A line that keeps talking is flushed by the deadline, or until the
    // stop flag is set: never for ever.
    const auto flush = [deadline, stopRequested] {
        if (deadline != nullptr) {
            rxBufFlushBy(*deadline);
        } else if (stopRequested != nullptr) {
            return rxBufFlushUnless(*stopRequested);
        } else {
            rxBufFlush();
        }
        return true;
    };
    if (!flush()) {
        return false;
    }
    serQueueTxBytes(sync_sequence, sync_sequence_length);
    std::this_thread::sleep_for(kSyncPause);

    size_t matched = 0;
    for (int i = 0; i < kSyncBytesPerAttempt; ++i) {
        std::optional<uint8_t> byte;
        if (deadline != nullptr) {
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline->at - std::chrono::steady_clock::now());
            const auto wait = std::clamp<std::chrono::microseconds>(
                left, std::chrono::microseconds::zero(),
                std::chrono::seconds(kSyncByteTimeoutSeconds));
            bool timedOut = false;
            const uint8_t received =
                rxByteWithTimeout(0, static_cast<int32_t>(wait.count()), &timedOut);
            if (timedOut && wait < std::chrono::seconds(kSyncByteTimeoutSeconds)) {
                raiseTimeout(deadline->bound);
            }
            byte = timedOut ? std::nullopt : std::optional<uint8_t>(received);
        } else {
            byte = syncAnswerByte(stopRequested);
        }
        if (!byte) {
            return false;
        }
        // A byte that breaks a partial match does not start a new one.
        matched = *byte == sync_sequence[matched] ? matched + 1 : 0;
        if (matched == sync_sequence_length) {
            std::this_thread::sleep_for(kSyncPause);
            return flush();
        }
    }
    return false;
}

// Sends a short command and requires its echo, read with readByte.
template <typename ReadByte> void processCommandAnswer(uint8_t command, ReadByte readByte) {
    sendByte(command);
    const uint8_t answer = readByte();
    if (answer != command) {
        BootloaderException::raise("ShortCommandError", "Error executing short command (%d:%d).",
                                   answer, command);
    }
}

// Sends the version query and reads its five answer bytes with readByte.
template <typename ReadByte> uint32_t queryFirmwareVersion(ReadByte readByte) {
    sendByte(kCommandVersion);
    uint32_t version = 0;
    for (unsigned shift = 0; shift < 32; shift += 8) {
        version |= static_cast<uint32_t>(readByte()) << shift;
    }
    const uint8_t last = readByte();
    if (last != kCommandVersion) {
        BootloaderException::raise("VersionInfoError", "Error getting firmware version (%d).",
                                   last);
    }
    return version;
}

} // namespace

void resetConnectedQRBBoard() {
    serQueueTxBytes(reset_sequence, reset_sequence_length);
}

void waitForConnection() {
    while (!attemptSynchronisation(nullptr, nullptr)) {
    }
}

void waitForConnectionWithin(std::chrono::milliseconds bound) {
    const SerialDeadline deadline = serDeadlineIn(bound);
    while (!attemptSynchronisation(nullptr, &deadline)) {
        if (std::chrono::steady_clock::now() >= deadline.at) {
            raiseTimeout(deadline.bound);
        }
    }
}

bool waitForConnection(const std::atomic<bool>& stopRequested) {
    while (!stopRequested.load()) {
        if (attemptSynchronisation(&stopRequested, nullptr)) {
            return true;
        }
    }
    return false;
}

void processCommand(uint8_t command) {
    // Unsealing may erase the flash before the echo.
    const SerialDeadline deadline = answerDeadline(
        1, 1, command == kCommandUnseal ? kFlashWorkAllowance : milliseconds::zero());
    processCommandAnswer(command, [&deadline] { return rxByteBy(deadline); });
}

void processCommandWithin(uint8_t command, std::chrono::milliseconds bound) {
    const SerialDeadline deadline = serDeadlineIn(bound);
    processCommandAnswer(command, [&deadline] { return rxByteBy(deadline); });
}

void sealFlash(uint32_t version) {
    sendByte(kCommandSeal);
    sendByte(static_cast<uint8_t>(version));
    sendByte(static_cast<uint8_t>(version >> 8));
    sendByte(static_cast<uint8_t>(version >> 16));
    const uint8_t answer = rxByteBy(answerDeadline(4, 1, kFlashWorkAllowance));
    if (answer != kCommandSeal) {
        BootloaderException::raise("SealingError", "Error sealing the flash (%d).", answer);
    }
}

void jumpToAddress(uint32_t address) {
    const uint8_t addressBytes[4] = {
        static_cast<uint8_t>(address >> 24),
        static_cast<uint8_t>(address >> 16),
        static_cast<uint8_t>(address >> 8),
        static_cast<uint8_t>(address),
    };
    sendByte(kCommandJump);
    serQueueTxBytes(addressBytes, sizeof addressBytes);
    const uint8_t answer = rxByteBy(answerDeadline(5, 1));
    if (answer != kCommandJump) {
        BootloaderException::raise("JumpingError", "Error jumping to address (%d).", answer);
    }
}

uint32_t getFirmwareVersion() {
    return getFirmwareVersionWithin(kMainThreadExchange);
}

uint32_t getFirmwareVersionWithin(std::chrono::milliseconds bound) {
    const SerialDeadline deadline = serDeadlineIn(bound);
    return queryFirmwareVersion([&deadline] { return rxByteBy(deadline); });
}
