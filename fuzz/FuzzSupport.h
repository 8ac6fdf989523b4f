#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// Plumbing of the fuzz entries: inputs as files, a socket pair as the serial
// line, and clean-up that runs however an entry ends.
namespace fuzzing {

// A file that lives in memory only, holding the given bytes; path() opens it
// like any file.
class MemoryFile {
  public:
    MemoryFile(const uint8_t* data, size_t size);
    ~MemoryFile();
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;

    const std::string& path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

// A connected pair of stream sockets: one end becomes the host's serial port,
// the other is the board's.
class SocketLine {
  public:
    SocketLine();
    ~SocketLine();
    SocketLine(const SocketLine&) = delete;
    SocketLine& operator=(const SocketLine&) = delete;

    // Hands the host's end to the serial layer (ser_fd); from then on it is
    // the serial layer's to close.
    void attachHost();
    int boardFd() const { return board_; }
    // The board stops sending: the host reads the end of the stream once it
    // has read what was sent.
    void boardHangsUpSending();
    // The board is gone both ways: the host's reads end and its writes fail.
    void boardHangsUp();
    // Reads and throws away whatever the host has sent so far.
    void discardHostOutput();
    // From now on a thread of its own collects what the host sends (the line
    // holds only a few hundred small writes); hostOutput() waits for the end
    // of the host's stream and returns it all.
    void collectHostOutput();
    std::vector<uint8_t> hostOutput();

  private:
    int host_ = -1;
    int board_ = -1;
    std::thread collector_;
    std::vector<uint8_t> collected_;
};

// Closes the serial port and the image file when it goes.
class HostCleanup {
  public:
    HostCleanup() = default;
    ~HostCleanup();
    HostCleanup(const HostCleanup&) = delete;
    HostCleanup& operator=(const HostCleanup&) = delete;
};

// Writes to a socket whose reader has gone fail with EPIPE instead of ending
// the process.
void ignoreBrokenPipes();

// The board's writes; false when the host's side is gone.
bool writeAll(int fd, const uint8_t* buffer, size_t n);

uint32_t bigEndian32(const uint8_t* bytes);
void putBigEndian32(uint8_t* bytes, uint32_t value);

} // namespace fuzzing
