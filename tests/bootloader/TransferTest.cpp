// Programming and verification of whole image files against a pty peer that
// plays the board from a script and records every byte the host sends.

#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "ImageWriter.h"
#include "Pty.h"
#include "Serial.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// One turn of the exchange: bytes from the host (H) or from the board (B).
struct Turn {
    bool fromHost = true;
    Bytes bytes;
    bool operator==(const Turn&) const = default;
};

void PrintTo(const Turn& turn, std::ostream* out) {
    *out << (turn.fromHost ? "H:" : "B:");
    for (const uint8_t byte : turn.bytes) {
        char text[4];
        std::snprintf(text, sizeof text, " %02X", byte);
        *out << text;
    }
}

Bytes word(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}
Turn H(Bytes bytes) {
    return {true, std::move(bytes)};
}
Turn B(Bytes bytes) {
    return {false, std::move(bytes)};
}
Turn HWord(uint32_t value) {
    return H(word(value));
}
Turn BWord(uint32_t value) {
    return B(word(value));
}

// The board's side of the line. It plays the script turn by turn: for an H
// turn it waits for that many bytes from the host and records what came, for
// a B turn it sends the bytes. A host that sends something else, or falls
// silent, or waits for more than the script gives, finds the line hung up:
// the test fails instead of hanging.
class ScriptedBoard {
  public:
    ScriptedBoard(testing_support::Pty& pty, std::vector<Turn> script)
        : pty_(pty), script_(std::move(script)), thread_([this] { run(); }) {}
    ~ScriptedBoard() {
        if (thread_.joinable()) {
            transcript();
        }
    }

    // Once the host is done: every turn as it really went, and any bytes the
    // host sent after the script as a last H turn.
    std::vector<Turn> transcript() {
        hostDone_ = true;
        thread_.join();
        return transcript_;
    }

  private:
    void run() {
        for (const Turn& turn : script_) {
            if (!turn.fromHost) {
                pty_.write(turn.bytes);
                transcript_.push_back(turn);
                continue;
            }
            Bytes got = pty_.read(turn.bytes.size(), 2000);
            const bool matches = got == turn.bytes;
            transcript_.push_back(H(std::move(got)));
            if (!matches) {
                pty_.closeMaster();
                return;
            }
        }
        Bytes extra;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!hostDone_ && std::chrono::steady_clock::now() < deadline) {
            const Bytes more = pty_.drain(10);
            extra.insert(extra.end(), more.begin(), more.end());
        }
        if (!hostDone_) {
            pty_.closeMaster(); // the host still waits for the board
            return;
        }
        const Bytes more = pty_.drain(20);
        extra.insert(extra.end(), more.begin(), more.end());
        if (!extra.empty()) {
            transcript_.push_back(H(std::move(extra)));
        }
    }

    testing_support::Pty& pty_;
    std::vector<Turn> script_;
    std::vector<Turn> transcript_;
    std::atomic<bool> hostDone_{false};
    std::thread thread_;
};

const Bytes kSevenBytes = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};

class TransferTest : public ::testing::Test {
  protected:
    void SetUp() override { serInit(pty.slavePath().c_str(), kBootloaderBaudRate); }
    void TearDown() override {
        closeImageFile();
        serClose();
    }

    void open(const SimpleCodeImageBuilder& image) {
        openImageFile(dir.writeFile("image.sc", image.bytes()).c_str());
    }

    // Runs procedure against the script; requires the exchange to follow it
    // exactly, and the procedure to raise expectedError (empty: to return).
    void expectExchange(void (*procedure)(), const std::vector<Turn>& script,
                        const std::string& expectedError = "",
                        const std::string& expectedReason = "") {
        ScriptedBoard board(pty, script);
        std::string error;
        std::string reason;
        try {
            procedure();
        } catch (const FirmwareUpdaterException& e) {
            error = e.name();
            reason = e.reason();
        }
        EXPECT_EQ(board.transcript(), script);
        EXPECT_EQ(error, expectedError);
        if (!expectedReason.empty()) {
            EXPECT_EQ(reason, expectedReason);
        }
    }

