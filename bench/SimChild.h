#pragma once

#include "AdapterModel.h"

#include <cstdint>
#include <string>
#include <sys/types.h>

// The simulated board in a process of its own, so that the figures of the
// bench's process (CPU time, peak memory) are the host's alone. Create it
// before the process starts any thread: it forks.
namespace bench {

struct SimChildOptions {
    bool pace = true;
    size_t flashSize = 1u << 20;
    uint32_t versionWord = 0x00000001;
    // The images the board should end up holding: the firmware in the flash,
    // the RAM bootloader in the RAM; checked when the board is stopped.
    std::string firmwareImage;
    std::string ramBootloaderImage;
    // The USB serial adapter between board and host, and for a converter the
    // file of its driver's latency timer (see AdapterDriver.h).
    qrbsim::AdapterModel adapter = qrbsim::AdapterModel::None;
    std::string latencyTimerFile;
};

// What the board holds at the end, and what it cost.
struct SimVerdict {
    bool checked = false;      // the child reported
    bool flashMatches = false; // every data record of the firmware is in the flash
    bool ramMatches = false;   // every data record of the RAM bootloader is in the RAM
    bool sealed = false;
    uint32_t versionWord = 0;
    unsigned syncs = 0;
    double cpuSeconds = 0; // the simulator's own CPU time
};

class SimChild {
  public:
    // Forks the child, which creates the board and starts it; throws
    // std::runtime_error when that fails.
    explicit SimChild(const SimChildOptions& options);
    ~SimChild();
    SimChild(const SimChild&) = delete;
    SimChild& operator=(const SimChild&) = delete;

    // The device path of the board's line.
    const std::string& devicePath() const { return devicePath_; }
    // Stops the board, checks its memories and ends the child.
    SimVerdict finish();

  private:
    pid_t pid_ = -1;
    int control_ = -1; // closing it tells the child to stop
    int report_ = -1;  // the child's answers
    std::string devicePath_;
};

} // namespace bench
