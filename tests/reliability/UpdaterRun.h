#pragma once

#include "AppTestSupport.h"
#include "BoardSimulator.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The whole updater (the real controller, serial layer and protocol on the
// test platform) against simulated boards, with small images of its own so
// that a run takes about a second.
namespace reliability {

using testing_support::TestPlatform;

// The boards start at 1.2.2, older than the images' 1.2.3: the decision
// alert's default button starts the update.
constexpr uint32_t kBoardVersion = 0x00020201;
constexpr uint32_t kImageVersion = 0x00030201;

struct DataRecord {
    uint32_t address = 0;
    std::vector<uint8_t> data;
};

// A RAM bootloader at the RAM base, and a firmware image with a record of
// several blocks, an unaligned record and a partly filled last word.
const std::vector<DataRecord>& ramBootloaderRecords();
const std::vector<DataRecord>& firmwareRecords();
// A valid image file of the records, with a type-2 record after the first.
std::vector<uint8_t> imageFile(const std::vector<DataRecord>& records);

// "Exception(7) SealingError" for an exception log line, the line itself
// for any other; the lines joined by "; ", or "no log line".
std::string logSummary(const std::vector<std::string>& lines);

class UpdaterRun : public app_tests::AppTest {
  protected:
    UpdaterRun();
    ~UpdaterRun() override;
    // After a failure: what each board logged and what the updater showed.
    void TearDown() override;

    // Replaces the image files named by the configuration.
    void useImages(const std::vector<uint8_t>& ramBootloader, const std::vector<uint8_t>& firmware);
    // A started board with kBoardVersion and these faults (simulator texts).
    qrbsim::BoardSimulator& board(const std::vector<std::string>& faults = {});
    MemoryDeviceSource::DeviceId plugIn(const qrbsim::BoardSimulator& simulated);

    // The alerts that end an update ("Firmware Update", "Firmware Update Error").
    std::vector<TestPlatform::Alert> finalAlerts() const;
    // Whether the flash holds the firmware records, sealed with the image version.
    static bool holdsTheFirmware(const qrbsim::BoardSimulator& simulated);
    // Synchronisations the board answered in its resident and its RAM bootloader.
    static std::pair<unsigned, unsigned> syncsAnswered(const qrbsim::BoardSimulator& simulated);

    // What must hold after every exit: status 0, the port closed, the
    // decision and one final alert, and a success alert only for a board that
    // holds the firmware.
    void expectCleanExit(const qrbsim::BoardSimulator& simulated);
    // Checks the one final alert: the failure alert, or the success alert.
    void expectFinalAlert(bool success);

    std::vector<std::unique_ptr<qrbsim::BoardSimulator>> boards;
};

} // namespace reliability
