#include "BoardSimulator.h"
#include "HostEnd.h"
#include "PtyLine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using qrbsim::BoardSimulator;
using qrbsim::BoardState;
using qrbsim::SimulatorConfig;
using simtest::be32;
using simtest::HostEnd;
using simtest::operator+;
using Bytes = std::vector<uint8_t>;

namespace {

const Bytes kSync{0xAA, 0x55, 0xA5, 0x5A};

SimulatorConfig config(uint32_t blockWords = 0) {
    SimulatorConfig c;
    c.blockWords = blockWords;
    return c;
}

class Board : public ::testing::Test {
  protected:
    void boot(SimulatorConfig c = config()) {
        sim = std::make_unique<BoardSimulator>(std::move(c));
        sim->start();
    }

    // Opens the line at speed and waits until the board has seen the speed.
    void open(unsigned speed) {
        if (host) {
            host->reopen(speed);
        } else {
            host = std::make_unique<HostEnd>(sim->slavePath(), speed);
        }
        waitForSpeed(speed);
    }

    void waitForSpeed(unsigned speed) {
        for (int i = 0; i < 500 && sim->observedLineSpeed() != speed; ++i) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(sim->observedLineSpeed(), speed);
    }

    // Firmware to resident bootloader, in step.
    void toResident() {
        open(115200);
        host->write({0xE5, 0x7F});
        host->reopen(57600);
        ASSERT_TRUE(sim->waitForState(BoardState::ResidentBootloader, 2s));
        waitForSpeed(57600);
        sync();
    }

    void sync() {
        host->write(kSync);
        ASSERT_EQ(host->read(4), kSync);
    }

    // Programs a one-word RAM bootloader, jumps to it and syncs at 460800.
    void toRam() {
        toResident();
        host->write(Bytes{0x02} + be32(0x400000) + be32(1));
        ASSERT_EQ(host->read(1), Bytes{0x02});
        ASSERT_EQ(host->read(4), be32(1)); // no leading word came: a block of one
        host->write(be32(0x12345678));
        ASSERT_EQ(host->read(4), be32(0x12345678));
        host->write(Bytes{0x07} + be32(0x400000));
        ASSERT_EQ(host->read(1), Bytes{0x07});
        host->setSpeed(460800);
        waitForSpeed(460800);
        sync();
        ASSERT_EQ(sim->state(), BoardState::RamBootloader);
    }

