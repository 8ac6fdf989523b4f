// The host's bootloader protocol against the board simulator, along the
// whole road of an update, in its real order and at its real line speeds.

#include "BoardSimulator.h"
#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "ImageWriter.h"
#include "RecordWalk.h"
#include "Serial.h"
#include "TempDir.h"
#include "UpdateCaptions.h"
#include "UpdateSequence.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using qrbsim::BoardSimulator;
using qrbsim::BoardState;
using qrbsim::SimulatorConfig;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kImageVersion = 0x00030201; // 1.2.3
// The connection worker's pause after each open.
constexpr auto kOpenPause = 50ms;

Bytes pattern(size_t n, uint8_t seed) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    }
    return bytes;
}

struct Record {
    uint32_t address;
    Bytes data;
};

// Records at aligned and unaligned addresses, with and without a partly
// filled last word, one of them empty and one within a single word.
const std::vector<Record> kFirmwareRecords{
    {0x0000, pattern(37, 1)},   {0x1002, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}},
    {0x2001, pattern(1000, 2)}, {0x3000, {}},
    {0x4003, {0xA5}},           {0x5001, {0x12, 0x34}},
    {0x6000, pattern(4096, 3)},
};
const Record kRamBootloader{0x400000, pattern(301, 4)};

class EndToEnd : public ::testing::Test {
  protected:
    void TearDown() override {
        closeImageFile();
        serClose();
        {
            std::lock_guard<std::mutex> lock(guardMutex_);
            finished_ = true;
        }
        guardWake_.notify_all();
        if (guard_.joinable()) {
            guard_.join();
        }
        if (sim) {
            sim->stop();
        }
    }

    void boot(SimulatorConfig c, const std::string& unplugOn = "") {
        c.leadingWordWait = 50ms;
        sim = std::make_unique<BoardSimulator>(std::move(c));
        sim->start();
        // A host stuck waiting for an answer is freed by unplugging the
        // board: once the event comes, or at the latest after 20 s.
        guard_ = std::thread([this, unplugOn] {
            const auto deadline = std::chrono::steady_clock::now() + 20s;
            std::unique_lock<std::mutex> lock(guardMutex_);
            while (!finished_ && std::chrono::steady_clock::now() < deadline) {
                if (!unplugOn.empty() && sim->waitForEvent(unplugOn, 0ms)) {
                    break;
                }
                guardWake_.wait_for(lock, 10ms);
            }
            if (!finished_) {
                sim->unplug();
            }
        });
    }

    std::string image(const std::string& name, const std::vector<Record>& records) {
        SimpleCodeImageBuilder builder;
        for (const auto& record : records) {
            builder.addDataRecord(record.address, record.data);
            builder.addType2Record(0x01020304, 5);
        }
        builder.addEndRecord();
        return dir_.writeFile(name, builder.bytes());
    }

    // Running firmware to resident bootloader in step, as the connection
    // worker does it.
    void connect() {
        serInit(sim->slavePath().c_str(), kFirmwareBaudRate);
        std::this_thread::sleep_for(kOpenPause);
        resetConnectedQRBBoard();
        serClose();
        serInit(nullptr, kBootloaderBaudRate);
        std::this_thread::sleep_for(kOpenPause);
        waitForConnection();
    }

    // The update sequence, from the RAM bootloader to the seal.
    void update(uint32_t version = kImageVersion) {
        const UpdatePlan plan{image("ram.sc", {kRamBootloader}),
                              image("firmware.sc", kFirmwareRecords), version};
        runUpdateSequence(plan, steps, dataBytesSent);
        closeImageFile();
    }

    // The flash holds every record, and nothing outside the words they cover
    // was touched.
    void expectFlashHoldsFirmware() {
        const Bytes flash = sim->flash();
        std::vector<bool> covered(flash.size());
        for (const auto& record : kFirmwareRecords) {
            ASSERT_EQ(sim->memory(record.address, record.data.size()), record.data)
                << "record at " << record.address;
            const uint32_t first = record.address & ~3u;
            const uint32_t end =
                (record.address + static_cast<uint32_t>(record.data.size()) + 3) & ~3u;
            for (uint32_t a = first; a < end; ++a) {
                covered[a] = true;
            }
        }
        for (size_t a = 0; a < flash.size(); ++a) {
            if (!covered[a] && flash[a] != 0xFF) {
                FAIL() << "flash byte at " << a << " changed outside the image";
            }
        }
    }

