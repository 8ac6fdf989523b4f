// The serial layer's recorder on a real pseudo-terminal, the trace file
// written from it and read back, the reader's refusals, the traces directory
// and the readable form of `trace show`.

#include "FirmwareUpdaterException.h"
#include "Pty.h"
#include "Serial.h"
#include "SerialRecording.h"
#include "TempDir.h"
#include "TraceFiles.h"
#include "TraceShow.h"
#include "TraceWriter.h"

#include <gmock/gmock.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace {

using namespace qrbtrace;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

std::vector<TraceEventKind> kinds(const Trace& trace) {
    std::vector<TraceEventKind> found;
    for (const TraceEvent& event : trace.events) {
        found.push_back(event.kind);
    }
    return found;
}

TraceHeader sampleHeader() {
    TraceHeader header;
    header.program = "qrb-updater";
    header.programVersion = "1.0.0";
    header.started = "2026-12-08T12:41:35.000000Z";
    header.board = "QRB00042";
    header.tty = "/dev/ttyUSB0";
    header.imageVersion = "1.2.3";
    header.imageSha256 = std::string(64, 'a');
    header.failure =
        TraceFailure{"SealingError", "Sealing the flash\u2026", "Error sealing the flash (21)."};
    return header;
}

TraceEvent burst(TraceEventKind kind, uint64_t us, std::vector<uint8_t> bytes, uint32_t speed) {
    TraceEvent event;
    event.kind = kind;
    event.timeUs = us;
    event.speed = speed;
    event.bytes = std::move(bytes);
    return event;
}

TraceEvent plain(TraceEventKind kind, uint64_t us, std::string text = {}) {
    TraceEvent event;
    event.kind = kind;
    event.timeUs = us;
    event.text = std::move(text);
    return event;
}

// The end of an update whose seal the board refused, after the version
// query, an unseal and a programming command of two blocks.
Trace sealRefused() {
    using K = TraceEventKind;
    Trace trace;
    trace.header = sampleHeader();
    TraceEvent open = plain(K::Open, 0, "/dev/ttyUSB0");
    open.speed = 57600;
    trace.events.push_back(open);
    trace.events.push_back(burst(K::HostToBoard, 1000, {0x05}, 57600));
    trace.events.push_back(burst(K::BoardToHost, 2000, {0x02, 0x02, 0x01, 0x00, 0x05}, 57600));
    trace.events.push_back(plain(K::Step, 3000, "Unsealing the flash\u2026"));
    trace.events.push_back(burst(K::HostToBoard, 4000, {0x01}, 460800));
    trace.events.push_back(burst(K::BoardToHost, 4100, {0x01}, 460800));
    trace.events.push_back(plain(K::Step, 5000, "Programming the flash\u2026"));
    trace.events.push_back(burst(K::HostToBoard, 5100, {0x02, 0, 0, 0x10, 0, 0, 0, 0, 2}, 460800));
    trace.events.push_back(burst(K::BoardToHost, 5200, {0x02, 0, 0, 0, 1}, 460800));
    trace.events.push_back(burst(K::HostToBoard, 5300, {0x11, 0x22, 0x33, 0x44}, 460800));
    trace.events.push_back(
        burst(K::BoardToHost, 5400, {0x11, 0x22, 0x33, 0x44, 0, 0, 0, 1}, 460800));
    trace.events.push_back(burst(K::HostToBoard, 5500, {0x55, 0x66, 0x77, 0xFF}, 460800));
    trace.events.push_back(burst(K::BoardToHost, 5600, {0x55, 0x66, 0x77, 0xFF}, 460800));
    trace.events.push_back(plain(K::Step, 6000, "Sealing the flash\u2026"));
    trace.events.push_back(burst(K::HostToBoard, 6100, {0x04, 1, 2, 3}, 460800));
    trace.events.push_back(burst(K::BoardToHost, 6500, {0x15}, 460800));
    trace.events.push_back(plain(K::Close, 7000));
    return trace;
}

std::string written(const Trace& trace) {
    std::ostringstream out;
    writeTrace(out, trace);
    return out.str();
}

