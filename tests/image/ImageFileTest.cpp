#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "ImageWriter.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSevenBytes = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};

// One data record at 0x1002 holding 11 22 .. 77, as a whole file.
const Bytes kExampleFile = {
    0x7F, 0x49, 0x41, 0x52, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x02, 0x00, 0x00, 0x00, 0x07,
    0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x03, 0xFF, 0xFF, 0xFC, 0xAC,
};

const Bytes kHeaderOnlyFile = {0x7F, 0x49, 0x41, 0x52, 0, 0,    0,    0,    0,   0,
                               0,    0,    0,    0,    3, 0xFF, 0xFF, 0xFE, 0xA2};

// Runs action and requires a BootloaderException with this name and reason.
void expectBootloaderError(const std::function<void()>& action, const std::string& name,
                           const std::string& reason) {
    try {
        action();
        ADD_FAILURE() << "expected " << name;
    } catch (const BootloaderException& e) {
        EXPECT_EQ(e.name(), name);
        EXPECT_EQ(e.reason(), reason);
    }
}

class ImageFileTest : public ::testing::Test {
  protected:
    void TearDown() override { closeImageFile(); }

    std::string write(const Bytes& bytes) { return dir.writeFile("image.sc", bytes); }

    testing_support::TempDir dir;
};

TEST_F(ImageFileTest, BuilderProducesTheWorkedExamplesByteForByte) {
    EXPECT_EQ(SimpleCodeImageBuilder().addDataRecord(0x1002, kSevenBytes).addEndRecord().bytes(),
              kExampleFile);
    EXPECT_EQ(SimpleCodeImageBuilder().addEndRecord().bytes(), kHeaderOnlyFile);
    EXPECT_EQ(endRecordValue(852), 0xFFFFFCACu);
    EXPECT_EQ(endRecordValue(0), 0u);
}

TEST_F(ImageFileTest, OpenReadsTheHeaderAndReadUintFollowsTheRecords) {
    openImageFile(write(kExampleFile).c_str());
    ASSERT_NE(image_file, nullptr);
    EXPECT_EQ(hdr.magic, kSimpleCodeMagic);
    EXPECT_EQ(checksum, 347u);

    EXPECT_EQ(ReadUint(1), 1u);
    EXPECT_EQ(ReadUint(1), 0u);
    EXPECT_EQ(ReadUint(2), 0u);
    EXPECT_EQ(ReadUint(4), 0x1002u);
    EXPECT_EQ(ReadUint(4), 7u);
    EXPECT_EQ(ReadUint(3), 0x112233u);
    EXPECT_EQ(ReadUint(4), 0x44556677u);
    EXPECT_EQ(ReadUint(1), 3u);
    EXPECT_EQ(checksum, 852u);
    EXPECT_EQ(ReadUint(4), 0xFFFFFCACu);

    // Back to the first record, with the checksum restarted.
    resetImageFile();
    EXPECT_EQ(checksum, 347u);
    EXPECT_EQ(ReadUint(1), 1u);
}

TEST_F(ImageFileTest, HeaderFieldsAreBigEndian) {
    openImageFile(
        write(SimpleCodeImageBuilder(kSimpleCodeMagic, 0x01020304, 0xA0B0C0D0, 0xBEEF).bytes())
            .c_str());
    EXPECT_EQ(hdr.word1, 0x01020304u);
    EXPECT_EQ(hdr.word2, 0xA0B0C0D0u);
    EXPECT_EQ(hdr.halfWord, 0xBEEF);
    EXPECT_EQ(checksum,
              0x7Fu + 0x49 + 0x41 + 0x52 + 1 + 2 + 3 + 4 + 0xA0 + 0xB0 + 0xC0 + 0xD0 + 0xBE + 0xEF);
}