    // What the sequence reported: each step as it started and ended, with the
    // data bytes counted in between.
    struct StepRecorder : UpdateObserver {
        struct Step {
            UpdateStepStart start;
            std::optional<uint64_t> bytes; // counted, once the step has ended
        };
        explicit StepRecorder(const std::atomic<uint64_t>& counter) : counter_(counter) {}
        void stepStarted(const UpdateStepStart& start) override { steps.push_back({start, {}}); }
        void stepFinished(UpdateStep step) override {
            EXPECT_EQ(steps.back().start.step, step);
            steps.back().bytes = counter_.load() - steps.back().start.dataBytesBefore;
        }
        std::vector<Step> steps;

      private:
        const std::atomic<uint64_t>& counter_;
    };

    std::unique_ptr<BoardSimulator> sim;
    bool finished_ = false;
    std::atomic<uint64_t> dataBytesSent{0};
    StepRecorder steps{dataBytesSent};

  private:
    testing_support::TempDir dir_;
    std::thread guard_;
    std::mutex guardMutex_;
    std::condition_variable guardWake_;
};

class BlockSizes : public EndToEnd, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(BlockSizes, UpdateLeavesTheImageInASealedFlash) {
    SimulatorConfig c;
    c.blockWords = GetParam();
    c.versionWord = 0x00000102;
    boot(c);
    connect();
    EXPECT_EQ(getFirmwareVersion(), 0x00000102u);
    update();
    EXPECT_EQ(getFirmwareVersion(), kImageVersion);
    serClose();

    expectFlashHoldsFirmware();
    EXPECT_TRUE(sim->sealed());
    EXPECT_EQ(sim->versionWord(), kImageVersion);
    EXPECT_EQ(sim->state(), BoardState::RamBootloader);
    EXPECT_EQ(sim->memory(kRamBootloader.address, kRamBootloader.data.size()), kRamBootloader.data);
    EXPECT_EQ(sim->bytesProgrammedRam(), 304u);
    EXPECT_EQ(sim->noiseBytes(), 0u);

    // Each step once, in order; the four that send data counted exactly the
    // data bytes of their file's records, their total known before.
    uint64_t firmwareBytes = 0;
    for (const auto& record : kFirmwareRecords) {
        firmwareBytes += record.data.size();
    }
    const std::vector<std::optional<uint64_t>> expected = {
        std::nullopt, 301,           301,           std::nullopt,
        std::nullopt, firmwareBytes, firmwareBytes, std::nullopt};
    ASSERT_EQ(steps.steps.size(), kUpdateStepCount);
    for (size_t i = 0; i < kUpdateStepCount; ++i) {
        const auto& step = steps.steps[i];
        SCOPED_TRACE(updateStepCaption(step.start.step));
        EXPECT_EQ(step.start.step, static_cast<UpdateStep>(i));
        EXPECT_EQ(step.start.dataTotal, expected[i]);
        EXPECT_EQ(step.bytes, expected[i].value_or(0));
    }
    EXPECT_EQ(dataBytesSent.load(), 2 * (301 + firmwareBytes));
}

