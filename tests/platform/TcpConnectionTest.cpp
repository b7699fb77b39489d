#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/TcpConnection.h"
#include "platform/TcpListener.h"

namespace {

using namespace std::chrono_literals;
using platform::TTcpConnection;
using platform::TTcpError;
using platform::TTcpLimits;
using platform::TTcpListener;
using TSteadyClock = std::chrono::steady_clock;

// A plain client socket on 127.0.0.1, independent of the code under test. A small receive
// buffer makes a client that does not read stall the server's writes soon.
class TClient {
 public:
  explicit TClient(std::uint16_t port, int receiveBuffer = 0)
      : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (receiveBuffer > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
    socklen_t length = sizeof server;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&server), &length);
    localPort_ = ntohs(server.sin_port);
  }
  ~TClient() { Close(); }
  TClient(const TClient&) = delete;
  TClient& operator=(const TClient&) = delete;

  bool Connected() const { return connected_; }
  std::uint16_t LocalPort() const { return localPort_; }
  void Send(const std::string& bytes) const { ::send(fd_, bytes.data(), bytes.size(), 0); }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // count bytes; fewer when the connection ends or five seconds pass first.
  std::string Read(std::size_t count) const {
    std::string bytes;
    char chunk[65536];
    pollfd readable{fd_, POLLIN, 0};
    while (bytes.size() < count && ::poll(&readable, 1, 5000) == 1) {
      const ssize_t got = ::recv(fd_, chunk, std::min(sizeof chunk, count - bytes.size()), 0);
      if (got <= 0) break;
      bytes.append(chunk, static_cast<std::size_t>(got));
    }
    return bytes;
  }

  // True when the server ends the connection within five seconds.
  bool WaitForEnd() const {
    char chunk[65536];
    pollfd readable{fd_, POLLIN, 0};
    while (::poll(&readable, 1, 5000) == 1) {
      if (::recv(fd_, chunk, sizeof chunk, 0) <= 0) return true;
    }
    return false;
  }

 private:
  int fd_;
  bool connected_ = false;
  std::uint16_t localPort_ = 0;
};

