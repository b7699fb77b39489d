// What a frame sender needs from the two ways RTP leaves the process: the client's RTSP connection
// (interleaved) and the UDP server's RTP socket. Both are small so that tests can fake them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

// Pieces of bytes that go out as one, in order: a viewer's own RTP headers between the payloads
// every viewer shares, so that the payloads are never copied per viewer.
using TBytePieces = std::span<const std::span<const uint8_t>>;

// The RTSP TCP connection of one client, as the senders bound to it see it.
class TRtpConnection {
 public:
  TRtpConnection() : id_(NextId()) {}
  virtual ~TRtpConnection() = default;
  TRtpConnection(const TRtpConnection&) = delete;
  TRtpConnection& operator=(const TRtpConnection&) = delete;
  // Unique for the process's life, never 0: unlike the object's address, a connection that has
  // gone cannot hand its identity to the next one, so sessions and bye actions that name a
  // connection by it can never name the wrong one.
  uint64_t Id() const { return id_; }
  virtual bool IsOpen() const = 0;
  // Writes every piece, in order, as one uninterrupted write: no other writer's bytes (an RTSP
  // answer on the connection thread, another sender) can land in between. False when the write
  // failed.
  virtual bool WriteGathered(TBytePieces pieces) = 0;
  // The start of such a write from a thread that must not wait (the one feeding every viewer):
  // what the connection takes at once, and only while no other writer is busy. Returns the bytes
  // sent, nullopt when the write failed. All of them: done. None: nothing happened. A part: the
  // write has begun and holds off every other writer until FinishGathered completes it. A
  // connection that cannot write without waiting never starts.
  virtual std::optional<size_t> TryWriteGathered(TBytePieces /*pieces*/) { return 0; }
  // Completes, waiting as WriteGathered does, a write TryWriteGathered began after `sent` bytes.
  virtual bool FinishGathered(TBytePieces /*pieces*/, size_t /*sent*/) { return false; }
  // The one disconnect notification of the connection; setting it again replaces the earlier one.
  // It runs on the connection's own thread. An empty function removes it.
  virtual void SetDisconnectHandler(std::function<void()> handler) = 0;

 private:
  static uint64_t NextId() {
    static std::atomic<uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  const uint64_t id_;
};

// Sends datagrams from the RTP socket.
class TRtpDatagramSender {
 public:
  virtual ~TRtpDatagramSender() = default;
  // One datagram made of the pieces in order. False when it could not be sent (socket not open,
  // error).
  virtual bool SendGathered(const std::string& address, uint16_t port, TBytePieces pieces) = 0;
  // The datagrams, in order, each made of its pieces: a viewer's packets of one frame. Returns how
  // many were sent: all, or those before the first that could not be. A socket that can hand the
  // system many datagrams in one call does so; this one sends them one by one.
  virtual size_t SendBatch(const std::string& address, uint16_t port,
                           std::span<const TBytePieces> datagrams) {
    size_t sent = 0;
    while (sent < datagrams.size() && SendGathered(address, port, datagrams[sent])) ++sent;
    return sent;
  }
};
