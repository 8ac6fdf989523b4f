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

// A warning (syslog's warning priority): something went wrong beside the
// update, which goes on. The same destinations otherwise.
void logWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The catch sites that log an exception of the family; each value is the
// number its log line carries.
enum class LogSite : int {
    ExitCommand = 1,           // exitProgram's short command 6
    VersionQuery = 2,          // the version check
    OpenAtFirmwareSpeed = 3,   // the connection worker's open at 115200 baud
    Reset = 4,                 // its reset into the resident bootloader
    OpenAtBootloaderSpeed = 5, // its open at 57600 baud
    Synchronisation = 6,       // its synchronisation with the bootloader
    UpdateWorker = 7,          // the firmware update worker
};

// The log line of a catch site: "Exception(<site>): [<name>: <reason>]".
void logException(LogSite site, const FirmwareUpdaterException& exception);

using LogSink = std::function<void(const std::string& line)>;

// Replaces the destination of log lines; an empty sink restores syslog and
// standard error. Returns the sink that was installed before.
LogSink setLogSink(LogSink sink);