// What the connection threads report, in order, for the test thread to wait on.
class TEvents {
 public:
  void Add(std::string event) {
    std::lock_guard lock(lock_);
    events_.push_back(std::move(event));
    changed_.notify_all();
  }
  // Waits up to five seconds until the event happened count times; returns all events so far.
  std::vector<std::string> WaitFor(const std::string& event, long count = 1) {
    std::unique_lock lock(lock_);
    changed_.wait_for(lock, 5s,
                      [&] { return std::count(events_.begin(), events_.end(), event) >= count; });
    return events_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
};

TEST(TcpConnection, ReadsLinesAndBodiesWhateverThePacketBoundaries) {
  TEvents events;
  TTcpListener listener(
      {.connected =
           [&](TTcpConnection& connection) {
             events.Add(connection.Peer().address + ":" + std::to_string(connection.Peer().port) +
                        " on " + std::to_string(connection.Local().port));
           },
       .serve =
           [&](TTcpConnection& connection) {
             std::size_t contentLength = 0;
             for (std::string line = "-"; !line.empty();) {
               line = connection.ReadLine();
               events.Add("line:" + line);
               if (line.starts_with("Length: ")) contentLength = std::stoul(line.substr(8));
             }
             const std::vector<std::uint8_t> body = connection.ReadBytes(contentLength);
             if (!body.empty()) events.Add("body:" + std::string(body.begin(), body.end()));
           },
       .disconnected = [&](TTcpConnection&) { events.Add("gone"); }});
  ASSERT_TRUE(listener.Start(0, "127.0.0.1")) << listener.LastError();
  TClient client(listener.Port());
  // Pauses cut the input inside a word, between CR and LF, and inside the body.
  for (const char* piece : {"OPTI", "ONS x\r", "\nLength: 10\r\n\r\n01\n\r", "\n56789SETUP y\r\n",
                            "lone\rCR\r\nunix\n\r\n"}) {
    client.Send(piece);
    std::this_thread::sleep_for(10ms);
  }
  client.Close();
  EXPECT_EQ(
      events.WaitFor("gone"),
      (std::vector<std::string>{"127.0.0.1:" + std::to_string(client.LocalPort()) + " on " +
                                    std::to_string(listener.Port()),
                                "line:OPTIONS x", "line:Length: 10", "line:", "body:01\n\r\n56789",
                                "line:SETUP y", "line:lone\rCR", "line:unix", "line:", "gone"}));
}

TEST(TcpConnection, InputBeyondTheLimitsEndsTheConnection) {
  struct TCase {
    std::string input;
    std::size_t block;  // read as one block of this size; 0: read lines
    std::string expected;
  };
  const TCase cases[] = {
      {"12345678\r\n", 0, "line:12345678"},
      {"12345678\n", 0, "line:12345678"},
      {"123456789\r\n", 0, "line longer than 8 characters"},
      // Refused once the limit is passed, without waiting for a line feed that never comes.
      {std::string(40, 'a'), 0, "line longer than 8 characters"},
      {std::string(16, 'b'), 16, "block:16"},
      {std::string(17, 'b'), 17, "block of 17 bytes exceeds the limit of 16"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.input);
    TEvents events;
    TTcpListener listener(
        {.serve =
             [&](TTcpConnection& connection) {
               try {
                 events.Add(c.block > 0
                                ? "block:" + std::to_string(connection.ReadBytes(c.block).size())
                                : "line:" + connection.ReadLine());
               } catch (const TTcpError& error) {
                 events.Add(connection.IsOpen() ? "still open" : error.what());
                 throw;
               }
             }},
        TTcpLimits{.maxLineLength = 8, .maxBlockLength = 16});
    ASSERT_TRUE(listener.Start(0, "127.0.0.1")) << listener.LastError();
    TClient client(listener.Port());
    client.Send(c.input);
    EXPECT_EQ(events.WaitFor(c.expected), std::vector<std::string>{c.expected});
    // The client keeps its end open: an error ends the connection from the server's side.
    if (!c.expected.starts_with("line:") && !c.expected.starts_with("block:")) {
      EXPECT_TRUE(client.WaitForEnd());
    }
  }
}

// A unit: 4-byte length, writer, sequence number, then bytes that all carry a value of writer
// and sequence number, so that a unit interrupted by another writer's bytes shows.
std::string Unit(int writer, int sequence, std::size_t payload) {
  std::string unit;
  for (int shift = 24; shift >= 0; shift -= 8) unit += static_cast<char>(payload >> shift);
  unit += static_cast<char>(writer);
  unit += static_cast<char>(sequence);
  return unit.append(payload, static_cast<char>(writer * 64 + sequence));
}

TEST(TcpConnection, ConcurrentWritesArriveAsWholeUnits) {
  TEvents events;
  TTcpConnection* connection = nullptr;
  // Time-outs are not the point here; slow (sanitizer) builds must not run into one.
  TTcpListener listener(
      {.connected =
           [&](TTcpConnection& accepted) {
             connection = &accepted;
             events.Add("connected");
           },
       .disconnected = [&](TTcpConnection&) { events.WaitFor("writers joined"); }},
      TTcpLimits{.writeTimeout = 120s});
  ASSERT_TRUE(listener.Start(0, "127.0.0.1")) << listener.LastError();
  // A small receive window keeps the server's send buffer small, so that the larger units take
  // several partial sends each, with room for other writers in between.
  TClient client(listener.Port(), 4096);
  ASSERT_EQ(events.WaitFor("connected").size(), 1u);

  constexpr int kWriters = 4;
  constexpr int kUnits = 24;
  const std::size_t sizes[] = {1, 1400, 40000, 200000};
  std::atomic<int> failedWrites{0};
  std::vector<std::jthread> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&, writer] {
      for (int sequence = 0; sequence < kUnits; ++sequence) {
        failedWrites += !connection->WriteAll(Unit(writer, sequence, sizes[sequence % 4]));
      }
    });
  }
  int nextSequence[kWriters] = {};
  for (int unit = 0; unit < kWriters * kUnits; ++unit) {
    const std::string head = client.Read(6);
    ASSERT_EQ(head.size(), 6u);
    const int writer = head[4];
    const int sequence = head[5];
    ASSERT_TRUE(writer >= 0 && writer < kWriters);
    ASSERT_EQ(sequence, nextSequence[writer]++) << "writer " << writer;
    const std::size_t payload = sizes[sequence % 4];
    ASSERT_EQ(head.substr(0, 4), Unit(0, 0, payload).substr(0, 4));
    ASSERT_EQ(client.Read(payload), std::string(payload, static_cast<char>(writer * 64 + sequence)))
        << "unit " << sequence << " of writer " << writer << " was interrupted";
  }
  writers.clear();
  events.Add("writers joined");
  EXPECT_EQ(failedWrites.load(), 0);
}

