// The frames waiting for one viewer's send thread, and the policy that decides which frames a
// viewer that cannot keep up does without. The producer feeds every viewer from one thread, so
// nothing here may hold it up longer than the configured key frame wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string_view>

#include "capture/GeneralQueue.h"
#include "RtpFrame.h"

struct TFrameQueuePolicy {
  int32_t capacity = 100;
  // Asks the encoder for a key frame; runs on the producer's thread. May be empty.
  std::function<void()> requestKeyFrame;
  // How long a key frame offered to a full queue may wait for room.
  std::chrono::milliseconds keyFrameWait{0};
  // Told why a frame was dropped; must not throw.
  std::function<void(std::string_view)> log;
};

class TFrameQueue {
 public:
  explicit TFrameQueue(TFrameQueuePolicy policy);
  TFrameQueue(const TFrameQueue&) = delete;
  TFrameQueue& operator=(const TFrameQueue&) = delete;

  // An audio track has no key frames to wait for.
  void WaitForKeyFrames(bool wait) { waitKeyFrame_.store(wait); }
  bool WaitingForKeyFrame() const { return waitKeyFrame_.load(); }

  // Queues the frame or drops it: a video track drops frames until a key frame comes, and again
  // after the queue overflowed, asking for a key frame once the backlog has drained to half.
  void Offer(std::shared_ptr<const TRtpFrame> frame);
  // The oldest frame; null when none came within timeoutMs or the queue is closed.
  std::shared_ptr<const TRtpFrame> Take(int32_t timeoutMs);
  // Waits at most timeoutMs for a frame, the queue's end or a Wake, without taking anything.
  void Wait(int32_t timeoutMs);
  // Ends the Wait in progress, or else the next one, at once: the sender has work that is not a
  // queued frame.
  void Wake();
  // Ends waiting on both sides for good and lets go of the frames still queued.
  void Close();
  int32_t Count() const;

 private:
  QueueResult Insert(std::shared_ptr<const TRtpFrame>& frame, std::chrono::milliseconds wait);
  void Drop(std::shared_ptr<const TRtpFrame>& frame, std::string_view why) const;

  const TFrameQueuePolicy policy_;
  std::atomic<bool> waitKeyFrame_{true};
  mutable std::mutex lock_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<std::shared_ptr<const TRtpFrame>> frames_;
  bool closed_ = false;
  bool woken_ = false;
};
