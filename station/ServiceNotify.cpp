#include "ServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>

ServiceNotify::ServiceNotify() {
    std::uint64_t usec = 0;
    // Only when the manager's watchdog is meant for this process (WATCHDOG_PID).
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        keepAliveInterval_ = std::chrono::microseconds(usec / 2);
        nextKeepAlive_ = Clock::now() + *keepAliveInterval_;
    }
}

void ServiceNotify::ready(const std::string& status) {
    lastStatus_ = status;
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
}

void ServiceNotify::status(const std::string& text) {
    if (text != lastStatus_) {
        lastStatus_ = text;
        sd_notify(0, ("STATUS=" + text).c_str());
    }
}

void ServiceNotify::stopping() {
    sd_notify(0, "STOPPING=1");
}

void ServiceNotify::loopTurned(Clock::time_point now) {
    if (keepAliveInterval_ && now >= nextKeepAlive_) {
        sd_notify(0, "WATCHDOG=1");
        nextKeepAlive_ = now + *keepAliveInterval_;
    }
}

std::optional<std::chrono::milliseconds> ServiceNotify::untilWatchdog(Clock::time_point now) const {
    if (!keepAliveInterval_) {
        return std::nullopt;
    }
    // Rounded up: a wake-up just before the keep-alive is due would only
    // turn the loop once more for nothing.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextKeepAlive_ - now);
    return std::max(left, std::chrono::milliseconds(0));
}
