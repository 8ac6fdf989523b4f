#include "WireTap.h"

#include "Serial.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

extern "C" {
ssize_t __real_read(int fd, void* buffer, size_t n);
ssize_t __real_write(int fd, const void* buffer, size_t n);
int __real_ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask);
int __real_tcsetattr(int fd, int action, const termios* settings);
}

namespace bench {

namespace {

std::atomic<uint64_t> bytesOut{0};
std::atomic<uint64_t> bytesIn{0};
std::atomic<uint64_t> writeCalls{0};
std::atomic<uint64_t> readCalls{0};
std::atomic<uint64_t> waitCalls{0};
std::atomic<uint64_t> syncWrites{0};
std::atomic<uint64_t> wireNs{0};
std::atomic<uint64_t> turnarounds{0};

// The host's reaction times, in buckets of 1/8 octave of nanoseconds.
constexpr int kSubBuckets = 8;
constexpr int kBuckets = 64 * kSubBuckets;
std::atomic<uint64_t> reactions[kBuckets];
std::atomic<uint64_t> lastReadNs{0};
std::atomic<bool> afterRead{false};

uint64_t nowNs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

int bucketOf(uint64_t ns) {
    if (ns < kSubBuckets) {
        return static_cast<int>(ns);
    }
    const auto octave = static_cast<int>(std::bit_width(ns)) - 1; // ns >= 2^octave >= 8
    const auto sub = static_cast<int>((ns >> (octave - 3)) & (kSubBuckets - 1));
    return std::min(kBuckets - 1, (octave - 2) * kSubBuckets + sub);
}

// The upper end of a bucket.
uint64_t bucketLimit(int bucket) {
    if (bucket < kSubBuckets) {
        return static_cast<uint64_t>(bucket);
    }
    const int octave = bucket / kSubBuckets + 2;
    const auto sub = static_cast<uint64_t>(bucket % kSubBuckets);
    return ((kSubBuckets + sub + 1) << (octave - 3)) - 1;
}

// The speed last set on each descriptor, in bits per second.
constexpr int kTrackedDescriptors = 1024;
std::atomic<unsigned> speeds[kTrackedDescriptors];

constexpr uint8_t kSyncSequence[4] = {0xAA, 0x55, 0xA5, 0x5A};

// ser_fd is written by the thread that opens the port; the threads that use
// it afterwards only read it.
bool isPort(int fd) {
    return fd >= 0 && fd == __atomic_load_n(&ser_fd, __ATOMIC_RELAXED);
}

unsigned speedOf(int fd) {
    return fd < kTrackedDescriptors ? speeds[fd].load(std::memory_order_relaxed) : 0;
}

unsigned speedValue(speed_t code) {
    switch (code) {
    case B115200:
        return 115200;
    case B57600:
        return 57600;
    case B460800:
        return 460800;
    case B230400:
        return 230400;
    case B921600:
        return 921600;
    case B38400:
        return 38400;
    case B19200:
        return 19200;
    case B9600:
        return 9600;
    default:
        return 0;
    }
}

void countBytes(std::atomic<uint64_t>& direction, int fd, ssize_t n) {
    if (n <= 0) {
        return;
    }
    const auto count = static_cast<uint64_t>(n);
    direction.fetch_add(count, std::memory_order_relaxed);
    wireNs.fetch_add(wireNanoseconds(count, speedOf(fd)), std::memory_order_relaxed);
}

} // namespace

uint64_t turnaroundPercentileNs(double p) {
    uint64_t total = 0;
    for (const auto& bucket : reactions) {
        total += bucket.load();
    }
    if (total == 0) {
        return 0;
    }
    const auto wanted = static_cast<uint64_t>(p * static_cast<double>(total));
    uint64_t seen = 0;
    for (int i = 0; i < kBuckets; ++i) {
        seen += reactions[i].load();
        if (seen > wanted) {
            return bucketLimit(i);
        }
    }
    return bucketLimit(kBuckets - 1);
}

uint64_t wireNanoseconds(uint64_t bytes, unsigned speed) {
    return speed == 0 ? 0 : bytes * 10 * 1'000'000'000ULL / speed;
}

WireTraffic WireTraffic::operator-(const WireTraffic& earlier) const {
    WireTraffic d;
    d.bytesOut = bytesOut - earlier.bytesOut;
    d.bytesIn = bytesIn - earlier.bytesIn;
    d.writeCalls = writeCalls - earlier.writeCalls;
    d.readCalls = readCalls - earlier.readCalls;
    d.waitCalls = waitCalls - earlier.waitCalls;
    d.syncWrites = syncWrites - earlier.syncWrites;
    d.turnarounds = turnarounds - earlier.turnarounds;
    d.wireNs = wireNs - earlier.wireNs;
    return d;
}

WireTraffic& WireTraffic::operator+=(const WireTraffic& other) {
    bytesOut += other.bytesOut;
    bytesIn += other.bytesIn;
    writeCalls += other.writeCalls;
    readCalls += other.readCalls;
    waitCalls += other.waitCalls;
    syncWrites += other.syncWrites;
    turnarounds += other.turnarounds;
    wireNs += other.wireNs;
    return *this;
}

WireTraffic wireTraffic() {
    WireTraffic t;
    t.bytesOut = bytesOut.load();
    t.bytesIn = bytesIn.load();
    t.writeCalls = writeCalls.load();
    t.readCalls = readCalls.load();
    t.waitCalls = waitCalls.load();
    t.syncWrites = syncWrites.load();
    t.turnarounds = turnarounds.load();
    t.wireNs = wireNs.load();
    return t;
}

} // namespace bench

