#include "DeviceCheck.h"

#include "Station.h"
#include "StringFormat.h"

#include <chrono>
#include <thread>
#include <vector>

std::optional<std::string> deviceChange(const BoardIdentity& board) {
    if (board.serial.empty()) {
        return std::nullopt;
    }
    // The ttys named as they are listed now: an entry without a serial
    // number is a tty that udev does not list as a board (any more). A
    // listing read while udev's records of other adapters change can miss
    // the tty for a moment, so a tty not listed is looked at again before
    // it counts; another adapter on it counts at once.
    constexpr int kLooks = 5;
    constexpr auto kBetweenLooks = std::chrono::milliseconds(100);
    for (int look = 1;; ++look) {
        const std::vector<BoardIdentity> listed = Station::attachedBoards({board.tty});
        if (listed.empty()) {
            return std::nullopt;
        }
        const BoardIdentity& now = listed.front();
        if (now.serial == board.serial && now.port == board.port) {
            return std::nullopt;
        }
        if (!now.serial.empty()) {
            return formatString("The device behind %s is now another adapter (%s on %s); it was "
                                "not updated under this board's name.",
                                board.tty.c_str(), now.serial.c_str(), now.port.c_str());
        }
        if (look == kLooks) {
            return formatString("The device behind %s is no longer the board's adapter; it was "
                                "not updated under its name.",
                                board.tty.c_str());
        }
        std::this_thread::sleep_for(kBetweenLooks);
    }
}