    std::unique_ptr<BoardSimulator> sim;
    std::unique_ptr<HostEnd> host;
};

TEST_F(Board, ResetIsTakenAtFirmwareSpeedEvenWhenTheHostReopensAtOnce) {
    // The host writes the reset and reopens the line at 57600 before the
    // board's thread has even looked: the reset still counts as sent at 115200.
    for (int i = 0; i < 20; ++i) {
        host.reset();
        boot();
        open(115200);
        host->write({0xE5, 0x7F});
        host->reopen(57600);
        ASSERT_TRUE(sim->waitForState(BoardState::ResidentBootloader, 2s)) << "attempt " << i;
        EXPECT_EQ(sim->noiseBytes(), 0u);
    }
}

TEST_F(Board, AHeldUpBoardTakesTheSessionsItCouldNotWatchAtItsOwnSpeed) {
    // The board's thread starts only once the host has opened the line at
    // 115200, sent the reset, reopened at 57600 and synchronised: the line
    // cannot tell which speed each byte came at, and the board takes them
    // all at the speeds it listens at.
    for (int i = 0; i < 5; ++i) {
        host.reset();
        sim = std::make_unique<BoardSimulator>(config());
        host = std::make_unique<HostEnd>(sim->slavePath(), 115200);
        host->write({0xE5, 0x7F});
        host->reopen(57600);
        host->write(kSync);
        sim->start();
        ASSERT_EQ(host->read(4), kSync) << "attempt " << i;
        EXPECT_EQ(sim->state(), BoardState::ResidentBootloader);
        EXPECT_EQ(sim->noiseBytes(), 0u);
    }
}

TEST_F(Board, ASessionClosedBeforeTheBoardLookedKeepsItsSpeed) {
    // Bytes at the wrong speed, taken in only after the host has closed the
    // line, with no later session: still noise.
    boot();
    open(57600);
    host->write({0xE5, 0x7F});
    host->close();
    ASSERT_TRUE(sim->waitForEvent("noise: 2 bytes at 57600 baud", 2s));
    EXPECT_EQ(sim->state(), BoardState::Firmware);
}

TEST_F(Board, BytesAtTheWrongSpeedAreNoise) {
    boot();
    open(57600);
    host->write({0xE5, 0x7F}); // reset at the bootloader's speed: garbled
    ASSERT_TRUE(sim->waitForEvent("noise: 2 bytes at 57600 baud", 2s));
    EXPECT_EQ(sim->state(), BoardState::Firmware);

    toResident();
    host->setSpeed(460800); // too early: no RAM bootloader runs yet
    host->write(kSync);
    EXPECT_TRUE(host->read(4, 100).empty());
    EXPECT_EQ(sim->noiseBytes(), 6u);
}

TEST_F(Board, KeepsItsStateWhileTheHostClosesAndReopens) {
    boot();
    toResident();
    host->close();
    ASSERT_TRUE(sim->waitForEvent("line closed", 2s));
    std::this_thread::sleep_for(20ms);
    open(57600);
    sync();
    EXPECT_EQ(sim->syncCount(), 2u);
}

TEST_F(Board, AnswersVersionAndShortCommandsAndIgnoresGarbage) {
    SimulatorConfig c;
    c.versionWord = 0x00030201;
    boot(c);
    toResident();
    host->write({0x05});
    EXPECT_EQ(host->read(5), (Bytes{0x01, 0x02, 0x03, 0x00, 0x05}));
    host->write({0x42, 0xAA, 0x55, 0x00, 0x99}); // garbage and a broken sync
    EXPECT_TRUE(host->read(1, 100).empty());
    sync();
    host->write({0x01});
    EXPECT_EQ(host->read(1), Bytes{0x01});
    EXPECT_TRUE(sim->sealed()) << "only the RAM bootloader unseals";
    host->write({0x06});
    EXPECT_EQ(host->read(1), Bytes{0x06});
    EXPECT_TRUE(sim->waitForState(BoardState::Firmware, 2s));
}

TEST_F(Board, BoardWithoutFirmwareWaitsInItsBootloader) {
    SimulatorConfig c;
    c.versionWord = qrbsim::kNoFirmware;
    boot(c);
    open(57600);
    sync();
    host->write({0x05});
    EXPECT_EQ(host->read(5), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x05}));
    EXPECT_FALSE(sim->sealed());
    EXPECT_EQ(sim->flash(), Bytes(c.flashSize, 0xFF));
}

// The programming exchange, board side, at the three kinds of block size.
struct ProgramCase {
    const char* name;
    uint32_t blockWords;
    uint32_t address; // aligned address sent
    uint32_t words;
    Bytes leading;                          // sent right after the acknowledgement
    std::vector<std::vector<Bytes>> blocks; // words the host sends per block
    std::vector<uint32_t> counts;           // block counts the board asks for
    std::vector<uint32_t> checksums;
    Bytes ram; // RAM from the aligned address afterwards
};

// Shown with a case's name: the request and the block size.
void PrintTo(const ProgramCase& programCase, std::ostream* out) {
    *out << programCase.words << (programCase.words == 1 ? " word" : " words") << " from 0x"
         << std::hex << programCase.address << std::dec;
    if (programCase.blockWords == 0) {
        *out << " in one block";
    } else {
        *out << ", " << programCase.blockWords << " per block";
    }
}

class Programming : public Board, public ::testing::WithParamInterface<ProgramCase> {};

