// A bounded first-in first-out ring of (item, tag) pairs that threads write and read with
// time-outs. Every outcome is a numbered result rather than an exception, because the producer
// (one thread feeding every session) must never be thrown off by one slow or closed consumer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

enum class QueueResult : int {
  Done = 0,
  NilItem = -1,          // Write: the item is null. Read: the slot held null (it is consumed)
  Closed = -2,           // the queue was closed while the call had to wait
  WriteTimeOut = -4,     // still full when the time-out ran out
  ReadTimeOut = -5,      // still empty when the time-out ran out
  WriteWaitFailed = -6,  // kept for the numbering; condition-variable waits cannot fail
  ReadWaitFailed = -7,
  WriteFull = -8,  // full, and the caller asked not to wait
  ReadEmpty = -9,  // empty, and the caller asked not to wait
};

// Time-outs are milliseconds; 0 means no wait at all and any negative value waits without limit.
inline constexpr int32_t kQueueNoWait = 0;
inline constexpr int32_t kQueueWaitForever = -1;

class TGeneralQueue {
 public:
  // Disposes of an item the queue still holds when it is cleared or destroyed.
  using ItemDisposer = std::function<void(void* item)>;

  // capacity must be at least 1 (std::invalid_argument otherwise). Without a disposer the items
  // are taken to be std::malloc blocks and are freed with std::free.
  explicit TGeneralQueue(int32_t capacity, ItemDisposer disposer = nullptr);
  // Closes the queue (waking and waiting out any blocked caller), then disposes of what is left.
  virtual ~TGeneralQueue();
  TGeneralQueue(const TGeneralQueue&) = delete;
  TGeneralQueue& operator=(const TGeneralQueue&) = delete;

  // Appends (item, tag), waiting up to timeoutMs for a free slot. On success the queue owns item.
  QueueResult Write(void* item, int32_t tag, int32_t timeoutMs);
  // Takes the oldest pair, waiting up to timeoutMs for one. On success the caller owns item.
  QueueResult Read(void*& item, int32_t& tag, int32_t timeoutMs);

  // Ends every wait, now and later, with Closed. Returns once no caller is left waiting. Writes to
  // a queue with room and reads from a non-empty one still succeed, so what is queued can be
  // drained. A closed queue stays closed.
  void CloseQueue();
  // Takes every item out and disposes of it.
  void Clear();

  bool IsFull() const;
  bool IsClosed() const;
  int32_t Count() const;
  int32_t Capacity() const { return capacity_; }
  int32_t WaitingWriters() const;
  int32_t WaitingReaders() const;

 private:
  struct Slot {
    void* item = nullptr;
    int32_t tag = 0;
  };

  // Waits on condition while stillBlocked() holds, the queue is open and time is left, counting
  // the caller in waiting. Done when no longer blocked, else Closed, else timedOut.
  template <typename StillBlocked>
  QueueResult WaitWhile(std::unique_lock<std::mutex>& lock, std::condition_variable& condition,
                        int32_t& waiting, int32_t timeoutMs, StillBlocked stillBlocked,
                        QueueResult timedOut);

  // Removes the oldest pair; the lock is held and the queue is not empty.
  Slot TakeOldest();

  const int32_t capacity_;
  const ItemDisposer disposer_;

  mutable std::mutex mutex_;
  std::condition_variable spaceFreed_;
  std::condition_variable dataAdded_;
  std::condition_variable waitersLeft_;
  bool closed_ = false;
  int32_t waitingWriters_ = 0;
  int32_t waitingReaders_ = 0;
  size_t readPosition_ = 0;  // slot of the oldest item
  int32_t count_ = 0;
  std::vector<Slot> slots_;
};
