#include "PollRunLoop.h"

#include <poll.h>

#include <algorithm>
#include <vector>

namespace testing_support {

RunLoop::SourceId PollRunLoop::addSource(int fd, std::function<void()> perform) {
    SourceId id = nextId_++;
    sources_.emplace(id, Source{fd, std::make_shared<std::function<void()>>(std::move(perform))});
    return id;
}

void PollRunLoop::removeSource(SourceId id) {
    sources_.erase(id);
}

int PollRunLoop::runOnce(std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    std::vector<SourceId> ids;
    for (const auto& [id, source] : sources_) {
        fds.push_back({source.fd, POLLIN, 0});
        ids.push_back(id);
    }
    int ready = ::poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
    if (ready <= 0) {
        return 0;
    }
    int called = 0;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if ((fds[i].revents & (POLLIN | POLLERR | POLLHUP)) == 0) {
            continue;
        }
        // An earlier handler of this pass may have removed the source.
        auto source = sources_.find(ids[i]);
        if (source == sources_.end()) {
            continue;
        }
        std::shared_ptr<std::function<void()>> perform = source->second.perform;
        (*perform)();
        ++called;
    }
    return called;
}

bool PollRunLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return done();
        }
        runOnce(std::min(left, std::chrono::milliseconds(20)));
    }
    return true;
}

int PollRunLoop::drain() {
    // Bounded, so that a source that never stops being readable fails the
    // test instead of hanging it.
    int total = 0;
    for (int pass = 0; pass < 1000; ++pass) {
        int called = runOnce(std::chrono::milliseconds(0));
        if (called == 0) {
            break;
        }
        total += called;
    }
    return total;
}

} // namespace testing_support