// Images read before the run are what is proved and sent, whatever becomes
// of their files meanwhile; the observer sees each image's bytes as read.
TEST_F(EndToEnd, TheImagesOfThePlanAreSentWhateverBecomesOfTheirFiles) {
    SimulatorConfig c;
    c.versionWord = 0x00000102;
    boot(c);
    connect();
    const std::string ramPath = image("ram.sc", {kRamBootloader});
    const std::string firmwarePath = image("firmware.sc", kFirmwareRecords);
    UpdatePlan plan{ramPath, firmwarePath, kImageVersion};
    plan.ramBootloader = readImageBytes(ramPath.c_str());
    plan.firmware = readImageBytes(firmwarePath.c_str());
    // Rebuilt with other data, and the bootloader gone.
    image("firmware.sc", {{0x0000, pattern(64, 9)}});
    std::filesystem::remove(ramPath);
    struct Reads : StepRecorder {
        using StepRecorder::StepRecorder;
        void imageRead(UpdateStep step, const ImageBytes& bytes) override {
            read.emplace_back(step, bytes);
        }
        std::vector<std::pair<UpdateStep, ImageBytes>> read;
    } reads{dataBytesSent};
    runUpdateSequence(plan, reads, dataBytesSent);
    closeImageFile();
    serClose();
    expectFlashHoldsFirmware();
    EXPECT_TRUE(sim->sealed());
    ASSERT_EQ(reads.read.size(), 2u);
    EXPECT_EQ(reads.read[0].first, UpdateStep::OpeningBootloader);
    EXPECT_EQ(reads.read[0].second, *plan.ramBootloader);
    EXPECT_EQ(reads.read[1].first, UpdateStep::OpeningFirmware);
    EXPECT_EQ(reads.read[1].second, *plan.firmware);
}

INSTANTIATE_TEST_SUITE_P(Sim, BlockSizes, ::testing::Values(1u, 0u, 3u), [](const auto& testInfo) {
    return testInfo.param == 0 ? std::string("AllWords") : "Words" + std::to_string(testInfo.param);
});

struct FaultCase {
    const char* name;
    const char* fault;
    std::vector<std::string> errors; // the names it may end in
    const char* unplugOn = "";       // for a board that falls silent
};

// Shown with a case's name: the fault.
void PrintTo(const FaultCase& faultCase, std::ostream* out) {
    *out << faultCase.fault;
}

