#include "AwakeCpus.h"
#include "BenchImage.h"
#include "Bootloader.h"
#include "HeapCounter.h"
#include "ImageFile.h"
#include "Measurement.h"
#include "Pty.h"
#include "RecordWalk.h"
#include "Runs.h"
#include "Serial.h"
#include "SimChild.h"
#include "TempDir.h"
#include "WireTap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sched.h>
#include <string>
#include <sys/types.h>

using namespace bench;
using testing_support::Pty;
using testing_support::TempDir;

namespace {

const std::string kRamBootloader = std::string(QRB_RESOURCE_DIR) + "/QRB_RAM_Bootloader.sc";

std::vector<DataRecord> readDataRecords(const std::string& path) {
    std::vector<DataRecord> records;
    openImageFile(path.c_str());
    walkImageRecords([&](const ImageRecord& record) {
        if (record.type != 1) {
            return;
        }
        records.push_back({record.address, record.length});
        for (uint32_t i = 0; i < record.length; ++i) {
            ReadUint(1);
        }
    });
    closeImageFile();
    return records;
}

TEST(BenchImage, RecordsAddUpToTheSizeWithUnalignedOnesAndReadBackAsLaidOut) {
    TempDir dir;
    for (const uint32_t size : {64u, 1000u, 4099u, 65536u, 1048579u}) {
        const std::vector<DataRecord> layout = benchImageLayout(size);
        uint64_t total = 0;
        uint64_t end = 0;
        bool unalignedStart = false;
        bool unalignedEnd = false;
        for (const DataRecord& record : layout) {
            EXPECT_GE(record.address, end) << "records overlap in an image of " << size;
            end = uint64_t{record.address} + record.length;
            total += record.length;
            unalignedStart = unalignedStart || record.address % 4 != 0;
            unalignedEnd = unalignedEnd || end % 4 != 0;
        }
        EXPECT_EQ(total, size);
        EXPECT_TRUE(unalignedStart && unalignedEnd) << size;
        EXPECT_GE(flashSizeFor(layout), end);
        EXPECT_EQ(flashSizeFor(layout) % 65536, 0u);

        const std::string path = (dir.path() / "image.sc").string();
        writeBenchImage(path, size);
        const std::vector<DataRecord> read = readDataRecords(path); // checksum tested too
        ASSERT_EQ(read.size(), layout.size());
        for (size_t i = 0; i < read.size(); ++i) {
            EXPECT_EQ(read[i].address, layout[i].address);
            EXPECT_EQ(read[i].length, layout[i].length);
        }
    }
    EXPECT_THROW(benchImageLayout(63), std::invalid_argument);
}

TEST(WireTap, CountsThePortsTrafficAtTheSpeedItRunsAt) {
    Pty pty;
    const WireTraffic start = wireTraffic();
    serInit(pty.slavePath().c_str(), 57600);
    serQueueTxBytes(sync_sequence, sync_sequence_length);
    EXPECT_EQ(pty.read(4).size(), 4u);
    pty.write({1, 2, 3}); // the test's own descriptor: not the port
    uint8_t in[3];
    RxBytes(in, 3);
    const uint8_t one = 0x05;
    serQueueTxBytes(&one, 1);
    rxBufFlush();
    serSetBaudRate(460800);
    const uint8_t ten[10] = {};
    serQueueTxBytes(ten, sizeof ten);
    EXPECT_EQ(pty.read(11).size(), 11u);
    serClose();
    const WireTraffic t = wireTraffic() - start;

    EXPECT_EQ(t.bytesOut, 15u);
    EXPECT_EQ(t.bytesIn, 3u);
    EXPECT_EQ(t.writeCalls, 3u);
    EXPECT_EQ(t.readCalls, 3u);
    EXPECT_GE(t.waitCalls, 1u);
    EXPECT_EQ(t.syncWrites, 1u);
    EXPECT_EQ(t.turnarounds, 1u); // the write after the reads
    EXPECT_EQ(t.wireNs, wireNanoseconds(4, 57600) + 3 * wireNanoseconds(1, 57600) +
                            wireNanoseconds(1, 57600) + wireNanoseconds(10, 460800));
    EXPECT_GT(turnaroundPercentileNs(0.5), 0u);
}

TEST(HeapCounter, FollowsWhatIsHeldAndItsPeak) {
    resetHeapPeak();
    const HeapFigures before = heapFigures();
    HeapFigures during;
    {
        auto block = std::make_unique<char[]>(1 << 20);
        block[0] = 1;
        during = heapFigures();
    }
    const HeapFigures after = heapFigures();
    EXPECT_GE(during.current, before.current + (1u << 20));
    EXPECT_GT(during.allocations, before.allocations);
    EXPECT_LT(after.current, during.current);
    EXPECT_GE(after.peak, during.current);
    resetHeapPeak();
    EXPECT_LT(heapFigures().peak, during.current);
}

// The threads of this process under the idle policy, and whether the others
// are all under the normal one.
std::pair<unsigned, bool> idleThreads() {
    unsigned idle = 0;
    bool othersNormal = true;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        const int policy = ::sched_getscheduler(std::stoi(task.path().filename().string()));
        if (policy == SCHED_IDLE) {
            ++idle;
        } else {
            othersNormal = othersNormal && policy == SCHED_OTHER;
        }
    }
    return {idle, othersNormal};
}

