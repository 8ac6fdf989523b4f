#pragma once

#include "AdapterModel.h"
#include "AppController.h"
#include "Measurement.h"

#include <cstdint>
#include <string>

// The measurements, each run in a fresh process with the simulated board in a
// child process of its own.
namespace bench {

// The phases of an update, in order.
inline constexpr const char* kPhaseReset = "reset";
inline constexpr const char* kPhaseSync57600 = "sync at 57600";
inline constexpr const char* kPhaseVersion = "version";
inline constexpr const char* kPhaseRamProgram = "RAM bootloader program";
inline constexpr const char* kPhaseRamVerify = "RAM bootloader verify";
inline constexpr const char* kPhaseJump = "jump";
inline constexpr const char* kPhaseSync460800 = "sync at 460800";
inline constexpr const char* kPhaseUnseal = "unseal";
inline constexpr const char* kPhaseProgram = "program";
inline constexpr const char* kPhaseVerify = "verify";
inline constexpr const char* kPhaseSeal = "seal";

// The pauses between plugging in a board and its version alert: the board
// connection worker's 0.2 s after each of its two opens and the version
// check's 0.1 s after the query.
inline constexpr uint64_t kOpenPauseNs =
    static_cast<uint64_t>(AppController::kOpenRetryPause * 1e9 + 0.5);
inline constexpr uint64_t kVersionPauseNs =
    static_cast<uint64_t>(AppController::kVersionReadPause * 1e9 + 0.5);
inline constexpr uint64_t kPlugInPausesNs = 2 * kOpenPauseNs + kVersionPauseNs;

struct RunOptions {
    bool pace = true;
    std::string firmwareImage;
    std::string ramBootloaderImage;
    // For the application run: the resource directory with the update
    // configuration that names the two images.
    std::string resourceDir;
    uint32_t imageVersion = 0x00030201;
    size_t flashSize = 1u << 20;
    // The USB serial adapter between board and host. For a converter (Ftdi)
    // the bench plays its driver (AdapterDriver.h), which grants the
    // updater's request for low latency or refuses it.
    qrbsim::AdapterModel adapter = qrbsim::AdapterModel::None;
    bool driverGrantsLowLatency = true;
    // The serial layer records the exchange, as the updater has it do, and
    // the recording is written as a trace file after the update.
    bool record = true;
};

// The update done by the host's functions: the board connection worker's and
// the version check's in their order, with their pauses, then the update
// sequence; one phase per step of the protocol.
Measurement measureUpdateSequence(const RunOptions& options);

// The real application controller on the in-process test platform: from the
// board's plug-in to the version alert, then the update from its first
// caption to the final alert, one phase per caption.
Measurement measureApplication(const RunOptions& options);

} // namespace bench
