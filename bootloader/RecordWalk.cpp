#include "RecordWalk.h"

#include "FirmwareUpdaterException.h"
#include "ImageFile.h"

#include <sys/stat.h>

#include <memory>

namespace {

// Big-endian fields of a file, with the position counted against its size so
// that a skip past the end is noticed.
class FieldReader {
  public:
    FieldReader(std::FILE* file, uint64_t size) : file_(file), size_(size) {}
    bool read(int n, uint32_t& value) {
        value = 0;
        for (int i = 0; i < n; ++i) {
            const int byte = std::fgetc(file_);
            if (byte == EOF) {
                return false;
            }
            value = (value << 8) | static_cast<uint32_t>(byte);
        }
        position_ += static_cast<uint64_t>(n);
        return true;
    }
    bool skip(uint64_t n) {
        if (n > size_ - position_ ||
            std::fseek(file_, static_cast<long>(position_ + n), SEEK_SET) != 0) {
            return false;
        }
        position_ += n;
        return true;
    }

  private:
    std::FILE* file_;
    uint64_t size_;
    uint64_t position_ = 0;
};

} // namespace

void walkImageRecords(const std::function<void(const ImageRecord&)>& onRecord) {
    for (;;) {
        ImageRecord record;
        record.type = static_cast<uint8_t>(ReadUint(1));
        switch (record.type) {
        case 3: {
            // The end record's value is not part of the sum it balances.
            const uint32_t sum = checksum;
            const uint32_t value = ReadUint(4);
            checksum = sum + value;
            onRecord(record);
            if (checksum != 0) {
                BootloaderException::raise("ChecksumError",
                                           "Checksum error in simple-code input file.");
            }
            return;
        }
        case 2:
            ReadUint(4);
            ReadUint(1);
            onRecord(record);
            break;
        case 1:
            ReadUint(1);
            ReadUint(2);
            record.address = ReadUint(4);
            record.length = ReadUint(4);
            onRecord(record);
            break;
        default:
            BootloaderException::raise("UnknownRecordError",
                                       "Unknown record in simple-code input file (%d).",
                                       record.type);
        }
    }
}

std::optional<uint64_t> imageDataBytes(const char* path) {
    if (path == nullptr) {
        return std::nullopt;
    }
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "r"), std::fclose);
    struct stat status {};
    if (!file || ::fstat(::fileno(file.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    FieldReader fields(file.get(), static_cast<uint64_t>(status.st_size));
    uint32_t magic = 0;
    if (!fields.read(4, magic) || magic != kSimpleCodeMagic || !fields.skip(10)) {
        return std::nullopt;
    }
    uint64_t total = 0;
    for (;;) {
        uint32_t type = 0;
        if (!fields.read(1, type)) {
            return std::nullopt;
        }
        uint32_t length = 0;
        switch (type) {
        case 3:
            return fields.skip(4) ? std::optional<uint64_t>(total) : std::nullopt;
        case 2:
            if (!fields.skip(5)) {
                return std::nullopt;
            }
            break;
        case 1:
            if (!fields.skip(7) || !fields.read(4, length) || !fields.skip(length)) {
                return std::nullopt;
            }
            total += length;
            break;
        default:
            return std::nullopt;
        }
    }
}
