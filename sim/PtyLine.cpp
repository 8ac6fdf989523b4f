#include "PtyLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace qrbsim {

namespace {

using Clock = std::chrono::steady_clock;

// The period at which the line speed is looked at while nothing happens.
constexpr int kSampleMs = 2;

// The speed of bytes the line cannot vouch for: whatever the board listens
// at takes them.
constexpr unsigned kAnySpeed = std::numeric_limits<unsigned>::max();

// Whether an open of the slave is among the inotify events in [begin, end).
bool opensAmong(const char* begin, const char* end) {
    while (begin < end) {
        inotify_event event;
        std::memcpy(&event, begin, sizeof event);
        if (event.mask & IN_OPEN) {
            return true;
        }
        begin += sizeof(inotify_event) + event.len;
    }
    return false;
}

unsigned speedValue(speed_t code) {
    switch (code) {
    case B0:
        return 0;
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B921600:
        return 921600;
    default:
        return 1; // some other speed: matches none the board uses
    }
}

Clock::duration byteTime(unsigned speed, size_t bytes) {
    if (speed == 0) {
        return Clock::duration::zero();
    }
    const auto ns = static_cast<int64_t>(bytes) * 10 * 1000000000LL / speed;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns));
}

} // namespace

PtyLine::PtyLine() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        const int error = errno;
        if (master_ >= 0) {
            ::close(master_);
        }
        throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") +
                                 std::strerror(error));
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        ::close(master_);
        throw std::runtime_error("cannot name the pseudo-terminal's slave");
    }
    slavePath_ = name;
    // The line's own hold on the slave, for its whole life: after a hang-up
    // the device is gone, but its number stays taken, so that a host still
    // trying the path cannot open another line that got the number, perhaps
    // another process's. Taken before the watch, so that it is no session.
    reserve_ = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    // Raw until the host configures it: nothing the board sends is echoed or
    // translated on the way.
    termios tio{};
    if (tcgetattr(master_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(master_, TCSANOW, &tio);
    }
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) {
        ::close(master_);
        if (reserve_ >= 0) {
            ::close(reserve_);
        }
        throw std::runtime_error("cannot create an eventfd");
    }
    // Without the watch the line still works, judging bytes at the speed seen
    // when they are read.
    inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0 &&
        inotify_add_watch(inotify_, name, IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0) {
        ::close(inotify_);
        inotify_ = -1;
    }
    observedSpeed_ = readSpeed();
}

PtyLine::~PtyLine() {
    if (master_ >= 0) {
        ::close(master_);
    }
    if (reserve_ >= 0) {
        ::close(reserve_);
    }
    if (inotify_ >= 0) {
        ::close(inotify_);
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
}

void PtyLine::requestStop() {
    stop_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
}

void PtyLine::requestHangUp() {
    hangupRequested_ = true;
    const uint64_t one = 1;
    [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
}

void PtyLine::checkStop() {
    if (hangupRequested_ && master_ >= 0) {
        hangUp();
    }
    if (stop_ || master_ < 0) {
        throw LineClosed{};
    }
}

void PtyLine::close() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
    input_.clear();
}

void PtyLine::hangUp() {
    close();
    throw LineClosed{};
}

unsigned PtyLine::readSpeed() const {
    termios tio{};
    if (master_ < 0 || tcgetattr(master_, &tio) != 0) {
        return 0;
    }
    // What the host transmits at is its output speed.
    return speedValue(cfgetospeed(&tio));
}

bool PtyLine::drainSessionEvents() {
    if (inotify_ < 0) {
        return false;
    }
    bool any = false;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n <= 0) {
            return any;
        }
        for (ssize_t offset = 0; offset < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            any = true;
            if (event.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
                // Everything the closed session wrote is readable now (a read
                // on the master waits for data still on its way); it came at
                // the speed that session had, which stays on the line until a
                // later session opens and sets its own.
                takeIn(opensAmong(buffer + offset, buffer + n));
                if (onSession_) {
                    onSession_("closed");
                }
            } else if (event.mask & IN_OPEN) {
                slaveClosed_ = false;
                // Bytes taken in before this notice was handled may be this
                // session's, written at a speed it has set since.
                decide(kAnySpeed);
                if (onOpened_) {
                    Chunk marker;
                    marker.opened = true;
                    marker.speed = 0; // no bytes to judge
                    input_.push_back(std::move(marker));
                }
                if (onSession_) {
                    onSession_("opened");
                }
            }
        }
    }
}

bool PtyLine::eventsPending() const {
    int bytes = 0;
    return inotify_ >= 0 && ::ioctl(inotify_, FIONREAD, &bytes) == 0 && bytes > 0;
}

