// The Qt application framework as the main thread's RunLoop: device events
// (socket notifiers) and deferred calls, held while a modal alert is open and
// delivered in order once the last one has closed.

#include "QtApplicationFrameworkImpl.h"

#include <QSocketNotifier>
#include <QTimer>

#include <poll.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

bool readable(int fd) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

} // namespace

// --- Delivery and holding ------------------------------------------------------------------

void QtApplicationFramework::Impl::deferredDue(std::uint64_t id) {
    const auto entry = deferred.find(id);
    if (entry == deferred.end()) {
        return;
    }
    std::function<void()> call = std::move(entry->second);
    deferred.erase(entry);
    if (holding()) {
        hold({std::nullopt, std::move(call)});
        return;
    }
    dispatch(call);
}

void QtApplicationFramework::Impl::sourceActivated(SourceId id) {
    const auto source = sources.find(id);
    if (source == sources.end()) {
        return;
    }
    if (exited || holding()) {
        // Level-triggered: disabled, the notifier stays quiet until released.
        source->second.notifier->setEnabled(false);
        if (!exited && !source->second.held) {
            source->second.held = true;
            hold({id, {}});
        }
        return;
    }
    const std::function<void()> perform = source->second.perform;
    dispatch(perform);
}

void QtApplicationFramework::Impl::deliverSource(SourceId id) {
    auto source = sources.find(id);
    if (source == sources.end()) {
        return;
    }
    source->second.held = false;
    if (readable(source->second.fd)) {
        const std::function<void()> perform = source->second.perform;
        dispatch(perform);
    }
    source = sources.find(id);
    if (source != sources.end() && !exited && !source->second.held) {
        source->second.notifier->setEnabled(true);
    }
}

void QtApplicationFramework::Impl::hold(Held item) {
    held.push_back(std::move(item));
    scheduleRelease();
}

void QtApplicationFramework::Impl::scheduleRelease() {
    if (alertDepth > 0 || held.empty() || releaseScheduled || exited) {
        return;
    }
    releaseScheduled = true;
    QTimer::singleShot(0, context.get(), [this] {
        releaseScheduled = false;
        releaseHeld();
    });
}

void QtApplicationFramework::Impl::releaseHeld() {
    while (!exited && alertDepth == 0 && !held.empty()) {
        Held item = std::move(held.front());
        held.pop_front();
        if (item.source) {
            deliverSource(*item.source);
        } else {
            dispatch(item.call);
        }
    }
}

// --- Deferred calls ------------------------------------------------------------------------

void QtApplicationFramework::performAfterDelay(std::function<void()> call, double delaySeconds) {
    if (impl_->exited) {
        return;
    }
    const std::uint64_t id = impl_->nextDeferredId++;
    impl_->deferred.emplace(id, std::move(call));
    const double milliseconds = std::ceil(std::max(0.0, delaySeconds) * 1000.0);
    const int delay = static_cast<int>(std::min(milliseconds, 2.0e9));
    Impl* impl = impl_.get();
    QTimer::singleShot(delay, impl_->context.get(), [impl, id] { impl->deferredDue(id); });
}

// --- RunLoop --------------------------------------------------------------------------------

RunLoop::SourceId QtApplicationFramework::addSource(int fd, std::function<void()> perform) {
    const SourceId id = impl_->nextSourceId++;
    auto* notifier =
        new QSocketNotifier(static_cast<qintptr>(fd), QSocketNotifier::Read, impl_->context.get());
    Impl* impl = impl_.get();
    QObject::connect(notifier, &QSocketNotifier::activated, impl_->context.get(),
                     [impl, id] { impl->sourceActivated(id); });
    impl_->sources.emplace(id, Impl::Source{fd, std::move(perform), notifier, false});
    if (impl_->exited) {
        notifier->setEnabled(false);
    }
    return id;
}

void QtApplicationFramework::removeSource(SourceId id) {
    const auto source = impl_->sources.find(id);
    if (source == impl_->sources.end()) {
        return;
    }
    // The notifier may be the one whose activation is running now.
    source->second.notifier->setEnabled(false);
    source->second.notifier->deleteLater();
    impl_->sources.erase(source);
}