TEST_P(Programming, FollowsTheBlockExchange) {
    const auto& p = GetParam();
    SimulatorConfig c = config(p.blockWords);
    // Long enough for this thread to send its leading word in time whatever
    // the machine's load.
    c.leadingWordWait = 200ms;
    boot(c);
    toResident();
    host->write(Bytes{0x02} + be32(p.address) + be32(p.words));
    ASSERT_EQ(host->read(1), Bytes{0x02});
    if (!p.leading.empty()) {
        host->write(p.leading);
    }
    for (size_t b = 0; b < p.counts.size(); ++b) {
        ASSERT_EQ(host->read(4), be32(p.counts[b])) << "block " << b;
        for (const auto& word : p.blocks[b]) {
            host->write(word);
        }
        ASSERT_EQ(host->read(4), be32(p.checksums[b])) << "block " << b;
    }
    EXPECT_TRUE(host->read(1, 50).empty());
    EXPECT_EQ(sim->memory(p.address, p.ram.size()), p.ram);
    EXPECT_EQ(sim->bytesProgrammedRam(), 4u * p.words);
}

const Bytes w1{0x11, 0x22, 0x33, 0x44}, w2{0x55, 0x66, 0x77, 0xFF};
const Bytes lead{0x00, 0x00, 0x11, 0x22}, x1{0x33, 0x44, 0x55, 0x66}, x2{0x77, 0xFF, 0xFF, 0xFF};

