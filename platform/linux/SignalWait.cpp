#include "platform/SignalWait.h"

#include <pthread.h>
#include <signal.h>

#include <thread>

namespace platform {

void HandleTerminationSignals(std::function<void(int)> onSignal) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // Lives as long as the process; a process ending with it still waiting is fine.
  std::thread([signals, onSignal = std::move(onSignal)] {
    for (;;) {
      int received = 0;
      if (sigwait(&signals, &received) == 0) onSignal(received);
    }
  }).detach();
}

}  // namespace platform
