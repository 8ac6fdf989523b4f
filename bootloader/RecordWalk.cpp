#include "RecordWalk.h"

#include "FirmwareUpdaterException.h"
#include "ImageFile.h"

#include <sys/stat.h>

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

namespace {

// Reads the length data bytes of a data record, as the transfer would.
void readDataBytes(uint32_t length) {
    uint32_t left = length;
    while (left >= 4) {
        ReadUint(4);
        left -= 4;
    }
    if (left > 0) {
        ReadUint(static_cast<int>(left));
    }
}

// The sum of the data records' lengths of the open image file, from its
// position to the end record. The checksum is tested when testChecksum.
uint64_t walkDataRecords(bool testChecksum) {
    uint64_t total = 0;
    try {
        walkImageRecords([&total](const ImageRecord& record) {
            if (record.type == 1) {
                readDataBytes(record.length);
                total += record.length;
            }
        });
    } catch (const BootloaderException& exception) {
        // The walk tests the sum only once it has read the end record.
        if (testChecksum || exception.name() != "ChecksumError") {
            throw;
        }
    }
    return total;
}

// The image reader's process-wide state, put back as it was on leaving.
class SavedImageState {
  public:
    SavedImageState() : file_(image_file), bytes_(image_bytes), header_(hdr), sum_(checksum) {
        image_file = nullptr;
        image_bytes.reset();
    }
    ~SavedImageState() {
        closeImageFile();
        image_file = file_;
        image_bytes = bytes_;
        hdr = header_;
        checksum = sum_;
    }
    SavedImageState(const SavedImageState&) = delete;
    SavedImageState& operator=(const SavedImageState&) = delete;

  private:
    std::FILE* file_;
    std::shared_ptr<const ImageBytes> bytes_;
    SimpleCodeHeader header_;
    uint32_t sum_;
};

} // namespace

uint64_t proveOpenImageFile() {
    const uint64_t total = walkDataRecords(true);
    resetImageFile();
    return total;
}

void proveImageFile(const char* path) {
    try {
        openImageFile(path);
        proveOpenImageFile();
    } catch (...) {
        closeImageFile();
        throw;
    }
    closeImageFile();
}

uint64_t proveImageBytes(std::shared_ptr<const ImageBytes> bytes) {
    const SavedImageState saved;
    openImageBytes(std::move(bytes));
    return proveOpenImageFile();
}

std::optional<uint64_t> imageDataBytes(const char* path) {
    if (path == nullptr) {
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(path, &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    const SavedImageState saved;
    try {
        openImageFile(path);
        return walkDataRecords(false);
    } catch (const FirmwareUpdaterException&) {
        return std::nullopt;
    }
}