Trace read(const std::string& text) {
    std::istringstream in(text);
    return readTrace(in);
}

// --- The recorder ---------------------------------------------------------------

TEST(SerialRecording, KeepsTheExchangeOnARealLineAsBurstsAndEvents) {
    testing_support::Pty pty;
    ser_recording.start();
    serInit(pty.slavePath().c_str(), 57600);
    const uint8_t request[] = {0x02, 0x00, 0x00, 0x10, 0x00};
    serQueueTxBytes(request, 1);
    serQueueTxBytes(request + 1, 4); // the same burst: nothing came between
    pty.read(5);
    pty.write({0x02, 0x00});
    EXPECT_EQ(rxByte(), 0x02);
    EXPECT_EQ(rxByte(), 0x00);
    bool timedOut = false;
    rxByteWithTimeout(0, 20000, &timedOut);
    EXPECT_TRUE(timedOut);
    serSetBaudRate(460800);
    const uint8_t seal[] = {0x04, 1, 2, 3};
    serQueueTxBytes(seal, sizeof seal);
    pty.read(4);
    pty.closeMaster();
    EXPECT_THROW(rxByte(), SerialException);
    serClose();
    ser_recording.stop();

    std::ostringstream out;
    writeTrace(out, sampleHeader(), ser_recording);
    const Trace trace = read(out.str());
    using K = TraceEventKind;
    std::vector<K> found = kinds(trace);
    // A pty has no modem lines to report; a real adapter adds them after the open.
    std::erase(found, K::ModemLines);
    EXPECT_THAT(found, ElementsAre(K::Open, K::HostToBoard, K::BoardToHost, K::Timeout, K::Speed,
                                   K::HostToBoard, K::ReadFailed, K::Close));
    EXPECT_EQ(trace.events[0].text, pty.slavePath());
    EXPECT_EQ(trace.events[0].speed, 57600u);
    const auto bursts = [&](K kind) {
        std::vector<TraceEvent> all;
        for (const TraceEvent& e : trace.events) {
            if (e.kind == kind) {
                all.push_back(e);
            }
        }
        return all;
    };
    const auto sent = bursts(K::HostToBoard);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].bytes, std::vector<uint8_t>(request, request + 5));
    EXPECT_EQ(sent[0].speed, 57600u);
    EXPECT_EQ(sent[1].bytes, std::vector<uint8_t>(seal, seal + 4));
    EXPECT_EQ(sent[1].speed, 460800u);
    EXPECT_EQ(bursts(K::BoardToHost)[0].bytes, (std::vector<uint8_t>{0x02, 0x00}));
    EXPECT_GE(bursts(K::Timeout)[0].durationUs, 20000u);
    // The line went away: a read at end of file, or one that failed.
    EXPECT_TRUE(bursts(K::ReadFailed)[0].value == 0 || bursts(K::ReadFailed)[0].value == EIO);
    for (size_t i = 1; i < trace.events.size(); ++i) {
        EXPECT_GE(trace.events[i].timeUs, trace.events[i - 1].timeUs);
    }
}

// The reads against a deadline keep what they read, and a deadline that
// passes is a time-out in the recording before it is an exception.
TEST(SerialRecording, KeepsTheReadsAndTheTimeOutsOfDeadlines) {
    testing_support::Pty pty;
    ser_recording.start();
    serInit(pty.slavePath().c_str(), 57600);
    pty.write({0x05, 0x01, 0x02});
    EXPECT_EQ(rxByteBy(serDeadlineIn(std::chrono::seconds(5))), 0x05);
    uint8_t two[2] = {};
    RxBytesBy(two, 2, serDeadlineIn(std::chrono::seconds(5)));
    const auto timesOut = [](auto read) {
        try {
            read();
        } catch (const SerialException& exception) {
            return exception.kind() == SerialFailure::Timeout;
        }
        return false;
    };
    EXPECT_TRUE(timesOut([] { rxByteBy(serDeadlineIn(std::chrono::milliseconds(20))); }));
    EXPECT_TRUE(timesOut([] { rxBufFlushBy(serDeadlineIn(std::chrono::milliseconds(5))); }));
    serClose();
    ser_recording.stop();

    std::ostringstream out;
    writeTrace(out, sampleHeader(), ser_recording);
    const Trace trace = read(out.str());
    using K = TraceEventKind;
    std::vector<K> found = kinds(trace);
    std::erase(found, K::ModemLines);
    EXPECT_THAT(found, ElementsAre(K::Open, K::BoardToHost, K::Timeout, K::Timeout, K::Close));
    for (const TraceEvent& event : trace.events) {
        if (event.kind == K::BoardToHost) {
            EXPECT_EQ(event.bytes, (std::vector<uint8_t>{0x05, 0x01, 0x02}));
        }
    }
}

