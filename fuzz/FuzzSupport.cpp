#include "FuzzSupport.h"

#include "FuzzEntries.h"
#include "ImageFile.h"
#include "Serial.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fuzzing {

namespace {

[[noreturn]] void harnessFailure(const char* what) {
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

} // namespace

MemoryFile::MemoryFile(const uint8_t* data, size_t size) {
    fd_ = ::memfd_create("qrb-fuzz-input", MFD_CLOEXEC);
    if (fd_ < 0) {
        harnessFailure("memfd_create");
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t written = ::write(fd_, data + done, size - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            ::close(fd_);
            harnessFailure("write to the memory file");
        }
        done += static_cast<size_t>(written);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemoryFile::~MemoryFile() {
    ::close(fd_);
}

SocketLine::SocketLine() {
    int fds[2];
    // The host's end does not block, as the serial layer keeps its port.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0 ||
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0) {
        harnessFailure("socketpair");
    }
    host_ = fds[0];
    board_ = fds[1];
}

SocketLine::~SocketLine() {
    if (collector_.joinable()) {
        // The host's end may still be open: end the collector's read.
        (void)::shutdown(board_, SHUT_RDWR);
        collector_.join();
    }
    if (host_ >= 0) {
        ::close(host_);
    }
    ::close(board_);
}

void SocketLine::attachHost() {
    std::lock_guard<std::mutex> lock(ser_fd_mutex);
    ser_fd = host_;
    host_ = -1;
}

void SocketLine::boardHangsUpSending() {
    (void)::shutdown(board_, SHUT_WR);
}

void SocketLine::boardHangsUp() {
    (void)::shutdown(board_, SHUT_RDWR);
}

void SocketLine::discardHostOutput() {
    uint8_t buffer[4096];
    while (::recv(board_, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
}

void SocketLine::collectHostOutput() {
    collector_ = std::thread([this] {
        uint8_t buffer[4096];
        for (;;) {
            const ssize_t got = ::recv(board_, buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                return;
            }
            collected_.insert(collected_.end(), buffer, buffer + got);
        }
    });
}

std::vector<uint8_t> SocketLine::hostOutput() {
    if (collector_.joinable()) {
        collector_.join();
    }
    return std::move(collected_);
}

HostCleanup::~HostCleanup() {
    serClose();
    closeImageFile();
}

void ignoreBrokenPipes() {
    static const bool done = [] {
        (void)std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)done;
}

bool writeAll(int fd, const uint8_t* buffer, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t sent = ::send(fd, buffer + done, n - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        done += static_cast<size_t>(sent);
    }
    return true;
}

uint32_t bigEndian32(const uint8_t* bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

void putBigEndian32(uint8_t* bytes, uint32_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 24);
    bytes[1] = static_cast<uint8_t>(value >> 16);
    bytes[2] = static_cast<uint8_t>(value >> 8);
    bytes[3] = static_cast<uint8_t>(value);
}

} // namespace fuzzing
