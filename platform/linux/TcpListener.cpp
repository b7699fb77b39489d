#include "platform/TcpListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

namespace platform {
namespace {

void Signal(int eventDescriptor) {
  const std::uint64_t one = 1;
  // Adding 1 to an eventfd counter cannot block or fail short in practice.
  [[maybe_unused]] const ssize_t written = ::write(eventDescriptor, &one, sizeof one);
}

std::string SystemErrorText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

}  // namespace

TTcpListener::TTcpListener(TTcpConnectionHandlers handlers, TTcpLimits limits)
    : handlers_(std::move(handlers)), limits_(limits) {}

TTcpListener::~TTcpListener() {
  Stop();
}

std::string TTcpListener::LastError() const {
  std::lock_guard lock(errorLock_);
  return lastError_;
}

std::size_t TTcpListener::ConnectionCount() const {
  std::lock_guard lock(clientsLock_);
  std::size_t count = 0;
  for (const auto& client : clients_) {
    if (!client->ended.load(std::memory_order_acquire)) ++count;
  }
  return count;
}

bool TTcpListener::Start(std::uint16_t port, const std::string& address) {
  std::lock_guard startStop(startStopLock_);
  const auto fail = [this](std::string text) {
    std::lock_guard lock(errorLock_);
    lastError_ = std::move(text);
    return false;
  };
  if (acceptor_.joinable()) return fail("already listening on port " + std::to_string(Port()));

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &local.sin_addr) != 1) {
    return fail("not an IPv4 address: \"" + address + "\"");
  }
  const std::string where = address + ":" + std::to_string(port);

  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return fail(SystemErrorText("socket", errno));
  // Connections of an earlier run may linger in TIME_WAIT; they must not keep a restart (after a
  // port change back, for instance) from binding. A port another socket listens on still fails.
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      ::listen(fd, SOMAXCONN) != 0) {
    const int error = errno;
    ::close(fd);
    return fail(SystemErrorText("listen on " + where, error));
  }
  const int wakeup = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeup < 0) {
    const int error = errno;
    ::close(fd);
    return fail(SystemErrorText("eventfd", error));
  }
  sockaddr_in bound{};
  socklen_t boundLength = sizeof bound;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength);

  stopping_.store(false, std::memory_order_release);
  try {
    acceptor_ = std::thread(&TTcpListener::AcceptLoop, this, fd, wakeup);
  } catch (const std::system_error& error) {
    ::close(wakeup);
    ::close(fd);
    return fail(std::string("start accept thread: ") + error.what());
  }
  listenSocket_ = fd;
  wakeup_ = wakeup;
  port_.store(ntohs(bound.sin_port), std::memory_order_release);
  listening_.store(true, std::memory_order_release);
  return true;
}

void TTcpListener::Stop() {
  std::lock_guard startStop(startStopLock_);
  if (!acceptor_.joinable()) return;
  stopping_.store(true, std::memory_order_release);
  Signal(wakeup_);
  acceptor_.join();
  // Closing the listening socket first refuses new clients while the open ones end.
  ::close(listenSocket_);
  listenSocket_ = -1;
  listening_.store(false, std::memory_order_release);
  port_.store(0, std::memory_order_release);

  std::list<std::unique_ptr<TClient>> clients;
  {
    std::lock_guard lock(clientsLock_);
    clients.swap(clients_);
  }
  for (const auto& client : clients) client->connection->Close();
  for (const auto& client : clients) client->thread.join();
  clients.clear();
  // Only now: ending connection threads signal it until they are joined.
  ::close(wakeup_);
  wakeup_ = -1;
}

void TTcpListener::AcceptLoop(int listenSocket, int wakeup) {
  for (;;) {
    std::array<pollfd, 2> waits{{{listenSocket, POLLIN, 0}, {wakeup, POLLIN, 0}}};
    if (::poll(waits.data(), waits.size(), -1) < 0) {
      if (errno == EINTR) continue;
      // poll fails only on a programming error (bad arguments, no memory); retry slowly.
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    if (waits[1].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(wakeup, &count, sizeof count);
      if (stopping_.load(std::memory_order_acquire)) return;
      ReapEnded();
    }
    if ((waits[0].revents & POLLIN) == 0) continue;

    const int fd = ::accept4(listenSocket, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      const int error = errno;
      // Out of descriptors or memory: the pending client stays queued and poll would report it
      // again at once, so pause instead of spinning.
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      continue;
    }
    std::unique_ptr<TClient> client;
    try {
      client = std::make_unique<TClient>();
      client->connection = std::make_unique<TTcpConnection>(fd, limits_);
    } catch (const std::bad_alloc&) {
      if (!client || !client->connection) ::close(fd);
      continue;
    }
    // Every connection costs a thread; a flood of them must not cost the machine.
    if (limits_.maxConnections != 0 && ConnectionCount() >= limits_.maxConnections &&
        !MadeRoom()) {
      try {
        if (handlers_.refused) handlers_.refused(*client->connection);
      } catch (...) {
      }
      continue;
    }
    TClient& added = *client;
    std::lock_guard lock(clientsLock_);
    clients_.push_back(std::move(client));
    try {
      added.thread = std::thread(&TTcpListener::ServeClient, this, std::ref(added), wakeup);
    } catch (const std::system_error&) {
      clients_.pop_back();  // out of threads: the client is turned away
    }
  }
}

bool TTcpListener::MadeRoom() {
  try {
    return handlers_.makeRoom && handlers_.makeRoom();
  } catch (...) {
    return false;
  }
}

void TTcpListener::ServeClient(TClient& client, int wakeup) {
  TTcpConnection& connection = *client.connection;
  try {
    if (handlers_.connected) handlers_.connected(connection);
    while (connection.IsOpen()) {
      if (handlers_.serve) {
        handlers_.serve(connection);
      } else {
        connection.ReadBytes(1);
      }
    }
  } catch (...) {
    // Ends the connection below; a read that found it ended arrives here too.
  }
  connection.Close();
  try {
    connection.NotifyDisconnected();
  } catch (...) {
  }
  try {
    if (handlers_.disconnected) handlers_.disconnected(connection);
  } catch (...) {
  }
  client.ended.store(true, std::memory_order_release);
  Signal(wakeup);
}

void TTcpListener::ReapEnded() {
  std::lock_guard lock(clientsLock_);
  for (auto it = clients_.begin(); it != clients_.end();) {
    if ((*it)->ended.load(std::memory_order_acquire)) {
      (*it)->thread.join();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace platform
