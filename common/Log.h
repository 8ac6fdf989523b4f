#pragma once

#include <functional>
#include <string>

class FirmwareUpdaterException;

// The updater's one log: every line goes to the system log (syslog, hence the
// journal) and to standard error. Tests may install a sink that receives each
// line instead, to read what was logged.
void logLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A line of low importance (syslog's informational priority); the same
// destinations otherwise.
void logDetail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The log line of a catch site: "Exception(<site>): [<name>: <reason>]".
void logException(int site, const FirmwareUpdaterException& exception);

using LogSink = std::function<void(const std::string& line)>;

// Replaces the destination of log lines; an empty sink restores syslog and
// standard error. Returns the sink that was installed before.
LogSink setLogSink(LogSink sink);
