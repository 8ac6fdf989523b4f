// Programming (command 0x02) and verification (command 0x03) of the data
// records of the open image file.

#include "Bootloader.h"
#include "ExchangeBounds.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "RecordWalk.h"
#include "Serial.h"

#include <algorithm>
#include <climits>

using exchange_bounds::answerDeadline;

namespace {

void sendByte(uint8_t byte) {
    serQueueTxBytes(&byte, 1);
}

// A 32-bit value as 4 bytes, most significant first, in one write.
void sendWord(uint32_t word) {
    const uint8_t bytes[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                              static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
    serQueueTxBytes(bytes, sizeof bytes);
}

// A 4-byte answer, due once the bytesInFlight the host sent since the
// board's last answer have crossed the line.
uint32_t receiveWord(uint64_t bytesInFlight) {
    uint8_t bytes[4];
    RxBytesBy(bytes, sizeof bytes, answerDeadline(bytesInFlight, sizeof bytes));
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

// Data bytes sent so far, published to a counter that another thread may
// read; without a counter it only counts.
class DataByteCount {
  public:
    explicit DataByteCount(std::atomic<uint64_t>* counter)
        : counter_(counter), value_(counter != nullptr ? counter->load() : 0) {}
    void add(uint64_t bytes) {
        value_ += bytes;
        if (counter_ != nullptr) {
            counter_->store(value_, std::memory_order_relaxed);
        }
    }

  private:
    std::atomic<uint64_t>* counter_;
    uint64_t value_;
};

// value followed by count bytes 0xFF.
uint32_t padWithOnes(uint32_t value, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        value = (value << 8) | 0xFF;
    }
    return value;
}

// Byte counts handed to ReadUint come from the board's block counts; a count
// far out of range must stay out of range rather than wrap into 1..4.
int readWidth(int64_t n) {
    return static_cast<int>(std::clamp<int64_t>(n, INT_MIN, INT_MAX));
}

// Offsets below are counted in bytes from the aligned address, in 64 bits so
// that no record length or block count can wrap them.
void programDataRecord(uint32_t address, uint32_t length, DataByteCount& count) {
    const uint32_t m = address % 4;
    const uint64_t total = uint64_t{length} + m;                                        // T
    const uint64_t fullEnd = total & ~uint64_t{3};                                      // F
    const uint64_t words = total / 4 + ((uint64_t{address} + length) % 4 != 0 ? 1 : 0); // W

    sendByte(kCommandProgram);
    sendWord(address - m);
    sendWord(static_cast<uint32_t>(words));
    const uint8_t answer = rxByteBy(answerDeadline(9, 1));
    if (answer != kCommandProgram) {
        BootloaderException::raise("ProgrammingUnknownError",
                                   "Programming Error: unknown error (%d).", answer);
    }

    uint64_t sent = 0; // S
    if (m != 0) {
        uint32_t leading;
        if (total < 4) {
            // The data end inside their first word: m bytes 0x00, the data,
            // then 0xFF up to the word's end. This one word is the record.
            leading = length > 0 ? ReadUint(static_cast<int>(length)) : 0;
            leading = padWithOnes(leading, 4 - total);
        } else {
            leading = ReadUint(static_cast<int>(4 - m)); // m leading bytes 0x00
        }
        sendWord(leading);
        sent = 4;
        count.add(std::min<uint64_t>(total, 4) - m);
    }

    uint64_t blockStart = 0; // B0
    while (sent < 4 * words) {
        // The first block's count follows a leading word sent without waiting.
        const uint64_t inFlight = blockStart == 0 ? sent : 0;
        const uint64_t blockEnd = blockStart + 4 * uint64_t{receiveWord(inFlight)}; // E
        uint32_t blockChecksum = 0;                                                 // X
        while (sent < blockEnd && sent < fullEnd) {
            const uint32_t word = ReadUint(4);
            sendWord(word);
            blockChecksum ^= word;
            sent += 4;
            count.add(4);
        }
        if (sent < blockEnd) {
            // The trailing word; a block reaching past the record's last
            // word asks for a width ReadUint refuses, before anything is sent.
            const int64_t width = static_cast<int64_t>(total) - static_cast<int64_t>(blockEnd) + 4;
            const uint32_t word = padWithOnes(ReadUint(readWidth(width)), blockEnd - total);
            sendWord(word);
            blockChecksum ^= word;
            sent += 4;
            count.add(static_cast<uint64_t>(width));
        }
        if (receiveWord(sent - blockStart) != blockChecksum) {
            BootloaderException::raise("ProgrammingChecksumError",
                                       "Programming Error: checksum does not match.");
        }
        blockStart = blockEnd;
    }
}

void verifyDataRecord(uint32_t address, uint32_t length, DataByteCount& count) {
    sendByte(kCommandVerify);
    sendWord(address);
    sendWord(length);
    uint8_t answer = rxByteBy(answerDeadline(9, 1));
    if (answer != kCommandVerify) {
        BootloaderException::raise("VerifyingUnknownError", "Verifying Error: unknown error (%d).",
                                   answer);
    }
    for (uint32_t i = 0; i < length; ++i) {
        sendByte(static_cast<uint8_t>(ReadUint(1)));
        count.add(1);
    }
    // The verdict comes once the board has compared every byte sent.
    answer = rxByteBy(answerDeadline(length, 1));
    if (answer != kCommandVerify) {
        BootloaderException::raise("VerifyingUnknownError", "Verifying Error: unknown error (%d).",
                                   answer);
    }
}

void transfer(std::atomic<uint64_t>* dataBytesSent) {
    DataByteCount count(dataBytesSent);
    walkImageRecords([&count](const ImageRecord& record) {
        if (record.type == 1) {
            programDataRecord(record.address, record.length, count);
        }
    });
}

void verify(std::atomic<uint64_t>* dataBytesSent) {
    DataByteCount count(dataBytesSent);
    walkImageRecords([&count](const ImageRecord& record) {
        if (record.type == 1) {
            verifyDataRecord(record.address, record.length, count);
        }
    });
}

} // namespace

void TransferProgram() {
    transfer(nullptr);
}

void VerifyProgram() {
    verify(nullptr);
}

void TransferProgram(std::atomic<uint64_t>& dataBytesSent) {
    transfer(&dataBytesSent);
}

void VerifyProgram(std::atomic<uint64_t>& dataBytesSent) {
    verify(&dataBytesSent);
}
