#pragma once

#include <optional>
#include <string>
#include <sys/types.h>

// A process that has a device open.
struct DeviceHolder {
    pid_t pid = 0;
    std::string name; // the process's command name (/proc/<pid>/comm), one printable line
};

// Finds a process other than this one that has the character device at
// devicePath open, by walking the open files of every process in
// /proc/<pid>/fd and comparing where their links point with where a
// descriptor of the node points; no descriptor is followed, so none can
// make the search wait. Only processes whose open files
// the user may read are seen (on Linux: the user's own, or all for root).
// The lowest such process id wins; none when nothing is found or devicePath
// is no character device.
std::optional<DeviceHolder> findDeviceHolder(const std::string& devicePath);
