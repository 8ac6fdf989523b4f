#include "Serial.h"

#include "FirmwareUpdaterException.h"
#include "SerialRecording.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

int ser_fd = -1;
std::mutex ser_fd_mutex;
std::optional<std::string> savedDevicePath;
LowLatencyOutcome ser_low_latency;
BaudRate ser_baud_rate = 0;

namespace {

// The serial settings the open port had before this process asked for low
// latency; put back by serClose. Guarded by ser_fd_mutex, like ser_fd.
std::optional<serial_struct> foundSerialSettings;

// Asks the driver of a freshly configured port for low latency. Never
// raises; found receives the settings to restore when something changed.
LowLatencyOutcome requestLowLatency(int fd, std::optional<serial_struct>& found) {
    serial_struct settings{};
    if (::ioctl(fd, TIOCGSERIAL, &settings) != 0) {
        const int error = errno;
        return {error == ENOTTY ? LowLatency::Unsupported : LowLatency::Unreadable, error};
    }
    constexpr int kLowLatency = ASYNC_LOW_LATENCY;
    if ((settings.flags & kLowLatency) != 0) {
        return {LowLatency::AlreadySet, 0};
    }
    serial_struct wanted = settings;
    wanted.flags |= kLowLatency;
    if (::ioctl(fd, TIOCSSERIAL, &wanted) != 0) {
        return {LowLatency::Refused, errno};
    }
    found = settings;
    return {LowLatency::Granted, 0};
}

constexpr const char* kBusySuffix =
    " Make sure that other applications are not connected to QRB board";

// The termios speed code for a rate in bits per second; every standard rate
// of the platform is accepted, anything else is refused.
std::optional<speed_t> speedCode(BaudRate baudRate) {
    struct Entry {
        BaudRate rate;
        speed_t code;
    };
    static constexpr Entry kRates[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const Entry& entry : kRates) {
        if (entry.rate == baudRate) {
            return entry.code;
        }
    }
    return std::nullopt;
}

bool isSevenBitAscii(const char* text) {
    for (const char* p = text; *p != '\0'; ++p) {
        if ((static_cast<unsigned char>(*p) & 0x80U) != 0) {
            return false;
        }
    }
    return true;
}

// The path as shown in an open failure: printable ASCII as it is, every other
// byte as \xNN, so that the reason stays one line of plain text.
std::string displayPath(const char* path) {
    if (path == nullptr) {
        return "<none>";
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string shown;
    for (const char* p = path; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte >= 0x20 && byte < 0x7F) {
            shown.push_back(*p);
        } else {
            shown += "\\x";
            shown.push_back(kHex[byte >> 4]);
            shown.push_back(kHex[byte & 0x0F]);
        }
    }
    return shown;
}

[[noreturn]] void raiseOpenError(const char* path, const std::string& shownPath, int error) {
    ser_recording.openFailed(path, error);
    SerialException::raise(SerialFailure::Open, error,
                           "Connection to QRB board failed: open(%s) failed. errno %d %s.%s.",
                           shownPath.c_str(), error, std::strerror(error),
                           error == EBUSY ? kBusySuffix : "");
}

[[noreturn]] void raiseReceiveError(int error) {
    ser_recording.receiveFailed(error);
    SerialException::raise(SerialFailure::Receive, 0,
                           "Serial Communication Error: receiving serial data failed.");
}

[[noreturn]] void raiseSelectError(int error) {
    ser_recording.receiveFailed(error);
    SerialException::raise(SerialFailure::Select, error,
                           "Select while reading failed. errno %d %s.", error,
                           std::strerror(error));
}

// Waits without limit until fd is readable or has hung up.
void waitReadableForever(int fd) {
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        const int result = ::poll(&entry, 1, -1);
        if (result > 0) {
            return;
        }
        if (result < 0 && errno != EINTR) {
            raiseSelectError(errno);
        }
    }
}

// One read of one byte; a signal that interrupts the wait is not a failure.
// The descriptor does not block: a read with nothing to read waits here.
uint8_t readOneByte(int fd) {
    for (;;) {
        uint8_t byte = 0;
        const ssize_t got = ::read(fd, &byte, 1);
        if (got == 1) {
            ser_recording.received(byte);
            return byte;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitReadableForever(fd);
            continue;
        }
        raiseReceiveError(got < 0 ? errno : 0);
    }
}

// Waits until fd is readable (or has hung up, which the following read will
// report) for at most the given time. A signal restarts the wait with the
// time that is left.
bool waitReadable(int fd, std::chrono::microseconds timeout) {
    if (fd < 0) {
        raiseSelectError(EBADF);
    }
    if (timeout.count() < 0) {
        raiseSelectError(EINVAL);
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        const auto left = std::max(Clock::duration::zero(), deadline - Clock::now());
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
        const auto nanoseconds =
            std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds);
        const timespec wait{static_cast<time_t>(seconds.count()),
                            static_cast<long>(nanoseconds.count())};
        pollfd entry{fd, POLLIN, 0};
        const int result = ::ppoll(&entry, 1, &wait, nullptr);
        if (result > 0) {
            if ((entry.revents & POLLNVAL) != 0) {
                raiseSelectError(EBADF);
            }
            return true;
        }
        if (result == 0) {
            return false;
        }
        if (errno != EINTR) {
            raiseSelectError(errno);
        }
    }
}

} // namespace

