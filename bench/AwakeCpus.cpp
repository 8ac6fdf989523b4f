#include "AwakeCpus.h"

#include <sched.h>

namespace bench {

namespace {

unsigned cpusAllowed() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) {
        return 0;
    }
    return static_cast<unsigned>(CPU_COUNT(&set));
}

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

} // namespace

AwakeCpus::AwakeCpus() {
    const unsigned cpus = cpusAllowed();
    for (unsigned i = 0; i < cpus; ++i) {
        spinners_.emplace_back([this] { spin(); });
    }
    // Each spinner says whether it took the idle policy before it spins, so
    // that count() is known once the keeper is built.
    while (started_.load() < spinners_.size()) {
        std::this_thread::yield();
    }
}

AwakeCpus::~AwakeCpus() {
    stop_ = true;
    for (std::thread& spinner : spinners_) {
        spinner.join();
    }
}

void AwakeCpus::spin() {
    const sched_param idle{0};
    // The policy of this thread alone (0: the calling thread).
    const bool granted = ::sched_setscheduler(0, SCHED_IDLE, &idle) == 0;
    if (granted) {
        ++awake_;
    }
    ++started_;
    if (!granted) {
        return;
    }
    while (!stop_.load(std::memory_order_relaxed)) {
        relax();
    }
}

} // namespace bench