bool PtyLine::takeIn(bool laterOpen) {
    // The bytes first, then the speed: the bytes were all written before the
    // sample, each after its session had set its speed. The bytes of every
    // earlier session were taken in at its close, so the unread ones are the
    // current session's (or the one just closed), even if the line never
    // looked while it was open. If no open or close notice came before this
    // sample, the speed sampled is the one they were written at. A close
    // notice leaves them undecided until it is handled: they belong to the
    // session that closed, whose speed stays on the line. Where a later
    // session opened, it may have set its own speed already, or written some
    // of the bytes: the line cannot tell, and takes them at whatever speed
    // the board listens at. That happens only when the board's thread has
    // been held up for as long as the host took to close and reopen the line,
    // and it costs the board its ear for wrong speeds, never a byte the host
    // sent at the right one.
    readAvailable();
    const unsigned speed = readSpeed();
    if (laterOpen) {
        decide(kAnySpeed);
        return false;
    }
    if (eventsPending()) {
        return false;
    }
    decide(speed);
    observedSpeed_ = speed;
    return true;
}

void PtyLine::decide(unsigned speed) {
    // The undecided chunks are the last ones taken in.
    for (auto chunk = input_.rbegin(); chunk != input_.rend() && chunk->speed == kUndecidedSpeed;
         ++chunk) {
        chunk->speed = speed;
    }
}

void PtyLine::readAvailable() {
    if (master_ < 0) {
        return;
    }
    for (;;) {
        uint8_t buffer[16384];
        size_t want = sizeof buffer;
        if (hangupAfter_) {
            if (received_ >= *hangupAfter_) {
                return;
            }
            want = static_cast<size_t>(std::min<uint64_t>(want, *hangupAfter_ - received_.load()));
        }
        const ssize_t n = ::read(master_, buffer, want);
        if (n > 0) {
            Chunk chunk;
            chunk.bytes.assign(buffer, buffer + n);
            chunk.arrival = Clock::now();
            input_.push_back(std::move(chunk));
            received_ += static_cast<uint64_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EIO) {
            // The slave is not open: nothing more until it is opened again.
            slaveClosed_ = true;
        }
        return;
    }
}

void PtyLine::pump(Clock::duration timeout) {
    checkStop();
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {wake_, POLLIN, 0};
    const bool watchMaster = !slaveClosed_;
    if (watchMaster) {
        fds[count++] = {master_, POLLIN, 0};
    }
    if (inotify_ >= 0) {
        fds[count++] = {inotify_, POLLIN, 0};
    } else if (!watchMaster) {
        // Nothing tells when the slave opens again: look every few ms.
        timeout = std::min<Clock::duration>(timeout, std::chrono::milliseconds(kSampleMs));
    }
    timeout = std::max(timeout, Clock::duration::zero());
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec wait{
        static_cast<time_t>(seconds.count()),
        static_cast<long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout - seconds).count())};
    const int ready = ::ppoll(fds, count, &wait, nullptr);
    checkStop();
    if (ready < 0 && errno != EINTR) {
        throw std::runtime_error(std::string("poll failed: ") + std::strerror(errno));
    }
    if (watchMaster && (fds[1].revents & POLLHUP) && !(fds[1].revents & POLLIN)) {
        slaveClosed_ = true;
    }
    drainSessionEvents();
    if (inotify_ < 0 && slaveClosed_) {
        pollfd probe{master_, POLLIN, 0};
        if (::poll(&probe, 1, 0) >= 0 && !(probe.revents & POLLHUP)) {
            slaveClosed_ = false;
        }
    }
    // An open or close in between makes the sample unclean: handle it and
    // look again. A line this busy with sessions gets no more looks.
    for (int attempt = 0; attempt < 3 && !takeIn(false); ++attempt) {
        drainSessionEvents();
    }
    decide(kAnySpeed);
}

