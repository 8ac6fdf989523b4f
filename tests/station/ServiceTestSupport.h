#pragma once

// What the tests of the station as a service stand in for: the service
// manager's notification socket, the journal's socket, and a client of the
// metrics page.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace service_testing {

// A Unix datagram socket bound at a path, as the service manager's and the
// journal's are.
class DatagramSocket {
  public:
    explicit DatagramSocket(std::string path);
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    const std::string& path() const { return path_; }
    // The next datagram, or none after limit.
    std::optional<std::string> receive(std::chrono::milliseconds limit);
    // Every datagram until none came for quiet.
    std::vector<std::string> drain(std::chrono::milliseconds quiet);

  private:
    std::string path_;
    int fd_ = -1;
};

// Takes every datagram off a socket as it comes, on a thread of its own, as
// the service manager does: a sender never waits for a full queue (a Unix
// datagram socket holds only a few).
class DatagramCollector {
  public:
    explicit DatagramCollector(std::string path);
    ~DatagramCollector();
    const std::string& path() const { return socket_.path(); }
    // What has come so far.
    std::vector<std::string> received() const;

  private:
    DatagramSocket socket_;
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::atomic<bool> stop_ = false;
    std::thread thread_;
};

// A journal datagram's fields (the native protocol, both forms of a field).
// A field that comes twice keeps its last value.
std::map<std::string, std::string> journalFields(const std::string& datagram);

struct HttpAnswer {
    int status = 0;
    std::string head; // the status line and the headers
    std::string body;
};
// One GET over HTTP/1.0 on the loopback address.
HttpAnswer httpGet(std::uint16_t port, const std::string& path);

// A TCP port on the loopback address that nothing listens on now.
std::uint16_t freePort();

// What `promtool check metrics` says of a page; empty when it is clean.
std::string promtoolComplaints(const std::string& page);

} // namespace service_testing
