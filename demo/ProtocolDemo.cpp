// qrb-protocol-demo: takes a simulated QRB board through a whole firmware update
// with the updater's own protocol code, step by step, and checks the result.
//
//   qrb-protocol-demo RESOURCE_DIR
//
// RESOURCE_DIR holds QRB_Image.plist and the two images it names.

#include "BoardSimulator.h"
#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "RecordWalk.h"
#include "Serial.h"
#include "UpdateConfiguration.h"
#include "UpdateProgress.h"
#include "UpdateCaptions.h"
#include "UpdateSequence.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

std::string versionText(uint32_t word) {
    if (word == 0xFFFFFFFF) {
        return "none";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u", word & 0xFF, (word >> 8) & 0xFF,
                  (word >> 16) & 0xFF);
    return text;
}

// The data records of an image file, read with the updater's reader.
std::vector<std::pair<uint32_t, std::vector<uint8_t>>> dataRecords(const std::string& path) {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> records;
    openImageFile(path.c_str());
    walkImageRecords([&](const ImageRecord& record) {
        if (record.type != 1) {
            return;
        }
        std::vector<uint8_t> data(record.length);
        for (auto& byte : data) {
            byte = static_cast<uint8_t>(ReadUint(1));
        }
        records.emplace_back(record.address, std::move(data));
    });
    closeImageFile();
    return records;
}

// Prints each step of the update sequence as it starts, and for the steps
// that send data a progress line once they are done.
class StepPrinter : public UpdateObserver {
  public:
    explicit StepPrinter(const std::atomic<uint64_t>& dataBytesSent)
        : dataBytesSent_(dataBytesSent) {}

    void stepStarted(const UpdateStepStart& start) override {
        start_ = start;
        started_ = std::chrono::steady_clock::now();
        say("%zu. %s", static_cast<size_t>(start.step) + 4, updateStepCaption(start.step));
    }
    void stepFinished(UpdateStep step) override {
        if (!updateStepSendsData(step)) {
            return;
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
        const uint64_t done = dataBytesSent_.load() - start_.dataBytesBefore;
        say("        %s in %.2f s",
            formatProgressDetail(done, start_.dataTotal.value_or(done), std::nullopt).c_str(),
            seconds);
    }
    void jumpStarted() override {
        say("        jump to the RAM bootloader at 0x%x", kRamBootloaderAddress);
    }
    void ramBootloaderSynchronisationStarted() override {
        say("        switch the line to 460800 baud and synchronise with the RAM bootloader");
    }

  private:
    const std::atomic<uint64_t>& dataBytesSent_;
    UpdateStepStart start_;
    std::chrono::steady_clock::time_point started_;
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: qrb-protocol-demo RESOURCE_DIR\n");
        return 2;
    }
    const std::optional<UpdateConfiguration> configuration = readUpdateConfiguration(argv[1]);
    if (!configuration) {
        say("cannot read the update configuration %s", updateConfigurationPath(argv[1]).c_str());
        return 1;
    }
    const UpdateConfiguration& update = *configuration;

    qrbsim::SimulatorConfig config;
    config.versionWord = 0x00000001; // the factory firmware, 1.0.0
    config.onEvent = [](const std::string& event) {
        std::printf("        board: %s\n", event.c_str());
        std::fflush(stdout);
    };
    qrbsim::BoardSimulator board(config);
    board.start();
    say("Simulated QRB board on %s, running firmware %s.", board.slavePath().c_str(),
        versionText(config.versionWord).c_str());
    say("Image version %s (seal word 0x%06x).", versionText(update.version).c_str(),
        update.version);

    const auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); };
    try {
        say("1. Open the line at 115200 baud and send the reset sequence.");
        serInit(board.slavePath().c_str(), kFirmwareBaudRate);
        pause();
        resetConnectedQRBBoard();
        serClose();
        say("2. Reopen the line at 57600 baud and synchronise with the resident bootloader.");
        serInit(nullptr, kBootloaderBaudRate);
        pause();
        waitForConnection();
        const uint32_t before = getFirmwareVersion();
        say("3. Version query: the board runs firmware %s (0x%08x).", versionText(before).c_str(),
            before);

        say("The update: RAM bootloader %s, firmware image %s, seal word 0x%06x.",
            update.ramBootloaderPath.c_str(), update.imagePath.c_str(), update.version);
        std::atomic<uint64_t> dataBytesSent{0};
        StepPrinter steps(dataBytesSent);
        runUpdateSequence({update.ramBootloaderPath, update.imagePath, update.version}, steps,
                          dataBytesSent);
        closeImageFile();
        serClose();
    } catch (const FirmwareUpdaterException& e) {
        closeImageFile();
        serClose();
        board.stop();
        say("FAILED: %s", e.what());
        return 1;
    }
    board.stop();

    bool ok = board.sealed() && board.versionWord() == update.version;
    size_t bytes = 0;
    try {
        for (const auto& [address, data] : dataRecords(update.imagePath)) {
            bytes += data.size();
            ok = board.memory(address, data.size()) == data && ok;
        }
    } catch (const std::exception& e) {
        say("cannot compare the flash with the image: %s", e.what());
        ok = false;
    }
    say("Board: %s, flash %s, version %s; %llu bytes programmed in RAM, %llu in flash.",
        qrbsim::boardStateName(board.state()), board.sealed() ? "sealed" : "not sealed",
        versionText(board.versionWord()).c_str(),
        static_cast<unsigned long long>(board.bytesProgrammedRam()),
        static_cast<unsigned long long>(board.bytesProgrammedFlash()));
    say("The flash %s the %zu data bytes of the firmware image.", ok ? "holds" : "does NOT hold",
        bytes);
    say("%s", ok ? "Update complete." : "Update FAILED.");
    return ok ? 0 : 1;
}
