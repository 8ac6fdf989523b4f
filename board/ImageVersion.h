#pragma once

#include <cstdint>

// The version of the firmware image: one 32-bit word whose bytes are, from the
// lowest, major (bits 0-7), minor (8-15), rev (16-23) and reserved (24-31).
// The board reports its firmware version word in the same layout, and the
// sealing command takes it as it is.
struct ImageVersion {
    std::uint32_t data = 0;

    std::uint8_t major() const { return byte(0); }
    std::uint8_t minor() const { return byte(8); }
    std::uint8_t rev() const { return byte(16); }
    std::uint8_t reserved() const { return byte(24); }
    void setMajor(std::uint8_t value) { setByte(0, value); }
    void setMinor(std::uint8_t value) { setByte(8, value); }
    void setRev(std::uint8_t value) { setByte(16, value); }
    void setReserved(std::uint8_t value) { setByte(24, value); }

  private:
    std::uint8_t byte(unsigned shift) const { return static_cast<std::uint8_t>(data >> shift); }
    void setByte(unsigned shift, std::uint8_t value) {
        data = (data & ~(std::uint32_t{0xFF} << shift)) | (std::uint32_t{value} << shift);
    }
};

// How the board's firmware stands against the image.
enum class VersionCase {
    Corrupt, // the board reports the marker of corrupt or missing firmware
    Older,
    Same,
    Newer,
};

// The case of the board's firmware version word against the image version.
// The all-ones word is the marker of corrupt or missing firmware; any other
// word is compared by major, then minor, then revision, as unsigned bytes.
// Bits 24-31 of either take no part.
VersionCase classifyFirmwareVersion(std::uint32_t boardWord, ImageVersion image);
