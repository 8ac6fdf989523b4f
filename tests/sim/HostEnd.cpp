#include "HostEnd.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace simtest {

namespace {

speed_t speedCode(unsigned speed) {
    switch (speed) {
    case 9600:
        return B9600;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 460800:
        return B460800;
    default:
        throw std::invalid_argument("unsupported speed");
    }
}

} // namespace

HostEnd::HostEnd(const std::string& path, unsigned speed) : path_(path) {
    reopen(speed);
}

HostEnd::~HostEnd() {
    close();
}

void HostEnd::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void HostEnd::reopen(unsigned speed) {
    close();
    fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) {
        throw std::runtime_error("cannot open " + path_);
    }
    setSpeed(speed);
}

void HostEnd::setSpeed(unsigned speed) {
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&tio, speedCode(speed));
    cfsetospeed(&tio, speedCode(speed));
    tcflush(fd_, TCIFLUSH);
    tcsetattr(fd_, TCSANOW, &tio);
}

void HostEnd::write(const std::vector<uint8_t>& bytes) {
    if (::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
        hangup_ = true;
    }
}

std::vector<uint8_t> HostEnd::read(size_t n, int timeoutMs) {
    std::vector<uint8_t> out;
    while (out.size() < n) {
        pollfd fd{fd_, POLLIN, 0};
        if (::poll(&fd, 1, timeoutMs) <= 0) {
            break;
        }
        uint8_t buffer[256];
        const ssize_t got = ::read(fd_, buffer, std::min(sizeof buffer, n - out.size()));
        if (got <= 0) {
            hangup_ = true;
            break;
        }
        out.insert(out.end(), buffer, buffer + got);
    }
    return out;
}

std::vector<uint8_t> HostEnd::drain(int quietMs) {
    return read(SIZE_MAX, quietMs);
}

std::vector<uint8_t> be32(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace simtest
