// The Qt application framework's worker threads, the calls they post to the
// main thread, and sleep.

#include "QtApplicationFrameworkImpl.h"

#include "Log.h"

#include <QMetaObject>

#include <chrono>
#include <exception>
#include <utility>

using qtframework::PostingState;

// --- Threads and calls ---------------------------------------------------------------------

void qtframework::PostingState::wake() {
    std::lock_guard<std::mutex> lock(mutex);
    if (receiver != nullptr) {
        QMetaObject::invokeMethod(receiver, runPosted, Qt::QueuedConnection);
    }
}

void QtApplicationFramework::Impl::runOnePosted() {
    posting->queue.runOne([this](const std::function<void()>& call) { dispatch(call); });
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
