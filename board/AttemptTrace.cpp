#include "AttemptTrace.h"

#include "FileDigest.h"
#include "Log.h"
#include "SerialRecording.h"
#include "TraceFiles.h"
#include "TraceWriter.h"

#include <exception>
#include <mutex>

// The program's version, as the build names it.
#ifndef QRB_VERSION
#define QRB_VERSION "unknown"
#endif

namespace {

// The step marked last; the serial port's thread of the moment marks it.
std::mutex stepMutex;
std::string lastStep;

} // namespace

void beginAttemptTrace() {
    ser_recording.start();
    std::lock_guard<std::mutex> lock(stepMutex);
    lastStep.clear();
}

void markAttemptStep(const std::string& step) {
    ser_recording.mark(step);
    std::lock_guard<std::mutex> lock(stepMutex);
    lastStep = step;
}

std::string lastAttemptStep() {
    std::lock_guard<std::mutex> lock(stepMutex);
    return lastStep;
}

std::optional<std::string> writeAttemptTrace(const AttemptTraceHeader& header,
                                             const std::optional<AttemptTraceFailure>& failure,
                                             const std::optional<std::string>& traceDirectory) {
    ser_recording.stop();
    try {
        const auto dir = traceDirectory ? std::optional<std::filesystem::path>(*traceDirectory)
                                        : qrbtrace::defaultTraceDirectory();
        if (!dir) {
            logLine("Serial trace not written: no state directory (HOME is not set).");
            return std::nullopt;
        }
        qrbtrace::TraceHeader trace;
        trace.program = header.program;
        trace.programVersion = QRB_VERSION;
        trace.started = qrbtrace::utcTimestamp(ser_recording.startedWallUs());
        trace.board = header.board;
        trace.tty = header.tty;
        trace.imageVersion = header.imageVersion;
        trace.imageSha256 =
            header.imageSha256 ? *header.imageSha256 : sha256OfFile(header.imagePath).value_or("-");
        if (failure) {
            trace.failure = qrbtrace::TraceFailure{failure->name, failure->step, failure->reason};
        }
        if (const std::optional<std::string> problem = qrbtrace::traceLimitProblem()) {
            static std::once_flag told;
            std::call_once(told, [&] { logWarning("%s.", problem->c_str()); });
        }
        const qrbtrace::SavedTrace saved = qrbtrace::saveTrace(*dir, trace, ser_recording);
        if (!saved.path) {
            logLine("Serial trace not written: %s", saved.error.c_str());
            return std::nullopt;
        }
        logLine("Serial trace written to %s", saved.path->c_str());
        return saved.path->string();
    } catch (const std::exception& e) {
        logLine("Serial trace not written: %s", e.what());
        return std::nullopt;
    }
}

std::optional<std::string>
writeBoardAttemptTrace(const std::string& program, const std::string& board, const std::string& tty,
                       const std::string& imageVersion, const std::string& imagePath,
                       const std::optional<BoardFailure>& failure, const std::string& failedStep,
                       const std::optional<std::string>& imageSha256) {
    const AttemptTraceHeader header{program, board, tty, imageVersion, imagePath, imageSha256};
    std::optional<AttemptTraceFailure> traced;
    if (failure) {
        traced = AttemptTraceFailure{failure->error, failedStep, failure->reason};
    }
    return writeAttemptTrace(header, traced);
}
