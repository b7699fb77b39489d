// The main thread's queue of things to do: other threads post work here instead of touching the
// service themselves, and the main thread runs it in order. Either Run services it, or a window
// toolkit's own loop does, woken by the wake handler and calling RunPosted.
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

  // Called after every Post, on the posting thread, so another loop can schedule RunPosted. Set it
  // before other threads post, and clear it before what it wakes goes away.
  void SetWakeHandler(std::function<void()> wake);
  // Runs the events posted so far, on the calling thread, without waiting for more.
  void RunPosted();

 private:
  void RunEvent(Event& event);

  LogSink log_;
  std::function<void()> wake_;
  std::mutex lock_;
  std::condition_variable posted_;
  std::deque<Event> events_;
  bool quitting_ = false;
};

// The process's queue, serviced by the main thread.
TMainEventQueue& MainEventQueue();
