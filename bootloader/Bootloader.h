#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>

// Host side of the QRB bootloader byte protocol, over the serial port.
// Failures raise BootloaderException (serial failures pass through as
// SerialException). No state beyond the two constant tables.

constexpr size_t sync_sequence_length = 4;
constexpr size_t reset_sequence_length = 2;
extern const uint8_t sync_sequence[sync_sequence_length];   // AA 55 A5 5A
extern const uint8_t reset_sequence[reset_sequence_length]; // E5 7F

// Command codes.
constexpr uint8_t kCommandUnseal = 0x01;
constexpr uint8_t kCommandProgram = 0x02;
constexpr uint8_t kCommandVerify = 0x03;
constexpr uint8_t kCommandSeal = 0x04;
constexpr uint8_t kCommandVersion = 0x05;
constexpr uint8_t kCommandExit = 0x06;
constexpr uint8_t kCommandJump = 0x07;

constexpr uint32_t kRamBootloaderAddress = 0x400000;
constexpr uint32_t kCorruptFirmwareVersion = 0xFFFFFFFF;

// Every exchange below that awaits an answer is bounded (ExchangeBounds.h):
// a board that stays silent raises "SerialCommTimeoutError". Only the
// synchronisation without a bound waits as long as it takes.

// Sends the reset sequence to the running firmware; reads nothing.
void resetConnectedQRBBoard();
// Synchronises with a bootloader; returns only once it has echoed the sync
// sequence. Attempts are repeated without limit.
void waitForConnection();
// The same, with the attempts repeated only within bound of the call; then
// "SerialCommTimeoutError". The bytes on the wire are the same.
void waitForConnectionWithin(std::chrono::milliseconds bound);
// The same, but watches stopRequested, also while it waits for an answer
// byte: returns false, without a further attempt, once it is set; true when
// in step. The bytes on the wire are the same.
bool waitForConnection(const std::atomic<bool>& stopRequested);
// Sends one command byte and requires its echo. "ShortCommandError".
void processCommand(uint8_t command);
// Seals the flash with bits 0-23 of version. "SealingError".
void sealFlash(uint32_t version);
// Starts the code at address. "JumpingError".
void jumpToAddress(uint32_t address);
// The board's firmware version word (0xFFFFFFFF: none). "VersionInfoError".
// The whole exchange is bounded by the main thread's bound.
uint32_t getFirmwareVersion();

// processCommand and getFirmwareVersion with one deadline, bound from the
// request, for the whole exchange. The same bytes on the wire.
void processCommandWithin(uint8_t command, std::chrono::milliseconds bound);
uint32_t getFirmwareVersionWithin(std::chrono::milliseconds bound);

// Programs every data record of the open image file, from the current
// position to the end record, then tests the file's checksum.
void TransferProgram();
// Has the board compare every data record, then tests the file's checksum.
void VerifyProgram();

// The same two, adding to dataBytesSent the data bytes of the records as they
// go to the board (relaxed stores by the calling thread alone, for another
// thread to read); the bytes on the wire are the same.
void TransferProgram(std::atomic<uint64_t>& dataBytesSent);
void VerifyProgram(std::atomic<uint64_t>& dataBytesSent);
