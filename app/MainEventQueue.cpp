#include "MainEventQueue.h"

#include <exception>
#include <string>

#include "log/ServiceLog.h"

TMainEventQueue::TMainEventQueue(LogSink log) : log_(std::move(log)) {}

void TMainEventQueue::Post(Event event) {
  std::function<void()> wake;
  {
    const std::lock_guard guard(lock_);
    if (quitting_) return;
    events_.push_back(std::move(event));
    wake = wake_;
  }
  posted_.notify_one();
  if (wake) wake();
}

void TMainEventQueue::SetWakeHandler(std::function<void()> wake) {
  const std::lock_guard guard(lock_);
  wake_ = std::move(wake);
}

void TMainEventQueue::RunPosted() {
  std::deque<Event> events;
  {
    const std::lock_guard guard(lock_);
    events.swap(events_);
  }
  for (Event& event : events) RunEvent(event);
}

void TMainEventQueue::Quit() {
  Post([this] {
    const std::lock_guard guard(lock_);
    quitting_ = true;
  });
}

void TMainEventQueue::Run() {
  for (;;) {
    Event event;
    {
      std::unique_lock guard(lock_);
      posted_.wait(guard, [this] { return !events_.empty() || quitting_; });
      if (events_.empty()) return;  // quitting, and everything before the quit has run
      event = std::move(events_.front());
      events_.pop_front();
    }
    RunEvent(event);
  }
}

void TMainEventQueue::RunEvent(Event& event) {
  try {
    event();
  } catch (const std::exception& e) {
    const std::string line = std::string("main form msg proc failed, e=") + e.what();
    if (log_) {
      log_(line);
    } else {
      LogMessage(line);
    }
  }
}

TMainEventQueue& MainEventQueue() {
  static TMainEventQueue* const queue = new TMainEventQueue();
  return *queue;
}
