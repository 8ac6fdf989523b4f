#include "DeviceHolder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool holdsDevice(const std::string& processDir, dev_t device) {
    const std::string fdDir = processDir + "/fd";
    const Dir dir(::opendir(fdDir.c_str()));
    if (!dir) {
        return false; // gone, or not ours to read
    }
    while (const dirent* entry = ::readdir(dir.get())) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        struct stat target {};
        // stat follows the descriptor's link to the open file itself.
        if (::stat((fdDir + "/" + entry->d_name).c_str(), &target) == 0 &&
            S_ISCHR(target.st_mode) && target.st_rdev == device) {
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
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return name;
}

} // namespace

std::optional<DeviceHolder> findDeviceHolder(const std::string& devicePath) {
    struct stat node {};
    if (::stat(devicePath.c_str(), &node) != 0 || !S_ISCHR(node.st_mode)) {
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
        if (holdsDevice(processDir, node.st_rdev)) {
            found = DeviceHolder{*pid, commandName(processDir)};
        }
    }
    return found;
}
