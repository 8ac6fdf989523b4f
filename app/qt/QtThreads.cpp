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

void QtApplicationFramework::Impl::runOnePosted() {
    PostingState::Posted entry;
    {
        std::lock_guard<std::mutex> lock(posting->mutex);
        if (posting->posted.empty()) {
            return;
        }
        entry = std::move(posting->posted.front());
        posting->posted.pop_front();
    }
    struct Release {
        std::shared_ptr<std::promise<void>> done;
        ~Release() {
            if (done) {
                done->set_value();
            }
        }
    } release{std::move(entry.done)};
    dispatch(entry.call);
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
    std::shared_ptr<std::promise<void>> done;
    std::future<void> finished;
    if (waitUntilDone) {
        done = std::make_shared<std::promise<void>>();
        finished = done->get_future();
    }
    {
        PostingState& posting = *impl_->posting;
        std::lock_guard<std::mutex> lock(posting.mutex);
        if (posting.receiver == nullptr) {
            return; // the application has ended: dropped, nobody waits
        }
        posting.posted.push_back({std::move(call), done});
        Impl* impl = impl_.get();
        QMetaObject::invokeMethod(
            posting.receiver, [impl] { impl->runOnePosted(); }, Qt::QueuedConnection);
    }
    if (waitUntilDone) {
        finished.wait();
    }
}

void QtApplicationFramework::sleep(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, seconds)));
}
