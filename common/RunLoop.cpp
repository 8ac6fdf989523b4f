#include "RunLoop.h"

namespace {
thread_local RunLoop* currentLoop = nullptr;
}

RunLoop* RunLoop::current() {
    return currentLoop;
}

void RunLoop::setCurrent(RunLoop* loop) {
    currentLoop = loop;
}
