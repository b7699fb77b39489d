// The UDP server's RTP socket as frame senders see it, recording every datagram sent, with
// switches for refusing datagrams, always or after a budget, and for only counting them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "stream/RtpTransport.h"

struct FakeDatagram {
  std::string address;
  uint16_t port = 0;
  std::vector<uint8_t> bytes;
};

class FakeDatagramSender : public TRtpDatagramSender {
 public:
  bool SendGathered(const std::string& address, uint16_t port, TBytePieces pieces) override {
    const std::lock_guard lock(mutex);
    ++attempts;
    target = address + ":" + std::to_string(port);
    if (!succeeds || sendsLeft == 0) return false;
    if (sendsLeft != SIZE_MAX) --sendsLeft;
    if (!keep) return true;
    FakeDatagram& datagram = datagrams.emplace_back(FakeDatagram{address, port, {}});
    for (const auto piece : pieces) {
      datagram.bytes.insert(datagram.bytes.end(), piece.begin(), piece.end());
    }
    return true;
  }

  std::atomic<bool> succeeds = true;
  size_t sendsLeft = SIZE_MAX;  // datagrams sent before every further one is refused
  bool keep = true;             // false: a long run that only counts, without growing
  std::mutex mutex;
  int attempts = 0;    // refused ones too
  std::string target;  // "address:port" of the last attempt
  std::vector<FakeDatagram> datagrams;
};
