#include "SimulatorConfig.h"

namespace qrbsim {

std::vector<uint8_t> SimulatorConfig::defaultFactoryFirmware() {
    // A recognisable 1 KiB stand-in for the firmware the board ships with.
    std::vector<uint8_t> firmware(1024);
    uint32_t x = 0x51524231; // "QRB1"
    for (auto& byte : firmware) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return firmware;
}

} // namespace qrbsim
