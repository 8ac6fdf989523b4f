#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The firmware images the bench updates: a given number of data bytes in a
// few records, with a type-2 record up front, records that start and end off
// word boundaries, and gaps between the records.
namespace bench {

struct DataRecord {
    uint32_t address = 0;
    uint32_t length = 0;
};

// The records of an image of `size` data bytes (at least 64 bytes); their
// lengths add up to size.
std::vector<DataRecord> benchImageLayout(uint32_t size);

// The flash a board needs for the layout: its end, rounded up to 64 KiB.
size_t flashSizeFor(const std::vector<DataRecord>& layout);

// Writes the image file: the layout filled with pseudo-random bytes (the same
// for the same size).
void writeBenchImage(const std::string& path, uint32_t size);

// Writes the update configuration the bench's updates read: image version
// 1.2.3, the firmware QRB_Firmware.sc and the RAM bootloader
// QRB_RAM_Bootloader.sc beside it.
void writeBenchConfiguration(const std::string& path);

} // namespace bench
