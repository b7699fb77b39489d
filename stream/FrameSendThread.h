// A thread that runs one sender's send step over and over until it is terminated or the sender
// can send no more. It knows nothing of senders: what to run, how to report an error that ended
// the loop and what to do once it ended come in as functions.
#pragma once

#include <atomic>
#include <functional>
#include <string_view>
#include <thread>

struct TFrameSendWork {
  // False once the sender can send no more; asked before every step.
  std::function<bool()> canSend;
  // Sends one frame, or waits briefly for one.
  std::function<void()> step;
  // Told the error that ended the loop; must not throw.
  std::function<void(std::string_view)> error;
  // Runs on the thread once the loop has ended, for whatever reason; must not throw.
  std::function<void()> ended;
};

class TFrameSendThread {
 public:
  // Starts the thread at once.
  explicit TFrameSendThread(TFrameSendWork work);
  // Terminates and joins.
  ~TFrameSendThread();
  TFrameSendThread(const TFrameSendThread&) = delete;
  TFrameSendThread& operator=(const TFrameSendThread&) = delete;

  // Asks the loop to end after the step in progress.
  void Terminate() noexcept { terminated_.store(true); }
  void Join();
  // The loop has ended, for whatever reason.
  bool Finished() const noexcept { return finished_.load(); }

 private:
  void Run() noexcept;

  const TFrameSendWork work_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;  // last: the thread may only start once the members above exist
};
