#include "Bootloader.h"

#include "FirmwareUpdaterException.h"
#include "Serial.h"

#include <chrono>
#include <thread>

const uint8_t sync_sequence[sync_sequence_length] = {0xAA, 0x55, 0xA5, 0x5A};
const uint8_t reset_sequence[reset_sequence_length] = {0xE5, 0x7F};

namespace {

// Bytes read per synchronisation attempt, and the wait for each of them.
constexpr int kSyncBytesPerAttempt = 8;
constexpr time_t kSyncByteTimeoutSeconds = 5;
// Pause after sending the sync sequence and after a match.
constexpr auto kSyncPause = std::chrono::milliseconds(10);

void sendByte(uint8_t byte) {
    serQueueTxBytes(&byte, 1);
}

// One attempt: flush, send the sequence, look for its echo in up to 8 bytes.
bool attemptSynchronisation() {
    rxBufFlush();
    serQueueTxBytes(sync_sequence, sync_sequence_length);
    std::this_thread::sleep_for(kSyncPause);

    size_t matched = 0;
    for (int i = 0; i < kSyncBytesPerAttempt; ++i) {
        bool timedOut = false;
        const uint8_t byte = rxByteWithTimeout(kSyncByteTimeoutSeconds, 0, &timedOut);
        if (timedOut) {
            return false;
        }
        // A byte that breaks a partial match does not start a new one.
        matched = byte == sync_sequence[matched] ? matched + 1 : 0;
        if (matched == sync_sequence_length) {
            std::this_thread::sleep_for(kSyncPause);
            rxBufFlush();
            return true;
        }
    }
    return false;
}

} // namespace

void resetConnectedQRBBoard() {
    serQueueTxBytes(reset_sequence, reset_sequence_length);
}

void waitForConnection() {
    while (!attemptSynchronisation()) {
    }
}

bool waitForConnection(const std::atomic<bool>& stopRequested) {
    while (!stopRequested.load()) {
        if (attemptSynchronisation()) {
            return true;
        }
    }
    return false;
}

void processCommand(uint8_t command) {
    sendByte(command);
    const uint8_t answer = rxByte();
    if (answer != command) {
        BootloaderException::raise("ShortCommandError", "Error executing short command (%d:%d).",
                                   answer, command);
    }
}

void sealFlash(uint32_t version) {
    sendByte(kCommandSeal);
    sendByte(static_cast<uint8_t>(version));
    sendByte(static_cast<uint8_t>(version >> 8));
    sendByte(static_cast<uint8_t>(version >> 16));
    const uint8_t answer = rxByte();
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
    const uint8_t answer = rxByte();
    if (answer != kCommandJump) {
        BootloaderException::raise("JumpingError", "Error jumping to address (%d).", answer);
    }
}

uint32_t getFirmwareVersion() {
    sendByte(kCommandVersion);
    uint32_t version = 0;
    for (unsigned shift = 0; shift < 32; shift += 8) {
        version |= static_cast<uint32_t>(rxByte()) << shift;
    }
    const uint8_t last = rxByte();
    if (last != kCommandVersion) {
        BootloaderException::raise("VersionInfoError", "Error getting firmware version (%d).",
                                   last);
    }
    return version;
}
