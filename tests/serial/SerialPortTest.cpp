#include "FirmwareUpdaterException.h"
#include "Pty.h"
#include "Serial.h"
#include "TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <vector>

using testing_support::Pty;

namespace {

// The failure that body raised, or a failed test and an empty one.
template <class Body> SerialException raised(Body body) {
    try {
        body();
    } catch (const SerialException& e) {
        return e;
    }
    ADD_FAILURE() << "nothing was raised";
    return SerialException("", "");
}

std::string openFailure(const std::string& shownPath, const std::string& errorText) {
    return "Connection to QRB board failed: open(" + shownPath + ") failed. " + errorText + "..";
}

bool slaveClosed(const Pty& pty) {
    pollfd entry{pty.masterFd(), POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLHUP) != 0;
}

bool timesOut(time_t seconds, int32_t microseconds) {
    bool timedOut = false;
    const uint8_t byte = rxByteWithTimeout(seconds, microseconds, &timedOut);
    EXPECT_EQ(byte, 0);
    return timedOut;
}

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override { savedDevicePath.reset(); }
    void TearDown() override { serClose(); }
    Pty pty;
};

TEST_F(SerialPortTest, OpenFailuresLeaveNoPortAndNameTheCause) {
    auto failure = raised([] { serInit(nullptr, kBootloaderBaudRate); });
    EXPECT_EQ(failure.name(), "SerialOpenError");
    EXPECT_EQ(failure.reason(), openFailure("<none>", "errno 2 No such file or directory"));

    serInit(pty.slavePath().c_str(), kFirmwareBaudRate);
    failure = raised([] { serInit("/nonexistent/qrb", kBootloaderBaudRate); });
    EXPECT_EQ(failure.reason(),
              openFailure("/nonexistent/qrb", "errno 2 No such file or directory"));
    EXPECT_EQ(failure.errorNumber(), ENOENT);
    EXPECT_EQ(ser_fd, -1);
    EXPECT_TRUE(slaveClosed(pty)) << "the old port is closed before the new open";
    EXPECT_EQ(savedDevicePath, "/nonexistent/qrb");

    // A link that would open fine is refused because its name is not ASCII.
    testing_support::TempDir dir;
    const std::string link = (dir.path() / "board-\xC3\xA9").string();
    std::filesystem::create_symlink(pty.slavePath(), link);
    failure = raised([&] { serInit(link.c_str(), kBootloaderBaudRate); });
    EXPECT_EQ(failure.name(), "SerialOpenError");
    EXPECT_EQ(failure.reason(),
              openFailure((dir.path() / "board-\\xC3\\xA9").string(), "errno 22 Invalid argument"));

    failure = raised([&] { serInit(pty.slavePath().c_str(), 12345); });
    EXPECT_EQ(failure.reason(), openFailure(pty.slavePath(), "errno 22 Invalid argument"));
    EXPECT_EQ(ser_fd, -1);

    failure = raised([] { serInit("/dev/null", kBootloaderBaudRate); });
    EXPECT_EQ(failure.name(), "SerialTIOCEXCLError.");
    EXPECT_EQ(failure.reason(), "There was a problem getting exclusive access to the QRB Box.");
    EXPECT_EQ(failure.errorNumber(), ENOTTY);
    EXPECT_EQ(ser_fd, -1);
}

