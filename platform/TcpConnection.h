// One accepted TCP connection: buffered reads of lines and byte blocks for the thread that serves
// it, whole-unit writes from any thread, and one notification when it has ended.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// A read that could not deliver what was asked: the peer closed the connection, the connection
// was closed here, the system reported an error, or the input broke a limit. The connection is
// closed when this is thrown.
class TTcpError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct TTcpLimits {
  // Characters a line may hold before its line feed (a carriage return in front of it aside).
  std::size_t maxLineLength = 16384;
  // Bytes one ReadBytes may ask for, so that a length announced by the peer cannot make this
  // side reserve or wait for any amount of memory.
  std::size_t maxBlockLength = 1024 * 1024;
  // Longest time one WriteAll may take, waiting for other writers included. A peer that stops
  // reading while keeping the connection open fills its receive window; the write then fails and
  // the connection is closed instead of holding its writers forever.
  std::chrono::milliseconds writeTimeout{5000};
  // Listener: connections served at once; one more is closed as soon as it is accepted. 0: no cap.
  std::size_t maxConnections = 0;
};

// Address and port of one end of a connection; the address in dotted decimal text.
struct TTcpEndpoint {
  std::string address;
  std::uint16_t port = 0;
};

class TTcpConnection {
 public:
  // Takes over a connected stream socket (a POSIX descriptor); it is released with the object.
  explicit TTcpConnection(int socket, TTcpLimits limits = {});
  ~TTcpConnection();
  TTcpConnection(const TTcpConnection&) = delete;
  TTcpConnection& operator=(const TTcpConnection&) = delete;

  // Reading belongs to one thread at a time: the thread that serves the connection.
  //
  // The next line, up to its line feed, without the line feed and without a carriage return just
  // before it (a carriage return elsewhere stays in the line). Waits as long as needed. Throws
  // TTcpError when the connection ends first or the line exceeds maxLineLength.
  std::string ReadLine();
  // As ReadLine, but a line over maxLineLength gives nothing, leaves the connection open and the
  // line unread: a server can still answer such a request before it closes.
  std::optional<std::string> TryReadLine();
  // Exactly count bytes, waiting as long as needed. Throws TTcpError when the connection ends
  // first or count exceeds maxBlockLength.
  std::vector<std::uint8_t> ReadBytes(std::size_t count);
  // Drops input already received and not yet read, without waiting for more.
  void DiscardInput();
  // From then on, a read still waiting at the deadline throws TTcpError and closes the
  // connection; nullopt lets reads wait as long as needed again. Reading thread only.
  void SetReadDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
    readDeadline_ = deadline;
  }

  // Writes every byte as one unit: bytes of other writers never land in between. Usable from any
  // thread, also while another thread reads. False when the connection is closed, the peer is
  // gone, or the write did not finish within writeTimeout; the connection is closed then, since
  // a unit cut short would leave the peer out of step anyway.
  bool WriteAll(std::span<const std::uint8_t> bytes);
  bool WriteAll(std::string_view text);
  // The pieces, in order, as one such unit, in as few system calls as the system allows: a
  // frame's RTP packets go out without first being copied together.
  bool WriteAllGathered(std::span<const std::span<const std::uint8_t>> pieces);
  // The start of such a unit from a thread that must not wait (one that feeds many peers): sends
  // what the socket takes at once, and only when no other writer has the turn. Returns the bytes
  // sent, nullopt when the write failed as WriteAllGathered's would. All of them: the unit is
  // done. None: nothing happened, the unit may be written later. A part: the unit has begun and
  // keeps the writer's turn, so no other bytes get in; FinishWriteGathered must complete it, from
  // any thread.
  std::optional<std::size_t> TryWriteGathered(
      std::span<const std::span<const std::uint8_t>> pieces);
  // Sends the unit from byte `sent` on as WriteAllGathered would, then gives the turn back.
  bool FinishWriteGathered(std::span<const std::span<const std::uint8_t>> pieces,
                           std::size_t sent);

  // False once the connection was closed here or found closed by a read or write. A peer that
  // left is noticed by the next read or write.
  bool IsOpen() const { return open_.load(std::memory_order_acquire); }
  // Ends the connection in both directions; a read or write waiting in another thread returns
  // at once. Safe from any thread, any number of times.
  void Close();

  const TTcpEndpoint& Peer() const { return peer_; }
  // The local end the connection was accepted on.
  const TTcpEndpoint& Local() const { return local_; }

  // The one disconnect notification; setting it again replaces the earlier one, an empty
  // function removes it. It runs once, on the thread that serves the connection, after the
  // connection ended; a handler set after that is never called. Once this call returns, a
  // replaced handler is neither running nor called again, so its owner may go away. The handler
  // may call this function itself.
  void SetDisconnectHandler(std::function<void()> handler);

 private:
  friend class TTcpListener;

  // Runs the disconnect notification unless it already ran.
  void NotifyDisconnected();
  // Reads what is available into the buffer, waiting for at least one byte. Throws on end.
  void Fill();
  // Takes the writer's turn, waiting at most until the deadline; false (and closed) otherwise.
  bool TakeWriteTurn(std::chrono::steady_clock::time_point deadline);
  void GiveWriteTurnBack();
  enum class TSendEnd { Sent, TimedOut, Failed };
  // Sends the pieces from byte `sent` on, counting what goes out there, until all went out (Sent),
  // the deadline passed with the socket full (TimedOut) or the system refused (Failed). Called by
  // the writer whose turn it is.
  TSendEnd SendAll(std::span<const std::span<const std::uint8_t>> pieces, std::size_t& sent,
                   std::chrono::steady_clock::time_point deadline);
  // Gives the turn back and closes the connection unless the unit went out whole.
  bool EndWrite(TSendEnd end);
  [[noreturn]] void Fail(const std::string& message);

  const int socket_;
  const TTcpLimits limits_;
  TTcpEndpoint peer_;
  TTcpEndpoint local_;
  std::atomic<bool> open_{true};

  std::string input_;  // received, not yet read, from inputStart_ on
  std::optional<std::chrono::steady_clock::time_point> readDeadline_;
  std::size_t inputStart_ = 0;

  // One writer at a time; waiting for the turn behind a stalled writer counts against
  // writeTimeout too. (A condition variable rather than std::timed_mutex, whose clock-based lock
  // ThreadSanitizer does not follow.)
  std::mutex writeTurnLock_;
  std::condition_variable writeTurnFree_;
  bool writing_ = false;

  std::recursive_mutex disconnectLock_;
  std::function<void()> disconnectHandler_;
  bool disconnectNotified_ = false;
};

}  // namespace platform
