#include "ReplayBoard.h"

#include "PtyLine.h"

#include <cstdio>
#include <exception>

namespace qrbsim {

namespace {

using Clock = std::chrono::steady_clock;
using qrbtrace::TraceEvent;
using qrbtrace::TraceEventKind;

std::string hexByte(uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", byte);
    return text;
}

} // namespace

const char* replayStateName(ReplayBoard::State state) {
    switch (state) {
    case ReplayBoard::State::Playing:
        return "playing";
    case ReplayBoard::State::Played:
        return "played to its end";
    case ReplayBoard::State::Departed:
        return "departed";
    case ReplayBoard::State::Stopped:
        return "stopped";
    }
    return "?";
}

ReplayBoard::ReplayBoard(qrbtrace::Trace trace) : trace_(std::move(trace)) {
    line_ = std::make_unique<PtyLine>();
    slavePath_ = line_->slavePath();
    line_->setNoiseHandler([this](size_t count, unsigned came, unsigned expected) {
        // Bytes at a speed the recording does not have for them: the host
        // departed. Noted here, reported by the receive that follows.
        if (wrongSpeed_.empty()) {
            wrongSpeed_ = std::to_string(count) + " bytes came at " + std::to_string(came) +
                          " baud where the recording has " + std::to_string(expected) + " baud";
        }
    });
}

ReplayBoard::~ReplayBoard() {
    stop();
}

void ReplayBoard::start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { run(); });
    }
}

void ReplayBoard::stop() {
    line_->requestStop();
    if (thread_.joinable()) {
        thread_.join();
    }
    line_->close();
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::Playing) {
        state_ = State::Stopped;
    }
    changed_.notify_all();
}

ReplayBoard::State ReplayBoard::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::string ReplayBoard::departure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return departure_;
}

size_t ReplayBoard::eventsPlayed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return played_;
}

bool ReplayBoard::waitUntilDone(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return state_ != State::Playing; });
}

bool ReplayBoard::waitForEnd(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return ended_ || state_ != State::Playing; });
}

void ReplayBoard::log(const std::string& event) {
    if (onEvent_) {
        onEvent_(event);
    }
}

std::string ReplayBoard::where(size_t event) const {
    std::string text;
    if (event < trace_.eventLines.size()) {
        text = "line " + std::to_string(trace_.eventLines[event]) + " of the trace";
    }
    for (size_t i = event + 1; i-- > 0;) {
        if (i < trace_.events.size() && trace_.events[i].kind == TraceEventKind::Step) {
            text += ", in \"" + trace_.events[i].text + "\"";
            break;
        }
    }
    return text;
}

void ReplayBoard::depart(const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = State::Departed;
        departure_ = why;
    }
    changed_.notify_all();
    log("departed: " + why);
    line_->hangUp();
}

void ReplayBoard::run() {
    try {
        play();
    } catch (const LineClosed&) {
    } catch (const std::exception& e) {
        log(std::string("replay error: ") + e.what());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::Playing) {
        state_ = ended_ ? State::Played : State::Stopped;
    }
    changed_.notify_all();
}

void ReplayBoard::play() {
    // Board bursts go out as long after the event before them as in the
    // recording, counted from when the replay got there.
    Clock::time_point anchor = Clock::now();
    uint64_t anchorUs = 0;
    uint32_t speed = 0;
    const auto receiveOne = [&](uint32_t at) -> uint8_t {
        const std::optional<uint8_t> byte = line_->receive(at);
        if (!wrongSpeed_.empty()) {
            depart("at host byte " + std::to_string(hostBytes_ + 1) + ": " + wrongSpeed_);
        }
        ++hostBytes_;
        return *byte;
    };
    const auto waitUntilDue = [&](const TraceEvent& event, size_t index) {
        if (event.timeUs > anchorUs) {
            const auto due = anchor + std::chrono::microseconds(event.timeUs - anchorUs);
            while (Clock::now() < due) {
                // The line's own wait, so that a stop ends it. The host has
                // nothing to send before this answer in the recording.
                const std::optional<uint8_t> early =
                    line_->receive(speed == 0 ? 1 : speed,
                                   std::chrono::duration_cast<std::chrono::milliseconds>(
                                       due - Clock::now() + std::chrono::microseconds(999)));
                if (!wrongSpeed_.empty()) {
                    depart("at host byte " + std::to_string(hostBytes_ + 1) + ": " + wrongSpeed_);
                }
                if (early) {
                    ++hostBytes_;
                    depart("at host byte " + std::to_string(hostBytes_) + " (" + where(index) +
                           "): the host sent " + hexByte(*early) +
                           " where the recording has the board answering first");
                }
            }
        }
    };

    for (size_t i = 0; i < trace_.events.size(); ++i) {
        const TraceEvent& event = trace_.events[i];
        switch (event.kind) {
        case TraceEventKind::HostToBoard:
            speed = event.speed;
            for (size_t k = 0; k < event.bytes.size(); ++k) {
                const uint8_t got = receiveOne(event.speed);
                if (got != event.bytes[k]) {
                    depart("at host byte " + std::to_string(hostBytes_) + " (" + where(i) +
                           "): the host sent " + hexByte(got) + " where the recording has " +
                           hexByte(event.bytes[k]));
                }
            }
            anchor = Clock::now();
            anchorUs = event.timeUs + event.durationUs;
            log("took " + std::to_string(event.bytes.size()) + " bytes at " +
                std::to_string(event.speed) + " baud, as recorded");
            break;
        case TraceEventKind::BoardToHost:
            speed = event.speed;
            waitUntilDue(event, i);
            line_->send(event.bytes.data(), event.bytes.size(), event.speed);
            anchor = Clock::now();
            anchorUs = event.timeUs + event.durationUs;
            log("sent " + std::to_string(event.bytes.size()) + " bytes at " +
                std::to_string(event.speed) + " baud");
            break;
        case TraceEventKind::ReadFailed:
        case TraceEventKind::WriteFailed:
            // The board went away here. A host that was waiting for it found
            // out at the recorded time; a host that was still sending found
            // out only at a write, which the board was already gone for: what
            // the host sends after the recorded bytes is lost on the line.
            if (event.kind == TraceEventKind::ReadFailed) {
                waitUntilDue(event, i);
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                played_ = i + 1;
                ended_ = true;
                state_ = State::Played;
            }
            changed_.notify_all();
            log("hung up, as the board did");
            line_->hangUp();
            break;
        case TraceEventKind::Open:
        case TraceEventKind::Speed:
            speed = event.speed;
            break;
        default:
            break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            played_ = i + 1;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
    log("the recording has been played to its end");
    // Anything the host sends now is beyond the recording.
    const uint8_t got = receiveOne(speed == 0 ? 1 : speed);
    depart("at host byte " + std::to_string(hostBytes_) + ": the host sent " + hexByte(got) +
           " after the end of the recording");
}

} // namespace qrbsim