TEST(SerialRecording, RecordsAFailedOpenAndNothingWhileStopped) {
    ser_recording.start();
    EXPECT_THROW(serInit("/nonexistent/tty", 57600), SerialException);
    ser_recording.stop();
    EXPECT_THROW(serInit("/nonexistent/other", 57600), SerialException);
    ASSERT_EQ(ser_recording.eventCount(), 1u);
    const SerialEvent event = ser_recording.event(0);
    EXPECT_EQ(event.kind, SerialEventKind::OpenFailed);
    EXPECT_EQ(event.value, ENOENT);
    EXPECT_EQ(ser_recording.text(event), "/nonexistent/tty");
}

TEST(SerialRecording, ABurstLongerThanAChunkComesBackWhole) {
    ser_recording.start();
    std::vector<uint8_t> bytes(3 * 1024 * 1024 + 17);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 31 + (i >> 11));
    }
    ser_recording.sent(bytes.data(), 1000);
    ser_recording.sent(bytes.data() + 1000, bytes.size() - 1000);
    ser_recording.received(0x42);
    ser_recording.stop();
    ASSERT_EQ(ser_recording.eventCount(), 2u);
    EXPECT_EQ(ser_recording.bytes(ser_recording.event(0)), bytes);
    EXPECT_EQ(ser_recording.bytes(ser_recording.event(1)), std::vector<uint8_t>{0x42});
}

// A port that keeps failing to open (a desktop waiting for a busy tty) adds
// events and few bytes: the recording stops at its bound of events, and the
// next attempt records afresh.
TEST(SerialRecording, IsBoundedInEventsAndStartsAfreshWithEachAttempt) {
    SerialRecording recording;
    recording.start();
    for (size_t i = 0; i < SerialRecording::kMaxRecordedEvents + 10; ++i) {
        recording.openFailed("/dev/ttyUSB0", EBUSY);
    }
    ASSERT_EQ(recording.eventCount(), SerialRecording::kMaxRecordedEvents);
    EXPECT_EQ(recording.event(recording.eventCount() - 1).kind, SerialEventKind::Overflow);
    EXPECT_EQ(recording.event(recording.eventCount() - 2).kind, SerialEventKind::OpenFailed);
    recording.start();
    recording.closed();
    ASSERT_EQ(recording.eventCount(), 1u);
    EXPECT_EQ(recording.event(0).kind, SerialEventKind::Close);
}

// --- The file ---------------------------------------------------------------------

TEST(TraceFile, ReadsBackWhatWasWritten) {
    Trace trace = sealRefused();
    TraceEvent lines = plain(TraceEventKind::ModemLines, 100);
    lines.value = 0x006;
    trace.events.insert(trace.events.begin() + 1, lines);
    TraceEvent timeout = plain(TraceEventKind::Timeout, 7000);
    timeout.durationUs = 5000000;
    trace.events.push_back(timeout);
    TraceEvent write = plain(TraceEventKind::WriteFailed, 12000001);
    write.value = -1;
    write.written = 3;
    trace.events.push_back(write);
    // A burst over several lines.
    std::vector<uint8_t> many(200);
    for (size_t i = 0; i < many.size(); ++i) {
        many[i] = static_cast<uint8_t>(i);
    }
    trace.events.push_back(burst(TraceEventKind::HostToBoard, 13000000, many, 460800));
    const std::string text = written(trace);
    const Trace back = read(text);
    EXPECT_EQ(back.header, trace.header);
    EXPECT_EQ(back.events, trace.events);

    Trace succeeded = trace;
    succeeded.header.failure.reset();
    EXPECT_EQ(read(written(succeeded)).header, succeeded.header);
}

