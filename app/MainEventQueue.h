// The main thread's queue of things to do: other threads post work here instead of touching the
// service themselves, and the main thread runs it in order.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string_view>

class TMainEventQueue {
 public:
  using Event = std::function<void()>;
  using LogSink = std::function<void(std::string_view)>;

  // log: where a failing event is reported; empty means LogMessage.
  explicit TMainEventQueue(LogSink log = {});

  // From any thread. Events posted after Quit are dropped.
  void Post(Event event);
  // Runs posted events on the calling thread until Quit; an event that throws is logged and the
  // loop goes on.
  void Run();
  // Ends Run once the events posted before it have run; from any thread, also from an event.
  void Quit();

 private:
  LogSink log_;
  std::mutex lock_;
  std::condition_variable posted_;
  std::deque<Event> events_;
  bool quitting_ = false;
};

// The process's queue, serviced by the main thread.
TMainEventQueue& MainEventQueue();
