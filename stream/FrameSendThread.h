// The thread of one running frame sender: takes packages off the sender's queue and sends them
// until it is terminated or the sender stops or fails.
#pragma once

#include <atomic>
#include <thread>

class TFrameSender;

class TFrameSendThread {
 public:
  // Starts the thread at once.
  explicit TFrameSendThread(TFrameSender& sender);
  // Terminates and joins.
  ~TFrameSendThread();
  TFrameSendThread(const TFrameSendThread&) = delete;
  TFrameSendThread& operator=(const TFrameSendThread&) = delete;

  // Asks the loop to end after the package in progress.
  void Terminate() noexcept { terminated_.store(true); }
  void Join();
  // The loop has ended, for whatever reason.
  bool Finished() const noexcept { return finished_.load(); }

 private:
  void Run() noexcept;

  TFrameSender& sender_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::thread thread_;  // last: the thread may only start once the flags above exist
};