// One accepted connection that stays until the test is done writing, and a client that reads only
// when told, through a small window that cuts sends short.
class TcpWriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(listener.Start(0, "127.0.0.1")) << listener.LastError();
    client.emplace(listener.Port(), 4096);
    ASSERT_EQ(events.WaitFor("connected").size(), 1u);
  }
  void TearDown() override { events.Add("written"); }

  TEvents events;
  TTcpConnection* connection = nullptr;
  TTcpListener listener{{.connected =
                             [this](TTcpConnection& accepted) {
                               connection = &accepted;
                               events.Add("connected");
                             },
                         .disconnected = [this](TTcpConnection&) { events.WaitFor("written"); }},
                        TTcpLimits{.writeTimeout = 120s}};
  std::optional<TClient> client;
};

// More pieces than one system call takes, empty ones among them, through a small window that cuts
// sends in the middle of pieces: the bytes must arrive whole and in order.
TEST_F(TcpWriteTest, GatheredWriteSendsEveryPieceInOrder) {
  const std::size_t sizes[] = {0, 1, 16, 1400, 5000};
  std::vector<std::vector<std::uint8_t>> blocks;
  std::string expected;
  for (std::size_t i = 0; i < 3000; ++i) {
    blocks.emplace_back(sizes[i % 5], static_cast<std::uint8_t>(i * 7));
    expected.append(blocks.back().begin(), blocks.back().end());
  }
  const std::vector<std::span<const std::uint8_t>> pieces(blocks.begin(), blocks.end());
  bool written = false;
  std::jthread writer([&] { written = connection->WriteAllGathered(pieces); });
  EXPECT_TRUE(client->Read(expected.size()) == expected);
  writer.join();
  EXPECT_TRUE(written);
}

// A unit begun without waiting on a client that does not read: the rest waits for its finish and
// nothing else gets in between, or the peer would read an answer inside an RTP packet.
TEST_F(TcpWriteTest, UnitBegunWithoutWaitingKeepsOtherWritersOutUntilItIsFinished) {
  const std::vector<std::uint8_t> big(4 << 20, 0x24), small(100, 0x52);
  const std::span<const std::uint8_t> unit[] = {big}, other[] = {small};
  const std::optional<std::size_t> begun = connection->TryWriteGathered(unit);
  ASSERT_TRUE(begun && *begun > 0 && *begun < big.size()) << begun.value_or(0);
  EXPECT_EQ(connection->TryWriteGathered(other), std::optional<std::size_t>(0));
  bool answered = false, finished = false;
  std::jthread answer([&] { answered = connection->WriteAll("RTSP/1.0 200 OK\r\n\r\n"); });
  std::jthread finish([&] { finished = connection->FinishWriteGathered(unit, *begun); });
  const std::string expected = std::string(big.size(), '$') + "RTSP/1.0 200 OK\r\n\r\n";
  EXPECT_TRUE(client->Read(expected.size()) == expected);
  answer.join();
  finish.join();
  EXPECT_TRUE(answered && finished);
  // With room in the socket the unit goes out whole at once and leaves the turn free.
  EXPECT_EQ(connection->TryWriteGathered(other), std::optional<std::size_t>(small.size()));
  EXPECT_TRUE(connection->WriteAll("x"));
  EXPECT_EQ(client->Read(small.size() + 1), std::string(small.size(), 'R') + "x");
}