INSTANTIATE_TEST_SUITE_P(
    Sim, Programming,
    ::testing::Values(
        ProgramCase{"AllWords", 0, 0x400000, 2, {}, {{w1, w2}}, {2}, {0x444444BB}, w1 + w2},
        ProgramCase{
            "OneWord", 1, 0x400000, 2, {}, {{w1}, {w2}}, {1, 1}, {0x11223344, 0x556677FF}, w1 + w2},
        ProgramCase{"LeadingWordAllWords",
                    0,
                    0x400000,
                    3,
                    lead,
                    {{x1, x2}},
                    {3},
                    {0x44BBAA99},
                    lead + x1 + x2},
        // With one word per block the leading word fills the first block.
        ProgramCase{"LeadingWordOneWord",
                    1,
                    0x400000,
                    3,
                    lead,
                    {{}, {x1}, {x2}},
                    {1, 1, 1},
                    {0, 0x33445566, 0x77FFFFFF},
                    lead + x1 + x2},
        ProgramCase{"LeadingWordOnly", 3, 0x400010, 1, lead, {}, {}, {}, lead},
        ProgramCase{"FixedThree",
                    3,
                    0x400000,
                    4,
                    {},
                    {{w1, w2, x1}, {x2}},
                    {3, 1},
                    {0x444444BB ^ 0x33445566, 0x77FFFFFF},
                    w1 + w2 + x1 + x2},
        ProgramCase{"Empty", 3, 0x400000, 0, {}, {}, {}, {}, {}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(Board, VerifiesAndRefusesWhatItCannotReach) {
    boot();
    toResident();
    // Memory outside the RAM, a jump to a RAM holding no bootloader.
    host->write(Bytes{0x02} + be32(0x1000) + be32(1));
    EXPECT_EQ(host->read(1), Bytes{qrbsim::kRefused});
    host->write(Bytes{0x03} + be32(0x3FFFFF) + be32(2));
    EXPECT_EQ(host->read(1), Bytes{qrbsim::kRefused});
    host->write(Bytes{0x07} + be32(0x400000));
    EXPECT_EQ(host->read(1), Bytes{qrbsim::kRefused});
    host->write(Bytes{0x04, 1, 2, 3});
    EXPECT_EQ(host->read(1), Bytes{qrbsim::kRefused});

    host->write(Bytes{0x02} + be32(0x400000) + be32(1));
    ASSERT_EQ(host->read(1), Bytes{0x02});
    ASSERT_EQ(host->read(4), be32(1));
    host->write(w1);
    ASSERT_EQ(host->read(4), be32(0x11223344));
    // Unaligned verification of the middle bytes, then a difference.
    host->write(Bytes{0x03} + be32(0x400001) + be32(2) + Bytes{0x22, 0x33});
    EXPECT_EQ(host->read(2), (Bytes{0x03, 0x03}));
    host->write(Bytes{0x03} + be32(0x400000) + be32(2) + Bytes{0x11, 0x23});
    EXPECT_EQ(host->read(2), (Bytes{0x03, qrbsim::kMismatch}));
    host->write(Bytes{0x03} + be32(0x400000) + be32(0));
    EXPECT_EQ(host->read(2), (Bytes{0x03, 0x03}));
}

TEST_F(Board, RamBootloaderUnsealsProgramsLikeNorFlashAndSeals) {
    boot(config(0));
    toRam();

    host->write(Bytes{0x02} + be32(0x100) + be32(1));
    EXPECT_EQ(host->read(1), Bytes{qrbsim::kRefused}) << "sealed";

    host->write({0x01});
    ASSERT_EQ(host->read(1), Bytes{0x01});
    EXPECT_FALSE(sim->sealed());
    EXPECT_EQ(sim->flash(), Bytes(sim->config().flashSize, 0xFF));
    host->write({0x05});
    EXPECT_EQ(host->read(5), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x05}));

    for (const uint32_t word : {0x0F0F0F0Fu, 0xFF00FF00u}) {
        host->write(Bytes{0x02} + be32(0x100) + be32(1));
        ASSERT_EQ(host->read(1), Bytes{0x02});
        ASSERT_EQ(host->read(4), be32(1));
        host->write(be32(word));
        ASSERT_EQ(host->read(4), be32(word));
    }
    EXPECT_EQ(sim->memory(0x100, 4), be32(0x0F000F00)); // bits only cleared
    EXPECT_EQ(sim->bytesProgrammedFlash(), 8u);

    host->write({0x04, 0x01, 0x02, 0x03});
    EXPECT_EQ(host->read(1), Bytes{0x04});
    EXPECT_TRUE(sim->sealed());
    EXPECT_EQ(sim->versionWord(), 0x030201u);
    host->write({0x05});
    EXPECT_EQ(host->read(5), (Bytes{0x01, 0x02, 0x03, 0x00, 0x05}));
}

TEST_F(Board, LargeFlashReachesAboveTheRamAddressUpToItsEnd) {
    SimulatorConfig c = config(0);
    c.flashSize = 8u << 20;
    boot(c);
    toRam();
    host->write({0x01});
    ASSERT_EQ(host->read(1), Bytes{0x01});
    for (const uint32_t address : {0x400000u, 0x7FFFFCu}) {
        host->write(Bytes{0x02} + be32(address) + be32(1));
        ASSERT_EQ(host->read(1), Bytes{0x02});
        ASSERT_EQ(host->read(4), be32(1));
        host->write(w1);
        ASSERT_EQ(host->read(4), be32(0x11223344));
        EXPECT_EQ(sim->flashBytes(address, 4), w1);
    }
    EXPECT_EQ(sim->ramBytes(0x400000, 4), be32(0x12345678)) << "RAM untouched";
    host->write(Bytes{0x02} + be32(0x7FFFFC) + be32(2));
    EXPECT_EQ(host->read(1), Bytes{qrbsim::kRefused}) << "past the flash's end";
    host->write(Bytes{0x03} + be32(0x7FFFFF) + be32(1) + Bytes{0x44});
    EXPECT_EQ(host->read(2), (Bytes{0x03, 0x03}));
}

TEST(FaultParser, ParsesEveryFormAndExplainsMistakes) {
    for (const char* text :
         {"silent", "silent@verify", "answer:0x01=0x15", "corrupt-checksum:3", "noise:5",
          "hangup-after:1000", "hangup@program", "hangup@seal", "noise:1@seal", "hangup@open",
          "silent@sync/ram", "answer:0x02=0x15/resident", "corrupt-checksum:2/ram",
          "noise:5/resident", "noise:3@open/firmware", "answer:0xaa=0x00"}) {
        EXPECT_EQ(qrbsim::describeFault(qrbsim::parseFault(text)), text);
    }
    const auto answer = qrbsim::parseFault("answer:7=255");
    EXPECT_EQ(answer.command, 7);
    EXPECT_EQ(answer.value, 255);

    const std::pair<const char*, const char*> bad[] = {
        {"", "unknown fault"},
        {"bogus", "unknown fault"},
        {"silent:3", "takes no value"},
        {"silent@prog", "unknown step \"prog\""},
        {"hangup", "expected hangup@STEP"},
        {"noise@sync", "only silent and hangup"},
        {"answer:0x01", "expected answer:COMMAND=BYTE"},
        {"answer:0x100=1", "out of range"},
        {"answer:1=x", "expected a number for the answer"},
        {"corrupt-checksum:0", "at least 1"},
        {"corrupt-checksum", "expected corrupt-checksum:N"},
        {"hangup-after:-1", "expected a number"},
        {"silent/ram", "take /PROGRAM"},
        {"hangup-after:3/ram", "take /PROGRAM"},
        {"silent@sync/flash", "unknown program \"flash\""},
        {"noise:0@seal", "at least 1"},
        {"noise:x@seal", "expected a number for the byte count"},
    };
    for (const auto& [text, why] : bad) {
        try {
            qrbsim::parseFault(text);
            ADD_FAILURE() << text << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_THAT(e.what(), ::testing::HasSubstr(std::string("\"") + text + "\""));
            EXPECT_THAT(e.what(), ::testing::HasSubstr(why));
        }
    }
}

SimulatorConfig withFaults(std::initializer_list<const char*> faults, uint32_t blockWords = 0) {
    SimulatorConfig c = config(blockWords);
    for (const char* f : faults) {
        c.faults.push_back(qrbsim::parseFault(f));
    }
    return c;
}

TEST_F(Board, AnswerFaultsReplaceTheAcknowledgement) {
    boot(withFaults({"answer:0x05=0x00", "answer:0x07=0x09", "answer:0x01=0x15"}));
    toResident();
    host->write({0x05});
    EXPECT_EQ(host->read(5), (Bytes{0x01, 0x00, 0x00, 0x00, 0x00}));
    host->write({0x01});
    EXPECT_EQ(host->read(1), Bytes{0x15});
    host->write(Bytes{0x07} + be32(0x400000));
    EXPECT_EQ(host->read(1), Bytes{0x09});
    EXPECT_EQ(sim->state(), BoardState::ResidentBootloader);
}

TEST_F(Board, CorruptsTheNamedBlockOnly) {
    boot(withFaults({"corrupt-checksum:2"}, 1));
    toResident();
    host->write(Bytes{0x02} + be32(0x400000) + be32(3));
    ASSERT_EQ(host->read(1), Bytes{0x02});
    std::vector<Bytes> sums;
    for (int b = 0; b < 3; ++b) {
        ASSERT_EQ(host->read(4), be32(1));
        host->write(w1);
        sums.push_back(host->read(4));
    }
    EXPECT_EQ(sums[0], w1);
    EXPECT_NE(sums[1], w1);
    EXPECT_EQ(sums[2], w1);
}

TEST_F(Board, SendsForeignBytesBeforeTheFirstSyncEchoOnly) {
    boot(withFaults({"noise:3"}));
    open(115200);
    host->write({0xE5, 0x7F});
    host->reopen(57600);
    waitForSpeed(57600);
    host->write(kSync);
    EXPECT_EQ(host->read(7), (Bytes{'Q', 'R', 'B'} + kSync));
    sync();
}

TEST_F(Board, HangsUpAfterCountedBytesOrAtAStep) {
    boot(withFaults({"hangup-after:8"}));
    toResident(); // reset (2 bytes) and sync (4 bytes)
    host->write({0x05, 0x05, 0x05});
    // Answers still in flight when the line goes are lost, as on a real line.
    const Bytes answers{0x01, 0, 0, 0, 0x05, 0x01, 0, 0, 0, 0x05};
    const Bytes got = host->drain(500);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), answers.begin())) << got.size();
    EXPECT_TRUE(host->sawHangup());
    sim->join();
    EXPECT_EQ(sim->state(), BoardState::Gone);
    const auto events = sim->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "version 0x00000001"), 2);

    host.reset();
    boot(withFaults({"hangup@version"}));
    toResident();
    host->write({0x05});
    EXPECT_TRUE(host->read(5, 500).empty());
    EXPECT_TRUE(host->sawHangup());
}