extern "C" {

ssize_t __wrap_read(int fd, void* buffer, size_t n) {
    const ssize_t got = __real_read(fd, buffer, n);
    if (bench::isPort(fd)) {
        bench::readCalls.fetch_add(1, std::memory_order_relaxed);
        bench::lastReadNs.store(bench::nowNs(), std::memory_order_relaxed);
        bench::afterRead.store(true, std::memory_order_relaxed);
        bench::countBytes(bench::bytesIn, fd, got);
    }
    return got;
}

ssize_t __wrap_write(int fd, const void* buffer, size_t n) {
    if (bench::isPort(fd) && bench::afterRead.exchange(false, std::memory_order_relaxed)) {
        const uint64_t reaction =
            bench::nowNs() - bench::lastReadNs.load(std::memory_order_relaxed);
        bench::reactions[bench::bucketOf(reaction)].fetch_add(1, std::memory_order_relaxed);
        bench::turnarounds.fetch_add(1, std::memory_order_relaxed);
    }
    const ssize_t written = __real_write(fd, buffer, n);
    if (bench::isPort(fd)) {
        bench::writeCalls.fetch_add(1, std::memory_order_relaxed);
        bench::countBytes(bench::bytesOut, fd, written);
        if (written == 4 && std::memcmp(buffer, bench::kSyncSequence, 4) == 0) {
            bench::syncWrites.fetch_add(1, std::memory_order_relaxed);
        }
    }
    return written;
}

int __wrap_ppoll(pollfd* fds, nfds_t count, const timespec* timeout, const sigset_t* mask) {
    if (count == 1 && bench::isPort(fds[0].fd)) {
        bench::waitCalls.fetch_add(1, std::memory_order_relaxed);
    }
    return __real_ppoll(fds, count, timeout, mask);
}

int __wrap_tcsetattr(int fd, int action, const termios* settings) {
    const int result = __real_tcsetattr(fd, action, settings);
    if (result == 0 && fd >= 0 && fd < bench::kTrackedDescriptors) {
        bench::speeds[fd].store(bench::speedValue(cfgetospeed(settings)),
                                std::memory_order_relaxed);
    }
    return result;
}

} // extern "C"
