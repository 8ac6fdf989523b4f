#include "AdapterDriver.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <linux/serial.h>
#include <mutex>
#include <stdexcept>
#include <sys/ioctl.h>
#include <unistd.h>

extern "C" {
int __real_ioctl(int fd, unsigned long request, ...);
int __wrap_ioctl(int fd, unsigned long request, ...);
}

namespace bench {

namespace {

constexpr unsigned kDefaultLatencyMs = 16;

struct Driver {
    bool installed = false;
    bool grants = true;
    std::string latencyFile;
    unsigned flags = 0;
    ConverterDriverCalls calls;
};

std::mutex driverMutex;
Driver driver; // guarded by driverMutex

// The attribute as the driver shows it; replaced whole, so that a reader
// never sees half of it.
bool writeLatency(const std::string& path, unsigned ms) {
    const std::string next = path + ".new";
    FILE* file = std::fopen(next.c_str(), "w");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fprintf(file, "%u\n", ms) > 0;
    return std::fclose(file) == 0 && written && std::rename(next.c_str(), path.c_str()) == 0;
}

// Answers one request as the converter's driver does, or fails with errno.
int answer(unsigned long request, void* argument) {
    std::lock_guard<std::mutex> lock(driverMutex);
    auto* settings = static_cast<serial_struct*>(argument);
    if (request == TIOCGSERIAL) {
        *settings = serial_struct{};
        settings->type = PORT_16654;
        settings->flags = static_cast<int>(driver.flags);
        settings->xmit_fifo_size = 256;
        settings->baud_base = 3000000;
        return 0;
    }
    ++driver.calls.settingsRequests;
    const auto wanted = static_cast<unsigned>(settings->flags);
    if (!driver.grants || ((wanted ^ driver.flags) & ~static_cast<unsigned>(ASYNC_USR_MASK)) != 0) {
        ++driver.calls.refused;
        errno = EPERM;
        return -1;
    }
    const bool wasLow = (driver.flags & ASYNC_LOW_LATENCY) != 0;
    driver.flags = wanted & ASYNC_FLAGS;
    const bool low = (driver.flags & ASYNC_LOW_LATENCY) != 0;
    if (low != wasLow) {
        (void)writeLatency(driver.latencyFile, low ? 1 : kDefaultLatencyMs);
    }
    return 0;
}

} // namespace

void installConverterDriver(const std::string& latencyFile, bool grantsLowLatency) {
    std::lock_guard<std::mutex> lock(driverMutex);
    if (!writeLatency(latencyFile, kDefaultLatencyMs)) {
        throw std::runtime_error("cannot write " + latencyFile + ": " + std::strerror(errno));
    }
    driver = Driver{true, grantsLowLatency, latencyFile, 0, {}};
}

ConverterDriverCalls converterDriverCalls() {
    std::lock_guard<std::mutex> lock(driverMutex);
    return driver.calls;
}

} // namespace bench

int __wrap_ioctl(int fd, unsigned long request, ...) {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    if ((request == TIOCGSERIAL || request == TIOCSSERIAL) && ::isatty(fd) == 1) {
        bool installed = false;
        {
            std::lock_guard<std::mutex> lock(bench::driverMutex);
            installed = bench::driver.installed;
        }
        if (installed) {
            return bench::answer(request, argument);
        }
    }
    return __real_ioctl(fd, request, argument);
}