TEST(TraceFile, IsRefusedWhenCutShortAnywhereOrGarbledNamingTheLine) {
    const std::string text = written(sealRefused());
    // Cut at every byte: never accepted, never anything but a format error.
    for (size_t cut = 0; cut < text.size(); ++cut) {
        EXPECT_THROW(read(text.substr(0, cut)), TraceFormatError) << "cut at " << cut;
    }
    // Cut after a whole line: the line named is the one that is missing.
    const size_t afterLine3 = text.find('\n', text.find('\n', text.find('\n') + 1) + 1) + 1;
    try {
        read(text.substr(0, afterLine3));
        FAIL() << "accepted";
    } catch (const TraceFormatError& e) {
        EXPECT_EQ(e.line(), 4u);
        EXPECT_THAT(e.what(), HasSubstr("cut short"));
    }
    // A missing line in the middle: the totals at the end no longer match.
    std::vector<std::string> lines;
    std::istringstream split(text);
    for (std::string line; std::getline(split, line);) {
        lines.push_back(line);
    }
    const auto joined = [](const std::vector<std::string>& all) {
        std::string out;
        for (const auto& line : all) {
            out += line + "\n";
        }
        return out;
    };
    const auto refusedAt = [&](const std::vector<std::string>& all) -> size_t {
        try {
            read(joined(all));
        } catch (const TraceFormatError& e) {
            return e.line();
        }
        return 0;
    };
    // Line 18 holds the programming request "> 460800 9 ...".
    ASSERT_THAT(lines[17], HasSubstr("> 460800 9 0 020000100000000002"));
    std::vector<std::string> garbled = lines;
    garbled[17].replace(garbled[17].size() - 2, 1, "x");
    EXPECT_EQ(refusedAt(garbled), 18u);
    garbled = lines;
    garbled[17] = garbled[17].substr(0, garbled[17].size() - 2);
    EXPECT_EQ(refusedAt(garbled), 18u) << "a byte short";
    garbled = lines;
    garbled[17].replace(garbled[17].find('>'), 1, "?");
    EXPECT_EQ(refusedAt(garbled), 18u) << "an unknown event";
    garbled = lines;
    garbled.erase(garbled.begin() + 17);
    EXPECT_EQ(refusedAt(garbled), garbled.size()) << "a line missing: the last line says so";
    garbled = lines;
    garbled[0] = "qrb-trace 9";
    EXPECT_EQ(refusedAt(garbled), 1u);
    garbled = lines;
    garbled.push_back("more");
    EXPECT_EQ(refusedAt(garbled), lines.size() + 1);
}

// --- Where traces are kept ------------------------------------------------------------

TEST(TraceFiles, NameDirectoryAndRetention) {
    const auto time =
        std::chrono::system_clock::from_time_t(1796733695) + std::chrono::milliseconds(7);
    EXPECT_EQ(traceFileName(time, "QRB00042"), "20261208T124135.007Z-QRB00042.qrbtrace");
    EXPECT_EQ(traceFileName(time, "../x y"), "20261208T124135.007Z-___x_y.qrbtrace");
    EXPECT_EQ(traceFileName(time, ""), "20261208T124135.007Z-unknown.qrbtrace");

    ::setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(defaultTraceDirectory(), fs::path("/state/qrb-updater/traces"));
    ::setenv("XDG_STATE_HOME", "", 1);
    ::setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(defaultTraceDirectory(), fs::path("/home/someone/.local/state/qrb-updater/traces"));

    // 103 traces, one a day back from now, and a file of another kind.
    testing_support::TempDir dir;
    const auto now = std::chrono::system_clock::now();
    const auto fileNow = fs::file_time_type::clock::now();
    for (int day = 0; day < 103; ++day) {
        const fs::path path = dir.path() / ("trace-" + std::to_string(day) + kTraceExtension);
        std::ofstream(path) << "x";
        fs::last_write_time(path, fileNow - std::chrono::hours(24 * day + 1));
    }
    std::ofstream(dir.path() / "notes.txt") << "kept";
    fs::last_write_time(dir.path() / "notes.txt", fileNow - std::chrono::hours(24 * 400));
    // Older than 30 days: days 30 to 102 go; then at most 3 of the rest stay.
    EXPECT_EQ(pruneTraces(dir.path(), now, kTraceMaxAge, 3), 100u);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_THAT(
        left, ElementsAre("notes.txt", "trace-0.qrbtrace", "trace-1.qrbtrace", "trace-2.qrbtrace"));
}

