// The search for the process that holds a device walks the descriptors of
// every process it may read; none of them may make it wait.

#include "DeviceHolder.h"
#include "Pty.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <future>
#include <thread>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

// Another process holds the device and a FIFO that nobody writes to (a
// descriptor that whoever opens or reads it through its link waits on).
TEST(DeviceHolder, IsFoundPastADescriptorOfAFifoNobodyWritesTo) {
    testing_support::TempDir dir;
    const std::string fifo = (dir.path() / "silent.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    testing_support::Pty pty;
    const int fifoFd = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fifoFd, 0);
    const int deviceFd = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(deviceFd, 0);
    int release[2] = {-1, -1};
    ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // Plain system calls only: the descriptors stay open until released.
        char byte = 0;
        ::syscall(SYS_close, release[1]);
        ::syscall(SYS_prctl, PR_SET_NAME, "qrb-fifo-holder", 0, 0, 0);
        ::syscall(SYS_read, release[0], &byte, 1);
        ::syscall(SYS_exit_group, 0);
    }
    ::close(release[0]);
    ::close(deviceFd);
    ::close(fifoFd);
    // The child names itself before anything else; give it the moment.
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(5ms);
        char name[32] = {};
        const std::string comm = "/proc/" + std::to_string(holder) + "/comm";
        const int fd = ::open(comm.c_str(), O_RDONLY);
        const ssize_t n = fd >= 0 ? ::read(fd, name, sizeof name - 1) : -1;
        if (fd >= 0) {
            ::close(fd);
        }
        if (n > 0 && std::string(name).starts_with("qrb-fifo-holder")) {
            break;
        }
    }

    auto search = std::async(std::launch::async, [&] { return findDeviceHolder(pty.slavePath()); });
    const bool returned = search.wait_for(10s) == std::future_status::ready;
    ::close(release[1]);
    EXPECT_EQ(waitpid(holder, nullptr, 0), holder);
    ASSERT_TRUE(returned) << "the search waits on a descriptor";
    const std::optional<DeviceHolder> found = search.get();
    ASSERT_TRUE(found);
    EXPECT_EQ(found->pid, holder);
    EXPECT_EQ(found->name, "qrb-fifo-holder");
}

} // namespace
