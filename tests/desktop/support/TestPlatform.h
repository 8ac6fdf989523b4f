#pragma once

#include "HeadlessApplicationFramework.h"
#include "Log.h"

#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

// The headless application framework for tests: everything the application
// shows, logs and does is recorded, and a misuse of the framework (an
// interface call off the main thread, an answer for a button the alert does
// not show, a run that reaches its limit) fails the test.
//
// While the platform lives it receives the log lines (common/Log.h); do not
// use a LogCapture at the same time.
class TestPlatform : public HeadlessApplicationFramework {
  public:
    explicit TestPlatform(std::string resourcePath = {});
    ~TestPlatform() override;
    TestPlatform(const TestPlatform&) = delete;
    TestPlatform& operator=(const TestPlatform&) = delete;

    std::vector<Caption> captions() const;
    // The values set on one field, in order.
    std::vector<std::string> captionsOf(const std::string& field) const;
    // What one field shows now (the last value set; empty before any).
    std::string textOf(const std::string& field) const;
    std::vector<std::string> logLines() const;
    // Log lines that begin with prefix.
    std::vector<std::string> logLinesStartingWith(const std::string& prefix) const;
    // The lines that name a failed attempt's serial trace, and every other line.
    std::vector<std::string> traceLines() const { return logLinesStartingWith(kTraceLinePrefix); }
    std::vector<std::string> logLinesWithoutTraces() const;
    static constexpr const char* kTraceLinePrefix = "Serial trace written to ";
    // Window and indicator operations as "operation name", e.g.
    // "startAnimation connectionProgressIndicator", "performClose mainWindow".
    std::vector<std::string> uiEvents() const;
    // What the progress indicators showed, in order: "name value/maximum" for
    // a determinate indicator, "name indeterminate" (not among uiEvents).
    std::vector<std::string> progressEvents() const;
    // Every record above and each exit, in the order they happened, as
    // "caption field: value", "alert style title", "log line",
    // "ui operation name", "progress name ...", "terminate", "exit status".
    std::vector<std::string> timeline() const;

  protected:
    void captionShown(const Caption& caption) override;
    void alertShown(const Alert& alert) override;
    void uiOperation(const std::string& operation, const std::string& name) override;
    void progressShown(const std::string& entry) override;
    void terminating() override;
    void exited(int status) override;
    void fault(const std::string& what) override;

  private:
    mutable std::mutex recordsMutex_;
    LogSink previousSink_;
    std::vector<Caption> captions_;
    std::vector<std::string> logLines_;
    std::vector<std::string> uiEvents_;
    std::vector<std::string> progressEvents_;
    std::vector<std::string> timeline_;
};

} // namespace testing_support
