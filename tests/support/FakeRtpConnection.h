// A client's RTSP connection as frame senders see it, recording every gathered write joined into
// one block, with switches for the faults senders must survive: a closed connection, failing
// writes, a write that throws something that is not even a std::exception, a write budget.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "stream/RtpTransport.h"

class FakeRtpConnection : public TRtpConnection {
 public:
  using Bytes = std::vector<uint8_t>;

  bool IsOpen() const override { return open; }
  bool WriteGathered(TBytePieces pieces) override {
    if (throws) throw 42;
    const std::lock_guard lock(mutex);
    if (!writeOk || writesLeft == 0) return false;
    if (writesLeft != SIZE_MAX) --writesLeft;
    Bytes& write = writes.emplace_back();
    for (const auto piece : pieces) write.insert(write.end(), piece.begin(), piece.end());
    written.insert(written.end(), write.begin(), write.end());
    return true;
  }
  void SetDisconnectHandler(std::function<void()> h) override {
    const std::lock_guard lock(mutex);
    handler = std::move(h);
  }

  // Tells the disconnect handler, as the connection's thread does once it has ended.
  void Disconnect() {
    std::function<void()> h;
    {
      const std::lock_guard lock(mutex);
      h = handler;
    }
    if (h) h();
  }
  // Closes the connection, then tells the handler.
  void Drop() {
    open = false;
    Disconnect();
  }
  size_t WriteCount() {
    const std::lock_guard lock(mutex);
    return writes.size();
  }
  // Takes the writes so far.
  std::vector<Bytes> TakeWrites() {
    const std::lock_guard lock(mutex);
    written.clear();
    return std::exchange(writes, {});
  }

  std::atomic<bool> open = true, writeOk = true, throws = false;
  size_t writesLeft = SIZE_MAX;  // successful writes before every further one fails
  std::mutex mutex;
  std::vector<Bytes> writes;  // one block per write
  Bytes written;              // everything, in order
  std::function<void()> handler;
};

// The interleaved units ('$', channel, 16-bit length, packet) of one write, in order; bytes that do
// not form a whole unit end up as a last unit of their own, so that a check on it fails.
inline std::vector<std::vector<uint8_t>> InterleavedUnits(const std::vector<uint8_t>& write) {
  std::vector<std::vector<uint8_t>> units;
  for (size_t at = 0; at < write.size();) {
    size_t end = write.size();
    if (write.size() - at >= 4 && write[at] == '$') {
      const size_t unit = 4 + (size_t{write[at + 2]} << 8 | write[at + 3]);
      if (unit <= write.size() - at) end = at + unit;
    }
    units.emplace_back(write.begin() + static_cast<std::ptrdiff_t>(at),
                       write.begin() + static_cast<std::ptrdiff_t>(end));
    at = end;
  }
  return units;
}
