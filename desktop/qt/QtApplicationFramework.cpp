// The Qt application framework's construction, its running and ending, and
// what tests and the demo inspect.

#include "QtApplicationFrameworkImpl.h"

#include "Log.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QStyle>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

using qtframework::ExitUnwind;
using qtframework::PostingState;

namespace {

// How long the destructor waits for worker threads to end.
constexpr auto kWorkerWaitAtEnd = std::chrono::seconds(10);

QIcon applicationIcon() {
    QIcon icon(QStringLiteral(":/qrb-updater/qrb-updater.png"));
    if (icon.isNull()) {
        icon = QApplication::style()->standardIcon(QStyle::SP_ComputerIcon);
    }
    return icon;
}

} // namespace

// --- Construction ----------------------------------------------------------------------

QtApplicationFramework::QtApplicationFramework(std::string resourcePath)
    : impl_(std::make_unique<Impl>(*this)) {
    impl_->resourcePath = std::move(resourcePath);
    impl_->context = std::make_unique<QObject>();
    Impl* impl = impl_.get();
    auto* posted = new QSocketNotifier(static_cast<qintptr>(impl_->posting->wakeFd),
                                       QSocketNotifier::Read, impl_->context.get());
    QObject::connect(posted, &QSocketNotifier::activated, impl_->context.get(),
                     [impl] { impl->runOnePosted(); });
    impl_->posting->receiver = impl_->context.get();

    QApplication::setQuitOnLastWindowClosed(false);
    impl_->icon = applicationIcon();
    QApplication::setWindowIcon(impl_->icon);
    impl_->buildWindows();
    impl_->mainWindow->show();

    impl_->previousLoop = RunLoop::current();
    RunLoop::setCurrent(this);
}

QtApplicationFramework::~QtApplicationFramework() {
    impl_->stopEverything();
    waitForWorkers(kWorkerWaitAtEnd);
    impl_->mainWindow->onClose = nullptr;
    impl_->busyPanel->onClose = nullptr;
    impl_->sources.clear(); // the notifiers go with their parent, the context
    impl_->outlets.clear();
    impl_->busyPanel.reset();
    impl_->mainWindow.reset();
    impl_->context.reset();
    RunLoop::setCurrent(impl_->previousLoop);
}

void QtApplicationFramework::setShouldTerminateAfterLastWindowClosed(std::function<bool()> ask) {
    impl_->shouldTerminate = std::move(ask);
}

void QtApplicationFramework::setWillTerminate(std::function<void()> willTerminate) {
    impl_->willTerminate = std::move(willTerminate);
}

void QtApplicationFramework::setExitHook(ExitHook hook) {
    impl_->exitHook = std::move(hook);
}

// --- Running and ending ------------------------------------------------------------------

int QtApplicationFramework::run(const std::function<void()>& start) {
    if (start) {
        impl_->dispatch(start);
    }
    if (!impl_->exited) {
        QApplication::exec();
    }
    return impl_->status.value_or(0);
}

void QtApplicationFramework::Impl::dispatch(const std::function<void()>& call) {
    if (exited) {
        return;
    }
    try {
        call();
    } catch (const ExitUnwind&) {
    } catch (const std::exception& exception) {
        logLine("uncaught exception on the main thread: %s", exception.what());
    } catch (...) {
        logLine("uncaught exception on the main thread");
    }
}

void QtApplicationFramework::exit(int status) {
    std::fflush(nullptr);
    if (!impl_->exitHook) {
        // Workers that post from now on find the application ended instead
        // of the event loop that the end of the process takes apart.
        impl_->exited = true;
        impl_->stopEverything();
        std::exit(status);
    }
    if (!impl_->exited) {
        impl_->exited = true;
        impl_->status = status;
        impl_->stopEverything();
        impl_->exitHook(status);
        QCoreApplication::exit(status);
    }
    throw ExitUnwind{};
}

void QtApplicationFramework::Impl::stopEverything() {
    posting->shutDown();
    deferred.clear();
    held.clear();
    for (auto& [id, source] : sources) {
        source.notifier->setEnabled(false);
    }
}

// --- Inspection ----------------------------------------------------------------------------

QWidget* QtApplicationFramework::outletWidget(const std::string& name) const {
    const auto outlet = impl_->outlets.find(name);
    return outlet == impl_->outlets.end() ? nullptr : outlet->second;
}

std::optional<int> QtApplicationFramework::exitStatus() const {
    return impl_->status;
}

int QtApplicationFramework::alertDepth() const {
    return impl_->alertDepth;
}

std::size_t QtApplicationFramework::heldCount() const {
    return impl_->held.size();
}

std::size_t QtApplicationFramework::runningWorkers() const {
    std::lock_guard<std::mutex> lock(impl_->posting->mutex);
    return impl_->posting->workers;
}

bool QtApplicationFramework::waitForWorkers(std::chrono::milliseconds limit) const {
    PostingState& posting = *impl_->posting;
    std::unique_lock<std::mutex> lock(posting.mutex);
    return posting.workersChanged.wait_for(lock, limit,
                                           [&posting] { return posting.workers == 0; });
}

// --- Resources -----------------------------------------------------------------------

std::string QtApplicationFramework::resourcePath() {
    std::lock_guard<std::mutex> lock(impl_->resourceMutex);
    return impl_->resourcePath;
}
