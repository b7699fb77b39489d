// Accepts TCP connections on one port and serves each on a thread of its own, through three
// handlers, until it is stopped.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "TcpConnection.h"

namespace platform {

// Run on the connection's own thread. An exception thrown by any of them ends the connection (the
// caller is expected to catch and report its own failures; this is only the last safeguard).
struct TTcpConnectionHandlers {
  // Once, first.
  std::function<void(TTcpConnection&)> connected = nullptr;
  // Again and again while the connection is open, normally serving one request per call. When
  // empty, the thread only waits for the connection to end.
  std::function<void(TTcpConnection&)> serve = nullptr;
  // Once, after the connection ended and its disconnect notification ran; the connection object
  // is destroyed right after, so this is where other threads that write on it are stopped.
  std::function<void(TTcpConnection&)> disconnected = nullptr;
  // On the accepting thread, for a connection turned away because maxConnections are open; it is
  // closed right after. None of the other handlers run for it.
  std::function<void(TTcpConnection&)> refused = nullptr;
  // On the accepting thread, when maxConnections are open and one more arrives: true when it
  // closed an open connection to make room, and the new one is then served (for the moment the
  // closed one takes to end, one more thread runs than the cap says).
  std::function<bool()> makeRoom = nullptr;
};

class TTcpListener {
 public:
  explicit TTcpListener(TTcpConnectionHandlers handlers, TTcpLimits limits = {});
  // Stops.
  ~TTcpListener();
  TTcpListener(const TTcpListener&) = delete;
  TTcpListener& operator=(const TTcpListener&) = delete;

  // Listens on the port (0: the system chooses) of the given IPv4 address, all local addresses by
  // default. False when already listening or when the port cannot be bound (see LastError); the
  // listener then stays inactive and may be started again.
  bool Start(std::uint16_t port, const std::string& address = "0.0.0.0");
  // Stops accepting, closes every open connection and returns when every connection thread has
  // ended. Waiting is bounded by the handlers: reads and writes waiting on a connection return at
  // once. Must not be called from a connection's handler.
  void Stop();

  bool IsListening() const { return listening_.load(std::memory_order_acquire); }
  // The port being listened on; 0 while inactive.
  std::uint16_t Port() const { return port_.load(std::memory_order_acquire); }
  // Why the last Start failed, in English.
  std::string LastError() const;
  // Connections whose thread has not ended yet.
  std::size_t ConnectionCount() const;

 private:
  struct TClient {
    std::unique_ptr<TTcpConnection> connection;
    std::thread thread;
    std::atomic<bool> ended{false};
  };

  void AcceptLoop(int listenSocket, int wakeup);
  bool MadeRoom();
  void ServeClient(TClient& client, int wakeup);
  // Joins and destroys the clients whose thread ended.
  void ReapEnded();

  const TTcpConnectionHandlers handlers_;
  const TTcpLimits limits_;

  std::mutex startStopLock_;  // makes Start and Stop one step each for every caller
  std::thread acceptor_;
  int listenSocket_ = -1;
  int wakeup_ = -1;  // tells the accept thread to stop or to reap ended connections
  std::atomic<bool> stopping_{false};
  std::atomic<bool> listening_{false};
  std::atomic<std::uint16_t> port_{0};

  mutable std::mutex clientsLock_;
  std::list<std::unique_ptr<TClient>> clients_;

  mutable std::mutex errorLock_;
  std::string lastError_;
};

}  // namespace platform
