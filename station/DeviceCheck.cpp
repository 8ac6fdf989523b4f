#include "DeviceCheck.h"

#include "Station.h"
#include "StringFormat.h"

std::optional<std::string> deviceChange(const BoardIdentity& board) {
    if (board.serial.empty()) {
        return std::nullopt;
    }
    // The ttys named as they are listed now: an entry without a serial
    // number is a tty that udev does not list as a board (any more).
    for (const BoardIdentity& now : Station::attachedBoards({board.tty})) {
        if (now.serial == board.serial && now.port == board.port) {
            return std::nullopt;
        }
        if (now.serial.empty()) {
            return formatString("The device behind %s is no longer the board's adapter; it was "
                                "not updated under its name.",
                                board.tty.c_str());
        }
        return formatString("The device behind %s is now another adapter (%s on %s); it was not "
                            "updated under this board's name.",
                            board.tty.c_str(), now.serial.c_str(), now.port.c_str());
    }
    return std::nullopt;
}
