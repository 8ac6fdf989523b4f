#include "SimChild.h"

#include "BoardSimulator.h"
#include "FirmwareUpdaterException.h"
#include "ImageFile.h"
#include "RecordWalk.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

bool writeAll(int fd, const void* data, size_t n) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (n > 0) {
        const ssize_t written = ::write(fd, bytes, n);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        n -= static_cast<size_t>(written);
    }
    return true;
}

bool readAll(int fd, void* data, size_t n) {
    auto* bytes = static_cast<uint8_t*>(data);
    while (n > 0) {
        const ssize_t got = ::read(fd, bytes, n);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        bytes += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

// Whether every data record of the image file holds the same bytes as the
// memory, which starts at board address base.
bool memoryHoldsImage(const std::string& path, const std::vector<uint8_t>& memory, uint32_t base) {
    if (path.empty()) {
        return true;
    }
    bool same = true;
    try {
        openImageFile(path.c_str());
        walkImageRecords([&](const ImageRecord& record) {
            if (record.type != 1) {
                return;
            }
            for (uint32_t i = 0; i < record.length; ++i) {
                const auto byte = static_cast<uint8_t>(ReadUint(1));
                const uint64_t offset = uint64_t{record.address} + i - base;
                same = same && record.address >= base && offset < memory.size() &&
                       memory[offset] == byte;
            }
        });
    } catch (const FirmwareUpdaterException& e) {
        std::fprintf(stderr, "simulator: cannot read %s: %s\n", path.c_str(), e.reason().c_str());
        same = false;
    }
    closeImageFile();
    return same;
}

[[noreturn]] void runChild(const SimChildOptions& options, int control, int report) {
    // Ends with the bench, whatever becomes of it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    qrbsim::SimulatorConfig config;
    config.pace = options.pace;
    config.flashSize = options.flashSize;
    config.versionWord = options.versionWord;
    config.adapter = options.adapter;
    config.latencyTimerFile = options.latencyTimerFile;
    std::unique_ptr<qrbsim::BoardSimulator> board;
    try {
        board = std::make_unique<qrbsim::BoardSimulator>(std::move(config));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "simulator: %s\n", e.what());
        ::_exit(1);
    }
    const std::string path = board->slavePath() + "\n";
    if (!writeAll(report, path.data(), path.size())) {
        ::_exit(1);
    }
    board->start();

    char ignored;
    while (::read(control, &ignored, 1) > 0) {
    }
    board->stop();

    SimVerdict verdict;
    verdict.checked = true;
    verdict.flashMatches = memoryHoldsImage(options.firmwareImage, board->flash(), 0);
    verdict.ramMatches =
        memoryHoldsImage(options.ramBootloaderImage, board->ram(), qrbsim::kRamBase);
    verdict.sealed = board->sealed();
    verdict.versionWord = board->versionWord();
    verdict.syncs = board->syncCount();
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    verdict.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    writeAll(report, &verdict, sizeof verdict);
    ::_exit(0);
}

// The parent's ends of the pipes of the boards running now: a board forked
// later must not keep them open, or an earlier board would never see its
// control pipe close.
std::vector<int>& parentEnds() {
    static std::vector<int> ends;
    return ends;
}

void closeEnd(int fd) {
    std::erase(parentEnds(), fd);
    ::close(fd);
}

} // namespace

SimChild::SimChild(const SimChildOptions& options) {
    int control[2];
    int report[2];
    if (::pipe2(control, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    if (::pipe2(report, O_CLOEXEC) != 0) {
        ::close(control[0]);
        ::close(control[1]);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    std::fflush(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        ::close(control[1]);
        ::close(report[0]);
        for (int end : parentEnds()) {
            ::close(end);
        }
        runChild(options, control[0], report[1]);
    }
    ::close(control[0]);
    ::close(report[1]);
    control_ = control[1];
    report_ = report[0];
    parentEnds().push_back(control_);
    parentEnds().push_back(report_);

    char c;
    while (readAll(report_, &c, 1) && c != '\n') {
        devicePath_.push_back(c);
    }
    if (devicePath_.empty()) {
        closeEnd(control_);
        closeEnd(report_);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        throw std::runtime_error("the simulator did not start");
    }
}

SimChild::~SimChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (control_ >= 0) {
        closeEnd(control_);
    }
    if (report_ >= 0) {
        closeEnd(report_);
    }
}

SimVerdict SimChild::finish() {
    SimVerdict verdict;
    if (pid_ <= 0) {
        return verdict;
    }
    closeEnd(control_);
    control_ = -1;
    if (!readAll(report_, &verdict, sizeof verdict)) {
        verdict = SimVerdict();
    }
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return verdict;
}

} // namespace bench