TEST_F(ImageFileTest, HeaderFailures) {
    const std::string missing = (dir.path() / "missing.sc").string();
    expectBootloaderError([&] { openImageFile(missing.c_str()); }, "FileNotFoundError",
                          "Cannot open " + missing + ".");
    EXPECT_EQ(image_file, nullptr);

    // The whole header is read before the magic is examined.
    const std::string shortFile = write({0x12, 0x34, 0x56});
    expectBootloaderError([&] { openImageFile(shortFile.c_str()); }, "UnexpectedEOFError",
                          "Found unexpected EOF in input file.");
    EXPECT_NE(image_file, nullptr) << "the file stays open for closeImageFile";
    closeImageFile();

    const std::string badMagic = write(SimpleCodeImageBuilder(0x12345678).addEndRecord().bytes());
    expectBootloaderError([&] { openImageFile(badMagic.c_str()); }, "FileFormatError",
                          "The input file is not in the simple-code format (0x12345678).");
    EXPECT_NE(image_file, nullptr);
    EXPECT_EQ(hdr.magic, 0x12345678u);
    closeImageFile();

    const std::string zeroMagic = write(SimpleCodeImageBuilder(0).addEndRecord().bytes());
    expectBootloaderError([&] { openImageFile(zeroMagic.c_str()); }, "FileFormatError",
                          "The input file is not in the simple-code format (0).");
}

TEST_F(ImageFileTest, ReadUintBoundsAndValues) {
    Bytes bytes = SimpleCodeImageBuilder().bytes();
    bytes.insert(bytes.end(), {0x12, 0x34, 0x80, 0x00, 0x01, 0xAB});
    openImageFile(write(bytes).c_str());
    const uint32_t headerSum = checksum;

    for (const int n : {0, 5, -1}) {
        expectBootloaderError([&] { ReadUint(n); }, "ReadOutOfBounds",
                              "Trying to read " + std::to_string(n) +
                                  " bytes (reading bounds are 1 to 4 bytes)");
    }
    EXPECT_EQ(checksum, headerSum) << "an out-of-bounds read reads nothing";

    EXPECT_EQ(ReadUint(2), 0x1234u);
    EXPECT_EQ(checksum, headerSum + 0x46);
    EXPECT_EQ(ReadUint(3), 0x800001u);

    // Bytes read before the end of the file stay consumed and counted.
    const uint32_t before = checksum;
    expectBootloaderError([] { ReadUint(4); }, "UnexpectedEOFError",
                          "Found unexpected EOF in input file.");
    EXPECT_EQ(checksum, before + 0xAB);
    expectBootloaderError([] { ReadUint(1); }, "UnexpectedEOFError",
                          "Found unexpected EOF in input file.");

    // Rewinding after the end of the file works again.
    resetImageFile();
    EXPECT_EQ(checksum, headerSum);
    EXPECT_EQ(ReadUint(1), 0x12u);
}

TEST_F(ImageFileTest, ChecksumWrapsModulo2To32) {
    Bytes bytes = SimpleCodeImageBuilder().bytes();
    bytes.insert(bytes.end(), {0xFF, 0x02});
    openImageFile(write(bytes).c_str());
    checksum = 0xFFFFFF00u;
    ReadUint(2);
    EXPECT_EQ(checksum, 0x1u);
}

TEST_F(ImageFileTest, ResetAndCloseWithoutAFileDoNothing) {
    resetImageFile();
    closeImageFile();
    EXPECT_EQ(image_file, nullptr);
    expectBootloaderError([] { ReadUint(1); }, "UnexpectedEOFError",
                          "Found unexpected EOF in input file.");

    openImageFile(write(kHeaderOnlyFile).c_str());
    closeImageFile();
    closeImageFile();
    EXPECT_EQ(image_file, nullptr);
    EXPECT_EQ(checksum, 347u) << "checksum keeps its value after closing";
}

TEST_F(ImageFileTest, OpeningAgainReplacesTheOpenFileWithoutLeakingIt) {
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const std::string first = dir.writeFile("first.sc", kExampleFile);
    const std::string second = dir.writeFile("second.sc", kHeaderOnlyFile);
    openImageFile(first.c_str());
    const auto before = openDescriptors();
    for (int i = 0; i < 5; ++i) {
        openImageFile(second.c_str());
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(ReadUint(1), 3u) << "reads come from the file opened last";
}

} // namespace