    testing_support::TempDir dir;
    testing_support::Pty pty;
};

TEST_F(TransferTest, WorkedExampleAlignedBothBlockShapes) {
    open(SimpleCodeImageBuilder().addDataRecord(0x1000, kSevenBytes).addEndRecord());
    const std::vector<Turn> head = {H({0x02}), HWord(0x1000), HWord(2), B({0x02})};

    std::vector<Turn> oneBlock = head;
    oneBlock.insert(oneBlock.end(),
                    {BWord(2), HWord(0x11223344), HWord(0x556677FF), BWord(0x444444BB)});
    expectExchange(TransferProgram, oneBlock);

    // One word per block: the trailing word comes in a further block.
    resetImageFile();
    std::vector<Turn> wordPerBlock = head;
    wordPerBlock.insert(wordPerBlock.end(), {BWord(1), HWord(0x11223344), BWord(0x11223344),
                                             BWord(1), HWord(0x556677FF), BWord(0x556677FF)});
    expectExchange(TransferProgram, wordPerBlock);
}

TEST_F(TransferTest, WorkedExampleUnalignedAndItsVerification) {
    open(SimpleCodeImageBuilder().addDataRecord(0x1002, kSevenBytes).addEndRecord());
    const std::vector<Turn> head = {H({0x02}), HWord(0x1000), HWord(3), B({0x02}),
                                    HWord(0x00001122)};

    std::vector<Turn> oneBlock = head;
    oneBlock.insert(oneBlock.end(),
                    {BWord(3), HWord(0x33445566), HWord(0x77FFFFFF), BWord(0x44BBAA99)});
    expectExchange(TransferProgram, oneBlock);

    // One word per block: the leading word already fills the first block,
    // which therefore carries nothing and has checksum 0.
    resetImageFile();
    std::vector<Turn> wordPerBlock = head;
    wordPerBlock.insert(wordPerBlock.end(),
                        {BWord(1), BWord(0), BWord(1), HWord(0x33445566), BWord(0x33445566),
                         BWord(1), HWord(0x77FFFFFF), BWord(0x77FFFFFF)});
    expectExchange(TransferProgram, wordPerBlock);

    resetImageFile();
    expectExchange(VerifyProgram,
                   {H({0x03}), HWord(0x1002), HWord(7), B({0x03}), H(kSevenBytes), B({0x03})});
}

// A record at an unaligned address whose data end inside the first word goes
// out as that one word, padded both sides, and the file stays in step.
TEST_F(TransferTest, ShortUnalignedRecordsAreOneWordEach) {
    open(SimpleCodeImageBuilder()
             .addDataRecord(0x1001, Bytes{0xAA, 0xBB})
             .addDataRecord(0x2003, Bytes{})
             .addDataRecord(0x3002, Bytes{0xCC})
             .addDataRecord(0x4000, Bytes{0xDD, 0xEE, 0xF0, 0x0F})
             .addEndRecord());
    expectExchange(TransferProgram,
                   {H({0x02}),         HWord(0x1000),    HWord(1), B({0x02}), HWord(0x00AABBFF),
                    H({0x02}),         HWord(0x2000),    HWord(1), B({0x02}), HWord(0x000000FF),
                    H({0x02}),         HWord(0x3000),    HWord(1), B({0x02}), HWord(0x0000CCFF),
                    H({0x02}),         HWord(0x4000),    HWord(1), B({0x02}), BWord(1),
                    HWord(0xDDEEF00F), BWord(0xDDEEF00F)});

    resetImageFile();
    expectExchange(VerifyProgram, {H({0x03}),       HWord(0x1001),
                                   HWord(2),        B({0x03}),
                                   H({0xAA, 0xBB}), B({0x03}),
                                   H({0x03}),       HWord(0x2003),
                                   HWord(0),        B({0x03}),
                                   B({0x03}),       H({0x03}),
                                   HWord(0x3002),   HWord(1),
                                   B({0x03}),       H({0xCC}),
                                   B({0x03}),       H({0x03}),
                                   HWord(0x4000),   HWord(4),
                                   B({0x03}),       H({0xDD, 0xEE, 0xF0, 0x0F}),
                                   B({0x03})});
}