TEST_F(Board, FallsSilentAtAStepOrFromTheStart) {
    boot(withFaults({"silent@verify"}));
    toResident();
    host->write(Bytes{0x03} + be32(0x400000) + be32(1));
    EXPECT_TRUE(host->read(1, 100).empty());
    host->write(kSync);
    EXPECT_TRUE(host->read(4, 100).empty());
    EXPECT_EQ(sim->state(), BoardState::Silent);

    host.reset();
    boot(withFaults({"silent"}));
    open(57600);
    host->write(kSync);
    EXPECT_TRUE(host->read(4, 100).empty());
}

TEST(Line, AWaitOverBeforeTheLineLookedStillTakesWhatCame) {
    // A wait of no time is over before the line has looked, as a wait is for
    // a board's thread held up past its end: what the host had sent by then
    // came in time.
    qrbsim::PtyLine line;
    HostEnd host(line.slavePath(), 115200);
    host.write({0x42});
    EXPECT_EQ(line.receive(115200, 0ms), std::optional<uint8_t>(0x42));
    EXPECT_EQ(line.receive(115200, 0ms), std::nullopt);
}

TEST_F(Board, StopsPromptlyWhateverTheHostIsDoing) {
    // Never started, never opened, and stopped mid-record with the host
    // holding the line open and sending nothing more.
    { BoardSimulator idle; }
    boot();
    sim->stop();
    boot(config(0));
    toResident();
    host->write(Bytes{0x02} + be32(0x400000) + be32(1000));
    ASSERT_EQ(host->read(1), Bytes{0x02});
    host->write(w1);
    sim->stop();
    host->read(8, 100);
    EXPECT_TRUE(host->sawHangup());
    sim.reset();
}