void PtyLine::sleepUntil(Clock::time_point until) {
    // Paced lines sleep for fractions of a byte time (22 us at 460800 baud):
    // the default timer slack of 50 us would make every sleep that much too
    // long.
    static thread_local bool slackSet = false;
    if (!slackSet) {
        slackSet = true;
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    for (;;) {
        checkStop();
        const auto left = until - Clock::now();
        if (left <= Clock::duration::zero()) {
            return;
        }
        // To the nanosecond, waking early only to throw when stopped.
        const auto wait = std::min<Clock::duration>(left, std::chrono::milliseconds(100));
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
        const timespec timeout{
            static_cast<time_t>(seconds.count()),
            static_cast<long>(
                std::chrono::duration_cast<std::chrono::nanoseconds>(wait - seconds).count())};
        pollfd fd{wake_, POLLIN, 0};
        ::ppoll(&fd, 1, &timeout, nullptr);
    }
}

std::optional<uint8_t> PtyLine::receive(unsigned speed,
                                        std::optional<std::chrono::milliseconds> timeout) {
    // A paced board starts waiting once the bytes it has taken are through.
    const auto start = pace_ ? std::max(Clock::now(), rxClock_) : Clock::now();
    const auto deadline = timeout ? start + *timeout : Clock::time_point::max();
    bool lookedAtDeadline = false;
    for (;;) {
        checkStop();
        while (!input_.empty()) {
            Chunk& chunk = input_.front();
            if (chunk.opened) {
                input_.pop_front();
                onOpened_();
                continue;
            }
            if (chunk.next == chunk.bytes.size()) {
                input_.pop_front();
                continue;
            }
            if (chunk.speed != speed && chunk.speed != kAnySpeed) {
                const size_t dropped = chunk.bytes.size() - chunk.next;
                const unsigned came = chunk.speed;
                input_.pop_front();
                if (onNoise_) {
                    onNoise_(dropped, came, speed);
                }
                continue;
            }
            const uint8_t byte = chunk.bytes[chunk.next++];
            if (pace_) {
                rxClock_ = std::max(rxClock_, chunk.arrival) + byteTime(speed, 1);
                if (rxClock_ - Clock::now() > std::chrono::milliseconds(1)) {
                    sleepUntil(rxClock_);
                }
            }
            return byte;
        }
        if (hangupAfter_ && received_ >= *hangupAfter_) {
            hangUp();
        }
        passHeldBytes();
        const auto now = Clock::now();
        if (now >= deadline) {
            if (lookedAtDeadline) {
                return std::nullopt;
            }
            // A thread held up past the deadline has not looked since: what
            // arrived in the meantime arrived in time.
            lookedAtDeadline = true;
            pump(Clock::duration::zero());
            continue;
        }
        Clock::duration wait = std::chrono::milliseconds(kSampleMs);
        if (timeout) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
            wait = std::chrono::milliseconds(std::clamp<int64_t>(left, 0, kSampleMs));
        }
        if (const auto release = hold_.nextRelease()) {
            wait = std::min<Clock::duration>(wait, *release - now);
        }
        pump(wait);
    }
}

void PtyLine::swallowForever() {
    for (;;) {
        input_.clear();
        passHeldBytes();
        Clock::duration wait = std::chrono::milliseconds(kSampleMs);
        if (const auto release = hold_.nextRelease()) {
            wait = std::min<Clock::duration>(wait, *release - Clock::now());
        }
        pump(wait);
    }
}

void PtyLine::send(const uint8_t* bytes, size_t n, unsigned speed) {
    if (adapter_ == AdapterModel::Ftdi) {
        sendThroughHold(bytes, n, speed);
        return;
    }
    if (pace_) {
        // The answer starts once the request's last byte is through, and its
        // last byte reaches the host its wire time later.
        txClock_ = std::max({txClock_, rxClock_, Clock::now()}) + byteTime(speed, n);
        sleepUntil(txClock_);
    }
    writeToHost(bytes, n);
}

void PtyLine::sendThroughHold(const uint8_t* bytes, size_t n, unsigned speed) {
    const Clock::duration latency = latencyTimer_ ? latencyTimer_() : kDefaultLatencyTimer;
    const auto now = Clock::now();
    // Paced, each byte reaches the chip at the end of its own wire time.
    const auto start = pace_ ? std::max({txClock_, rxClock_, now}) : now;
    for (size_t i = 0; i < n; ++i) {
        hold_.arrive(bytes[i], pace_ ? start + byteTime(speed, i + 1) : start, latency);
    }
    if (pace_) {
        // The board's transmitter is busy until the last byte is out; what
        // the chip lets go meanwhile reaches the host on time.
        txClock_ = start + byteTime(speed, n);
        for (;;) {
            passHeldBytes();
            const auto release = hold_.nextRelease();
            if (Clock::now() >= txClock_) {
                break;
            }
            sleepUntil(release ? std::min(*release, txClock_) : txClock_);
        }
    }
    passHeldBytes();
}

void PtyLine::passHeldBytes() {
    if (hold_.empty()) {
        return;
    }
    const std::vector<uint8_t> released = hold_.takeReleased(Clock::now());
    if (!released.empty()) {
        writeToHost(released.data(), released.size());
    }
}

void PtyLine::writeToHost(const uint8_t* bytes, size_t n) {
    size_t done = 0;
    while (done < n) {
        checkStop();
        const ssize_t written = ::write(master_, bytes + done, n - done);
        if (written > 0) {
            done += static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno == EAGAIN) {
            // The host's input is full: wait for room.
            pollfd fds[2] = {{wake_, POLLIN, 0}, {master_, POLLOUT, 0}};
            ::poll(fds, 2, kSampleMs);
            continue;
        }
        // The line is hung up. (Bytes sent while no host has the line open
        // wait in the slave's input until the next host's opening flushes
        // them: lost, as on a wire with nothing at the other end.)
        return;
    }
}

} // namespace qrbsim