TEST_F(TransferTest, ShortAlignedRecords) {
    // Length 0 takes no block; length 3 is one trailing word with one 0xFF;
    // an unaligned record filling its first word exactly is its leading word.
    open(SimpleCodeImageBuilder()
             .addDataRecord(0x2000, Bytes{})
             .addDataRecord(0x2004, Bytes{0x01, 0x02, 0x03})
             .addDataRecord(0x2009, Bytes{0x04, 0x05, 0x06})
             .addEndRecord());
    expectExchange(TransferProgram,
                   {H({0x02}), HWord(0x2000), HWord(0), B({0x02}), H({0x02}), HWord(0x2004),
                    HWord(1), B({0x02}), BWord(1), HWord(0x010203FF), BWord(0x010203FF), H({0x02}),
                    HWord(0x2008), HWord(1), B({0x02}), HWord(0x00040506)});
    resetImageFile();
    expectExchange(VerifyProgram,
                   {H({0x03}), HWord(0x2000), HWord(0), B({0x03}), B({0x03}), H({0x03}),
                    HWord(0x2004), HWord(3), B({0x03}), H({1, 2, 3}), B({0x03}), H({0x03}),
                    HWord(0x2009), HWord(3), B({0x03}), H({4, 5, 6}), B({0x03})});
}

TEST_F(TransferTest, HeaderOnlyFileSendsNothingAndChecksItsChecksum) {
    open(SimpleCodeImageBuilder().addEndRecord());
    expectExchange(TransferProgram, {});
    resetImageFile();
    expectExchange(VerifyProgram, {});

    open(SimpleCodeImageBuilder().addEndRecord(0xFFFFFEA3));
    expectExchange(TransferProgram, {}, "ChecksumError",
                   "Checksum error in simple-code input file.");
    resetImageFile();
    expectExchange(VerifyProgram, {}, "ChecksumError", "Checksum error in simple-code input file.");
}

TEST_F(TransferTest, Type2RecordsAreSkippedButCounted) {
    open(SimpleCodeImageBuilder()
             .addType2Record(0xA1B2C3D4, 0xE5)
             .addDataRecord(0x100, Bytes{0x42, 0x43, 0x44, 0x45})
             .addType2Record(0xFFFFFFFF, 0xFF)
             .addEndRecord());
    expectExchange(TransferProgram, {H({0x02}), HWord(0x100), HWord(1), B({0x02}), BWord(1),
                                     HWord(0x42434445), BWord(0x42434445)});
}

TEST_F(TransferTest, UnknownRecordType) {
    open(SimpleCodeImageBuilder().addBytes(Bytes{0x04}).addEndRecord());
    expectExchange(TransferProgram, {}, "UnknownRecordError",
                   "Unknown record in simple-code input file (4).");
    resetImageFile();
    expectExchange(VerifyProgram, {}, "UnknownRecordError",
                   "Unknown record in simple-code input file (4).");
}

TEST_F(TransferTest, WrongEndChecksumIsReportedAfterEveryRecordWasSent) {
    open(SimpleCodeImageBuilder()
             .addDataRecord(0x0, Bytes{1, 2, 3, 4})
             .addDataRecord(0x10, Bytes{5, 6, 7, 8})
             .addEndRecord(0x12345678));
    expectExchange(TransferProgram,
                   {H({0x02}), HWord(0x0), HWord(1), B({0x02}), BWord(1), HWord(0x01020304),
                    BWord(0x01020304), H({0x02}), HWord(0x10), HWord(1), B({0x02}), BWord(1),
                    HWord(0x05060708), BWord(0x05060708)},
                   "ChecksumError");
    resetImageFile();
    expectExchange(VerifyProgram,
                   {H({0x03}), HWord(0x0), HWord(4), B({0x03}), H({1, 2, 3, 4}), B({0x03}),
                    H({0x03}), HWord(0x10), HWord(4), B({0x03}), H({5, 6, 7, 8}), B({0x03})},
                   "ChecksumError");
}

