// The image reader, the record walk and the programming and verification of
// an image, fed with any bytes as the image file.

#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "FuzzEntries.h"
#include "FuzzSupport.h"
#include "ImageFile.h"
#include "RecordWalk.h"
#include "Serial.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

using namespace fuzzing;

namespace {

// The board's answers are all on the line before a pass starts; more than
// this might not fit. The saved inputs need far less.
constexpr size_t kMostAnswerBytes = 64 * 1024;

// A data record as the board reads it in the file, on its own.
struct DataRecord {
    uint32_t address = 0;
    uint32_t length = 0;
    // The record's data as far as the file holds them (fewer than length
    // when the file ends inside the record).
    std::vector<uint8_t> data;
};

struct ImageLayout {
    std::vector<DataRecord> records;
    // Whether the file is complete up to its end record and its bytes sum up
    // as they should: exactly when a pass over it must end normally.
    bool valid = false;
    uint32_t blockWords = 0;
    bool emptyFirstBlock = false;
};

// The data records of the file up to the end record, the first unknown
// record type or the end of the file, whichever comes first. The header is
// taken as read.
ImageLayout readLayout(const uint8_t* data, size_t size) {
    ImageLayout layout;
    if (size >= 8) {
        const uint32_t word1 = bigEndian32(data + 4);
        layout.blockWords = word1 & 0xFF;
        layout.emptyFirstBlock = (word1 & 0x100) != 0;
    }
    size_t at = 14;
    while (at < size) {
        const uint8_t type = data[at];
        if (type == 3 && size - at >= 5) {
            uint32_t sum = 0;
            for (size_t i = 0; i <= at; ++i) {
                sum += data[i];
            }
            layout.valid = sum + bigEndian32(data + at + 1) == 0;
            break;
        }
        if (type == 2) {
            at += 6;
        } else if (type == 1 && size - at >= 12) {
            DataRecord record;
            record.address = bigEndian32(data + at + 4);
            record.length = bigEndian32(data + at + 8);
            at += 12;
            const size_t held = std::min<size_t>(record.length, size - at);
            record.data.assign(data + at, data + at + held);
            layout.records.push_back(std::move(record));
            at += held;
        } else {
            break;
        }
    }
    return layout;
}

// One pass as it must go against a board that acknowledges every request
// and answers every block with the right checksum: everything the board
// answers, and everything the host sends, up to the end record or up to the
// first word or byte that the file does not hold.
struct Exchange {
    std::vector<uint8_t> hostSends;
    std::vector<uint8_t> boardAnswers;
};

void putWord(std::vector<uint8_t>& bytes, uint32_t value) {
    uint8_t word[4];
    putBigEndian32(word, value);
    bytes.insert(bytes.end(), word, word + 4);
}

// Word `index` of a data record as the host sends it: m bytes 0x00 before the
// data, 0xFF after them. None when the file ends before its data do.
std::optional<uint32_t> recordWord(const DataRecord& record, uint64_t index) {
    const uint64_t m = record.address % 4;
    uint32_t word = 0;
    for (uint64_t offset = index * 4; offset < index * 4 + 4; ++offset) {
        uint8_t byte = 0xFF;
        if (offset < m) {
            byte = 0x00;
        } else if (offset - m < record.length) {
            if (offset - m >= record.data.size()) {
                return std::nullopt;
            }
            byte = record.data[offset - m];
        }
        word = word << 8 | byte;
    }
    return word;
}

Exchange programmingExchange(const ImageLayout& layout) {
    Exchange exchange;
    for (const DataRecord& record : layout.records) {
        const uint32_t m = record.address % 4;
        const uint64_t words = (uint64_t{record.length} + m) / 4 +
                               ((uint64_t{record.address} + record.length) % 4 != 0 ? 1 : 0);
        exchange.hostSends.push_back(kCommandProgram);
        putWord(exchange.hostSends, record.address - m);
        putWord(exchange.hostSends, static_cast<uint32_t>(words));
        exchange.boardAnswers.push_back(kCommandProgram);
        uint64_t sent = 0;
        if (m != 0) {
            // The leading word goes out unasked and belongs to no checksum.
            const std::optional<uint32_t> leading = recordWord(record, 0);
            if (!leading) {
                return exchange;
            }
            putWord(exchange.hostSends, *leading);
            sent = 1;
        }
        uint64_t blockStart = 0;
        for (bool first = true; sent < words; first = false) {
            uint64_t count = words - blockStart;
            if (first && layout.emptyFirstBlock) {
                count = 0;
            } else if (layout.blockWords != 0) {
                count = std::min<uint64_t>(layout.blockWords, count);
            }
            putWord(exchange.boardAnswers, static_cast<uint32_t>(count));
            uint32_t blockChecksum = 0;
            for (; sent < blockStart + count; ++sent) {
                const std::optional<uint32_t> word = recordWord(record, sent);
                if (!word) {
                    return exchange;
                }
                putWord(exchange.hostSends, *word);
                blockChecksum ^= *word;
            }
            putWord(exchange.boardAnswers, blockChecksum);
            blockStart += count;
        }
    }
    return exchange;
}

Exchange verificationExchange(const ImageLayout& layout) {
    Exchange exchange;
    for (const DataRecord& record : layout.records) {
        exchange.hostSends.push_back(kCommandVerify);
        putWord(exchange.hostSends, record.address);
        putWord(exchange.hostSends, record.length);
        exchange.boardAnswers.push_back(kCommandVerify);
        exchange.hostSends.insert(exchange.hostSends.end(), record.data.begin(), record.data.end());
        if (record.data.size() < record.length) {
            return exchange;
        }
        exchange.boardAnswers.push_back(kCommandVerify);
    }
    return exchange;
}

// Runs one pass of the host against the board's answers, which are all on
// the line before it starts. The host must send exactly what the exchange
// says, and end normally exactly when the file is valid.
void runPass(const ImageLayout& layout, bool programming) {
    const Exchange exchange =
        programming ? programmingExchange(layout) : verificationExchange(layout);
    if (exchange.boardAnswers.size() > kMostAnswerBytes) {
        return;
    }
    SocketLine line;
    if (!writeAll(line.boardFd(), exchange.boardAnswers.data(), exchange.boardAnswers.size())) {
        throw std::runtime_error("the board could not send its answers");
    }
    line.boardHangsUpSending();
    line.collectHostOutput();
    line.attachHost();
    bool ended = false;
    try {
        if (programming) {
            TransferProgram();
        } else {
            VerifyProgram();
        }
        ended = true;
    } catch (const FirmwareUpdaterException&) {
    }
    serClose();
    const std::vector<uint8_t> sent = line.hostOutput();

    const std::string pass = programming ? "programming: " : "verification: ";
    if (sent != exchange.hostSends) {
        const size_t common =
            static_cast<size_t>(std::mismatch(sent.begin(), sent.end(), exchange.hostSends.begin(),
                                              exchange.hostSends.end())
                                    .first -
                                sent.begin());
        throw FuzzFinding(pass + "the host sent " + std::to_string(sent.size()) +
                          " bytes instead of " + std::to_string(exchange.hostSends.size()) +
                          ", the first " + std::to_string(common) + " as they should be");
    }
    if (ended != layout.valid) {
        throw FuzzFinding(pass +
                          (ended ? "a broken file was accepted" : "a valid file was refused"));
    }
}

// The record walk on its own, with each data record's bytes read through
// ReadUint: it meets the records that the file holds, and ends normally
// exactly when the file is valid.
void walkAlone(const ImageLayout& layout) {
    size_t index = 0;
    bool disagrees = false;
    bool ended = false;
    try {
        walkImageRecords([&](const ImageRecord& record) {
            if (record.type != 1) {
                return;
            }
            if (index >= layout.records.size() || layout.records[index].address != record.address ||
                layout.records[index].length != record.length) {
                disagrees = true;
            }
            ++index;
            for (uint32_t i = 0; i < record.length; ++i) {
                (void)ReadUint(1);
            }
        });
        ended = true;
    } catch (const FirmwareUpdaterException&) {
    }
    if (disagrees) {
        throw FuzzFinding("walk: met a data record that the file does not hold");
    }
    if (ended != layout.valid) {
        throw FuzzFinding(ended ? "walk: a broken file was accepted"
                                : "walk: a valid file was refused");
    }
}

} // namespace

void fuzzImageFile(const uint8_t* data, size_t size) {
    ignoreBrokenPipes();
    const HostCleanup cleanup;
    const MemoryFile file(data, size);
    const ImageLayout layout = readLayout(data, size);
    try {
        openImageFile(file.path().c_str());
    } catch (const FirmwareUpdaterException&) {
        return;
    }
    walkAlone(layout);
    resetImageFile();
    runPass(layout, true);
    resetImageFile();
    runPass(layout, false);
}
