#include "Runs.h"

#include "AdapterDriver.h"
#include "AppController.h"
#include "BoardSimulator.h"
#include "Bootloader.h"
#include "FirmwareUpdaterException.h"
#include "HeadlessApplicationFramework.h"
#include "ImageFile.h"
#include "Log.h"
#include "MemoryDeviceSource.h"
#include "RecordWalk.h"
#include "Serial.h"
#include "SerialRecording.h"
#include "TraceWriter.h"
#include "UpdateSequence.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

// The board reports 1.0.0, older than any image the bench writes.
constexpr uint32_t kBoardVersion = 0x00000001;

constexpr auto kOpenPause = std::chrono::nanoseconds(kOpenPauseNs);
constexpr auto kVersionPause = std::chrono::nanoseconds(kVersionPauseNs);

// Bytes of one synchronisation attempt: the sequence and its echo.
constexpr uint64_t kSyncAttemptBytes = 8;

uint64_t ns(Clock::duration d) {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
}

uint64_t cpuNs(clockid_t clock) {
    timespec t{};
    ::clock_gettime(clock, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1'000'000'000ULL + static_cast<uint64_t>(t.tv_nsec);
}

// The time a paced board waits for a leading word that does not come: once
// for every data record that starts on a word boundary and is not empty.
uint64_t leadingWordWaitNs(const std::string& path) {
    const auto wait = qrbsim::SimulatorConfig().leadingWordWait;
    uint64_t records = 0;
    openImageFile(path.c_str());
    walkImageRecords([&](const ImageRecord& record) {
        if (record.type != 1) {
            return;
        }
        if (record.address % 4 == 0 && record.length > 0) {
            ++records;
        }
        for (uint32_t i = 0; i < record.length; ++i) {
            ReadUint(1);
        }
    });
    closeImageFile();
    return records * ns(wait);
}

uint64_t dataBytes(const std::string& path) {
    return imageDataBytes(path.c_str()).value_or(0);
}

uint64_t syncWaitNs(const WireTraffic& traffic, unsigned speed) {
    return synchronisationWaitNs(traffic.syncWrites, wireNanoseconds(kSyncAttemptBytes, speed));
}

// The peak resident set of this process image. Unlike ru_maxrss, which keeps
// the peak of the process that spawned this one across exec, it starts anew.
long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

void finishMeasurement(Measurement& m, SimChild& board, uint32_t imageVersion) {
    // First, before the bench's own bookkeeping allocates.
    m.heap = heapFigures();
    m.sim = board.finish();
    const bool boardRight = m.sim.checked && m.sim.flashMatches && m.sim.ramMatches &&
                            m.sim.sealed && m.sim.versionWord == (imageVersion & 0xFFFFFF);
    if (m.ok && !boardRight) {
        m.ok = false;
        m.failure = "the board does not hold the sealed image at the end";
    }
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    m.cpuUserSeconds = static_cast<double>(usage.ru_utime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec) / 1e6;
    m.cpuSystemSeconds = static_cast<double>(usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
    m.maxRssKiB = peakResidentKiB();
    m.reactionP50Ns = turnaroundPercentileNs(0.5);
    m.reactionP90Ns = turnaroundPercentileNs(0.9);
}

SimChildOptions boardOptions(const RunOptions& options) {
    SimChildOptions board;
    board.pace = options.pace;
    board.flashSize = options.flashSize;
    board.versionWord = kBoardVersion;
    board.firmwareImage = options.firmwareImage;
    board.ramBootloaderImage = options.ramBootloaderImage;
    board.adapter = options.adapter;
    return board;
}

// For a USB serial converter: its driver in this process, and the file of its
// latency timer that the simulated board reads. Removed with the object.
struct ConverterDriver {
    std::string dir;
    std::string latencyFile;
    explicit ConverterDriver(const RunOptions& options) {
        if (options.adapter != qrbsim::AdapterModel::Ftdi) {
            return;
        }
        char pattern[] = "/tmp/qrb-bench-driver-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        dir = pattern;
        latencyFile = dir + "/latency_timer";
        installConverterDriver(latencyFile, options.driverGrantsLowLatency);
    }
    ~ConverterDriver() {
        if (!dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
    ConverterDriver(const ConverterDriver&) = delete;
    ConverterDriver& operator=(const ConverterDriver&) = delete;
};

// Writes the serial layer's recording as a trace file, as the updater does
// after a failure: its size and the time it took.
void writeRecording(Measurement& m) {
    char pattern[] = "/tmp/qrb-bench-trace-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) {
        return;
    }
    ::close(fd);
    qrbtrace::TraceHeader header;
    header.program = "qrb-bench";
    header.imageVersion = "1.2.3";
    const Clock::time_point start = Clock::now();
    {
        std::ofstream out(pattern, std::ios::binary | std::ios::trunc);
        qrbtrace::writeTrace(out, header, ser_recording);
    }
    m.traceWriteNs = ns(Clock::now() - start);
    std::error_code error;
    m.traceBytes = std::filesystem::file_size(pattern, error);
    m.recorded = !error;
    std::filesystem::remove(pattern, error);
}

} // namespace

Measurement measureUpdateSequence(const RunOptions& options) {
    const ConverterDriver driver(options);
    SimChildOptions boardSettings = boardOptions(options);
    boardSettings.latencyTimerFile = driver.latencyFile;
    SimChild board(boardSettings);
    const std::string device = board.devicePath();
    Measurement m;
    m.imageBytes = dataBytes(options.firmwareImage);
    const uint64_t ramLeadingWaits = leadingWordWaitNs(options.ramBootloaderImage);
    const uint64_t firmwareLeadingWaits = leadingWordWaitNs(options.firmwareImage);
    resetHeapPeak();

    // Runs one phase on this thread, the only one that talks to the board.
    auto phase = [&](const char* name, const std::function<void()>& body,
                     const std::function<uint64_t(const WireTraffic&)>& waits) {
        const WireTraffic before = wireTraffic();
        const uint64_t cpuBefore = cpuNs(CLOCK_THREAD_CPUTIME_ID);
        const Clock::time_point start = Clock::now();
        body();
        Phase p;
        p.name = name;
        p.measuredNs = ns(Clock::now() - start);
        p.cpuNs = cpuNs(CLOCK_THREAD_CPUTIME_ID) - cpuBefore;
        p.traffic = wireTraffic() - before;
        p.waitNs = waits(p.traffic);
        m.phases.push_back(p);
    };
    auto fixed = [](uint64_t waitNs) { return [waitNs](const WireTraffic&) { return waitNs; }; };

    // The update sequence's phases, each from the observer's mark where it
    // starts to the next mark.
    struct Phases : UpdateObserver {
        std::function<void(const char*)> begin;
        void stepStarted(const UpdateStepStart& start) override {
            switch (start.step) {
            case UpdateStep::OpeningBootloader:
                begin(kPhaseRamProgram);
                break;
            case UpdateStep::VerifyingBootloader:
                begin(kPhaseRamVerify);
                break;
            case UpdateStep::OpeningFirmware:
                begin(kPhaseUnseal);
                break;
            case UpdateStep::Programming:
                begin(kPhaseProgram);
                break;
            case UpdateStep::VerifyingFlash:
                begin(kPhaseVerify);
                break;
            case UpdateStep::Sealing:
                begin(kPhaseSeal);
                break;
            default:
                break;
            }
        }
        void jumpStarted() override { begin(kPhaseJump); }
        void ramBootloaderSynchronisationStarted() override { begin(kPhaseSync460800); }
    } sequencePhases;
    struct Open {
        const char* name = nullptr;
        WireTraffic traffic;
        uint64_t cpu = 0;
        Clock::time_point start;
    } open;
    const auto waitsOf = [&](const std::string& name, const WireTraffic& t) -> uint64_t {
        if (name == kPhaseRamProgram) {
            return ramLeadingWaits;
        }
        if (name == kPhaseProgram) {
            return firmwareLeadingWaits;
        }
        return name == kPhaseSync460800 ? syncWaitNs(t, kRamBootloaderBaudRate) : 0;
    };
    const auto endPhase = [&] {
        if (open.name == nullptr) {
            return;
        }
        Phase p;
        p.name = open.name;
        p.measuredNs = ns(Clock::now() - open.start);
        p.cpuNs = cpuNs(CLOCK_THREAD_CPUTIME_ID) - open.cpu;
        p.traffic = wireTraffic() - open.traffic;
        p.waitNs = waitsOf(p.name, p.traffic);
        m.phases.push_back(p);
        open.name = nullptr;
    };
    sequencePhases.begin = [&](const char* name) {
        endPhase();
        open.name = name;
        open.traffic = wireTraffic();
        open.cpu = cpuNs(CLOCK_THREAD_CPUTIME_ID);
        open.start = Clock::now();
    };

    if (options.record) {
        ser_recording.start();
    }
    try {
        phase(
            kPhaseReset,
            [&] {
                serInit(device.c_str(), kFirmwareBaudRate);
                std::this_thread::sleep_for(kOpenPause);
                resetConnectedQRBBoard();
                serClose();
            },
            fixed(ns(kOpenPause)));
        phase(
            kPhaseSync57600,
            [&] {
                serInit(device.c_str(), kBootloaderBaudRate);
                std::this_thread::sleep_for(kOpenPause);
                waitForConnection();
            },
            [](const WireTraffic& t) {
                return ns(kOpenPause) + syncWaitNs(t, kBootloaderBaudRate);
            });
        phase(
            kPhaseVersion,
            [&] {
                getFirmwareVersion();
                std::this_thread::sleep_for(kVersionPause);
            },
            fixed(ns(kVersionPause)));
        std::atomic<uint64_t> dataBytesSent{0};
        runUpdateSequence({options.ramBootloaderImage, options.firmwareImage, options.imageVersion},
                          sequencePhases, dataBytesSent);
        endPhase();
        m.ok = true;
    } catch (const FirmwareUpdaterException& e) {
        m.failure = e.what();
    }
    closeImageFile();
    serClose();
    if (options.record) {
        ser_recording.stop();
        writeRecording(m);
    }
    // Through a converter the last open's request must have had the answer
    // this run is about.
    if (m.ok && options.adapter == qrbsim::AdapterModel::Ftdi) {
        const LowLatency expected =
            options.driverGrantsLowLatency ? LowLatency::Granted : LowLatency::Refused;
        if (ser_low_latency.result != expected) {
            m.ok = false;
            m.failure = "the updater's request for low latency did not get the driver's answer";
        }
    }
    finishMeasurement(m, board, options.imageVersion);
    return m;
}

Measurement measureApplication(const RunOptions& options) {
    SimChild board(boardOptions(options));
    Measurement m;
    m.imageBytes = dataBytes(options.firmwareImage);
    const uint64_t ramLeadingWaits = leadingWordWaitNs(options.ramBootloaderImage);
    const uint64_t firmwareLeadingWaits = leadingWordWaitNs(options.firmwareImage);

    struct Mark {
        std::string name;
        Clock::time_point time;
        WireTraffic traffic;
        uint64_t cpu = 0;
    };
    std::vector<Mark> marks; // main thread only
    auto mark = [&marks](std::string name) {
        marks.push_back(
            {std::move(name), Clock::now(), wireTraffic(), cpuNs(CLOCK_PROCESS_CPUTIME_ID)});
    };

    auto devices = std::make_shared<MemoryDeviceSource>();
    setDefaultDeviceSource(devices);
    std::vector<HeadlessApplicationFramework::Alert> alerts;
    std::optional<int> status;
    // The updater's log lines would go to the journal and standard error
    // during the measurement; the bench reads the alerts instead.
    const LogSink previousSink = setLogSink([](const std::string&) {});
    {
        HeadlessApplicationFramework platform(options.resourceDir);
        std::shared_ptr<AppController> controller = AppController::create(platform);
        platform.setShouldTerminateAfterLastWindowClosed([&controller] {
            return controller->applicationShouldTerminateAfterLastWindowClosed();
        });
        platform.onCaption([&](const HeadlessApplicationFramework::Caption& caption) {
            if (caption.field == outlet::progressCaption) {
                mark(caption.value);
            }
        });
        // Both alerts are answered with their default button the moment they
        // show: "Update Firmware", then the final alert's.
        for (int i = 0; i < 2; ++i) {
            platform.queueAlertAnswer([&mark](const HeadlessApplicationFramework::Alert& alert) {
                mark("alert " + alert.title.value_or(""));
                return std::optional<int>(1);
            });
        }

        controller->awakeFromNib();
        const bool notifying =
            platform.runUntil([&] { return devices->livePorts() == 1; }, std::chrono::seconds(5));
        resetHeapPeak();
        if (notifying) {
            mark("plug-in");
            PropertyDictionary properties{
                {"IOProviderClass", std::string("IOSerialBSDClient")},
                {"IOSerialBSDClientType", std::string("IORS232SerialStream")},
                {"IOTTYBaseName", std::string("usbserial-QRB00042")},
                {"IOCalloutDevice", board.devicePath()}};
            devices->addDevice(std::move(properties));
            const auto limit =
                std::chrono::seconds(120) + std::chrono::microseconds(60 * m.imageBytes);
            status =
                platform.runUntilExit(std::chrono::duration_cast<std::chrono::milliseconds>(limit));
        }
        alerts = platform.alerts();
        controller->invalidate();
        platform.shutdown();
        platform.joinWorkers(std::chrono::seconds(20));
    }
    setLogSink(previousSink);
    setDefaultDeviceSource(nullptr);

    // Phases between the marks: plug-in to the version alert, then each
    // caption to the next and the last to the final alert.
    for (size_t i = 0; i + 1 < marks.size(); ++i) {
        const Mark& from = marks[i];
        const Mark& to = marks[i + 1];
        if (from.name.starts_with("alert ") && i == 1) {
            continue; // the decision: answered at once, not part of either
        }
        if (from.name.starts_with("alert ")) {
            break;
        }
        Phase p;
        p.name = from.name == "plug-in" ? std::string("plug-in to version alert") : from.name;
        p.measuredNs = ns(to.time - from.time);
        p.cpuNs = to.cpu - from.cpu;
        p.traffic = to.traffic - from.traffic;
        if (from.name == "plug-in") {
            p.waitNs = kPlugInPausesNs + syncWaitNs(p.traffic, kBootloaderBaudRate);
        } else if (from.name.starts_with("Downloading")) {
            p.waitNs = ramLeadingWaits;
        } else if (from.name.starts_with("Verifying the bootloader")) {
            p.waitNs = syncWaitNs(p.traffic, kRamBootloaderBaudRate);
        } else if (from.name.starts_with("Programming")) {
            p.waitNs = firmwareLeadingWaits;
        }
        m.phases.push_back(p);
    }

    const bool finalAlert = alerts.size() == 2 && alerts[1].title == "Firmware Update";
    m.ok = status == 0 && finalAlert && m.phases.size() == 9;
    if (!m.ok) {
        m.failure = "the application did not end with \"Firmware Update\"";
        if (!alerts.empty()) {
            m.failure += " (last alert: \"" + alerts.back().title.value_or("") + "\")";
        }
    }
    finishMeasurement(m, board, options.imageVersion);
    return m;
}

} // namespace bench