// A spinner at a normal priority would take the CPUs from the processes the
// bench measures: every one runs under the idle policy, the caller keeps its
// own, and none outlives the keeper.
TEST(AwakeCpus, SpinsOnEveryAllowedCpuUnderTheIdlePolicyAlone) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
    const auto cpus = static_cast<unsigned>(CPU_COUNT(&allowed));
    ASSERT_EQ(idleThreads().first, 0u);
    {
        AwakeCpus awake;
        ASSERT_EQ(awake.count(), cpus);
        const auto [idle, othersNormal] = idleThreads();
        EXPECT_EQ(idle, cpus);
        EXPECT_TRUE(othersNormal);
        EXPECT_EQ(::sched_getscheduler(0), SCHED_OTHER);
    }
    EXPECT_EQ(idleThreads().first, 0u);
}

TEST(MeasurementFile, KeepsEveryFigureAndRefusesWhatItCannotRead) {
    TempDir dir;
    const std::string path = (dir.path() / "result").string();
    Measurement m;
    m.failure = "SerialCommReceiveError: Serial Communication Error: receiving failed.";
    m.imageBytes = 1048576;
    m.cpuUserSeconds = 0.5;
    m.maxRssKiB = 3700;
    m.heap = {10, 2900, 153};
    m.reactionP50Ns = 2047;
    m.sim.checked = m.sim.flashMatches = m.sim.sealed = true;
    m.sim.versionWord = 0x030201;
    m.recorded = true;
    m.traceBytes = 4400000;
    m.traceWriteNs = 31000000;
    Phase p;
    p.name = "RAM bootloader program";
    p.traffic = {3085, 33, 772, 33, 2, 1, 5, 541319098};
    p.measuredNs = 562877158;
    p.waitNs = 20000000;
    m.phases = {p, p};
    m.phases[1].name = "Verifying the flash\u2026";
    writeMeasurement(path, m);

    const Measurement read = readMeasurement(path);
    EXPECT_FALSE(read.ok);
    EXPECT_EQ(read.failure, m.failure);
    EXPECT_EQ(read.imageBytes, m.imageBytes);
    EXPECT_EQ(read.maxRssKiB, 3700);
    EXPECT_EQ(read.heap.peak, 2900u);
    EXPECT_EQ(read.reactionP50Ns, 2047u);
    EXPECT_TRUE(read.sim.flashMatches && read.sim.sealed && !read.sim.ramMatches);
    EXPECT_EQ(read.sim.versionWord, 0x030201u);
    EXPECT_TRUE(read.recorded);
    EXPECT_EQ(read.traceBytes, 4400000u);
    EXPECT_EQ(read.traceWriteNs, 31000000u);
    ASSERT_EQ(read.phases.size(), 2u);
    EXPECT_EQ(read.phases[1].name, "Verifying the flash\u2026");
    const WireTraffic& t = read.phases[0].traffic;
    EXPECT_EQ(t.bytesOut, 3085u);
    EXPECT_EQ(t.turnarounds, 5u);
    EXPECT_EQ(t.wireNs, 541319098u);
    EXPECT_EQ(read.total().floorNs(), 2 * (541319098u + 20000000u));

    std::ofstream(path) << "ok 1\nphase 1 2 three\n";
    EXPECT_THROW(readMeasurement(path), std::runtime_error);
    EXPECT_THROW(readMeasurement((dir.path() / "missing").string()), std::runtime_error);
}

