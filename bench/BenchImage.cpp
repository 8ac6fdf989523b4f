#include "BenchImage.h"

#include "ImageWriter.h"

#include <fstream>
#include <stdexcept>

namespace bench {

namespace {

// Gap between two records.
constexpr uint32_t kGap = 0x100;

uint32_t roundUp4(uint32_t value) {
    return (value + 3) & ~uint32_t{3};
}

} // namespace

std::vector<DataRecord> benchImageLayout(uint32_t size) {
    if (size < 64) {
        throw std::invalid_argument("an image needs at least 64 data bytes");
    }
    // Half the bytes word-aligned at both ends; a quarter plus two starting
    // one byte into a word; an eighth starting two bytes in; the rest aligned
    // at the start and ending one byte into a word where the size allows.
    std::vector<DataRecord> layout;
    const uint32_t first = size / 2 & ~uint32_t{3};
    layout.push_back({0, first});
    const uint32_t second = size / 4 + 2;
    layout.push_back({roundUp4(first + kGap) + 1, second});
    const uint32_t third = size / 8;
    layout.push_back({roundUp4(layout[1].address + second + kGap) + 2, third});
    const uint32_t fourth = size - first - second - third;
    layout.push_back({roundUp4(layout[2].address + third + kGap), fourth});
    return layout;
}

size_t flashSizeFor(const std::vector<DataRecord>& layout) {
    size_t end = 0;
    for (const DataRecord& record : layout) {
        end = std::max<size_t>(end, size_t{record.address} + record.length);
    }
    constexpr size_t kGranule = 64 * 1024;
    return (end + kGranule - 1) / kGranule * kGranule;
}

void writeBenchImage(const std::string& path, uint32_t size) {
    SimpleCodeImageBuilder builder;
    builder.addType2Record(0x51524230, 1);
    uint64_t state = 0x9E3779B97F4A7C15ULL ^ size; // xorshift64
    std::vector<uint8_t> data;
    for (const DataRecord& record : benchImageLayout(size)) {
        data.resize(record.length);
        for (uint8_t& byte : data) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            byte = static_cast<uint8_t>(state >> 32);
        }
        builder.addDataRecord(record.address, data);
    }
    builder.addEndRecord();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::vector<uint8_t>& bytes = builder.bytes();
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

void writeBenchConfiguration(const std::string& path) {
    std::ofstream(path) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                           "<dict>\n"
                           "<key>QRB_FW_Image_Version_Major</key><integer>1</integer>\n"
                           "<key>QRB_FW_Image_Version_Minor</key><integer>2</integer>\n"
                           "<key>QRB_FW_Image_Version_Revision</key><integer>3</integer>\n"
                           "<key>QRB_FW_Image_File_Path</key><string>QRB_Firmware.sc</string>\n"
                           "<key>RAM_Bootloader_Path</key><string>QRB_RAM_Bootloader.sc</string>\n"
                           "</dict>\n</plist>\n";
}

} // namespace bench
