#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simtest {

// The host's end of a simulated board's line, in raw bytes: the slave of the
// pseudo-terminal, opened and configured as a serial port would be.
class HostEnd {
  public:
    HostEnd(const std::string& path, unsigned speed);
    ~HostEnd();
    HostEnd(const HostEnd&) = delete;
    HostEnd& operator=(const HostEnd&) = delete;

    // Closes the line and opens it again at `speed`.
    void reopen(unsigned speed);
    void close();
    // Changes the speed of both directions and drops unread input.
    void setSpeed(unsigned speed);
    void write(const std::vector<uint8_t>& bytes);
    // Up to n bytes, stopping when none came for timeoutMs.
    std::vector<uint8_t> read(size_t n, int timeoutMs = 2000);
    // Reads until the line has been quiet for quietMs.
    std::vector<uint8_t> drain(int quietMs = 50);
    // A write returned an error, or a read found the line hung up.
    bool sawHangup() const { return hangup_; }

  private:
    std::string path_;
    int fd_ = -1;
    bool hangup_ = false;
};

std::vector<uint8_t> be32(uint32_t value);
std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b);

} // namespace simtest
