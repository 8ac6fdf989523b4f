#pragma once

// What the files of AppController's implementation share; nothing outside
// app/ includes this.

#include <chrono>

namespace app_controller {

// How long the end of the program waits for a connection worker to stop; it
// sees a stop within a fifth of a second.
constexpr auto kConnectionStopWait = std::chrono::seconds(3);

// The log line of an exception from outside the family that escaped a
// worker's steps; call inside a catch block.
void logForeignException(const char* worker);

} // namespace app_controller