TEST(TcpConnection, PeerDropRunsTheLastDisconnectHandlerOnceOnTheConnectionThread) {
  TEvents events;
  TTcpConnection* connection = nullptr;
  std::thread::id connectionThread;
  TTcpListener listener({.connected =
                             [&](TTcpConnection& accepted) {
                               connectionThread = std::this_thread::get_id();
                               accepted.SetDisconnectHandler(
                                   [&] { events.Add("replaced handler"); });
                               accepted.SetDisconnectHandler([&] {
                                 const bool own = std::this_thread::get_id() == connectionThread;
                                 events.Add(own ? "notified" : "notified on a foreign thread");
                                 accepted.SetDisconnectHandler(nullptr);  // re-entrant
                               });
                               connection = &accepted;
                               events.Add("connected");
                               // The connection thread waits before reading, so that a write from
                               // another thread finds the drop first.
                               events.WaitFor("written");
                             },
                         .serve = [&](TTcpConnection& accepted) { accepted.ReadLine(); },
                         .disconnected = [&](TTcpConnection&) { events.Add("disconnected"); }});
  ASSERT_TRUE(listener.Start(0, "127.0.0.1")) << listener.LastError();
  TClient client(listener.Port());
  events.WaitFor("connected");
  ASSERT_TRUE(connection->WriteAll("hello\r\n"));
  EXPECT_EQ(client.Read(7), "hello\r\n");
  client.Close();

  // Writing to a peer that is gone fails (after the first write draws its reset) instead of
  // ending the process with SIGPIPE.
  bool written = true;
  for (int attempt = 0; attempt < 100 && written; ++attempt) {
    written = connection->WriteAll("still there?\r\n");
    if (written) std::this_thread::sleep_for(10ms);
  }
  EXPECT_FALSE(written);
  EXPECT_FALSE(connection->IsOpen());
  events.Add("written");
  EXPECT_EQ(events.WaitFor("disconnected"),
            (std::vector<std::string>{"connected", "written", "notified", "disconnected"}));
}

TEST(TcpConnection, WritesToAPeerThatStopsReadingFailWithinTheTimeout) {
  constexpr auto kTimeout = 300ms;
  TEvents events;
  TTcpConnection* connection = nullptr;
  TTcpListener listener({.connected =
                             [&](TTcpConnection& accepted) {
                               accepted.SetDisconnectHandler([&] { events.Add("notified"); });
                               connection = &accepted;
                               events.Add("connected");
                             },
                         // The writers stop before the connection goes away.
                         .disconnected =
                             [&](TTcpConnection&) {
                               events.WaitFor("writer ended", 2);
                               events.Add("disconnected");
                             }},
                        TTcpLimits{.writeTimeout = kTimeout});
  ASSERT_TRUE(listener.Start(0, "127.0.0.1")) << listener.LastError();
  TClient client(listener.Port(), 4096);
  events.WaitFor("connected");

  // The second writer waits behind the first one, which stalls once the buffers are full.
  std::atomic<int> unfinished{2};
  std::vector<TSteadyClock::duration> longestCall(2);
  {
    std::vector<std::jthread> writers;
    for (auto& longest : longestCall) {
      writers.emplace_back([&] {
        const std::string unit(256 * 1024, 'u');
        for (int attempt = 0; attempt < 200; ++attempt) {
          const auto start = TSteadyClock::now();
          const bool written = connection->WriteAll(unit);
          longest = std::max(longest, TSteadyClock::now() - start);
          if (!written) {
            --unfinished;
            break;
          }
        }
        events.Add("writer ended");
      });
    }
  }
  EXPECT_EQ(unfinished.load(), 0) << "the peer never stalled the writers";
  // With a margin for sanitizer builds; without the time-out the writers would block forever.
  for (const auto& longest : longestCall) EXPECT_LT(longest, kTimeout + 1500ms);
  // The stalled connection was closed, which ends it on its own thread too.
  const std::vector<std::string> all = events.WaitFor("disconnected");
  EXPECT_EQ(std::count(all.begin(), all.end(), "notified"), 1);
  EXPECT_EQ(all.back(), "disconnected");
}