TEST(TraceFiles, SaveWritesAWholeTraceAndKeepsAtMostAHundred) {
    testing_support::TempDir dir;
    const fs::path traces = dir.path() / "state" / "traces";
    ser_recording.start();
    ser_recording.mark("Sealing the flash\u2026");
    ser_recording.stop();
    std::optional<fs::path> last;
    for (size_t i = 0; i < kTraceMaxFiles + 2; ++i) {
        const SavedTrace saved = saveTrace(traces, sampleHeader(), ser_recording);
        ASSERT_TRUE(saved.path) << saved.error;
        last = saved.path;
    }
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(traces)) {
        EXPECT_EQ(entry.path().extension(), kTraceExtension) << "no temporary file is left";
        ++count;
    }
    EXPECT_EQ(count, kTraceMaxFiles);
    ASSERT_TRUE(fs::exists(*last)) << "the newest is kept";
    EXPECT_EQ(readTraceFile(last->string()).header, sampleHeader());

    const SavedTrace refused = saveTrace("/proc/no-such-place", sampleHeader(), ser_recording);
    EXPECT_FALSE(refused.path);
    EXPECT_FALSE(refused.error.empty());
}

// Two boards with the same serial number (here none) failing in the same
// millisecond, each in a process of its own: each trace gets a name of its
// own and is whole, and no temporary file is left.
TEST(TraceFiles, WritersOfOneNameAtOnceEachGetAFileOfTheirOwn) {
    testing_support::TempDir dir;
    const fs::path traces = dir.path() / "traces";
    const auto now = std::chrono::system_clock::now();
    constexpr int kWriters = 8;
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    std::vector<pid_t> writers;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char byte;
            (void)::read(gate[0], &byte, 1); // all start together, on EOF
            SerialRecording recording;
            recording.start();
            recording.mark("Connecting to the board");
            recording.stop();
            TraceHeader header = sampleHeader();
            header.board.clear();
            header.tty = "/dev/ttyUSB" + std::to_string(w);
            ::_exit(saveTrace(traces, header, recording, now).path ? 0 : 1);
        }
        writers.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::set<std::string> ttys;
    for (const auto& entry : fs::directory_iterator(traces)) {
        ASSERT_EQ(entry.path().extension(), kTraceExtension) << entry.path();
        EXPECT_NE(entry.path().filename().string().find("-unknown"), std::string::npos);
        ttys.insert(readTraceFile(entry.path().string()).header.tty);
    }
    EXPECT_EQ(ttys.size(), static_cast<size_t>(kWriters));
}

