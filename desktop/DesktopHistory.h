#pragma once

#include "AttemptRecord.h"
#include "AttemptRow.h"
#include "BoardSequence.h"
#include "ImageVersion.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// The desktop updater's row of the update history (history/History.h, built
// by board/AttemptRow.h): filled in as the attempt at the board goes on, and
// written once, when the attempt ends, on a thread of its own, so that
// nothing the user sees waits for it.
// Before the process ends, awaitWrites joins every such thread (as the object
// does when it goes away): none is still hashing or writing, or running the
// libraries' per-thread clean-up, while the process tears them down.
//
// begin, versionRead, decided and declined run on the main thread; the update
// worker reports its steps and its end. Every member may be called from any
// thread.
class DesktopHistory {
  public:
    DesktopHistory() = default;
    ~DesktopHistory();
    DesktopHistory(const DesktopHistory&) = delete;
    DesktopHistory& operator=(const DesktopHistory&) = delete;

    // A connection to the board begins: its tty, physical port and the
    // adapter's serial number. Forgets any earlier attempt.
    void begin(const std::string& tty, const std::string& port, const std::string& serial);
    // The board reported its firmware version; the decision alert shows next.
    void versionRead(std::uint32_t word, VersionCase versionCase);
    // The user answered the decision alert (the time it was open is not part
    // of the attempt's seconds).
    void decided();
    // The update worker begins the step with this caption.
    void stepStarted(const std::string& caption);
    // The attempt's serial trace is at path.
    void traceAt(const std::string& path);

    // The attempt ends. Each writes the row once (with imageVersion and the
    // SHA-256 of imagePath), on a new thread.
    void declined(ImageVersion image, const std::string& imagePath);
    void versionQueryFailed(const BoardFailure& failure, ImageVersion image,
                            const std::string& imagePath);
    // After the update worker's steps: success, or the failure it caught.
    // imageSha256: of the firmware image's bytes as the update read them,
    // when it got so far (then imagePath is not hashed again).
    void updateEnded(bool success, const std::optional<BoardFailure>& failure, ImageVersion image,
                     const std::string& imagePath,
                     const std::optional<std::string>& imageSha256 = std::nullopt);

    // Waits until every row handed over is written and its thread has ended
    // (joined). Bounded by the history's one busy time-out and the hashing of
    // the image.
    void awaitWrites();

  private:
    using Clock = std::chrono::steady_clock;
    void commit(AttemptRecord record, std::string imagePath);
    double secondsSoFar() const; // with the mutex held

    // The threads of the rows handed over, until awaitWrites joins them.
    std::mutex threadsMutex_;
    std::vector<std::thread> threads_;

    mutable std::mutex mutex_;
    AttemptRow row_;
    bool begun_ = false;
    Clock::time_point started_{};
    Clock::time_point asked_{};
    std::chrono::duration<double> decisionTime_{0};
};
