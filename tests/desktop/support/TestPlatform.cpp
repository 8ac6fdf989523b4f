#include "TestPlatform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace testing_support {

namespace {

constexpr auto kWorkerLimitAtEnd = std::chrono::seconds(20);

std::string styleName(ApplicationFramework::AlertStyle style) {
    switch (style) {
    case ApplicationFramework::AlertStyle::Plain:
        return "plain";
    case ApplicationFramework::AlertStyle::Critical:
        return "critical";
    case ApplicationFramework::AlertStyle::Informational:
        return "informational";
    }
    return "?";
}

} // namespace

TestPlatform::TestPlatform(std::string resourcePath)
    : HeadlessApplicationFramework(std::move(resourcePath)) {
    previousSink_ = setLogSink([this](const std::string& line) {
        std::lock_guard<std::mutex> lock(recordsMutex_);
        logLines_.push_back(line);
        timeline_.push_back("log " + line);
    });
}

TestPlatform::~TestPlatform() {
    // The workers may still log and call the hooks: they end before the
    // records go.
    shutdown();
    if (!joinWorkers(kWorkerLimitAtEnd)) {
        std::fprintf(stderr, "TestPlatform: worker threads still running at the end; aborting\n");
        std::abort();
    }
    setLogSink(previousSink_);
}

std::vector<TestPlatform::Caption> TestPlatform::captions() const {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    return captions_;
}

std::vector<std::string> TestPlatform::captionsOf(const std::string& field) const {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    std::vector<std::string> values;
    for (const Caption& caption : captions_) {
        if (caption.field == field) {
            values.push_back(caption.value);
        }
    }
    return values;
}

std::string TestPlatform::textOf(const std::string& field) const {
    const std::vector<std::string> values = captionsOf(field);
    return values.empty() ? std::string() : values.back();
}

std::vector<std::string> TestPlatform::logLines() const {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    return logLines_;
}

std::vector<std::string> TestPlatform::logLinesWithoutTraces() const {
    std::vector<std::string> lines = logLines();
    std::erase_if(lines,
                  [](const std::string& line) { return line.starts_with(kTraceLinePrefix); });
    return lines;
}

std::vector<std::string> TestPlatform::logLinesStartingWith(const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    std::vector<std::string> lines;
    for (const std::string& line : logLines_) {
        if (line.starts_with(prefix)) {
            lines.push_back(line);
        }
    }
    return lines;
}

std::vector<std::string> TestPlatform::uiEvents() const {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    return uiEvents_;
}

std::vector<std::string> TestPlatform::progressEvents() const {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    return progressEvents_;
}

std::vector<std::string> TestPlatform::timeline() const {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    return timeline_;
}

void TestPlatform::captionShown(const Caption& caption) {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    captions_.push_back(caption);
    timeline_.push_back("caption " + caption.field + ": " + caption.value);
}

void TestPlatform::alertShown(const Alert& alert) {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    timeline_.push_back("alert " + styleName(alert.style) + " " + alert.title.value_or(""));
}

void TestPlatform::uiOperation(const std::string& operation, const std::string& name) {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    uiEvents_.push_back(operation + " " + name);
    timeline_.push_back("ui " + operation + " " + name);
}

void TestPlatform::progressShown(const std::string& entry) {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    progressEvents_.push_back(entry);
    timeline_.push_back("progress " + entry);
}

void TestPlatform::terminating() {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    timeline_.push_back("terminate");
}

void TestPlatform::exited(int status) {
    std::lock_guard<std::mutex> lock(recordsMutex_);
    timeline_.push_back("exit " + std::to_string(status));
}

void TestPlatform::fault(const std::string& what) {
    ADD_FAILURE() << what;
}

} // namespace testing_support