// Failed attempts' traces outlast the successful ones, whatever their age;
// the total size is capped too, and a stale temporary file goes.
TEST(TraceFiles, RetentionKeepsFailuresWhileSuccessesRemainAndCapsTheSize) {
    testing_support::TempDir dir;
    const auto now = std::chrono::system_clock::now();
    const auto fileNow = fs::file_time_type::clock::now();
    const auto put = [&](const std::string& name, bool failed, int daysOld) {
        Trace trace = sealRefused();
        if (!failed) {
            trace.header.failure.reset();
        }
        const fs::path path = dir.path() / name;
        std::ofstream(path) << written(trace);
        fs::last_write_time(path, fileNow - std::chrono::hours(24 * daysOld + 1));
    };
    put("F1.qrbtrace", true, 40);
    put("S1.qrbtrace", false, 35);
    put("F2.qrbtrace", true, 10);
    put("S2.qrbtrace", false, 5);
    put("F3.qrbtrace", true, 1);
    put("S3.qrbtrace", false, 0);
    put(".F4.qrbtrace.Ab12Cd.part", true, 1); // a writer killed yesterday
    put(".F5.qrbtrace.Ef34Gh.part", true, 0); // one writing now
    fs::last_write_time(dir.path() / ".F5.qrbtrace.Ef34Gh.part", fileNow);
    const auto left = [&] {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir.path())) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    };

    // Too old: S1 goes, F1 stays while successful ones remain.
    EXPECT_EQ(pruneTraces(dir.path(), now), 1u);
    EXPECT_THAT(left(), ElementsAre(".F5.qrbtrace.Ef34Gh.part", "F1.qrbtrace", "F2.qrbtrace",
                                    "F3.qrbtrace", "S2.qrbtrace", "S3.qrbtrace"));
    // Too many: the successful ones go first, even the newest.
    const auto aYear = std::chrono::hours(24 * 365);
    EXPECT_EQ(pruneTraces(dir.path(), now, aYear, 3), 2u);
    EXPECT_THAT(left(), ElementsAre(".F5.qrbtrace.Ef34Gh.part", "F1.qrbtrace", "F2.qrbtrace",
                                    "F3.qrbtrace"));
    // None successful is left: the failures too old go, then the oldest.
    EXPECT_EQ(pruneTraces(dir.path(), now), 1u);
    EXPECT_THAT(left(), ElementsAre(".F5.qrbtrace.Ef34Gh.part", "F2.qrbtrace", "F3.qrbtrace"));
    const uint64_t one = fs::file_size(dir.path() / "F3.qrbtrace");
    EXPECT_EQ(pruneTraces(dir.path(), now, kTraceMaxAge, 100, one + 1), 1u);
    EXPECT_THAT(left(), ElementsAre(".F5.qrbtrace.Ef34Gh.part", "F3.qrbtrace"));
    // The failed attempt's trace just written stays, whatever the limit.
    EXPECT_EQ(pruneTraces(dir.path(), now, kTraceMaxAge, 0, 1, dir.path() / "F3.qrbtrace"), 0u);
    EXPECT_THAT(left(), ElementsAre(".F5.qrbtrace.Ef34Gh.part", "F3.qrbtrace"));

    EXPECT_EQ(parseTraceLimit("1G"), uint64_t{1} << 30);
    EXPECT_EQ(parseTraceLimit("512MiB"), uint64_t{512} << 20);
    EXPECT_EQ(parseTraceLimit("64K"), uint64_t{64} << 10);
    EXPECT_EQ(parseTraceLimit("1000"), 1000u);
    for (const char* bad : {"", "0", "-1", "G", "1T", "1 G", "2.5G", "99999999999999999999G"}) {
        EXPECT_EQ(parseTraceLimit(bad), std::nullopt) << bad;
    }
    ::setenv("QRB_TRACE_LIMIT", "lots", 1);
    EXPECT_EQ(traceSizeLimit(), kTraceMaxBytes);
    EXPECT_THAT(traceLimitProblem().value_or(""), HasSubstr("QRB_TRACE_LIMIT=lots is not a size"));
    ::setenv("QRB_TRACE_LIMIT", "2M", 1);
    EXPECT_EQ(traceSizeLimit(), uint64_t{2} << 20);
    EXPECT_EQ(traceLimitProblem(), std::nullopt);
    ::unsetenv("QRB_TRACE_LIMIT");
}

// --- trace show -------------------------------------------------------------------------

