#include "Log.h"

#include "FirmwareUpdaterException.h"
#include "StringFormat.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <syslog.h>
#include <utility>

namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

LogSink& currentSink() {
    static LogSink sink;
    return sink;
}

void emit(const std::string& line, int priority = LOG_NOTICE) {
    LogSink sink;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        sink = currentSink();
    }
    if (sink) {
        sink(line);
        return;
    }
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("qrb-updater", LOG_PID, LOG_USER); });
    syslog(priority, "%s", line.c_str());
    std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace

void logLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = vformatString(format, args);
    va_end(args);
    emit(line);
}

void logDetail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = vformatString(format, args);
    va_end(args);
    emit(line, LOG_INFO);
}

void logWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string line = vformatString(format, args);
    va_end(args);
    emit(line, LOG_WARNING);
}

void logException(LogSite site, const FirmwareUpdaterException& exception) {
    logLine("Exception(%d): [%s: %s]", static_cast<int>(site), exception.name().c_str(),
            exception.reason().c_str());
}

LogSink setLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    return std::exchange(currentSink(), std::move(sink));
}
