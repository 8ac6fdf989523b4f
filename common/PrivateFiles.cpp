#include "PrivateFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

std::mutex observerMutex;
DurabilityObserver observer;

} // namespace

std::string makePrivateDirectories(const std::filesystem::path& dir) {
    if (dir.empty()) {
        return {};
    }
    // The missing ones, from the top down.
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path at = dir; !at.empty(); at = at.parent_path()) {
        struct stat status {};
        if (::stat(at.c_str(), &status) == 0) {
            if (!S_ISDIR(status.st_mode)) {
                return "cannot create " + dir.string() + ": " + at.string() + " is not a directory";
            }
            break;
        }
        missing.push_back(at);
        if (at == at.parent_path()) {
            break;
        }
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST) {
            return "cannot create " + dir.string() + ": " + std::strerror(errno);
        }
    }
    return {};
}

bool syncFile(int fd, const std::string& path) {
    if (::fsync(fd) != 0) {
        return false;
    }
    noteDurableStep(DurableStep::FileSynced, path);
    return true;
}

bool syncDirectory(const std::filesystem::path& dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!synced) {
        errno = error;
        return false;
    }
    noteDurableStep(DurableStep::DirectorySynced, dir.string());
    return true;
}

DurabilityObserver setDurabilityObserver(DurabilityObserver next) {
    std::lock_guard<std::mutex> lock(observerMutex);
    std::swap(observer, next);
    return next;
}

void noteDurableStep(DurableStep step, const std::string& path) {
    DurabilityObserver current;
    {
        std::lock_guard<std::mutex> lock(observerMutex);
        current = observer;
    }
    if (current) {
        current(step, path);
    }
}
