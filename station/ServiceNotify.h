#pragma once

#include <chrono>
#include <optional>
#include <string>

// The station's messages to the service manager that started it (systemd's
// notification socket, $NOTIFY_SOCKET): ready, a status line, the watchdog's
// keep-alive and stopping. Outside a service manager every call does nothing.
// Only the parent process sends: the board processes never do.
class ServiceNotify {
  public:
    using Clock = std::chrono::steady_clock;

    ServiceNotify();

    // READY=1, with the first status line.
    void ready(const std::string& status);
    // STATUS=, sent only when it differs from the last one.
    void status(const std::string& text);
    // STOPPING=1.
    void stopping();

    // The watchdog: once the loop has turned and the keep-alive is due,
    // WATCHDOG=1. Sent at half the interval the manager asked for
    // (WatchdogSec=), so that a loop that stops turning is restarted.
    void loopTurned(Clock::time_point now = Clock::now());
    // How long the loop may wait before it must turn again for the watchdog;
    // none without a watchdog.
    std::optional<std::chrono::milliseconds>
    untilWatchdog(Clock::time_point now = Clock::now()) const;

  private:
    std::optional<Clock::duration> keepAliveInterval_;
    Clock::time_point nextKeepAlive_;
    std::string lastStatus_;
};
