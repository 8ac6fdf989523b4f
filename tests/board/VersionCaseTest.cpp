#include "BoardSequence.h"
#include "ImageVersion.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

ImageVersion version(std::uint32_t word) {
    ImageVersion image;
    image.data = word;
    return image;
}

constexpr std::uint32_t kImage123 = 0x00030201; // 1.2.3

TEST(VersionCase, BoardWordsAreComparedByMajorThenMinorThenRevision) {
    const struct {
        std::uint32_t board;
        VersionCase expected;
    } cases[] = {
        {0x00030201, VersionCase::Same},
        {0xFF030201, VersionCase::Same},  // bits 24-31 take no part
        {0x00030101, VersionCase::Older}, // 1.1.3: only the minor is lower
        {0x00030301, VersionCase::Newer}, // 1.3.3: only the minor is higher
        {0x00020201, VersionCase::Older}, // 1.2.2
        {0x00040201, VersionCase::Newer}, // 1.2.4
        {0x00000102, VersionCase::Newer}, // 2.1.0: the major decides
        {0x00FFFF00, VersionCase::Older}, // 0.255.255
        {0x00FFFFFF, VersionCase::Newer}, // 255.255.255 is a version, not the marker
        {0xFFFFFFFF, VersionCase::Corrupt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(classifyFirmwareVersion(c.board, version(kImage123)), c.expected)
            << std::hex << "board word 0x" << c.board;
    }
}

TEST(VersionCase, OnlyTheWholeAllOnesWordMarksCorruptFirmware) {
    // Against an image of 255.255.255 the marker is still the marker, and a
    // board of 255.255.255 with other upper bits is simply up to date.
    EXPECT_EQ(classifyFirmwareVersion(0xFFFFFFFF, version(0x00FFFFFF)), VersionCase::Corrupt);
    EXPECT_EQ(classifyFirmwareVersion(0x7FFFFFFF, version(0x00FFFFFF)), VersionCase::Same);
    // The image's reserved byte takes no part either.
    EXPECT_EQ(classifyFirmwareVersion(0x00030201, version(0xAB030201)), VersionCase::Same);
}

TEST(VersionCase, TheDecisionUpdatesOlderAndCorruptBoardsAndNamesTheBoardsVersion) {
    const struct {
        std::uint32_t board;
        VersionFollows follows;
        const char* name;
    } cases[] = {
        {0xFFFFFFFF, VersionFollows::Update, "corrupt"},
        {0x00020201, VersionFollows::Update, "older"},
        {0xFF030201, VersionFollows::LeaveCurrent, "same"},
        {0x00000102, VersionFollows::LeaveNewer, "newer"},
    };
    for (const auto& c : cases) {
        const VersionDecision decision = decideVersion(c.board, version(kImage123));
        EXPECT_EQ(decision.follows, c.follows) << c.name;
        EXPECT_STREQ(versionCaseName(decision.versionCase), c.name);
    }
    EXPECT_EQ(versionText(decideVersion(0x00000102, version(kImage123)).board), "2.1.0");
    EXPECT_EQ(versionText(version(0xAB0A0B0C)), "12.11.10");
}

} // namespace
