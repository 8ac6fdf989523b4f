#pragma once

#include <string>

// The driver of an emulated USB serial converter, for the bench's serial
// port on a pseudo-terminal. The bench is linked with the linker's
// --wrap=ioctl: once the driver is installed, every TIOCGSERIAL and
// TIOCSSERIAL that the project's code makes on a terminal is answered as the
// converter's driver answers it (the pty itself would say ENOTTY), and the
// latency timer in force is written to a file as the driver's sysfs
// attribute shows it: "16" at first, "1" while ASYNC_LOW_LATENCY is set. The
// simulated board reads that file; the bench never tells it anything else.
namespace bench {

// grantsLowLatency false: TIOCSSERIAL fails with EPERM, like a driver that
// refuses, and the timer stays at 16 ms. Throws std::runtime_error when the
// file cannot be written.
void installConverterDriver(const std::string& latencyFile, bool grantsLowLatency);

// The driver's answers so far: TIOCSSERIAL requests, and those it refused.
struct ConverterDriverCalls {
    unsigned settingsRequests = 0;
    unsigned refused = 0;
};
ConverterDriverCalls converterDriverCalls();

} // namespace bench
