#pragma once

#include "Log.h"

#include <mutex>
#include <string>
#include <vector>

namespace testing_support {

// Collects every log line while it lives, instead of writing them out.
class LogCapture {
  public:
    LogCapture()
        : previous_(setLogSink([this](const std::string& line) {
              std::lock_guard<std::mutex> lock(mutex_);
              lines_.push_back(line);
          })) {}
    ~LogCapture() { setLogSink(previous_); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    LogSink previous_;
};

} // namespace testing_support
