// A bare RTSP client for the end-to-end tests that need to misbehave on purpose: drop its
// connection mid-stream, or set up UDP and then stay silent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RtspAnswer {
  int status = 0;
  std::string head;  // status line and headers
  std::string body;
  std::string Header(const std::string& name) const;
};

class RtspTestClient {
 public:
  // Connects to 127.0.0.1:port, from localPort when given; throws on failure.
  explicit RtspTestClient(int port, int localPort = 0);
  ~RtspTestClient();
  RtspTestClient(const RtspTestClient&) = delete;
  RtspTestClient& operator=(const RtspTestClient&) = delete;

  // Sends a request with CSeq and the extra header lines, and reads its answer, skipping any
  // interleaved RTP in front of it. Throws when no answer comes within a few seconds or the
  // connection closes first.
  RtspAnswer Request(const std::string& method, const std::string& url,
                     const std::string& extraHeaders = {});
  // Sends the bytes as they are (a request that breaks the rules) and reads the answer as Request.
  RtspAnswer Send(const std::string& bytes);
  // Reads interleaved data for up to `ms` milliseconds; the bytes received.
  size_t Drain(int ms);
  // As Drain, but keeps each packet: its channel, its bytes and when it arrived (wall clock,
  // microseconds since 1970).
  struct Unit {
    int channel;
    std::vector<uint8_t> packet;
    int64_t arrivedMicros;
  };
  std::vector<Unit> Collect(int ms);
  // Whether the server closed the connection within `ms` milliseconds (what it sent is read and
  // dropped).
  bool WaitClosed(int ms);
  // With reset, the connection ends abruptly, as a crashed player's does.
  void Close(bool reset = false);

 private:
  bool ReadSome(int timeoutMs);
  int fd_ = -1;
  int cseq_ = 0;
  bool closed_ = false;
  std::string buffer_;
};
