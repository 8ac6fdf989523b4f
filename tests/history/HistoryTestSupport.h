#pragma once

#include "AttemptRecord.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <string>
#include <vector>

namespace testing_support {

// A record of a failed update with every column known.
inline AttemptRecord sampleRecord(const std::string& serial = "QRB00042") {
    AttemptRecord record;
    record.time = std::chrono::system_clock::now();
    record.front = AttemptFront::Station;
    record.tty = "/dev/ttyUSB0";
    record.port = "pci-0000:00:14.0-usb-0:2:1.0";
    record.serial = serial;
    record.versionRead = "1.2.2";
    record.versionCase = AttemptCase::Older;
    record.imageVersion = "1.2.3";
    record.imageSha256 = std::string(64, 'a');
    record.result = AttemptResult::Failed;
    record.error = "SealingError";
    record.reason = "Error sealing the flash (21).";
    record.step = "Sealing the flash\u2026";
    record.seconds = 11.9;
    return record;
}

// The rows of `history --json` (extra arguments appended), each parsed.
std::vector<nlohmann::ordered_json> historyJson(const std::string& path,
                                                std::vector<std::string> extra = {});

// The first column of the first row of a query on the database at path,
// opened read-only; "ERROR: <message>" when it fails.
std::string queryOne(const std::string& path, const std::string& sql);

} // namespace testing_support
