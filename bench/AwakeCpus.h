#pragma once

#include <atomic>
#include <thread>
#include <vector>

// Keeps every CPU this process may run on busy at the lowest priority there
// is, while it lives, so that no CPU halts between the wake-ups of the
// processes measured.
//
// A virtual machine's CPU that halts when it is idle is woken by its host,
// which takes from microseconds to milliseconds, and a paced update wakes a
// process at every answer of the board: on such a machine whole runs of the
// same build come out several hundredths apart, as much as a regression of
// the updater's own. A spinner under SCHED_IDLE runs only when nothing else
// would and gives way at once to a process that wakes, so the measured
// processes have the CPUs as before, only awake.
namespace bench {

class AwakeCpus {
  public:
    AwakeCpus();
    ~AwakeCpus();
    AwakeCpus(const AwakeCpus&) = delete;
    AwakeCpus& operator=(const AwakeCpus&) = delete;

    // The CPUs kept awake: none when the idle policy was refused (a spinner
    // at a normal priority would take time from the processes measured).
    unsigned count() const { return awake_.load(); }

  private:
    void spin();

    std::atomic<bool> stop_{false};
    std::atomic<unsigned> started_{0};
    std::atomic<unsigned> awake_{0};
    std::vector<std::thread> spinners_;
};

} // namespace bench
