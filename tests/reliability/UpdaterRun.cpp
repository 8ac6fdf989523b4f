#include "UpdaterRun.h"

#include "ImageWriter.h"
#include "Serial.h"

#include <iostream>

namespace reliability {

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + 7 * i + (i >> 3));
    }
    return bytes;
}

} // namespace

const std::vector<DataRecord>& ramBootloaderRecords() {
    static const std::vector<DataRecord> records = {
        {qrbsim::kRamBase, pattern(40, 0x31)},
        {qrbsim::kRamBase + 0x100, pattern(13, 0x90)},
    };
    return records;
}

const std::vector<DataRecord>& firmwareRecords() {
    // With 4 words per block the first record takes 4 blocks.
    static const std::vector<DataRecord> records = {
        {0x0000, pattern(64, 0x11)},
        {0x1002, pattern(7, 0x52)},
        {0x2000, pattern(33, 0xA7)},
    };
    return records;
}

std::vector<uint8_t> imageFile(const std::vector<DataRecord>& records) {
    SimpleCodeImageBuilder builder;
    for (size_t i = 0; i < records.size(); ++i) {
        builder.addDataRecord(records[i].address, records[i].data);
        if (i == 0) {
            builder.addType2Record(0x01020304, 5);
        }
    }
    builder.addEndRecord();
    return builder.bytes();
}

namespace {

// "Exception(7) SealingError" for "Exception(7): [SealingError: reason]".
std::string exceptionSummary(const std::string& line) {
    const auto colon = line.find(": [");
    if (!line.starts_with("Exception(") || colon == std::string::npos || !line.ends_with("]")) {
        return line;
    }
    const auto nameEnd = line.find(": ", colon + 3);
    if (nameEnd == std::string::npos) {
        return line;
    }
    return line.substr(0, colon) + " " + line.substr(colon + 3, nameEnd - colon - 3);
}

} // namespace

std::string logSummary(const std::vector<std::string>& lines) {
    std::string summary;
    for (const std::string& line : lines) {
        if (!summary.empty()) {
            summary += "; ";
        }
        summary += exceptionSummary(line);
    }
    return summary.empty() ? "no log line" : summary;
}

UpdaterRun::UpdaterRun() {
    writeConfiguration();
    useImages(imageFile(ramBootloaderRecords()), imageFile(firmwareRecords()));
}

UpdaterRun::~UpdaterRun() {
    // The boards go before the workers are joined: a worker still waiting
    // for one of them ends.
    for (const auto& simulated : boards) {
        simulated->unplug();
    }
}

void UpdaterRun::TearDown() {
    if (!HasFailure()) {
        return;
    }
    std::string record;
    for (std::size_t i = 0; i < boards.size(); ++i) {
        record += "board " + std::to_string(i + 1) + ":\n";
        for (const std::string& event : boards[i]->events()) {
            record += "  " + event + "\n";
        }
    }
    record += "updater:\n";
    for (const std::string& step : platform->timeline()) {
        record += "  " + step + "\n";
    }
    std::cout << record << std::flush;
}

void UpdaterRun::useImages(const std::vector<uint8_t>& ramBootloader,
                           const std::vector<uint8_t>& firmware) {
    resources.writeFile("QRB_RAM_Bootloader.sc", ramBootloader);
    resources.writeFile("QRB_Firmware.sc", firmware);
}

qrbsim::BoardSimulator& UpdaterRun::board(const std::vector<std::string>& faults) {
    qrbsim::SimulatorConfig config;
    config.versionWord = kBoardVersion;
    config.blockWords = 4;
    config.flashSize = 64 * 1024;
    config.ramSize = 64 * 1024;
    // The updater reads a leading word from the image between the
    // acknowledgement and sending it; on a loaded machine its thread may
    // wait far longer than the default 20 ms for the processor, and a late
    // word is taken for the first block's. The wait costs each programming
    // request without a leading word that long.
    config.leadingWordWait = std::chrono::milliseconds(200);
    for (const std::string& fault : faults) {
        config.faults.push_back(qrbsim::parseFault(fault));
    }
    boards.push_back(std::make_unique<qrbsim::BoardSimulator>(std::move(config)));
    boards.back()->start();
    return *boards.back();
}

MemoryDeviceSource::DeviceId UpdaterRun::plugIn(const qrbsim::BoardSimulator& simulated) {
    return attach("usbserial-QRB00042", simulated.slavePath());
}

std::vector<TestPlatform::Alert> UpdaterRun::finalAlerts() const {
    std::vector<TestPlatform::Alert> found;
    for (const auto& alert : platform->alerts()) {
        if (alert.title == "Firmware Update" || alert.title == "Firmware Update Error") {
            found.push_back(alert);
        }
    }
    return found;
}

bool UpdaterRun::holdsTheFirmware(const qrbsim::BoardSimulator& simulated) {
    if (!simulated.sealed() || simulated.versionWord() != kImageVersion) {
        return false;
    }
    for (const DataRecord& record : firmwareRecords()) {
        if (simulated.flashBytes(record.address, record.data.size()) != record.data) {
            return false;
        }
    }
    return true;
}

std::pair<unsigned, unsigned> UpdaterRun::syncsAnswered(const qrbsim::BoardSimulator& simulated) {
    unsigned resident = 0;
    unsigned ram = 0;
    bool inRam = false;
    for (const std::string& event : simulated.events()) {
        if (event == "RAM bootloader started") {
            inRam = true;
        } else if (event == "sync") {
            ++(inRam ? ram : resident);
        }
    }
    return {resident, ram};
}

void UpdaterRun::expectCleanExit(const qrbsim::BoardSimulator& simulated) {
    EXPECT_EQ(platform->exitStatus(), 0);
    EXPECT_EQ(ser_fd, -1) << "the port is still open";
    EXPECT_EQ(platform->alerts().size(), 2u) << "the decision and the final alert, nothing else";
    const auto alerts = finalAlerts();
    ASSERT_EQ(alerts.size(), 1u) << "one final alert";
    if (alerts[0].title == "Firmware Update") {
        EXPECT_TRUE(holdsTheFirmware(simulated))
            << "success reported for a board that does not hold the sealed firmware";
    }
}

void UpdaterRun::expectFinalAlert(bool success) {
    const auto alerts = finalAlerts();
    ASSERT_EQ(alerts.size(), 1u);
    using Style = ApplicationFramework::AlertStyle;
    EXPECT_EQ(alerts[0].style, success ? Style::Informational : Style::Critical);
    EXPECT_EQ(alerts[0].title, success ? "Firmware Update" : "Firmware Update Error");
    EXPECT_EQ(alerts[0].message,
              success ? "Firmware update completed successfully." : "Firmware update failed.");
    EXPECT_FALSE(alerts[0].defaultButton || alerts[0].alternateButton || alerts[0].otherButton);
}

} // namespace reliability