void serInit(const char* path, BaudRate baudRate) {
    if (path != nullptr) {
        savedDevicePath = std::string(path);
    }
    serOpenAndConfig(savedDevicePath ? savedDevicePath->c_str() : nullptr, baudRate);
}

void serOpenAndConfig(const char* path, BaudRate baudRate) {
    int previous = -1;
    {
        std::lock_guard<std::mutex> lock(ser_fd_mutex);
        previous = ser_fd;
    }
    if (previous >= 0) {
        serClose();
    }
    ser_low_latency = {};

    if (path == nullptr) {
        raiseOpenError(path, displayPath(path), ENOENT);
    }
    if (!isSevenBitAscii(path)) {
        raiseOpenError(path, displayPath(path), EINVAL);
    }
    const std::optional<speed_t> speed = speedCode(baudRate);
    if (!speed) {
        raiseOpenError(path, displayPath(path), EINVAL);
    }

    // Opened without waiting for a carrier, as a callout device opens. The
    // descriptor stays non-blocking: a read waits for its byte in poll, as
    // long as it takes, and a write waits for room by its deadline, so that
    // a write always has an end and costs no more system calls than itself.
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        raiseOpenError(path, displayPath(path), error);
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        const int error = errno;
        ::close(fd);
        ser_recording.openFailed(path, error);
        SerialException::raise(SerialFailure::ExclusiveUse, error,
                               "There was a problem getting exclusive access to the QRB Box.");
    }

    termios settings{};
    (void)::tcgetattr(fd, &settings);
    settings.c_cflag = CS8 | CREAD | CLOCAL;
    settings.c_iflag = IGNBRK | IGNPAR;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    (void)::cfsetispeed(&settings, *speed);
    (void)::cfsetospeed(&settings, *speed);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    (void)::tcflush(fd, TCIFLUSH);
    (void)::tcsetattr(fd, TCSANOW, &settings);

    // Not part of the open: whatever the driver answers, the port is usable.
    std::optional<serial_struct> found;
    ser_low_latency = requestLowLatency(fd, found);

    ser_recording.opened(path, baudRate);
    int modemBits = 0;
    if (::ioctl(fd, TIOCMGET, &modemBits) == 0) {
        ser_recording.modemLines(modemBits);
    }

    std::lock_guard<std::mutex> lock(ser_fd_mutex);
    ser_fd = fd;
    ser_baud_rate = baudRate;
    foundSerialSettings = found;
}

void serClose() {
    std::lock_guard<std::mutex> lock(ser_fd_mutex);
    if (ser_fd >= 0) {
        // The driver's settings as they were before this process changed
        // them; a failure leaves them as they are.
        if (foundSerialSettings) {
            (void)::ioctl(ser_fd, TIOCSSERIAL, &*foundSerialSettings);
        }
        // Give up exclusive use first: a pseudo-terminal keeps the mark past
        // its last close while its master is open, and would refuse this
        // process's next open (EBUSY) unless it is privileged.
        (void)::ioctl(ser_fd, TIOCNXCL);
        (void)::close(ser_fd);
        ser_recording.closed();
    }
    ser_fd = -1;
    foundSerialSettings.reset();
}

void serSetBaudRate(BaudRate baudRate) {
    // Errors are not reported; a rate the platform cannot set leaves the port
    // as it was.
    const std::optional<speed_t> speed = speedCode(baudRate);
    if (!speed) {
        return;
    }
    termios settings{};
    if (::tcgetattr(ser_fd, &settings) != 0) {
        return;
    }
    (void)::cfsetispeed(&settings, *speed);
    (void)::cfsetospeed(&settings, *speed);
    (void)::tcflush(ser_fd, TCIFLUSH);
    if (::tcsetattr(ser_fd, TCSANOW, &settings) == 0) {
        ser_baud_rate = baudRate;
    }
    ser_recording.speedChanged(baudRate);
}

std::chrono::microseconds serWriteBound(size_t n) {
    const BaudRate rate = ser_baud_rate > 0 ? ser_baud_rate : kBootloaderBaudRate;
    return std::chrono::microseconds(static_cast<int64_t>(n) * 10 * 1'000'000 / rate) +
           kWriteMargin;
}

void serQueueTxBytes(const void* buffer, size_t n) {
    serQueueTxBytesBy(buffer, n, serDeadlineIn(serWriteBound(n)));
}

