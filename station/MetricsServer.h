#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

struct MHD_Daemon;

// The station's metrics page over HTTP (libmicrohttpd): GET /metrics answers
// the page, every other path 404. It runs in the parent's own loop, not on a
// thread of its own: the loop polls pollFd() and calls serve() when it is
// readable and when untilServe() has run out.
class MetricsServer {
  public:
    // Why the address cannot be listened on (the reason alone, without the
    // address).
    struct ListenError : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    // Listens on address, "HOST:PORT" or "[IPv6]:PORT", at once, so that a
    // port that cannot be had is known before the station starts.
    explicit MetricsServer(const std::string& address);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // What each request for the page answers (until set: an empty page).
    void setPage(std::function<std::string()> page) { page_ = std::move(page); }

    int pollFd() const;
    void serve();
    // How long the loop may wait before serve() must run for the open
    // connections' time-outs; none when nothing waits.
    std::optional<std::chrono::milliseconds> untilServe() const;

    // In a forked board process: lets go of the listening socket and the
    // poll descriptor, without stopping the parent's server.
    void closeInChild();

  private:
    struct Daemon;
    std::function<std::string()> page_;
    int listenFd_ = -1;
    MHD_Daemon* daemon_ = nullptr;
};
