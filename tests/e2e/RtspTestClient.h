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
  explicit RtspTestClient(int port);  // connects to 127.0.0.1:port; throws on failure
  ~RtspTestClient();
  RtspTestClient(const RtspTestClient&) = delete;
  RtspTestClient& operator=(const RtspTestClient&) = delete;

  // Sends a request with CSeq and the extra header lines, and reads its answer, skipping any
  // interleaved RTP in front of it. Throws when no answer comes within a few seconds.
  RtspAnswer Request(const std::string& method, const std::string& url,
                     const std::string& extraHeaders = {});
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
  void Close();

 private:
  bool ReadSome(int timeoutMs);
  int fd_ = -1;
  int cseq_ = 0;
  std::string buffer_;
};