TEST_F(SerialPortTest, OpensRawExclusiveAndBlockingAndChangesSpeed) {
    pty.write({0x11, 0x22}); // stale input from before the open
    serInit(pty.slavePath().c_str(), kFirmwareBaudRate);

    termios line{};
    ASSERT_EQ(tcgetattr(pty.masterFd(), &line), 0);
    EXPECT_EQ(line.c_cflag & ~tcflag_t{CBAUD | CIBAUD}, tcflag_t{CS8 | CREAD | CLOCAL});
    EXPECT_EQ(line.c_iflag, tcflag_t{IGNBRK | IGNPAR});
    EXPECT_EQ(line.c_oflag, 0U);
    EXPECT_EQ(line.c_lflag, 0U);
    EXPECT_EQ(line.c_cc[VMIN], 1);
    EXPECT_EQ(line.c_cc[VTIME], 0);
    EXPECT_EQ(pty.speed(), 115200U);
    EXPECT_EQ(cfgetospeed(&line), speed_t{B115200});
    EXPECT_NE(fcntl(ser_fd, F_GETFL) & O_NONBLOCK, 0)
        << "reads wait in poll and writes by their deadline, never in the call";
    int exclusive = 0;
    ASSERT_EQ(ioctl(ser_fd, TIOCGEXCL, &exclusive), 0);
    EXPECT_NE(exclusive, 0);
    EXPECT_TRUE(timesOut(0, 20000)) << "input from before the open is discarded";
    // A pty has no serial settings: no low latency to ask for, and no failure.
    EXPECT_EQ(ser_low_latency.result, LowLatency::Unsupported);
    EXPECT_EQ(ser_low_latency.error, ENOTTY);

    pty.write({0x33});
    pollfd entry{ser_fd, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 1000), 1);
    serSetBaudRate(kRamBootloaderBaudRate);
    EXPECT_EQ(pty.speed(), 460800U);
    termios after{};
    ASSERT_EQ(tcgetattr(pty.masterFd(), &after), 0);
    EXPECT_EQ(cfgetospeed(&after), speed_t{B460800});
    EXPECT_EQ(after.c_iflag, line.c_iflag);
    EXPECT_TRUE(timesOut(0, 20000)) << "input received at the old speed is discarded";

    // Reopening without a path uses the saved one; closing twice is harmless.
    serClose();
    serClose();
    EXPECT_TRUE(slaveClosed(pty));
    serInit(nullptr, kBootloaderBaudRate);
    EXPECT_EQ(pty.speed(), 57600U);
}

