#include "ServiceTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace service_testing {

DatagramSocket::DatagramSocket(std::string path) : path_(std::move(path)) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (fd_ < 0 || path_.size() >= sizeof address.sun_path) {
        throw std::runtime_error("no socket for " + path_);
    }
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    ::unlink(path_.c_str());
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        throw std::runtime_error("cannot bind " + path_ + ": " + std::strerror(errno));
    }
    // The journal's datagrams may be large; the receive buffer holds many.
    const int size = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

DatagramSocket::~DatagramSocket() {
    ::close(fd_);
    ::unlink(path_.c_str());
}

std::optional<std::string> DatagramSocket::receive(std::chrono::milliseconds limit) {
    pollfd ready{fd_, POLLIN, 0};
    if (::poll(&ready, 1, static_cast<int>(limit.count())) <= 0) {
        return std::nullopt;
    }
    std::string datagram(1 << 16, '\0');
    const ssize_t n = ::recv(fd_, datagram.data(), datagram.size(), 0);
    if (n < 0) {
        return std::nullopt;
    }
    datagram.resize(static_cast<std::size_t>(n));
    return datagram;
}

std::vector<std::string> DatagramSocket::drain(std::chrono::milliseconds quiet) {
    std::vector<std::string> datagrams;
    while (std::optional<std::string> datagram = receive(quiet)) {
        datagrams.push_back(*datagram);
    }
    return datagrams;
}

DatagramCollector::DatagramCollector(std::string path)
    : socket_(std::move(path)), thread_([this] {
          while (!stop_) {
              if (std::optional<std::string> datagram =
                      socket_.receive(std::chrono::milliseconds(50))) {
                  std::lock_guard<std::mutex> lock(mutex_);
                  received_.push_back(std::move(*datagram));
              }
          }
      }) {}

DatagramCollector::~DatagramCollector() {
    stop_ = true;
    thread_.join();
}

std::vector<std::string> DatagramCollector::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::map<std::string, std::string> journalFields(const std::string& datagram) {
    std::map<std::string, std::string> fields;
    std::size_t at = 0;
    while (at < datagram.size()) {
        const std::size_t newline = datagram.find('\n', at);
        if (newline == std::string::npos) {
            throw std::runtime_error("a journal field without its line break");
        }
        const std::string line = datagram.substr(at, newline - at);
        const std::size_t equals = line.find('=');
        if (equals != std::string::npos) {
            fields[line.substr(0, equals)] = line.substr(equals + 1);
            at = newline + 1;
            continue;
        }
        // NAME\n, 64-bit little-endian size, the value, \n.
        if (newline + 9 > datagram.size()) {
            throw std::runtime_error("a binary journal field cut short");
        }
        std::uint64_t size = 0;
        for (std::size_t i = 8; i > 0; --i) {
            size = (size << 8) | static_cast<unsigned char>(datagram[newline + i]);
        }
        const std::size_t value = newline + 9;
        if (value + size + 1 > datagram.size() || datagram[value + size] != '\n') {
            throw std::runtime_error("a binary journal field of the wrong size");
        }
        fields[line] = datagram.substr(value, size);
        at = value + size + 1;
    }
    return fields;
}

HttpAnswer httpGet(std::uint16_t port, const std::string& path) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    HttpAnswer answer;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return answer;
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return answer;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 10000) <= 0) {
            break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    const std::size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos || text.size() < 12) {
        return answer;
    }
    answer.head = text.substr(0, end);
    answer.body = text.substr(end + 4);
    answer.status = std::atoi(text.substr(9, 3).c_str());
    return answer;
}

std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string promtoolComplaints(const std::string& page) {
    char path[] = "/tmp/qrb-metrics-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0 || ::write(fd, page.data(), page.size()) != static_cast<ssize_t>(page.size())) {
        return "cannot write the page for promtool";
    }
    ::close(fd);
    const std::string command = std::string("promtool check metrics < ") + path + " 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    std::string output;
    if (pipe != nullptr) {
        char buffer[1024];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            output.append(buffer, n);
        }
    }
    const int status = pipe != nullptr ? ::pclose(pipe) : -1;
    ::unlink(path);
    if (status != 0) {
        return "promtool check metrics failed (status " + std::to_string(status) + "): " + output;
    }
    return "";
}

} // namespace service_testing