// Bytes of the programming and the verification of an image, both ways, as
// the protocol has them with the simulated board's 256-word blocks.
struct ImageTraffic {
    uint64_t programOut = 0, programIn = 0, verifyOut = 0, verifyIn = 0;
};
ImageTraffic expectedTraffic(const std::vector<DataRecord>& records) {
    ImageTraffic t;
    for (const DataRecord& r : records) {
        const uint64_t m = r.address % 4;
        const uint64_t words = (r.length + m) / 4 + ((r.address + r.length) % 4 != 0 ? 1 : 0);
        t.programOut += 9 + 4 * words;
        t.programIn += 1 + 8 * ((words + 255) / 256);
        t.verifyOut += 9 + r.length;
        t.verifyIn += 2;
    }
    return t;
}

class BenchRun : public ::testing::Test {
  protected:
    BenchRun() {
        writeBenchImage(image, kSize);
        options.pace = false;
        options.firmwareImage = image;
        options.ramBootloaderImage = kRamBootloader;
        options.flashSize = flashSizeFor(benchImageLayout(kSize));
    }

    static constexpr uint32_t kSize = 4099;
    TempDir dir;
    const std::string image = (dir.path() / "firmware.sc").string();
    RunOptions options;
};

TEST_F(BenchRun, AnUpdateInSequenceCountsEveryPhasesBytesAndLeavesTheImageSealed) {
    const Measurement m = measureUpdateSequence(options);
    ASSERT_TRUE(m.ok) << m.failure;
    EXPECT_TRUE(m.sim.flashMatches && m.sim.ramMatches && m.sim.sealed);
    EXPECT_EQ(m.imageBytes, kSize);
    const std::vector<std::string> names = {kPhaseReset,      kPhaseSync57600, kPhaseVersion,
                                            kPhaseRamProgram, kPhaseRamVerify, kPhaseJump,
                                            kPhaseSync460800, kPhaseUnseal,    kPhaseProgram,
                                            kPhaseVerify,     kPhaseSeal};
    ASSERT_EQ(m.phases.size(), names.size());
    for (size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(m.phases[i].name, names[i]);
    }

    const ImageTraffic firmware = expectedTraffic(benchImageLayout(kSize));
    const ImageTraffic ram = expectedTraffic(readDataRecords(kRamBootloader));
    const auto traffic = [&](const char* name) { return m.sum({name}).traffic; };
    EXPECT_EQ(traffic(kPhaseProgram).bytesOut, firmware.programOut);
    EXPECT_EQ(traffic(kPhaseProgram).bytesIn, firmware.programIn);
    EXPECT_EQ(traffic(kPhaseVerify).bytesOut, firmware.verifyOut);
    EXPECT_EQ(traffic(kPhaseVerify).bytesIn, firmware.verifyIn);
    EXPECT_EQ(traffic(kPhaseRamProgram).bytesOut, ram.programOut);
    EXPECT_EQ(traffic(kPhaseRamVerify).bytesOut, ram.verifyOut);
    EXPECT_EQ(traffic(kPhaseReset).bytes(), 2u);
    EXPECT_EQ(traffic(kPhaseSync460800).bytes(), 8u);
    EXPECT_EQ(traffic(kPhaseVersion).bytes(), 6u);
    EXPECT_EQ(traffic(kPhaseSeal).bytes(), 5u);

    // Every byte priced at its phase's speed (to a nanosecond per call).
    const WireTraffic ramProgram = traffic(kPhaseRamProgram);
    EXPECT_NEAR(static_cast<double>(ramProgram.wireNs),
                static_cast<double>(wireNanoseconds(ramProgram.bytes(), 57600)),
                static_cast<double>(ramProgram.writeCalls + ramProgram.readCalls));
    const WireTraffic program = traffic(kPhaseProgram);
    EXPECT_NEAR(static_cast<double>(program.wireNs),
                static_cast<double>(wireNanoseconds(program.bytes(), 460800)),
                static_cast<double>(program.writeCalls + program.readCalls));
    // Two synchronisations, each with its 40 ms of quiet and pauses; the
    // connection worker's pauses; the board's wait for a leading word that
    // does not come, once per record that starts on a word boundary.
    EXPECT_EQ(m.sum({kPhaseSync460800}).waitNs,
              30'000'000 + (10'000'000 - wireNanoseconds(8, 460800)));
    EXPECT_EQ(m.sum({kPhaseReset}).waitNs, 200'000'000u);
    EXPECT_EQ(m.sum({kPhaseProgram}).waitNs, 2 * 20'000'000u);
    // The update was recorded as the updater records it: at least two hex
    // digits for every byte on the wire.
    EXPECT_TRUE(m.recorded);
    EXPECT_GT(m.traceBytes, 2 * m.total().traffic.bytes());
}

