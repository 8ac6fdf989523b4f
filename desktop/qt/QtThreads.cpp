// The Qt application framework's worker threads, the calls they post to the
// main thread, and sleep.

#include "QtApplicationFrameworkImpl.h"

#include "Log.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

using qtframework::PostingState;

// --- Threads and calls ---------------------------------------------------------------------

qtframework::PostingState::PostingState()
    : wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE)) {
    if (wakeFd < 0) {
        throw std::runtime_error(std::string("cannot create an eventfd: ") + std::strerror(errno));
    }
}

qtframework::PostingState::~PostingState() {
    ::close(wakeFd);
}

void qtframework::PostingState::wake() {
    std::lock_guard<std::mutex> lock(mutex);
    if (receiver != nullptr) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
}

bool qtframework::PostingState::takeWake() {
    std::uint64_t count = 0;
    return ::read(wakeFd, &count, sizeof count) == static_cast<ssize_t>(sizeof count);
}

void QtApplicationFramework::Impl::runOnePosted() {
    // One call per count taken: other events get their turn in between, as
    // they would between queued invocations.
    if (posting->takeWake()) {
        posting->queue.runOne([this](const std::function<void()>& call) { dispatch(call); });
    }
}

void QtApplicationFramework::detachNewThread(std::function<void()> body) {
    std::shared_ptr<PostingState> posting = impl_->posting;
    {
        std::lock_guard<std::mutex> lock(posting->mutex);
        if (posting->receiver == nullptr) {
            return; // the application has ended
        }
        ++posting->workers;
    }
    std::thread([posting, body = std::move(body)]() mutable {
        try {
            body();
        } catch (const std::exception& exception) {
            logLine("uncaught exception on a worker thread: %s", exception.what());
        } catch (...) {
            logLine("uncaught exception on a worker thread");
        }
        body = nullptr;
        {
            std::lock_guard<std::mutex> lock(posting->mutex);
            --posting->workers;
        }
        posting->workersChanged.notify_all();
    }).detach();
}

void QtApplicationFramework::performOnMainThread(std::function<void()> call, bool waitUntilDone) {
    if (waitUntilDone && impl_->onMainThread()) {
        call();
        return;
    }
    // Dropped once the application has ended; nobody waits then.
    const std::shared_ptr<PostingState> posting = impl_->posting;
    posting->queue.post(std::move(call), waitUntilDone);
}

void QtApplicationFramework::sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, seconds)));
}
