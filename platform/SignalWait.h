// Turning the termination signals (SIGINT, SIGTERM) into an ordinary call on a thread of our own,
// so shutting down can take locks and join threads like any other code.
#pragma once

#include <functional>

namespace platform {

// Blocks SIGINT and SIGTERM in the calling thread (call it before any other thread starts, so
// every thread inherits the mask) and starts a thread that calls onSignal for each one that
// arrives, with the signal number. Call once per process.
void HandleTerminationSignals(std::function<void(int)> onSignal);

}  // namespace platform
