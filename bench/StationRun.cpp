#include "StationRun.h"

#include "BenchImage.h"
#include "DeviceSource.h"
#include "MemoryDeviceSource.h"
#include "SimChild.h"
#include "StationCommand.h"

#include <nlohmann/json.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace bench {

namespace {

double cpuSeconds(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

StationFigures measureStation(const StationRunOptions& options) {
    StationFigures figures;
    figures.boards = options.boards;
    std::vector<std::unique_ptr<SimChild>> boards;
    SimChildOptions board;
    board.pace = true;
    board.flashSize = options.flashSize;
    board.versionWord = 0x00020201; // older than the image's 1.2.3
    board.firmwareImage = options.firmwareImage;
    board.ramBootloaderImage = options.ramBootloaderImage;
    for (unsigned i = 0; i < options.boards; ++i) {
        boards.push_back(std::make_unique<SimChild>(board));
    }

    // The configuration: version 1.2.3 and the two images beside it.
    char pattern[] = "/tmp/qrb-bench-station-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    if (dir == nullptr) {
        figures.failure = "mkdtemp failed";
        return figures;
    }
    const std::filesystem::path plist = std::filesystem::path(dir) / "QRB_Image.plist";
    std::filesystem::create_symlink(std::filesystem::absolute(options.firmwareImage),
                                    std::filesystem::path(dir) / "QRB_Firmware.sc");
    std::filesystem::create_symlink(std::filesystem::absolute(options.ramBootloaderImage),
                                    std::filesystem::path(dir) / "QRB_RAM_Bootloader.sc");
    writeBenchConfiguration(plist.string());

    // No device registry: the boards are the ttys named.
    setDefaultDeviceSource(std::make_shared<MemoryDeviceSource>());
    std::vector<std::string> args{"--json", "--config", plist.string()};
    for (const auto& simulated : boards) {
        args.push_back("--port");
        args.push_back(simulated->devicePath());
    }
    std::ostringstream out;
    rusage selfBefore{};
    ::getrusage(RUSAGE_SELF, &selfBefore);
    const auto started = std::chrono::steady_clock::now();
    const int code = runStationCommand(args, plist.string(), out, std::cerr);
    figures.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    rusage self{};
    rusage children{};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children); // the board processes, reaped by the station
    figures.parentCpuSeconds = cpuSeconds(self) - cpuSeconds(selfBefore);
    figures.childrenCpuSeconds = cpuSeconds(children);
    figures.childPeakRssKiB = children.ru_maxrss;
    std::filesystem::remove_all(dir);
    setDefaultDeviceSource(nullptr);

    std::string firstFailure;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_discarded() || event.value("event", "") != "result") {
            continue;
        }
        if (event.value("result", "") == "updated") {
            ++figures.updated;
        } else if (firstFailure.empty()) {
            firstFailure = event.value("result", "") + " at \"" + event.value("step", "") +
                           "\": " + event.value("error", "") + ": " + event.value("reason", "");
        }
    }
    for (const auto& simulated : boards) {
        const SimVerdict verdict = simulated->finish();
        if (verdict.checked && verdict.flashMatches && verdict.sealed) {
            ++figures.verified;
        }
    }
    figures.ok =
        code == 0 && figures.updated == options.boards && figures.verified == options.boards;
    if (!figures.ok) {
        figures.failure = "exit code " + std::to_string(code) + ", " +
                          std::to_string(figures.updated) + " updated, " +
                          std::to_string(figures.verified) + " hold the image" +
                          (firstFailure.empty() ? "" : "; first: " + firstFailure);
    }
    return figures;
}

void writeStationFigures(const std::string& path, const StationFigures& figures) {
    nlohmann::json object{{"ok", figures.ok},
                          {"failure", figures.failure},
                          {"boards", figures.boards},
                          {"updated", figures.updated},
                          {"verified", figures.verified},
                          {"wall", figures.wallSeconds},
                          {"parentCpu", figures.parentCpuSeconds},
                          {"childrenCpu", figures.childrenCpuSeconds},
                          {"childPeakRss", figures.childPeakRssKiB}};
    std::ofstream(path) << object.dump() << '\n';
}

StationFigures readStationFigures(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error("no figures in " + path);
    }
    const nlohmann::json object = nlohmann::json::parse(file, nullptr, false);
    if (object.is_discarded() || !object.is_object()) {
        throw std::runtime_error("malformed figures in " + path);
    }
    StationFigures figures;
    figures.ok = object.value("ok", false);
    figures.failure = object.value("failure", "");
    figures.boards = object.value("boards", 0u);
    figures.updated = object.value("updated", 0u);
    figures.verified = object.value("verified", 0u);
    figures.wallSeconds = object.value("wall", 0.0);
    figures.parentCpuSeconds = object.value("parentCpu", 0.0);
    figures.childrenCpuSeconds = object.value("childrenCpu", 0.0);
    figures.childPeakRssKiB = object.value("childPeakRss", 0L);
    return figures;
}

} // namespace bench
