#include "DeviceHolder.h"

#include "TerminalText.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <memory>

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

std::optional<pid_t> processId(const char* entryName) {
    if (entryName[0] < '1' || entryName[0] > '9') {
        return std::nullopt;
    }
    char* end = nullptr;
    const long value = std::strtol(entryName, &end, 10);
    if (*end != '\0' || value <= 0) {
        return std::nullopt;
    }
    return static_cast<pid_t>(value);
}

// Where a descriptor's link in /proc points, read without following it: a
// link is only read, never opened or stat'ed through, so a descriptor of a
// FIFO, a socket or a file on a hung network mount cannot make the search
// wait.
std::optional<std::string> linkTarget(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof buffer) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<size_t>(length));
}

// The device as the descriptors of its holders name it: the target of a
// descriptor of our own on the node, opened as a path only (the device
// itself is not opened).
std::optional<std::string> deviceTarget(const std::string& devicePath) {
    const int fd = ::open(devicePath.c_str(), O_PATH | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::optional<std::string> target = linkTarget("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
    return target;
}

bool holdsDevice(const std::string& processDir, const std::string& device) {
    const std::string fdDir = processDir + "/fd";
    const Dir dir(::opendir(fdDir.c_str()));
    if (!dir) {
        return false; // gone, or not ours to read
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        if (linkTarget(fdDir + "/" + entry->d_name) == device) {
            return true;
        }
    }
    return false;
}

// The command name, which its process may have set to anything: control
// characters are shown as '?', so that the name stays on its line.
std::string commandName(const std::string& processDir) {
    std::ifstream comm(processDir + "/comm");
    std::string name;
    std::getline(comm, name);
    return terminalText(name);
}

} // namespace

std::optional<DeviceHolder> findDeviceHolder(const std::string& devicePath) {
    struct stat node {};
    if (::stat(devicePath.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
        return std::nullopt;
    }
    const std::optional<std::string> device = deviceTarget(devicePath);
    if (!device) {
        return std::nullopt;
    }
    const Dir proc(::opendir("/proc"));
    if (!proc) {
        return std::nullopt;
    }
    const pid_t self = ::getpid();
    std::optional<DeviceHolder> found;
    while (const dirent* entry = ::readdir(proc.get())) {
        const std::optional<pid_t> pid = processId(entry->d_name);
        if (!pid || *pid == self || (found && found->pid < *pid)) {
            continue;
        }
        const std::string processDir = std::string("/proc/") + entry->d_name;
        if (holdsDevice(processDir, *device)) {
            found = DeviceHolder{*pid, commandName(processDir)};
        }
    }
    return found;
}
