#include "RecordWalk.h"

#include "FirmwareUpdaterException.h"
#include "ImageFile.h"

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
