#include "SerialRecording.h"

#include <algorithm>
#include <cstring>
#include <ctime>

SerialRecording ser_recording;

namespace {

uint64_t monotonicUs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1'000'000U +
           static_cast<uint64_t>(now.tv_nsec) / 1000U;
}

int64_t wallUs() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

} // namespace

void SerialRecording::start() {
    std::lock_guard<std::mutex> lock(mutex_);
    byteChunks_.resize(1);
    if (!byteChunks_[0]) {
        byteChunks_[0] = std::make_unique<uint8_t[]>(kByteChunk);
    }
    eventChunks_.resize(1);
    if (!eventChunks_[0]) {
        eventChunks_[0] = std::make_unique<SerialEvent[]>(kEventChunk);
    }
    active_ = true;
    overflowed_ = false;
    byteCount_ = 0;
    eventCount_ = 0;
    burstOpen_ = false;
    startedUs_ = monotonicUs();
    startedWallUs_ = wallUs();
}

void SerialRecording::stop() {
    std::lock_guard<std::mutex> lock(mutex_);
    active_ = false;
    burstOpen_ = false;
}

bool SerialRecording::active() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return active_;
}

uint64_t SerialRecording::startedUs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return startedUs_;
}

int64_t SerialRecording::startedWallUs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return startedWallUs_;
}

size_t SerialRecording::eventCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return eventCount_;
}

const SerialEvent& SerialRecording::at(size_t i) const {
    return eventChunks_[i / kEventChunk][i % kEventChunk];
}

SerialEvent SerialRecording::event(size_t i) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return at(i);
}

void SerialRecording::visitLocked(uint64_t offset, uint64_t length,
                                  const std::function<void(const uint8_t*, size_t)>& visit) const {
    while (length > 0) {
        const size_t chunk = static_cast<size_t>(offset / kByteChunk);
        const size_t within = static_cast<size_t>(offset % kByteChunk);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length, kByteChunk - within));
        visit(byteChunks_[chunk].get() + within, n);
        offset += n;
        length -= n;
    }
}

std::vector<uint8_t> SerialRecording::bytes(const SerialEvent& event) const {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(event.length));
    visitBytes(event,
               [&out](const uint8_t* bytes, size_t n) { out.insert(out.end(), bytes, bytes + n); });
    return out;
}

std::string SerialRecording::text(const SerialEvent& event) const {
    const std::vector<uint8_t> raw = bytes(event);
    return {raw.begin(), raw.end()};
}

bool SerialRecording::recording() const {
    return active_ && !overflowed_;
}

SerialEvent* SerialRecording::push(SerialEventKind kind, uint64_t now) {
    if (eventCount_ + 1 >= kMaxRecordedEvents && kind != SerialEventKind::Overflow) {
        push(SerialEventKind::Overflow, now);
        overflowed_ = true;
        return nullptr;
    }
    const size_t chunk = eventCount_ / kEventChunk;
    if (chunk == eventChunks_.size()) {
        eventChunks_.push_back(std::make_unique<SerialEvent[]>(kEventChunk));
    }
    SerialEvent& event = eventChunks_[chunk][eventCount_ % kEventChunk];
    ++eventCount_;
    event = SerialEvent{};
    event.kind = kind;
    event.speed = speed_;
    event.timeUs = now;
    event.lastUs = now;
    event.offset = byteCount_;
    burstOpen_ = false;
    return &event;
}

bool SerialRecording::store(const uint8_t* bytes, size_t n, uint64_t now) {
    if (byteCount_ + n > kMaxRecordedBytes) {
        push(SerialEventKind::Overflow, now);
        overflowed_ = true;
        return false;
    }
    while (n > 0) {
        const size_t chunk = static_cast<size_t>(byteCount_ / kByteChunk);
        if (chunk == byteChunks_.size()) {
            byteChunks_.push_back(std::make_unique<uint8_t[]>(kByteChunk));
        }
        const size_t within = static_cast<size_t>(byteCount_ % kByteChunk);
        const size_t take = std::min(n, kByteChunk - within);
        std::memcpy(byteChunks_[chunk].get() + within, bytes, take);
        byteCount_ += take;
        bytes += take;
        n -= take;
    }
    return true;
}

void SerialRecording::storeText(SerialEvent* event, std::string_view text, uint64_t now) {
    if (event == nullptr) {
        return;
    }
    const uint64_t offset = byteCount_;
    if (store(reinterpret_cast<const uint8_t*>(text.data()), text.size(), now)) {
        event->offset = offset;
        event->length = text.size();
    }
}

void SerialRecording::appendBurst(SerialEventKind kind, const uint8_t* bytes, size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!recording() || n == 0) {
        return;
    }
    const uint64_t now = monotonicUs();
    if (burstOpen_) {
        SerialEvent& last =
            eventChunks_[(eventCount_ - 1) / kEventChunk][(eventCount_ - 1) % kEventChunk];
        if (last.kind == kind && last.speed == speed_) {
            if (store(bytes, n, now)) {
                last.length += n;
                last.lastUs = now;
            }
            return;
        }
    }
    SerialEvent* event = push(kind, now);
    if (event != nullptr && store(bytes, n, now)) {
        event->length = n;
        burstOpen_ = true;
    }
}

void SerialRecording::opened(const char* path, uint32_t speed) {
    std::lock_guard<std::mutex> lock(mutex_);
    speed_ = speed;
    if (!recording()) {
        return;
    }
    const uint64_t now = monotonicUs();
    storeText(push(SerialEventKind::Open, now), path != nullptr ? path : "", now);
}

void SerialRecording::openFailed(const char* path, int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!recording()) {
        return;
    }
    const uint64_t now = monotonicUs();
    SerialEvent* event = push(SerialEventKind::OpenFailed, now);
    if (event != nullptr) {
        event->value = error;
    }
    storeText(event, path != nullptr ? path : "", now);
}

void SerialRecording::closed() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording()) {
        push(SerialEventKind::Close, monotonicUs());
    }
}

void SerialRecording::speedChanged(uint32_t speed) {
    std::lock_guard<std::mutex> lock(mutex_);
    speed_ = speed;
    if (recording()) {
        push(SerialEventKind::Speed, monotonicUs());
    }
}

void SerialRecording::modemLines(int bits) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording()) {
        if (SerialEvent* event = push(SerialEventKind::ModemLines, monotonicUs())) {
            event->value = bits;
        }
    }
}

void SerialRecording::sent(const void* bytes, size_t n) {
    appendBurst(SerialEventKind::Sent, static_cast<const uint8_t*>(bytes), n);
}

void SerialRecording::received(uint8_t byte) {
    appendBurst(SerialEventKind::Received, &byte, 1);
}

void SerialRecording::timedOut(uint64_t waitedUs) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!recording()) {
        return;
    }
    const uint64_t now = monotonicUs();
    if (SerialEvent* event = push(SerialEventKind::Timeout, now >= waitedUs ? now - waitedUs : 0)) {
        event->lastUs = now;
    }
}

void SerialRecording::receiveFailed(int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording()) {
        if (SerialEvent* event = push(SerialEventKind::ReceiveFailed, monotonicUs())) {
            event->value = error;
        }
    }
}

void SerialRecording::sendFailed(int error, size_t written) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (recording()) {
        if (SerialEvent* event = push(SerialEventKind::SendFailed, monotonicUs())) {
            event->value = error;
            event->length = written;
            event->offset = 0;
        }
    }
}

void SerialRecording::mark(std::string_view text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!recording()) {
        return;
    }
    const uint64_t now = monotonicUs();
    storeText(push(SerialEventKind::Mark, now), text, now);
}
