#include <gtest/gtest.h>

#include <array>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/UdpSocket.h"

namespace {

using namespace std::chrono_literals;
using platform::TUdpSocket;

std::span<const std::uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A socket whose handler records "bytes from address:port"; its first datagram may be made to
// throw in the handler.
class TRecordingSocket {
 public:
  explicit TRecordingSocket(std::uint16_t port = 0, bool throwFirst = false)
      : socket(port, [this, throwFirst](std::span<const std::uint8_t> bytes,
                                        const std::string& address, std::uint16_t from) {
          std::lock_guard lock(lock_);
          if (throwFirst && ++calls_ == 1) throw std::runtime_error("rejected");
          received_.push_back(std::string(bytes.begin(), bytes.end()) + " from " + address + ":" +
                              std::to_string(from));
          changed_.notify_all();
        }) {}

  // Waits until count datagrams arrived or the time-out passed; returns all so far.
  std::vector<std::string> WaitFor(std::size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
    return received_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int calls_ = 0;
  std::vector<std::string> received_;

 public:
  TUdpSocket socket;  // last, so that its receive thread ends before the rest goes
};

TEST(UdpSocket, DeliversWholeDatagramsWithTheirSourceDespiteAFailingHandler) {
  TRecordingSocket server(0, true);
  ASSERT_TRUE(server.socket.Open()) << server.socket.LastError();
  ASSERT_NE(server.socket.Port(), 0);
  TRecordingSocket client;
  ASSERT_TRUE(client.socket.Open());
  const std::string from = " from 127.0.0.1:" + std::to_string(client.socket.Port());

  const std::string large(60000, 'x');
  for (const std::string& datagram : {std::string("thrown away"), large, std::string()}) {
    ASSERT_TRUE(client.socket.SendTo("127.0.0.1", server.socket.Port(), Bytes(datagram)));
  }
  EXPECT_EQ(server.WaitFor(2), (std::vector<std::string>{large + from, from}));

  ASSERT_TRUE(server.socket.SendTo("127.0.0.1", client.socket.Port(), Bytes("answer")));
  EXPECT_EQ(client.WaitFor(1), (std::vector<std::string>{"answer from 127.0.0.1:" +
                                                         std::to_string(server.socket.Port())}));
}

TEST(UdpSocket, RefusesWhatItCannotDo) {
  TRecordingSocket holder;
  ASSERT_TRUE(holder.socket.Open());
  TUdpSocket socket(holder.socket.Port(), nullptr);
  EXPECT_FALSE(socket.SendTo("127.0.0.1", holder.socket.Port(), Bytes("not open")));
  EXPECT_EQ(socket.LastError(), "UDP socket not open");
  EXPECT_FALSE(socket.Open());
  EXPECT_FALSE(socket.IsOpen());
  EXPECT_EQ(socket.LastError(),
            "bind UDP port " + std::to_string(holder.socket.Port()) + ": Address already in use");

  TUdpSocket free(0, nullptr);
  ASSERT_TRUE(free.Open());
  for (const char* address : {"", "localhost", "127.0.0", "256.1.1.1", "::1"}) {
    EXPECT_FALSE(free.SendTo(address, holder.socket.Port(), Bytes("bad"))) << address;
  }
  EXPECT_EQ(free.LastError(), "not an IPv4 address: \"::1\"");
  EXPECT_FALSE(free.SendTo("127.0.0.1", holder.socket.Port(), Bytes(std::string(70000, 'x'))));
  EXPECT_TRUE(holder.WaitFor(1, 100ms).empty());
}

// Sizes (70000: refused); loopback drops much of the batch over one call, so it is counted only.
TEST(UdpSocket, BatchSendsWholeDatagramsInOrderUpToTheFirstRefused) {
  for (const std::vector<std::size_t>& sizes : std::vector<std::vector<std::size_t>>{
           {3, 0, 9}, {70000, 4}, {2, 5, 70000, 6}, std::vector<std::size_t>(1100, 1)}) {
    TRecordingSocket receiver;
    TUdpSocket sender(0, nullptr);
    ASSERT_TRUE(receiver.socket.Open() && sender.Open());
    const std::string a = "a", b(70000, 'b'),
                      from = " from 127.0.0.1:" + std::to_string(sender.Port());
    std::vector<std::array<std::span<const std::uint8_t>, 2>> pieces;
    std::vector<std::string> expected;
    for (const std::size_t size : sizes) {
      pieces.push_back({Bytes(a), Bytes(b).first(size)});
      if (size < b.size() && expected.size() + 1 == pieces.size())
        expected.push_back("a" + b.substr(0, size) + from);
    }
    const std::vector<platform::TDatagramPieces> datagrams(pieces.begin(), pieces.end());
    EXPECT_EQ(sender.SendBatchTo("127.0.0.1", receiver.socket.Port(), datagrams), expected.size());
    EXPECT_EQ(sender.LastError(),
              expected.size() < sizes.size() ? "sendmsg: Message too long" : "");
    if (sizes.size() < 100) {
      EXPECT_EQ(receiver.WaitFor(expected.size() + 1, 100ms), expected);
    }
  }
}

TEST(UdpSocket, CloseEndsPromptlyWhileOthersSendAndReleasesThePort) {
  TRecordingSocket receiver;
  ASSERT_TRUE(receiver.socket.Open());
  TUdpSocket socket(0, [](std::span<const std::uint8_t>, const std::string&, std::uint16_t) {});
  ASSERT_TRUE(socket.Open());
  const std::uint16_t port = socket.Port();

  std::atomic<bool> stop{false};
  std::atomic<int> refusedWhileClosed{0};
  std::thread sender([&] {
    while (!stop) {
      const bool wasOpen = socket.IsOpen();
      if (!socket.SendTo("127.0.0.1", receiver.socket.Port(), Bytes("x")) && !wasOpen) {
        ++refusedWhileClosed;
      }
    }
  });
  std::this_thread::sleep_for(20ms);
  const auto start = std::chrono::steady_clock::now();
  socket.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  std::this_thread::sleep_for(20ms);
  stop = true;
  sender.join();
  EXPECT_GT(refusedWhileClosed.load(), 0);
  EXPECT_FALSE(socket.IsOpen());

  {
    TUdpSocket successor(port, nullptr);
    EXPECT_TRUE(successor.Open()) << "the port was not released";
  }
  // A closed socket opens again on its port; the destructor closes it.
  ASSERT_TRUE(socket.Open()) << socket.LastError();
  EXPECT_EQ(socket.Port(), port);
}

}  // namespace