TEST_F(TransferTest, BoardDrivenBlocks) {
    const Bytes eight = {1, 2, 3, 4, 5, 6, 7, 8};
    open(SimpleCodeImageBuilder().addDataRecord(0x0, eight).addEndRecord());
    const std::vector<Turn> head = {H({0x02}), HWord(0x0), HWord(2), B({0x02})};

    // An empty block sends nothing and must have checksum 0.
    std::vector<Turn> script = head;
    script.insert(script.end(), {BWord(0), BWord(0), BWord(2), HWord(0x01020304), HWord(0x05060708),
                                 BWord(0x0404040C)});
    expectExchange(TransferProgram, script);

    // A block past the record's last word: the words that remain go out,
    // then the host stops before reading the block's checksum.
    resetImageFile();
    script = head;
    script.insert(script.end(), {BWord(3), HWord(0x01020304), HWord(0x05060708)});
    expectExchange(TransferProgram, script, "ReadOutOfBounds",
                   "Trying to read 0 bytes (reading bounds are 1 to 4 bytes)");

    // A block count so large that, cut to 32 bits, the width asked of the
    // reader would come out as 4: it must still be refused.
    resetImageFile();
    script = head;
    script.insert(script.end(), {BWord(0x40000002), HWord(0x01020304), HWord(0x05060708)});
    expectExchange(TransferProgram, script, "ReadOutOfBounds",
                   "Trying to read -2147483648 bytes (reading bounds are 1 to 4 bytes)");
}

TEST_F(TransferTest, BoardRefusals) {
    open(SimpleCodeImageBuilder().addDataRecord(0x1000, kSevenBytes).addEndRecord());
    expectExchange(TransferProgram, {H({0x02}), HWord(0x1000), HWord(2), B({0x15})},
                   "ProgrammingUnknownError", "Programming Error: unknown error (21).");

    resetImageFile();
    expectExchange(TransferProgram,
                   {H({0x02}), HWord(0x1000), HWord(2), B({0x02}), BWord(1), HWord(0x11223344),
                    BWord(0x11223345)},
                   "ProgrammingChecksumError", "Programming Error: checksum does not match.");

    resetImageFile();
    expectExchange(VerifyProgram, {H({0x03}), HWord(0x1000), HWord(7), B({0xFF})},
                   "VerifyingUnknownError", "Verifying Error: unknown error (255).");

    resetImageFile();
    expectExchange(VerifyProgram,
                   {H({0x03}), HWord(0x1000), HWord(7), B({0x03}), H(kSevenBytes), B({0x01})},
                   "VerifyingUnknownError", "Verifying Error: unknown error (1).");
}

// A length far beyond the file's end streams what there is and stops at the
// end of the file: no huge buffer, no hang.
TEST_F(TransferTest, LengthBeyondTheFileEndsInUnexpectedEOF) {
    open(SimpleCodeImageBuilder().addDataRecord(0x0, 0xFFFFFFF0, Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
    expectExchange(TransferProgram,
                   {H({0x02}), HWord(0x0), HWord(0x3FFFFFFC), B({0x02}), BWord(0x3FFFFFFC),
                    HWord(0x01020304), HWord(0x05060708)},
                   "UnexpectedEOFError", "Found unexpected EOF in input file.");
    resetImageFile();
    expectExchange(
        VerifyProgram,
        {H({0x03}), HWord(0x0), HWord(0xFFFFFFF0), B({0x03}), H({1, 2, 3, 4, 5, 6, 7, 8})},
        "UnexpectedEOFError", "Found unexpected EOF in input file.");

    // The largest length at the last unaligned offset: the word count still
    // fits in 32 bits, and the leading word meets the end of the file.
    open(SimpleCodeImageBuilder().addDataRecord(0xFFFFFFFD, 0xFFFFFFFF, Bytes{}));
    expectExchange(TransferProgram, {H({0x02}), HWord(0xFFFFFFFC), HWord(0x40000000), B({0x02})},
                   "UnexpectedEOFError");
}

} // namespace