void serQueueTxBytesBy(const void* buffer, size_t n, const SerialDeadline& deadline) {
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    size_t sent = 0;
    const auto fail = [&](int error) {
        ser_recording.sendFailed(error, sent);
        SerialException::raise(
            SerialFailure::Send, 0,
            "Serial Communication Error: transmitting serial data failed (%zd:%zu).",
            sent > 0 ? static_cast<ssize_t>(sent) : ssize_t{-1}, n);
    };
    while (sent < n) {
        const ssize_t written = ::write(ser_fd, bytes + sent, n - sent);
        if (written > 0) {
            ser_recording.sent(bytes + sent, static_cast<size_t>(written));
            sent += static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR && sent == 0) {
            continue;
        }
        if (written == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            fail(written < 0 ? errno : -1);
        }
        // The adapter takes nothing more for now: wait for room, by the
        // deadline at most. A signal before any byte went out starts the
        // wait again; one after some bytes ends the write short, as an
        // interrupted write(2) does.
        for (;;) {
            const auto left = std::max(std::chrono::steady_clock::duration::zero(),
                                       deadline.at - std::chrono::steady_clock::now());
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(left);
            const timespec wait{
                static_cast<time_t>(seconds.count()),
                static_cast<long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(left - seconds).count())};
            pollfd entry{ser_fd, POLLOUT, 0};
            const int result = ::ppoll(&entry, 1, &wait, nullptr);
            if (result > 0) {
                break;
            }
            if (result == 0) {
                ser_recording.timedOut(static_cast<uint64_t>(deadline.bound.count()));
                SerialException::raise(
                    SerialFailure::Timeout, 0,
                    "Serial Communication Error: the adapter took no data within %g s.",
                    static_cast<double>(deadline.bound.count()) / 1e6);
            }
            if (errno != EINTR || sent > 0) {
                fail(errno);
            }
        }
    }
}

uint8_t rxByte() {
    return readOneByte(ser_fd);
}

void RxBytes(uint8_t* buffer, uint32_t count) {
    for (uint32_t i = 0; i < count; ++i) {
        buffer[i] = rxByte();
    }
}

uint8_t rxByteWithTimeout(time_t seconds, int32_t microseconds, bool* timedOut) {
    bool ignored = false;
    if (timedOut == nullptr) {
        timedOut = &ignored;
    }
    *timedOut = false;
    // Longer waits than a few years make no difference and would overflow.
    constexpr time_t kLongestWait = time_t{100'000'000};
    const std::chrono::microseconds timeout =
        std::chrono::seconds(std::min(seconds, kLongestWait)) +
        std::chrono::microseconds(microseconds);
    if (!waitReadable(ser_fd, timeout)) {
        ser_recording.timedOut(static_cast<uint64_t>(timeout.count()));
        *timedOut = true;
        return 0;
    }
    return readOneByte(ser_fd);
}

SerialDeadline serDeadlineIn(std::chrono::microseconds bound) {
    return {std::chrono::steady_clock::now() + bound, bound};
}

[[noreturn]] void raiseTimeout(std::chrono::microseconds bound) {
    SerialException::raise(SerialFailure::Timeout, 0,
                           "Serial Communication Error: no answer from the QRB board within %g s.",
                           static_cast<double>(bound.count()) / 1e6);
}

namespace {

std::chrono::microseconds timeLeft(const SerialDeadline& deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
        deadline.at - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::microseconds::zero());
}

} // namespace

uint8_t rxByteBy(const SerialDeadline& deadline) {
    const std::chrono::microseconds left = timeLeft(deadline);
    if (!waitReadable(ser_fd, left)) {
        ser_recording.timedOut(static_cast<uint64_t>(left.count()));
        raiseTimeout(deadline.bound);
    }
    return readOneByte(ser_fd);
}

void RxBytesBy(uint8_t* buffer, uint32_t count, const SerialDeadline& deadline) {
    for (uint32_t i = 0; i < count; ++i) {
        buffer[i] = rxByteBy(deadline);
    }
}

void rxBufFlushBy(const SerialDeadline& deadline) {
    constexpr std::chrono::microseconds kQuiet = std::chrono::milliseconds(10);
    for (;;) {
        const std::chrono::microseconds left = timeLeft(deadline);
        // A line that keeps talking past the deadline has not fallen quiet.
        if (left.count() == 0) {
            ser_recording.timedOut(0);
            raiseTimeout(deadline.bound);
        }
        const std::chrono::microseconds wait = std::min(kQuiet, left);
        if (!waitReadable(ser_fd, wait)) {
            // Quiet for less than 10 ms only because the time ran out.
            if (wait < kQuiet) {
                ser_recording.timedOut(static_cast<uint64_t>(wait.count()));
                raiseTimeout(deadline.bound);
            }
            return;
        }
        (void)readOneByte(ser_fd);
    }
}

bool rxBufFlushUnless(const std::atomic<bool>& stop) {
    constexpr auto kQuiet = std::chrono::milliseconds(10);
    for (;;) {
        if (stop.load()) {
            return false;
        }
        if (!waitReadable(ser_fd, kQuiet)) {
            return !stop.load();
        }
        (void)readOneByte(ser_fd);
    }
}

void rxBufFlush() {
    while (waitReadable(ser_fd, std::chrono::milliseconds(10))) {
        (void)readOneByte(ser_fd);
    }
}
