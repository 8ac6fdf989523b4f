#pragma once

#include "AdapterModel.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Settings of one simulated QRB board, and the faults it can be told to
// commit. The simulator is an implementation of the board side of the
// bootloader protocol of its own; it shares no code with the host side.
namespace qrbsim {

// Line speeds of the three programs the board runs.
constexpr unsigned kFirmwareSpeed = 115200;
constexpr unsigned kResidentBootloaderSpeed = 57600;
constexpr unsigned kRamBootloaderSpeed = 460800;

// Where the RAM bootloader lives and runs.
constexpr uint32_t kRamBase = 0x400000;

// A version word that stands for "no valid firmware".
constexpr uint32_t kNoFirmware = 0xFFFFFFFF;

// The byte the board answers with when it refuses a command (a request out
// of range, programming while sealed, a jump to nothing), and the verdict of
// a verification that found a difference.
constexpr uint8_t kRefused = 0x15;
constexpr uint8_t kMismatch = 0x01;

// The protocol steps a fault can be tied to: the command (or sequence) that
// the board has just received, or (Open) the host opening the line. Two are
// inside a command: Block, a programming block's words (after the block
// count, before its checksum), and Verdict, the data of a verification
// (before the verdict).
enum class Step {
    Reset,
    Sync,
    Version,
    Program,
    Verify,
    Jump,
    Unseal,
    Seal,
    Exit,
    Open,
    Block,
    Verdict
};

const char* stepName(Step step);

// What the board runs, to confine a fault to one of its programs: the same
// step (a synchronisation, a programming command) comes once in the resident
// bootloader and once in the RAM bootloader.
enum class Software { Firmware, ResidentBootloader, RamBootloader };

const char* softwareName(Software software);

struct Fault {
    enum class Kind {
        Silent,          // from `step` on (or from the start) the board answers nothing
        Answer,          // answer `command` with `value` instead of its acknowledgement
                         // (the sync sequence, command 0xAA: `value` four times)
        CorruptChecksum, // send a wrong checksum for the `count`-th block (1-based)
        Noise,           // send `count` foreign bytes before the first sync echo of each
                         // bootloader, or, with `step`, before the answer to that step (once)
        HangupAfter,     // close the line once `count` bytes have been received
        HangupAt,        // close the line when `step` is received
    };
    Kind kind = Kind::Silent;
    std::optional<Step> step; // Silent (absent: from the start), HangupAt, Noise
    uint8_t command = 0;      // Answer
    uint8_t value = 0;        // Answer
    uint64_t count = 0;       // CorruptChecksum, Noise, HangupAfter
    // Only while the board runs this (absent: whatever it runs). For
    // CorruptChecksum the blocks are then counted in that program only.
    // Not for HangupAfter nor for Silent from the start.
    std::optional<Software> in;

    bool operator==(const Fault&) const = default;
};

// Parses one textual fault, e.g. "silent", "silent@verify",
// "answer:0x01=0x15", "corrupt-checksum:3", "noise:5", "noise:1@seal",
// "hangup-after:1000", "hangup@program", "hangup@open". Most take a suffix
// "/firmware", "/resident" or "/ram" that confines them to that program, e.g.
// "silent@sync/ram", "answer:0x02=0x15/ram". Throws std::invalid_argument
// with a message that names the text and what was expected.
Fault parseFault(const std::string& text);

// One line per fault form and the step names, for --help.
std::string faultHelp();

// The text form of a fault, as parseFault reads it.
std::string describeFault(const Fault& fault);

struct SimulatorConfig {
    // The version word the board reports (b0 in bits 0-7); kNoFirmware is a
    // board without firmware, which starts in its resident bootloader with an
    // empty, unsealed flash.
    uint32_t versionWord = 0x00000001;
    // Words per programming block; 0 asks for a whole record in one block.
    uint32_t blockWords = 256;
    // How long after acknowledging a programming command the board waits for
    // a leading word before it asks for the first block.
    std::chrono::milliseconds leadingWordWait{20};
    // Flash at address 0, RAM at kRamBase.
    size_t flashSize = 1u << 20;
    size_t ramSize = 1u << 20;
    // Contents of the flash from address 0 at power-up when the board has
    // firmware; the rest of the flash is 0xFF.
    std::vector<uint8_t> factoryFirmware = defaultFactoryFirmware();
    // Every byte takes its time on the wire (10 bits at the line speed).
    bool pace = false;
    std::vector<Fault> faults;
    // The USB serial adapter between the board and the host.
    AdapterModel adapter = AdapterModel::None;
    // For a USB serial converter: the file of its driver's `latency_timer`
    // attribute, read for each answer; empty: the driver's default, 16 ms.
    std::string latencyTimerFile;
    // Called on the simulator's thread with each event as it is logged.
    std::function<void(const std::string&)> onEvent;

    static std::vector<uint8_t> defaultFactoryFirmware();
};

} // namespace qrbsim