TEST_F(Board, UnpluggingEndsTheHostsWaitAndTheBoardsThread) {
    boot();
    toResident();
    host->write(Bytes{0x03} + be32(0x400000) + be32(4));
    ASSERT_EQ(host->read(1), Bytes{0x03});
    sim->unplug();
    sim->join();
    host->read(1, 500);
    EXPECT_TRUE(host->sawHangup());
    EXPECT_EQ(sim->state(), BoardState::Gone);
}

TEST_F(Board, AnUnpluggedBoardKeepsItsLinesNumber) {
    // A host still trying the path of a board it lost must find nothing
    // there, not another board that got the same number.
    boot();
    open(115200);
    const std::string path = sim->slavePath();
    sim->unplug();
    sim->join();
    host.reset(); // the host lets go of the line
    std::vector<std::unique_ptr<BoardSimulator>> others;
    for (int i = 0; i < 3; ++i) {
        others.push_back(std::make_unique<BoardSimulator>(config()));
        EXPECT_NE(others.back()->slavePath(), path);
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_LT(fd, 0) << "the lost board's path opens";
    if (fd >= 0) {
        ::close(fd);
    }
}

// --- Faults placed at one program's step, at the host's opening of the line,
// and before any answer.

TEST_F(Board, FaultsConfinedToAProgramLeaveTheOtherOneAlone) {
    boot(withFaults({"answer:0x05=0x00/ram", "noise:3/ram", "corrupt-checksum:1/ram"}, 1));
    toResident(); // a clean first sync: the noise waits for the RAM bootloader
    host->write({0x05});
    EXPECT_EQ(host->read(5), (Bytes{0x01, 0x00, 0x00, 0x00, 0x05}));
    // Resident blocks count for nothing: the RAM bootloader's first is wrong.
    host->write(Bytes{0x02} + be32(0x400000) + be32(1));
    ASSERT_EQ(host->read(1), Bytes{0x02});
    ASSERT_EQ(host->read(4), be32(1));
    host->write(be32(0x12345678));
    EXPECT_EQ(host->read(4), be32(0x12345678));
    host->write(Bytes{0x07} + be32(0x400000));
    ASSERT_EQ(host->read(1), Bytes{0x07});
    host->setSpeed(460800);
    waitForSpeed(460800);
    host->write(kSync);
    EXPECT_EQ(host->read(7), (Bytes{'Q', 'R', 'B'} + kSync));
    host->write({0x05});
    EXPECT_EQ(host->read(5), (Bytes{0x01, 0x00, 0x00, 0x00, 0x00}));
    host->write({0x01});
    ASSERT_EQ(host->read(1), Bytes{0x01});
    host->write(Bytes{0x02} + be32(0) + be32(2));
    ASSERT_EQ(host->read(1), Bytes{0x02});
    ASSERT_EQ(host->read(4), be32(1));
    host->write(w1);
    EXPECT_NE(host->read(4), w1);
    ASSERT_EQ(host->read(4), be32(1));
    host->write(w1);
    EXPECT_EQ(host->read(4), w1);
}

TEST_F(Board, SilenceAndWrongEchoesAtOneSynchronisation) {
    boot(withFaults({"answer:0xaa=0x00/resident"}));
    open(115200);
    host->write({0xE5, 0x7F});
    host->reopen(57600);
    waitForSpeed(57600);
    for (int attempt = 0; attempt < 2; ++attempt) {
        host->write(kSync);
        EXPECT_EQ(host->read(4), Bytes(4, 0x00));
    }
    EXPECT_EQ(sim->syncCount(), 0u);

    host.reset();
    boot(withFaults({"silent@sync/ram"}));
    toResident(); // answered: the silence waits for the RAM bootloader
    host->write(Bytes{0x02} + be32(0x400000) + be32(1));
    ASSERT_EQ(host->read(1), Bytes{0x02});
    ASSERT_EQ(host->read(4), be32(1));
    host->write(w1);
    ASSERT_EQ(host->read(4), w1);
    host->write(Bytes{0x07} + be32(0x400000));
    ASSERT_EQ(host->read(1), Bytes{0x07});
    host->setSpeed(460800);
    waitForSpeed(460800);
    host->write(kSync);
    EXPECT_TRUE(host->read(4, 200).empty());
    EXPECT_EQ(sim->state(), BoardState::Silent);
    EXPECT_EQ(sim->bytesReceived(), 6u + 9u + 4u + 5u + 4u) << "swallowed bytes count too";
}

TEST_F(Board, FaultsFireWhenTheHostOpensTheLine) {
    boot(withFaults({"noise:3@open/firmware", "hangup@open/resident"}));
    open(115200);
    EXPECT_EQ(host->read(3), (Bytes{'Q', 'R', 'B'}));
    host->write({0xE5, 0x7F});
    host->reopen(57600);
    sim->join();
    EXPECT_EQ(sim->state(), BoardState::Gone);
    EXPECT_TRUE(std::filesystem::exists(sim->slavePath()) == false) << "the device is gone";
    const auto events = sim->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "fault: 3 foreign bytes"), 1);
}

TEST_F(Board, NoiseBeforeAnAnswerComesOnceAndSealsAreCounted) {
    boot(withFaults({"noise:1@version", "noise:2@seal/ram"}));
    toRam();
    host->write({0x05});
    EXPECT_EQ(host->read(6), (Bytes{'Q', 0x01, 0x00, 0x00, 0x00, 0x05}));
    host->write({0x05});
    EXPECT_EQ(host->read(5), (Bytes{0x01, 0x00, 0x00, 0x00, 0x05}));
    host->write({0x01});
    ASSERT_EQ(host->read(1), Bytes{0x01});
    EXPECT_EQ(sim->sealCommands(), 0u);
    host->write({0x04, 0x01, 0x02, 0x03});
    EXPECT_EQ(host->read(3), (Bytes{'Q', 'R', 0x04}));
    host->write({0x04, 0x01, 0x02, 0x03});
    EXPECT_EQ(host->read(1), Bytes{0x04});
    EXPECT_EQ(sim->sealCommands(), 2u);
    EXPECT_EQ(sim->versionWord(), 0x00030201u);
}

} // namespace
