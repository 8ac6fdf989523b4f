#include "MainThreadQueue.h"

#include <utility>

namespace {

// Releases the caller waiting for a call, however the call ended.
struct Release {
    std::shared_ptr<std::promise<void>> done;
    ~Release() {
        if (done) {
            done->set_value();
        }
    }
};

} // namespace

MainThreadQueue::MainThreadQueue(std::function<void()> wake) : wake_(std::move(wake)) {}

MainThreadQueue::~MainThreadQueue() {
    shutDown();
}

bool MainThreadQueue::post(std::function<void()> call, bool waitUntilDone) {
    std::shared_ptr<std::promise<void>> done;
    std::future<void> finished;
    if (waitUntilDone) {
        done = std::make_shared<std::promise<void>>();
        finished = done->get_future();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutDown_) {
            return false;
        }
        posted_.push_back({std::move(call), std::move(done)});
    }
    if (wake_) {
        wake_();
    }
    if (waitUntilDone) {
        finished.wait();
    }
    return true;
}

bool MainThreadQueue::runOne(const std::function<void(const std::function<void()>&)>& dispatch) {
    Posted entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (posted_.empty()) {
            return false;
        }
        entry = std::move(posted_.front());
        posted_.pop_front();
    }
    const Release release{std::move(entry.done)};
    if (dispatch) {
        dispatch(entry.call);
    } else {
        entry.call();
    }
    return true;
}

std::size_t MainThreadQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return posted_.size();
}

void MainThreadQueue::shutDown() {
    std::deque<Posted> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutDown_ = true;
        dropped.swap(posted_);
    }
    for (Posted& entry : dropped) {
        if (entry.done) {
            entry.done->set_value();
        }
    }
}
