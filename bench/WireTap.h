#pragma once

#include <cstdint>

// A tap on the serial line of this process. The bench program is linked with
// the linker's --wrap for read, write, ppoll and tcsetattr, so every such call
// that the project's own code makes passes through the tap first. Calls on the
// serial port's descriptor (ser_fd) are counted; the speed that tcsetattr set
// on a descriptor prices each byte at 10 bits at that speed.
namespace bench {

struct WireTraffic {
    uint64_t bytesOut = 0;    // host to board
    uint64_t bytesIn = 0;     // board to host
    uint64_t writeCalls = 0;  // write() calls on the port
    uint64_t readCalls = 0;   // read() calls on the port
    uint64_t waitCalls = 0;   // readiness waits (ppoll) on the port
    uint64_t syncWrites = 0;  // writes of the synchronisation sequence: attempts
    uint64_t turnarounds = 0; // writes that follow a read: the host answering
    uint64_t wireNs = 0;      // the wire time of the bytes, at their speeds

    uint64_t bytes() const { return bytesOut + bytesIn; }
    uint64_t syscalls() const { return writeCalls + readCalls + waitCalls; }
    WireTraffic operator-(const WireTraffic& earlier) const;
    WireTraffic& operator+=(const WireTraffic& other);
};

// What the tap has counted so far (any thread).
WireTraffic wireTraffic();

// The host's reaction times so far: from a read on the port returning to the
// next write on it, as the p-th percentile (0 < p < 1) in nanoseconds, to
// within 1/8 of an octave.
uint64_t turnaroundPercentileNs(double p);

// The wire time of n bytes at a speed in bits per second.
uint64_t wireNanoseconds(uint64_t bytes, unsigned speed);

} // namespace bench