TEST(TraceShow, DecodesEachCommandWithItsAnswerAndMarksTheFailure) {
    std::ostringstream out;
    showTrace(sealRefused(), out);
    const std::string text = out.str();
    EXPECT_THAT(text, HasSubstr("result: failed: SealingError in \"Sealing the flash\u2026\": "
                                "Error sealing the flash (21)."));
    EXPECT_THAT(text, HasSubstr("version query (05) -> 02 02 01 00 05: 2.2.1, acknowledged "
                                "(after 1.000 ms)"));
    EXPECT_THAT(text, HasSubstr("unseal (01) -> 01: done"));
    EXPECT_THAT(text, HasSubstr("program (02) 0x00001000, 2 words -> accepted (after 0.100 ms); "
                                "2 blocks, checksums match"));
    EXPECT_THAT(text, HasSubstr("-- Sealing the flash\u2026 --"));
    EXPECT_THAT(text, HasSubstr("seal (04) with 1.2.3 -> 15: refused (after 0.400 ms)   <-- "
                                "SealingError"));
    EXPECT_THAT(text, HasSubstr("0.006100  +0.500 ms  460800  seal (04)"));
}

TEST(TraceShow, NamesAChecksumThatDiffersAndAnAnswerThatNeverCame) {
    Trace trace = sealRefused();
    trace.events[12].bytes = {0x55, 0x66, 0x77, 0x00}; // the second block's checksum
    trace.events.resize(15);                           // up to the seal request, unanswered
    TraceEvent gone = plain(TraceEventKind::ReadFailed, 9000);
    trace.events.push_back(gone);
    std::ostringstream out;
    showTrace(trace, out);
    EXPECT_THAT(out.str(), HasSubstr("block 2: the board's checksum 55667700, the host's 556677FF: "
                                     "they differ"));
    EXPECT_THAT(out.str(), HasSubstr("seal (04) with 1.2.3 -> no answer"));
    EXPECT_THAT(out.str(),
                HasSubstr("read failed: end of file (the board is gone)   <-- SealingError"));
}

TEST(TraceShow, CountsALeadingWordAsTheFirstBlocksFirstWordOutsideItsChecksum) {
    using K = TraceEventKind;
    Trace trace;
    trace.header = sampleHeader();
    // A record of 7 bytes at 0x1002: the leading word 00 00 11 22 goes out
    // at once, and the one block of 3 words holds two more.
    trace.events.push_back(burst(K::HostToBoard, 0, {0x02, 0, 0, 0x10, 0, 0, 0, 0, 3}, 460800));
    trace.events.push_back(burst(K::BoardToHost, 10, {0x02}, 460800));
    trace.events.push_back(burst(K::HostToBoard, 20, {0, 0, 0x11, 0x22}, 460800));
    trace.events.push_back(burst(K::BoardToHost, 30, {0, 0, 0, 3}, 460800));
    trace.events.push_back(
        burst(K::HostToBoard, 40, {0x33, 0x44, 0x55, 0x66, 0x77, 0xFF, 0xFF, 0xFF}, 460800));
    trace.events.push_back(burst(K::BoardToHost, 50, {0x44, 0xBB, 0xAA, 0x99}, 460800));
    trace.events.push_back(burst(K::HostToBoard, 60, {0x04, 1, 2, 3}, 460800));
    std::ostringstream out;
    showTrace(trace, out);
    EXPECT_THAT(out.str(), HasSubstr("program (02) 0x00001000, 3 words -> accepted (after "
                                     "0.010 ms); 1 block, checksums match"));
    EXPECT_THAT(out.str(), HasSubstr("seal (04) with 1.2.3 -> no answer"));
}

TEST(TraceShow, TheCommandRefusesAFileItCannotReadNamingTheLine) {
    testing_support::TempDir dir;
    std::string text = written(sealRefused());
    text.resize(text.size() / 2);
    const std::string path = dir.writeFile("cut.qrbtrace", text);
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(runTraceShowCommand({path}, out, err), 1);
    EXPECT_THAT(err.str(), HasSubstr(path + ": line "));
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(runTraceShowCommand({}, out, err), 64);
    EXPECT_EQ(runTraceShowCommand({(dir.path() / "none").string()}, out, err), 1);
    const std::string whole = dir.writeFile("whole.qrbtrace", written(sealRefused()));
    EXPECT_EQ(runTraceShowCommand({whole}, out, err), 0);
    EXPECT_THAT(out.str(), HasSubstr("Failed here: SealingError"));
}

} // namespace
