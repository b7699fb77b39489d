// The worker thread that drives the pipeline: while anyone watches, it captures and encodes one
// picture per frame interval and hands every encoded frame on; with nobody watching it captures
// nothing.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>

class TDesktopEncoder;

struct TLiveDataGeneratorLinks {
  // The desktop encoder, fetched on the generator's thread (creating it there on first use).
  std::function<TDesktopEncoder&()> encoder;
  // Whether any session is there to receive frames.
  std::function<bool()> hasSessions;
  // Receives each encoded frame (header and data), synchronously; the bytes change afterwards.
  // The encoded frame (header and data) and when its picture was captured.
  std::function<void(std::span<const uint8_t>, int64_t capturedMicros)> dispatchFrame;
  // Empty: LogMessage.
  std::function<void(std::string_view)> log;
};

class TLiveDataGenerator {
 public:
  // Starts the thread at once.
  explicit TLiveDataGenerator(TLiveDataGeneratorLinks links);
  // Stops and joins the thread.
  ~TLiveDataGenerator();
  TLiveDataGenerator(const TLiveDataGenerator&) = delete;
  TLiveDataGenerator& operator=(const TLiveDataGenerator&) = delete;

  // Asks the thread to end and waits for it: at most one pass of capture and encode.
  void Stop();

 private:
  void Run();
  // Waits up to ms milliseconds; false once termination was asked for.
  bool Pause(uint32_t ms);
  void Log(std::string_view line) const;

  const TLiveDataGeneratorLinks links_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool terminated_ = false;
  std::thread thread_;
};

// The process's generator, started with the process-wide encoder, session manager and channel.
// Starting a running generator does nothing.
TLiveDataGenerator& StartLiveDataGenerator(TLiveDataGeneratorLinks links);
void StopLiveDataGenerator();