class Faults : public EndToEnd, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, EndInTheNamedException) {
    const auto& p = GetParam();
    SimulatorConfig c;
    c.blockWords = 16;
    c.faults.push_back(qrbsim::parseFault(p.fault));
    boot(c, p.unplugOn);
    try {
        connect();
        getFirmwareVersion();
        update();
        FAIL() << "the update went through";
    } catch (const FirmwareUpdaterException& e) {
        EXPECT_THAT(p.errors, ::testing::Contains(e.name())) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Sim, Faults,
    ::testing::Values(
        FaultCase{"Version", "answer:0x05=0x00", {"VersionInfoError"}},
        FaultCase{"ProgramRefused", "answer:0x02=0x15", {"ProgrammingUnknownError"}},
        FaultCase{"Checksum", "corrupt-checksum:22", {"ProgrammingChecksumError"}},
        FaultCase{"Verify", "answer:0x03=0x01", {"VerifyingUnknownError"}},
        FaultCase{"Jump", "answer:0x07=0x00", {"JumpingError"}},
        FaultCase{"Unseal", "answer:0x01=0x15", {"ShortCommandError"}},
        FaultCase{"Seal", "answer:0x04=0x00", {"SealingError"}},
        FaultCase{"HangupAtProgram", "hangup@program", {"SerialCommReceiveError"}},
        FaultCase{"HangupAtUnseal", "hangup@unseal", {"SerialCommReceiveError"}},
        FaultCase{"HangupMidTransfer",
                  "hangup-after:2000",
                  {"SerialCommReceiveError", "SerialCommSendError"}},
        FaultCase{"SilentAtSeal", "silent@seal", {"SerialCommReceiveError"}, "fault: silent"},
        FaultCase{"SilentAtVerify", "silent@verify", {"SerialCommReceiveError"}, "fault: silent"}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST_F(EndToEnd, ForeignBytesBeforeTheEchoCostAnAttemptFromFiveOn) {
    for (const auto& [fault, syncs] : {std::pair{"noise:4", 2u}, std::pair{"noise:5", 4u}}) {
        SCOPED_TRACE(fault);
        SimulatorConfig c;
        c.faults.push_back(qrbsim::parseFault(fault));
        boot(c);
        connect();
        update();
        serClose();
        EXPECT_EQ(sim->syncCount(), syncs);
        expectFlashHoldsFirmware();
        TearDown();
        sim.reset();
        finished_ = false;
    }
}

TEST_F(EndToEnd, SilentBoardKeepsSynchronisationWaitingUntilStopped) {
    SimulatorConfig c;
    c.faults.push_back(qrbsim::parseFault("silent"));
    boot(c);
    serInit(sim->slavePath().c_str(), kBootloaderBaudRate);
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        std::this_thread::sleep_for(100ms);
        stop = true;
    });
    EXPECT_FALSE(waitForConnection(stop)); // after one attempt of 5 s
    stopper.join();
}

TEST_F(EndToEnd, HostSwitchingToTheRamBootloadersSpeedBeforeTheJumpFails) {
    boot(SimulatorConfig(), "noise:");
    connect();
    openImageFile(image("ram.sc", {kRamBootloader}).c_str());
    TransferProgram();
    resetImageFile();
    VerifyProgram();
    serSetBaudRate(kRamBootloaderBaudRate);
    try {
        jumpToAddress(kRamBootloaderAddress);
        FAIL() << "the jump was answered";
    } catch (const SerialException& e) {
        EXPECT_EQ(e.name(), "SerialCommReceiveError");
    }
    EXPECT_TRUE(sim->waitForState(BoardState::Gone, 2s)); // unplugged, never jumped
    EXPECT_GE(sim->noiseBytes(), 1u);
    const auto events = sim->events();
    EXPECT_THAT(events, ::testing::Not(::testing::Contains("RAM bootloader started")));
}

// --- Proving a file: the same failure as its transfer, nothing on the wire.

struct BadFile {
    std::string name;
    Bytes bytes;
};

std::vector<BadFile> badFiles() {
    SimpleCodeImageBuilder sound;
    sound.addDataRecord(kRamBootloader.address, kRamBootloader.data).addType2Record();
    const uint32_t sum = sound.byteSum();
    Bytes wrongSum =
        SimpleCodeImageBuilder(sound).addEndRecord(endRecordValue(sum + 3) + 1).bytes();
    Bytes cutInFields = SimpleCodeImageBuilder(sound).addEndRecord().bytes();
    cutInFields.resize(14 + 6); // in the middle of the record's address
    Bytes cutInData = SimpleCodeImageBuilder(sound).addEndRecord().bytes();
    cutInData.resize(14 + 12 + 100); // in the middle of the record's data
    Bytes unknown = SimpleCodeImageBuilder(sound).addBytes(Bytes{0x09}).addEndRecord().bytes();
    // Cut in its data last: the board is left waiting for the rest of a block.
    return {{"wrong checksum", wrongSum},
            {"cut short in a record's fields", cutInFields},
            {"unknown type", unknown},
            {"cut short in a record's data", cutInData}};
}

std::string failureOf(const std::function<void()>& run) {
    try {
        run();
    } catch (const FirmwareUpdaterException& failure) {
        return failure.name() + ": " + failure.reason();
    }
    return "no failure";
}

TEST_F(EndToEnd, ProvingAFileFailsAsItsTransferAndVerificationWouldWithoutAByteSent) {
    boot({});
    connect();
    testing_support::TempDir directory;
    const std::vector<BadFile> files = badFiles();
    for (const BadFile& bad : files) {
        const std::string path = directory.writeFile("bad.sc", bad.bytes);
        const uint64_t before = sim->bytesReceived();
        const std::string proved = failureOf([&] { proveImageFile(path.c_str()); });
        EXPECT_EQ(sim->bytesReceived(), before) << bad.name;
        EXPECT_EQ(image_file, nullptr) << bad.name << ": left open";
        EXPECT_NE(proved, "no failure") << bad.name;

        openImageFile(path.c_str());
        const bool last = &bad == &files.back();
        EXPECT_EQ(failureOf([] { TransferProgram(); }), proved) << bad.name;
        if (!last) {
            resetImageFile();
            EXPECT_EQ(failureOf([] { VerifyProgram(); }), proved) << bad.name;
        }
        closeImageFile();
    }
}

TEST_F(EndToEnd, ASoundFileIsProvedRewoundAndThenProgrammed) {
    boot({});
    connect();
    openImageFile(image("ram.sc", {kRamBootloader}).c_str());
    EXPECT_EQ(proveOpenImageFile(), kRamBootloader.data.size());
    EXPECT_NO_THROW(TransferProgram());
    closeImageFile();
    EXPECT_EQ(sim->memory(kRamBootloader.address, kRamBootloader.data.size()), kRamBootloader.data);
}

} // namespace
