#pragma once

#include "ImageFile.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// Builds image files in the simple-code format in memory: the header, records
// in the order they are added, and the end record whose value makes the byte
// sum of the file come out at zero. It checks nothing, so that it can also
// build broken files on purpose.
class SimpleCodeImageBuilder {
  public:
    // Record types.
    static constexpr uint8_t kDataRecord = 1;
    static constexpr uint8_t kType2Record = 2;
    static constexpr uint8_t kEndRecord = 3;

    explicit SimpleCodeImageBuilder(uint32_t magic = kSimpleCodeMagic, uint32_t word1 = 0,
                                    uint32_t word2 = 0, uint16_t halfWord = 0);

    // A data record at address holding data; its length field is data.size(),
    // which must fit in 32 bits.
    SimpleCodeImageBuilder& addDataRecord(uint32_t address, std::span<const uint8_t> data);
    // A data record whose length field says length, whatever data holds.
    SimpleCodeImageBuilder& addDataRecord(uint32_t address, uint32_t length,
                                          std::span<const uint8_t> data);
    // A type-2 record with its two uninterpreted fields.
    SimpleCodeImageBuilder& addType2Record(uint32_t value = 0, uint8_t byte = 0);
    // The end record with the value that makes the file valid.
    SimpleCodeImageBuilder& addEndRecord();
    // The end record with the given value.
    SimpleCodeImageBuilder& addEndRecord(uint32_t value);
    // Any bytes, as they are.
    SimpleCodeImageBuilder& addBytes(std::span<const uint8_t> bytes);

    const std::vector<uint8_t>& bytes() const { return bytes_; }
    // Sum of every byte so far, modulo 2^32.
    uint32_t byteSum() const { return sum_; }

  private:
    void putUint(uint32_t value, int width);

    std::vector<uint8_t> bytes_;
    uint32_t sum_ = 0;
};

// The end-record value for a file whose bytes up to and including the end
// record's type byte sum to sum: (2^32 - sum) modulo 2^32.
constexpr uint32_t endRecordValue(uint32_t sum) {
    return 0u - sum;
}
