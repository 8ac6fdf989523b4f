#include "DesktopHistory.h"

#include "FileDigest.h"
#include "History.h"

#include <thread>
#include <utility>

DesktopHistory::~DesktopHistory() {
    awaitWrites();
}

void DesktopHistory::begin(const std::string& tty, const std::string& port,
                           const std::string& serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    row_ = AttemptRow(AttemptFront::Desktop, tty, port, serial, std::chrono::system_clock::now());
    begun_ = true;
    started_ = Clock::now();
    asked_ = {};
    decisionTime_ = {};
}

void DesktopHistory::versionRead(std::uint32_t word, VersionCase versionCase) {
    std::lock_guard<std::mutex> lock(mutex_);
    ImageVersion board;
    board.data = word;
    row_.versionRead(versionText(board), versionCase);
    asked_ = Clock::now();
}

void DesktopHistory::decided() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (asked_ != Clock::time_point{}) {
        decisionTime_ += Clock::now() - asked_;
        asked_ = {};
    }
}

void DesktopHistory::stepStarted(const std::string& caption) {
    std::lock_guard<std::mutex> lock(mutex_);
    row_.stepStarted(caption);
}

void DesktopHistory::traceAt(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    row_.traceAt(path);
}

double DesktopHistory::secondsSoFar() const {
    const std::chrono::duration<double> total = Clock::now() - started_ - decisionTime_;
    return total.count();
}

void DesktopHistory::declined(ImageVersion image, const std::string& imagePath) {
    AttemptRecord record;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!begun_) {
            return;
        }
        record =
            row_.ended(AttemptResult::Declined, std::nullopt, versionText(image), secondsSoFar());
        begun_ = false;
    }
    commit(std::move(record), imagePath);
}

void DesktopHistory::versionQueryFailed(const BoardFailure& failure, ImageVersion image,
                                        const std::string& imagePath) {
    AttemptRecord record;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!begun_) {
            return;
        }
        record = row_.ended(AttemptResult::Failed, failure, versionText(image), secondsSoFar());
        begun_ = false;
    }
    commit(std::move(record), imagePath);
}

void DesktopHistory::updateEnded(bool success, const std::optional<BoardFailure>& failure,
                                 ImageVersion image, const std::string& imagePath,
                                 const std::optional<std::string>& imageSha256) {
    AttemptRecord record;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!begun_) {
            return;
        }
        record = row_.ended(success ? AttemptResult::Updated : AttemptResult::Failed, failure,
                            versionText(image), secondsSoFar());
        begun_ = false;
    }
    record.imageSha256 = imageSha256;
    commit(std::move(record), imagePath);
}

void DesktopHistory::commit(AttemptRecord record, std::string imagePath) {
    // The path is taken now, from this process's environment as it is.
    std::string path = defaultHistoryPath();
    // A thread of its own, not one of the application's workers: it touches
    // nothing of the application, and awaitWrites joins it.
    std::lock_guard<std::mutex> lock(threadsMutex_);
    threads_.emplace_back([record = std::move(record), imagePath = std::move(imagePath),
                           path = std::move(path)]() mutable {
        if (!record.imageSha256) {
            record.imageSha256 = sha256OfFile(imagePath);
        }
        recordAttempt(record, path);
    });
}

void DesktopHistory::awaitWrites() {
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(threadsMutex_);
        threads.swap(threads_);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}