TEST_F(BenchRun, TheApplicationRunHasThePlugInAndOnePhasePerCaption) {
    const auto resources = dir.path() / "resources";
    std::filesystem::create_directory(resources);
    std::filesystem::copy_file(kRamBootloader, resources / "QRB_RAM_Bootloader.sc");
    std::filesystem::copy_file(image, resources / "QRB_Firmware.sc");
    std::ofstream(resources / "QRB_Image.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
           "<key>QRB_FW_Image_Version_Major</key><integer>1</integer>\n"
           "<key>QRB_FW_Image_Version_Minor</key><integer>2</integer>\n"
           "<key>QRB_FW_Image_Version_Revision</key><integer>3</integer>\n"
           "<key>QRB_FW_Image_File_Path</key><string>QRB_Firmware.sc</string>\n"
           "<key>RAM_Bootloader_Path</key><string>QRB_RAM_Bootloader.sc</string>\n"
           "</dict>\n</plist>\n";
    options.resourceDir = resources.string();

    const Measurement m = measureApplication(options);
    ASSERT_TRUE(m.ok) << m.failure;
    ASSERT_EQ(m.phases.size(), 9u);
    EXPECT_EQ(m.phases[0].name, "plug-in to version alert");
    // Reset, one synchronisation and the version query.
    EXPECT_EQ(m.phases[0].traffic.bytes(), 16u);
    EXPECT_GE(m.phases[0].measuredNs, 500'000'000u); // the pauses alone
    EXPECT_EQ(m.phases[1].name, "Opening bootloader file\u2026");
    EXPECT_EQ(m.phases[8].name, "Sealing the flash\u2026");
    const ImageTraffic firmware = expectedTraffic(benchImageLayout(kSize));
    EXPECT_EQ(m.sum({"Programming the flash\u2026"}).traffic.bytesOut, firmware.programOut);
    EXPECT_EQ(m.sum({"Verifying the flash\u2026"}).traffic.bytesOut, firmware.verifyOut);
}

TEST(SimChild, ReportsABoardThatDoesNotHoldTheImage) {
    TempDir dir;
    const std::string image = (dir.path() / "firmware.sc").string();
    writeBenchImage(image, 4096);
    SimChildOptions options;
    options.pace = false;
    options.firmwareImage = image;
    options.ramBootloaderImage = kRamBootloader;
    SimChild board(options);
    EXPECT_FALSE(board.devicePath().empty());
    const SimVerdict verdict = board.finish();
    EXPECT_TRUE(verdict.checked);
    EXPECT_FALSE(verdict.flashMatches);
    EXPECT_FALSE(verdict.ramMatches);
    EXPECT_EQ(verdict.versionWord, options.versionWord);
}

} // namespace
