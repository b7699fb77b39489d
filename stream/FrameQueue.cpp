#include "FrameQueue.h"

#include <string>
#include <utility>

#include "capture/ObjectBlockingQueue.h"

TFrameQueue::TFrameQueue(TFrameQueuePolicy policy) : policy_(std::move(policy)) {}

int32_t TFrameQueue::Count() const {
  const std::lock_guard lock(lock_);
  return static_cast<int32_t>(frames_.size());
}

void TFrameQueue::Offer(std::shared_ptr<const TRtpFrame> frame) {
  const TFramePackage& package = frame->Package();
  const bool key = package.IsKeyFrame();
  if (waitKeyFrame_.load()) {
    if (!key) {
      Drop(frame, "wait i frame, drop");
      // A key frame helps only once the backlog has drained; asked for while this client's queue
      // is still full, it would only be dropped again, and every other client would pay for the
      // extra key frames in bandwidth.
      if (policy_.requestKeyFrame && Count() <= policy_.capacity / 2) policy_.requestKeyFrame();
      return;
    }
    waitKeyFrame_.store(false);
  }
  // A key frame may wait for room only as long as configured (by default not at all): the
  // producer feeds every session, so a client that stopped reading must not hold it up.
  const QueueResult result =
      Insert(frame, key ? policy_.keyFrameWait : std::chrono::milliseconds{0});
  if (result == QueueResult::Done) return;
  if (package.IsVideo()) waitKeyFrame_.store(true);
  if (result == QueueResult::WriteTimeOut || result == QueueResult::WriteFull) {
    Drop(frame, "full, drop");
  } else {
    Drop(frame, std::string("enqueue failed, e=") + InsertErrorMessage(result));
  }
}

QueueResult TFrameQueue::Insert(std::shared_ptr<const TRtpFrame>& frame,
                                std::chrono::milliseconds wait) {
  std::unique_lock lock(lock_);
  const auto hasRoom = [this] {
    return closed_ || frames_.size() < static_cast<size_t>(policy_.capacity);
  };
  if (!hasRoom()) {
    if (wait.count() <= 0) return QueueResult::WriteFull;
    if (!notFull_.wait_for(lock, wait, hasRoom)) return QueueResult::WriteTimeOut;
  }
  if (closed_) return QueueResult::Closed;
  frames_.push_back(std::move(frame));
  lock.unlock();
  notEmpty_.notify_one();
  return QueueResult::Done;
}

std::shared_ptr<const TRtpFrame> TFrameQueue::Take(int32_t timeoutMs) {
  std::unique_lock lock(lock_);
  notEmpty_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [this] { return closed_ || !frames_.empty(); });
  if (frames_.empty()) return nullptr;
  std::shared_ptr<const TRtpFrame> frame = std::move(frames_.front());
  frames_.pop_front();
  lock.unlock();
  notFull_.notify_one();
  return frame;
}

void TFrameQueue::Wait(int32_t timeoutMs) {
  std::unique_lock lock(lock_);
  notEmpty_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                     [this] { return closed_ || woken_ || !frames_.empty(); });
  woken_ = false;
}

void TFrameQueue::Wake() {
  {
    const std::lock_guard lock(lock_);
    woken_ = true;
  }
  notEmpty_.notify_one();
}

void TFrameQueue::Close() {
  std::deque<std::shared_ptr<const TRtpFrame>> left;
  {
    const std::lock_guard lock(lock_);
    closed_ = true;
    left.swap(frames_);
  }
  notEmpty_.notify_all();
  notFull_.notify_all();
}

void TFrameQueue::Drop(std::shared_ptr<const TRtpFrame>& frame, std::string_view why) const {
  frame.reset();
  if (policy_.log) policy_.log(why);
}