TEST(TcpListener, StopEndsLiveConnectionsPromptlyAndStartsAgain) {
  TEvents events;
  std::vector<std::thread> writers;  // touched by connection threads only, one at a time
  std::mutex writersLock;
  TTcpListener listener({.connected =
                             [&](TTcpConnection& connection) {
                               if (connection.ReadLine() == "stall me") {
                                 // A writer that the non-reading client stalls, with a time-out
                                 // beyond the test.
                                 std::lock_guard lock(writersLock);
                                 writers.emplace_back([&connection, &events] {
                                   while (connection.WriteAll(std::string(256 * 1024, 'w'))) {
                                   }
                                   events.Add("write failed");
                                 });
                               }
                               events.Add("connected");
                             },
                         .serve = [&](TTcpConnection& connection) { connection.ReadLine(); },
                         // Whoever writes on a connection stops before the connection goes away.
                         .disconnected =
                             [&](TTcpConnection&) {
                               std::lock_guard lock(writersLock);
                               for (std::thread& writer : writers) {
                                 if (writer.joinable()) writer.join();
                               }
                               events.Add("disconnected");
                             }},
                        TTcpLimits{.writeTimeout = 60s});
  ASSERT_TRUE(listener.Start(0, "127.0.0.1")) << listener.LastError();
  const std::uint16_t port = listener.Port();
  EXPECT_FALSE(listener.Start(0, "127.0.0.1"));
  EXPECT_EQ(listener.LastError(), "already listening on port " + std::to_string(port));
  TTcpListener rival({});
  EXPECT_FALSE(rival.Start(port, "127.0.0.1"));
  EXPECT_EQ(rival.LastError(),
            "listen on 127.0.0.1:" + std::to_string(port) + ": Address already in use");

  TClient idle(port);
  TClient stalled(port, 4096);
  idle.Send("idle\r\n");
  stalled.Send("stall me\r\n");
  events.WaitFor("connected", 2);
  ASSERT_EQ(listener.ConnectionCount(), 2u);
  std::this_thread::sleep_for(200ms);  // lets the writer fill the buffers and block

  const auto start = TSteadyClock::now();
  listener.Stop();
  EXPECT_LT(TSteadyClock::now() - start, 2s);
  const std::vector<std::string> ended = events.WaitFor("disconnected", 2);
  EXPECT_EQ(std::count(ended.begin(), ended.end(), "disconnected"), 2);
  EXPECT_EQ(std::count(ended.begin(), ended.end(), "write failed"), 1);
  EXPECT_EQ(listener.ConnectionCount(), 0u);
  EXPECT_FALSE(listener.IsListening());
  EXPECT_TRUE(idle.WaitForEnd());
  EXPECT_FALSE(TClient(port).Connected());

  ASSERT_TRUE(listener.Start(port, "127.0.0.1")) << listener.LastError();
  TClient again(port);
  again.Send("idle\r\n");
  const std::vector<std::string> after = events.WaitFor("connected", 3);
  EXPECT_EQ(std::count(after.begin(), after.end(), "connected"), 3);
}

}  // namespace
