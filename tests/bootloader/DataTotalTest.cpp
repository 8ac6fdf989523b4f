// The data total of an image file, read beside the open image file.

#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "ImageWriter.h"
#include "RecordWalk.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DataTotal, SumsTheDataRecordsOfAnyLayout) {
    testing_support::TempDir dir;
    SimpleCodeImageBuilder image;
    image.addType2Record(0x01020304, 9)
        .addDataRecord(0x1001, Bytes(1001, 0x5A)) // unaligned
        .addDataRecord(0x2003, Bytes{0xA5})       // inside one word
        .addDataRecord(0x3000, Bytes{})           // empty
        .addType2Record()
        .addDataRecord(0x4000, Bytes(4096, 0x11))
        .addEndRecord();
    EXPECT_EQ(imageDataBytes(dir.writeFile("mixed.sc", image.bytes()).c_str()), 5098u);

    SimpleCodeImageBuilder empty;
    empty.addType2Record().addEndRecord();
    EXPECT_EQ(imageDataBytes(dir.writeFile("empty.sc", empty.bytes()).c_str()), 0u);

    // A wrong checksum does not stop the sum: the transfer reports it.
    SimpleCodeImageBuilder badSum;
    badSum.addDataRecord(0, Bytes(8, 1)).addEndRecord(12345);
    EXPECT_EQ(imageDataBytes(dir.writeFile("bad-sum.sc", badSum.bytes()).c_str()), 8u);
}

TEST(DataTotal, NoneForFilesWhoseRecordsCannotBeFollowed) {
    testing_support::TempDir dir;
    const Bytes good =
        SimpleCodeImageBuilder().addDataRecord(0, Bytes(64, 7)).addEndRecord().bytes();
    const auto cut = [&](size_t size) {
        return Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    };
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"cut in the header", cut(10)},
        {"cut in the data", cut(good.size() - 10)},
        {"no end record", cut(good.size() - 5)},
        {"cut in the end record", cut(good.size() - 2)},
        {"unknown record", SimpleCodeImageBuilder().addBytes(Bytes{9, 0, 0, 0}).bytes()},
        {"not an image", Bytes(40, 0x20)},
        {"length past the end",
         SimpleCodeImageBuilder().addDataRecord(0, 0xFFFFFFFF, Bytes(4, 1)).addEndRecord().bytes()},
    };
    for (const auto& [name, bytes] : cases) {
        EXPECT_EQ(imageDataBytes(dir.writeFile("broken.sc", bytes).c_str()), std::nullopt) << name;
    }
    EXPECT_EQ(imageDataBytes((dir.path() / "missing.sc").c_str()), std::nullopt);
    EXPECT_EQ(imageDataBytes(dir.path().c_str()), std::nullopt); // a directory
    EXPECT_EQ(imageDataBytes(nullptr), std::nullopt);
}

TEST(DataTotal, LeavesTheOpenImageFileWhereItWas) {
    testing_support::TempDir dir;
    SimpleCodeImageBuilder image;
    image.addDataRecord(0x10, Bytes(100, 3)).addType2Record(7, 7).addEndRecord();
    const std::string path = dir.writeFile("image.sc", image.bytes());

    openImageFile(path.c_str());
    const uint32_t checksumBefore = checksum;
    const long positionBefore = std::ftell(image_file);
    EXPECT_EQ(imageDataBytes(path.c_str()), 100u);
    EXPECT_EQ(checksum, checksumBefore);
    EXPECT_EQ(std::ftell(image_file), positionBefore);
    // The walk goes on from there and the checksum balances.
    EXPECT_NO_THROW(walkImageRecords([](const ImageRecord& record) {
        for (uint32_t i = 0; record.type == 1 && i < record.length; ++i) {
            ReadUint(1);
        }
    }));
    closeImageFile();
}

} // namespace
