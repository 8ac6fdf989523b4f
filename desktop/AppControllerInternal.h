#pragma once

// What the files of AppController's implementation share; nothing outside
// desktop/ includes this.

#include <chrono>

namespace app_controller {

// How long the end of the program waits for a connection worker to stop; it
// sees a stop within a fifth of a second.
constexpr auto kConnectionStopWait = std::chrono::seconds(3);

} // namespace app_controller
