#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// The recorder of the serial port: while it runs, every exchange on the port
// is kept as it happens, as a list of events. Consecutive bytes in one
// direction make one burst (its direction, the line speed, the monotonic time
// of its first and last byte in microseconds, and its bytes); opens, failed
// opens, closes, speed changes, the modem lines found at an open, waits that
// ran out and failed reads and writes are events of their own, and the
// caller may add marks (the step it starts).
//
// Process-wide, like the port. The bytes and events go into chunks allocated
// as the recording grows (none per byte); each start gives back all but the
// first chunk of each, so that one long recording does not hold its memory
// for the life of the process. It never prints or logs, and it never fails
// the I/O it records: past kMaxRecordedBytes bytes or kMaxRecordedEvents
// events it stops recording and says so with an Overflow event.

enum class SerialEventKind : uint8_t {
    Open,          // text: the path; speed
    OpenFailed,    // text: the path; value: errno
    Close,         //
    Speed,         // speed: the new speed
    ModemLines,    // value: the TIOCM_* bits found at the open
    Sent,          // host to board: bytes; speed; timeUs .. lastUs
    Received,      // board to host: bytes; speed; timeUs .. lastUs
    Timeout,       // a wait for a byte ran out; lastUs - timeUs: how long it waited
    ReceiveFailed, // value: errno (0: end of file, the device has gone)
    SendFailed,    // value: errno, or -1 for a short write (length: the bytes written)
    Mark,          // text: the caller's note
    Overflow,      // the recording stopped keeping bytes here
};

struct SerialEvent {
    SerialEventKind kind = SerialEventKind::Mark;
    int32_t value = 0;
    uint32_t speed = 0;  // the line speed in force
    uint64_t timeUs = 0; // monotonic (CLOCK_MONOTONIC), microseconds
    uint64_t lastUs = 0; // bursts: the last byte; Timeout: the end of the wait
    uint64_t offset = 0; // bytes or text in the recording's store
    uint64_t length = 0;
};

class SerialRecording {
  public:
    // At most this many bytes (bursts and texts) are kept per recording.
    static constexpr uint64_t kMaxRecordedBytes = uint64_t{256} << 20;
    // At most this many events (the Overflow event among them): a port that
    // fails to open again and again, or a line that changes direction with
    // every byte, adds events without many bytes.
    static constexpr size_t kMaxRecordedEvents = size_t{1} << 20;

    SerialRecording() = default;
    SerialRecording(const SerialRecording&) = delete;
    SerialRecording& operator=(const SerialRecording&) = delete;

    // Discards what was recorded (and the memory it took beyond the first
    // chunks) and records from now on. The first chunks are allocated here,
    // so the first bytes cost no allocation.
    void start();
    // Stops recording; what was recorded stays readable until the next start.
    void stop();
    bool active() const;

    // When the recording started: the monotonic time in microseconds and the
    // wall-clock time in microseconds since the epoch (UTC).
    uint64_t startedUs() const;
    int64_t startedWallUs() const;

    size_t eventCount() const;
    // Event i, 0 <= i < eventCount().
    SerialEvent event(size_t i) const;
    // The bytes or text of an event.
    std::vector<uint8_t> bytes(const SerialEvent& event) const;
    std::string text(const SerialEvent& event) const;
    // Visits the bytes of an event chunk by chunk, without copying.
    template <typename Visit> void visitBytes(const SerialEvent& event, Visit visit) const;

    // For the serial layer (no-ops while not recording).
    void opened(const char* path, uint32_t speed);
    void openFailed(const char* path, int error);
    void closed();
    void speedChanged(uint32_t speed);
    void modemLines(int bits);
    void sent(const void* bytes, size_t n);
    void received(uint8_t byte);
    void timedOut(uint64_t waitedUs);
    void receiveFailed(int error);
    void sendFailed(int error, size_t written);
    void mark(std::string_view text);

  private:
    static constexpr size_t kByteChunk = size_t{1} << 20;
    static constexpr size_t kEventChunk = 4096;

    bool recording() const;
    // A new event; none once the recording is full (then Overflow).
    SerialEvent* push(SerialEventKind kind, uint64_t now);
    // Appends to the byte store; false once it is full (then Overflow).
    bool store(const uint8_t* bytes, size_t n, uint64_t now);
    void storeText(SerialEvent* event, std::string_view text, uint64_t now);
    void appendBurst(SerialEventKind kind, const uint8_t* bytes, size_t n);
    const SerialEvent& at(size_t i) const;
    void visitLocked(uint64_t offset, uint64_t length,
                     const std::function<void(const uint8_t*, size_t)>& visit) const;

    mutable std::mutex mutex_;
    bool active_ = false;
    bool overflowed_ = false;
    uint64_t startedUs_ = 0;
    int64_t startedWallUs_ = 0;
    uint32_t speed_ = 0;
    std::vector<std::unique_ptr<uint8_t[]>> byteChunks_;
    std::vector<std::unique_ptr<SerialEvent[]>> eventChunks_;
    uint64_t byteCount_ = 0;
    size_t eventCount_ = 0;
    // Whether the last event is a burst that the next bytes of its direction extend.
    bool burstOpen_ = false;
};

// The port's recorder.
extern SerialRecording ser_recording;

template <typename Visit>
void SerialRecording::visitBytes(const SerialEvent& event, Visit visit) const {
    std::lock_guard<std::mutex> lock(mutex_);
    visitLocked(event.offset, event.length,
                [&visit](const uint8_t* bytes, size_t n) { visit(bytes, n); });
}
