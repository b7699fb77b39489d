#include "GeneralQueue.h"

#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

namespace {

void FreeBlock(void* item) {
  std::free(item);
}

}  // namespace

TGeneralQueue::TGeneralQueue(int32_t capacity, ItemDisposer disposer)
    : capacity_(capacity), disposer_(disposer ? std::move(disposer) : &FreeBlock) {
  if (capacity < 1) {
    throw std::invalid_argument("queue capacity must be at least 1, not " +
                                std::to_string(capacity));
  }
  slots_.resize(static_cast<size_t>(capacity));
}

TGeneralQueue::~TGeneralQueue() {
  // A caller still blocked in Write or Read would otherwise wake up in a destroyed queue.
  CloseQueue();
  Clear();
}

template <typename StillBlocked>
QueueResult TGeneralQueue::WaitWhile(std::unique_lock<std::mutex>& lock,
                                     std::condition_variable& condition, int32_t& waiting,
                                     int32_t timeoutMs, StillBlocked stillBlocked,
                                     QueueResult timedOut) {
  const auto released = [&] { return closed_ || !stillBlocked(); };
  ++waiting;
  if (timeoutMs < 0) {
    condition.wait(lock, released);
  } else {
    // One deadline for the whole call: being woken for a slot another caller then took does not
    // restart the time-out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    condition.wait_until(lock, deadline, released);
  }
  --waiting;
  if (closed_ && waitingWriters_ == 0 && waitingReaders_ == 0) waitersLeft_.notify_all();

  // Room or data that showed up wins over a close, so a closed queue can still be drained.
  if (!stillBlocked()) return QueueResult::Done;
  if (closed_) return QueueResult::Closed;
  return timedOut;
}

QueueResult TGeneralQueue::Write(void* item, int32_t tag, int32_t timeoutMs) {
  // A null item is refused before any wait: blocking a producer only to refuse it helps nobody.
  if (!item) return QueueResult::NilItem;

  std::unique_lock lock(mutex_);
  const auto full = [this] { return count_ >= capacity_; };
  if (full() && timeoutMs != kQueueNoWait) {
    const QueueResult waited =
        WaitWhile(lock, spaceFreed_, waitingWriters_, timeoutMs, full, QueueResult::WriteTimeOut);
    if (waited != QueueResult::Done) return waited;
  }
  if (full()) return QueueResult::WriteFull;

  const size_t position = (readPosition_ + static_cast<size_t>(count_)) % slots_.size();
  slots_[position] = Slot{item, tag};
  ++count_;
  // Notified under the lock, so that the queue cannot be closed and destroyed in between.
  dataAdded_.notify_one();
  return QueueResult::Done;
}

QueueResult TGeneralQueue::Read(void*& item, int32_t& tag, int32_t timeoutMs) {
  std::unique_lock lock(mutex_);
  const auto empty = [this] { return count_ == 0; };
  if (empty() && timeoutMs != kQueueNoWait) {
    const QueueResult waited =
        WaitWhile(lock, dataAdded_, waitingReaders_, timeoutMs, empty, QueueResult::ReadTimeOut);
    if (waited != QueueResult::Done) return waited;
  }
  if (empty()) return QueueResult::ReadEmpty;

  const Slot oldest = TakeOldest();
  item = oldest.item;
  tag = oldest.tag;
  spaceFreed_.notify_one();
  return item ? QueueResult::Done : QueueResult::NilItem;
}

TGeneralQueue::Slot TGeneralQueue::TakeOldest() {
  Slot oldest = slots_[readPosition_];
  slots_[readPosition_] = Slot{};
  readPosition_ = (readPosition_ + 1) % slots_.size();
  --count_;
  return oldest;
}

void TGeneralQueue::CloseQueue() {
  std::unique_lock lock(mutex_);
  closed_ = true;
  spaceFreed_.notify_all();
  dataAdded_.notify_all();
  waitersLeft_.wait(lock, [this] { return waitingWriters_ == 0 && waitingReaders_ == 0; });
}

void TGeneralQueue::Clear() {
  // One item at a time, each disposed of outside the lock: disposing may run arbitrary destructors,
  // and this runs from the destructor, where collecting the items first could throw.
  for (int32_t left = Count(); left > 0; --left) {
    void* item = nullptr;
    {
      std::lock_guard lock(mutex_);
      if (count_ == 0) break;
      item = TakeOldest().item;
      spaceFreed_.notify_one();
    }
    if (item) disposer_(item);
  }
}

bool TGeneralQueue::IsFull() const {
  std::lock_guard lock(mutex_);
  return count_ >= capacity_;
}

bool TGeneralQueue::IsClosed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

int32_t TGeneralQueue::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

int32_t TGeneralQueue::WaitingWriters() const {
  std::lock_guard lock(mutex_);
  return waitingWriters_;
}

int32_t TGeneralQueue::WaitingReaders() const {
  std::lock_guard lock(mutex_);
  return waitingReaders_;
}