// One deadline for an exchange, not one per byte: a board that trickles its
// answer byte by byte cannot stretch it; and a line that never falls quiet
// cannot hold a flush. Each ends as a failure of the Timeout kind.
TEST_F(SerialPortTest, ADeadlineBoundsTheWholeExchangeAndTheFlush) {
    serInit(pty.slavePath().c_str(), kRamBootloaderBaudRate);
    EXPECT_EQ(ser_baud_rate, kRamBootloaderBaudRate);
    // The board's side writes up to `chunk` bytes whenever the line takes
    // them, then pauses for interval, until told to stop.
    const auto babble = [this](std::atomic<bool>& stop, std::size_t chunk,
                               std::chrono::milliseconds interval) {
        const std::vector<uint8_t> bytes(chunk, 0x55);
        while (!stop) {
            pollfd entry{pty.masterFd(), POLLOUT, 0};
            if (::poll(&entry, 1, 10) == 1 && ::write(pty.masterFd(), bytes.data(), chunk) < 0 &&
                errno != EAGAIN) {
                return;
            }
            std::this_thread::sleep_for(interval);
        }
    };
    const int masterFlags = ::fcntl(pty.masterFd(), F_GETFL);
    ASSERT_EQ(::fcntl(pty.masterFd(), F_SETFL, masterFlags | O_NONBLOCK), 0);
    const auto start = std::chrono::steady_clock::now();
    // 1000 bytes that come one every 2 ms or slower cannot all be in by 0.3 s.
    std::atomic<bool> stop{false};
    std::thread trickle(babble, std::ref(stop), 1, std::chrono::milliseconds(2));
    const SerialException answer = raised([] {
        uint8_t buffer[1000];
        RxBytesBy(buffer, sizeof buffer, serDeadlineIn(std::chrono::milliseconds(300)));
    });
    stop = true;
    trickle.join();
    // A line kept full does not hold the flush past its deadline: it ends
    // there with the failure (or earlier, should the machine hold the
    // writer up for 10 ms, as quiet).
    stop = false;
    std::thread flood(babble, std::ref(stop), 4096, std::chrono::milliseconds(0));
    std::optional<SerialException> flush;
    try {
        rxBufFlushBy(serDeadlineIn(std::chrono::milliseconds(300)));
    } catch (const SerialException& failure) {
        flush = failure;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    flood.join();
    ::fcntl(pty.masterFd(), F_SETFL, masterFlags);
    EXPECT_EQ(answer.kind(), SerialFailure::Timeout);
    EXPECT_EQ(answer.name(), "SerialCommTimeoutError");
    EXPECT_EQ(answer.reason(),
              "Serial Communication Error: no answer from the QRB board within 0.3 s.");
    if (flush) {
        EXPECT_EQ(flush->kind(), SerialFailure::Timeout);
        EXPECT_EQ(flush->reason(), answer.reason());
    }
    EXPECT_LT(took, std::chrono::seconds(5)) << "generous: two bounds of 0.3 s";
}

// An adapter that takes nothing more (the board's side never reads) fails a
// write at its bound, whatever the write's size; and a line that keeps
// talking holds a flush only until somebody says stop.
TEST_F(SerialPortTest, AStalledAdapterFailsTheWriteAndAStopEndsTheFlush) {
    serInit(pty.slavePath().c_str(), kRamBootloaderBaudRate);
    EXPECT_EQ(serWriteBound(46080), std::chrono::milliseconds(1000) + kWriteMargin);
    const std::vector<uint8_t> chunk(4096, 0xA5);
    const auto start = std::chrono::steady_clock::now();
    const SerialException stalled = raised([&] {
        for (;;) {
            serQueueTxBytesBy(chunk.data(), chunk.size(),
                              serDeadlineIn(std::chrono::milliseconds(200)));
        }
    });
    EXPECT_EQ(stalled.kind(), SerialFailure::Timeout);
    EXPECT_EQ(stalled.name(), "SerialCommTimeoutError");
    EXPECT_EQ(stalled.reason(),
              "Serial Communication Error: the adapter took no data within 0.2 s.");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    pty.drain();

    // The board's side keeps the line full.
    std::atomic<bool> stop{false};
    std::atomic<bool> talking{true};
    std::atomic<bool> ended{false};
    const int masterFlags = ::fcntl(pty.masterFd(), F_GETFL);
    ASSERT_EQ(::fcntl(pty.masterFd(), F_SETFL, masterFlags | O_NONBLOCK), 0);
    std::thread board([&] {
        while (talking) {
            pollfd entry{pty.masterFd(), POLLOUT, 0};
            if (::poll(&entry, 1, 10) == 1) {
                (void)::write(pty.masterFd(), chunk.data(), chunk.size());
            }
        }
    });
    bool flushed = true;
    std::thread flusher([&] {
        flushed = rxBufFlushUnless(stop);
        ended = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Ended already only if the machine held the board's side up for 10 ms:
    // then the line was quiet, and the flush rightly over.
    const bool endedBeforeStop = ended;
    stop = true;
    flusher.join();
    talking = false;
    board.join();
    ::fcntl(pty.masterFd(), F_SETFL, masterFlags);
    if (!endedBeforeStop) {
        EXPECT_FALSE(flushed) << "a stop, not a quiet line, ended the flush";
    }
    std::atomic<bool> never{false};
    pty.drain();
    EXPECT_TRUE(rxBufFlushUnless(never)) << "a quiet line is flushed";
}

TEST_F(SerialPortTest, ReadsWithAndWithoutTimeOut) {
    serInit(pty.slavePath().c_str(), kBootloaderBaudRate);
    EXPECT_TRUE(timesOut(0, 30000));
    pty.write({0x00});
    EXPECT_FALSE(timesOut(1, 0)) << "a received 0x00 is not a time-out";

    // The bounded read: a byte within the bound, or a failure that says so.
    pty.write({0x00});
    EXPECT_EQ(rxByteBy(serDeadlineIn(std::chrono::seconds(1))), 0x00);
    try {
        rxByteBy(serDeadlineIn(std::chrono::milliseconds(30)));
        ADD_FAILURE() << "a silent line gave a byte";
    } catch (const SerialException& failure) {
        EXPECT_EQ(failure.name(), "SerialCommTimeoutError");
        EXPECT_EQ(failure.reason(),
                  "Serial Communication Error: no answer from the QRB board within 0.03 s.");
    }

    pty.write({0xA1, 0xB2, 0xC3});
    uint8_t buffer[3] = {0, 0, 0};
    RxBytes(buffer, 0);
    EXPECT_EQ(rxByte(), 0xA1);
    RxBytes(buffer, 2);
    EXPECT_EQ(buffer[0], 0xB2);
    EXPECT_EQ(buffer[1], 0xC3);

    pty.write({1, 2, 3});
    rxBufFlush();
    EXPECT_TRUE(timesOut(0, 20000));

    // While bytes keep coming the flush keeps reading.
    std::atomic<bool> lastWritten{false};
    std::thread board([&] {
        for (int i = 0; i < 300; ++i) {
            pty.write({static_cast<uint8_t>(i)});
        }
        lastWritten = true;
    });
    pollfd entry{ser_fd, POLLIN, 0};
    ASSERT_EQ(poll(&entry, 1, 1000), 1);
    rxBufFlush();
    EXPECT_TRUE(lastWritten);
    board.join();
    EXPECT_TRUE(timesOut(0, 20000));
}

TEST_F(SerialPortTest, VanishedPeerFailsEveryReadAndWrite) {
    serInit(pty.slavePath().c_str(), kBootloaderBaudRate);
    pty.closeMaster();
    const std::string receiveFailure = "Serial Communication Error: receiving serial data failed.";
    bool timedOut = false;
    EXPECT_EQ(raised([] { rxByte(); }).reason(), receiveFailure);
    EXPECT_EQ(raised([&] { rxByteWithTimeout(1, 0, &timedOut); }).reason(), receiveFailure);
    EXPECT_EQ(raised([] { rxBufFlush(); }).name(), "SerialCommReceiveError");
    const uint8_t bytes[3] = {1, 2, 3};
    const auto failure = raised([&] { serQueueTxBytes(bytes, sizeof bytes); });
    EXPECT_EQ(failure.name(), "SerialCommSendError");
    EXPECT_EQ(failure.reason(),
              "Serial Communication Error: transmitting serial data failed (-1:3).");
    EXPECT_GE(ser_fd, 0) << "the port stays open after an I/O failure";
}

TEST_F(SerialPortTest, SignalsDoNotFailReadsButShortWritesAreReported) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no restart: blocking calls return EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    serInit(pty.slavePath().c_str(), kBootloaderBaudRate);

    // Interrupts the thread until it is done; gives up after five seconds
    // by closing the master, which ends any wait of the port.
    auto interrupt = [&](std::thread& worker, std::atomic<bool>& done, auto&& step) {
        for (int i = 0; !done && i < 250; ++i) {
            pthread_kill(worker.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            step(i);
        }
        if (!done) {
            ADD_FAILURE() << "the port call did not end";
            pty.closeMaster();
        }
        worker.join();
    };

    std::atomic<bool> done{false};
    int got = -1;
    bool timedOut = true;
    std::thread reader([&] {
        try {
            got = rxByte();
            got += rxByteWithTimeout(30, 0, &timedOut);
        } catch (const SerialException& e) {
            ADD_FAILURE() << e.what();
        }
        done = true;
    });
    interrupt(reader, done, [&](int i) {
        if (i == 5 || i == 10) {
            pty.write({0x20});
        }
    });
    EXPECT_EQ(got, 0x40);
    EXPECT_FALSE(timedOut);

    // Writes on a full line: one interrupted after some bytes returns short;
    // one interrupted before any byte went out is tried again.
    auto interruptedWrite = [&](size_t length, auto&& step) {
        std::vector<uint8_t> bytes(length, 0x55);
        std::string failure;
        done = false;
        std::thread writer([&] {
            try {
                serQueueTxBytes(bytes.data(), bytes.size());
            } catch (const SerialException& e) {
                failure = e.reason();
            }
            done = true;
        });
        interrupt(writer, done, step);
        return failure;
    };
    const std::string reason = interruptedWrite(256 * 1024, [](int) {});
    const std::string prefix = "Serial Communication Error: transmitting serial data failed (";
    ASSERT_EQ(reason.rfind(prefix, 0), 0U) << reason;
    const long written = std::stol(reason.substr(prefix.size()));
    EXPECT_GT(written, 0);
    EXPECT_LT(written, 256 * 1024);
    EXPECT_EQ(reason.substr(reason.rfind(':')), ":262144).");
    // Fill the line to the brim, so that the next write cannot start.
    const int flags = fcntl(ser_fd, F_GETFL);
    fcntl(ser_fd, F_SETFL, flags | O_NONBLOCK);
    const uint8_t filler = 0;
    while (write(ser_fd, &filler, 1) == 1) {
    }
    fcntl(ser_fd, F_SETFL, flags);
    EXPECT_EQ(interruptedWrite(100,
                               [&](int i) {
                                   if (i == 5) {
                                       pty.drain();
                                   }
                               }),
              "");
    sigaction(SIGUSR1, &previous, nullptr);
}

} // namespace
