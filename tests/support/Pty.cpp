#include "Pty.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace testing_support {

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        throw std::runtime_error("cannot create a pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        throw std::runtime_error("ptsname_r failed");
    }
    slavePath_ = name;
    // Raw master side, so bytes pass unchanged both ways.
    termios tio{};
    if (tcgetattr(master_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(master_, TCSANOW, &tio);
    }
}

Pty::~Pty() {
    closeMaster();
}

void Pty::closeMaster() {
    if (master_ >= 0) {
        ::close(master_);
        master_ = -1;
    }
}

void Pty::write(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("write to pty master failed");
        }
        done += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> Pty::read(size_t n, int timeoutMs) {
    std::vector<uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd pfd{master_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            break;
        }
        uint8_t buffer[256];
        const ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, n - out.size()));
        if (got <= 0) {
            if (got < 0 && errno == EIO) {
                // Slave not open (yet, or any more): wait for it.
                ::usleep(1000);
                continue;
            }
            break;
        }
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

std::vector<uint8_t> Pty::drain(int quietMs) {
    std::vector<uint8_t> out;
    for (;;) {
        pollfd pfd{master_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, quietMs);
        if (r <= 0 || !(pfd.revents & POLLIN)) {
            return out;
        }
        uint8_t buffer[256];
        const ssize_t got = ::read(master_, buffer, sizeof buffer);
        if (got <= 0) {
            return out;
        }
        out.insert(out.end(), buffer, buffer + got);
    }
}

unsigned Pty::speed() const {
    termios tio{};
    if (tcgetattr(master_, &tio) != 0) {
        return 0;
    }
    switch (cfgetispeed(&tio)) {
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B460800:
        return 460800;
    case B9600:
        return 9600;
    case B38400:
        return 38400;
    default:
        return 0;
    }
}

} // namespace testing_support
