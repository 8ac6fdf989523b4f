#include "ImageWriter.h"

SimpleCodeImageBuilder::SimpleCodeImageBuilder(uint32_t magic, uint32_t word1, uint32_t word2,
                                               uint16_t halfWord) {
    putUint(magic, 4);
    putUint(word1, 4);
    putUint(word2, 4);
    putUint(halfWord, 2);
}

SimpleCodeImageBuilder& SimpleCodeImageBuilder::addDataRecord(uint32_t address,
                                                              std::span<const uint8_t> data) {
    return addDataRecord(address, static_cast<uint32_t>(data.size()), data);
}

SimpleCodeImageBuilder& SimpleCodeImageBuilder::addDataRecord(uint32_t address, uint32_t length,
                                                              std::span<const uint8_t> data) {
    putUint(kDataRecord, 1);
    putUint(0, 1);
    putUint(0, 2);
    putUint(address, 4);
    putUint(length, 4);
    return addBytes(data);
}

SimpleCodeImageBuilder& SimpleCodeImageBuilder::addType2Record(uint32_t value, uint8_t byte) {
    putUint(kType2Record, 1);
    putUint(value, 4);
    putUint(byte, 1);
    return *this;
}

SimpleCodeImageBuilder& SimpleCodeImageBuilder::addEndRecord() {
    putUint(kEndRecord, 1);
    putUint(endRecordValue(sum_), 4);
    return *this;
}

SimpleCodeImageBuilder& SimpleCodeImageBuilder::addEndRecord(uint32_t value) {
    putUint(kEndRecord, 1);
    putUint(value, 4);
    return *this;
}

SimpleCodeImageBuilder& SimpleCodeImageBuilder::addBytes(std::span<const uint8_t> bytes) {
    for (const uint8_t byte : bytes) {
        bytes_.push_back(byte);
        sum_ += byte;
    }
    return *this;
}

void SimpleCodeImageBuilder::putUint(uint32_t value, int width) {
    for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
        const auto byte = static_cast<uint8_t>(value >> shift);
        bytes_.push_back(byte);
        sum_ += byte;
    }
}
