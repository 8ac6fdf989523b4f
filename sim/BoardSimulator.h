#pragma once

#include "SimulatorConfig.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qrbsim {

class PtyLine;

// What the simulated board is running.
enum class BoardState {
    Firmware,           // its application firmware, at 115200 baud
    ResidentBootloader, // the bootloader in its flash, at 57600 baud
    RamBootloader,      // the bootloader downloaded to RAM, at 460800 baud
    Silent,             // a fault made it deaf and dumb
    Gone,               // the line was hung up, or the simulator stopped
};

const char* boardStateName(BoardState state);

// A QRB board on the master side of a pseudo-terminal. The host opens
// slavePath() as its serial device. The board runs on a thread of its own
// from start() until stop(), or until a fault hangs up the line; its state
// can be read at any time from any thread.
//
// The board's behaviour, beyond the byte exchanges the host relies on:
// - The firmware waits at 115200 baud for the reset sequence E5 7F and then
//   starts the resident bootloader. A board without firmware (version word
//   0xFFFFFFFF) starts in its resident bootloader.
// - Both bootloaders echo the synchronisation sequence AA 55 A5 5A, answer
//   the version query and echo the short commands 0x01 and 0x06. Any other
//   byte is ignored. 0x06 starts the firmware again if the flash holds one.
// - The resident bootloader programs and verifies only RAM (kRamBase up);
//   it jumps only to kRamBase, and only once a RAM bootloader has been
//   programmed there; it refuses other requests with kRefused (0x15).
// - The RAM bootloader programs and verifies only the flash. 0x01 erases the
//   flash to 0xFF and unseals it (the version becomes 0xFFFFFFFF); writes
//   then clear bits only (new = old & data), as in NOR flash; programming a
//   sealed flash is refused with kRefused. The seal stores the three version
//   bytes (the fourth is 0). A jump to kRamBase restarts it, a jump into a
//   sealed flash starts the firmware.
// - Verification answers kMismatch (0x01) when the bytes differ.
// - Faults tied to the step "open" fire when the host opens the line. Faults
//   at "open" and "reset", steps the host does not wait on, strike 20 ms
//   late, once the host has moved on.
// - After acknowledging a programming command the board waits
//   leadingWordWait for a leading word, which it takes as the first word of
//   the first block, outside that block's checksum.
class BoardSimulator {
  public:
    explicit BoardSimulator(SimulatorConfig config = SimulatorConfig());
    ~BoardSimulator();
    BoardSimulator(const BoardSimulator&) = delete;
    BoardSimulator& operator=(const BoardSimulator&) = delete;

    // The device path for the host; valid from construction on.
    const std::string& slavePath() const { return slavePath_; }
    const SimulatorConfig& config() const { return config_; }

    // Starts the board's thread; once only (a stopped board stays stopped).
    void start();
    // Stops the board, waits for its thread and hangs up the line; the state
    // stays readable. Safe to call more than once.
    void stop();
    // Waits for the board's thread to end by itself (after a hang-up fault).
    void join();
    // Hangs up the line now, as if the board were unplugged.
    void unplug();

    BoardState state() const;
    std::vector<uint8_t> flash() const;
    std::vector<uint8_t> ram() const;
    // n bytes of the memory at a board address: flash below kRamBase, RAM
    // from it. A flash larger than kRamBase is read whole with flashBytes.
    std::vector<uint8_t> memory(uint32_t address, size_t n) const;
    // n bytes of the flash from a flash address, of the RAM from a board
    // address (kRamBase up). std::out_of_range outside them.
    std::vector<uint8_t> flashBytes(uint32_t address, size_t n) const;
    std::vector<uint8_t> ramBytes(uint32_t address, size_t n) const;
    bool sealed() const;
    uint32_t versionWord() const;
    uint64_t bytesProgrammedRam() const;
    uint64_t bytesProgrammedFlash() const;
    uint64_t noiseBytes() const;
    unsigned syncCount() const;
    // Seal commands received, whether carried out or not.
    unsigned sealCommands() const;
    // Bytes the host has sent so far, also those a silent board swallowed.
    uint64_t bytesReceived() const;
    // The speed of the host's side of the line when last looked at.
    unsigned observedLineSpeed() const;

    // Every event so far, oldest first (one short line each).
    std::vector<std::string> events() const;
    // Waits until an event starting with `prefix` has been logged.
    bool waitForEvent(const std::string& prefix, std::chrono::milliseconds timeout) const;
    bool waitForState(BoardState wanted, std::chrono::milliseconds timeout) const;

  private:
    class Engine;
    friend class Engine;

    void logEvent(std::string event);
    void setState(BoardState state);

    SimulatorConfig config_;
    std::unique_ptr<PtyLine> line_;
    std::string slavePath_;
    std::unique_ptr<Engine> engine_;
    std::thread thread_;
    std::mutex startMutex_;
    bool started_ = false;

    mutable std::mutex mutex_; // guards everything below
    mutable std::condition_variable changed_;
    BoardState state_ = BoardState::Firmware;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> ram_;
    bool sealed_ = true;
    uint32_t versionWord_ = 0;
    uint64_t programmedRam_ = 0;
    uint64_t programmedFlash_ = 0;
    uint64_t noiseBytes_ = 0;
    unsigned syncs_ = 0;
    unsigned sealCommands_ = 0;
    std::vector<std::string> events_;
    size_t eventsDropped_ = 0;
};

} // namespace qrbsim
