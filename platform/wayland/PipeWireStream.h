// One PipeWire video node read on a thread of PipeWire's own: each new picture is copied into a
// buffer kept for whoever takes it, since compositors send pictures only when the screen changes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct pw_thread_loop;
struct pw_context;
struct pw_core;
struct pw_stream;
struct pw_registry;
struct spa_pod;
struct spa_hook;

namespace platform::wayland {

// The pointer as the compositor describes it beside the pixels (cursor metadata).
struct TStreamPointer {
  bool visible = false;
  int x = 0;  // position of the hotspot on the screen
  int y = 0;
  int hotX = 0;
  int hotY = 0;
  int width = 0;
  int height = 0;
  // Premultiplied ARGB, one word per pixel, the way the pointer drawing takes it.
  std::vector<unsigned long> pixels;
};

// The latest picture, converted for the capture: libyuv ARGB byte order, rows packed.
struct TStreamPicture {
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int height = 0;
  std::uint64_t sequence = 0;  // counts pictures received; 0: none yet
  TStreamPointer pointer;
  std::uint64_t pointerSequence = 0;
};

class TPipeWireStream {
 public:
  // Connects to `node` through remoteFd (taken over; -1: the user's default PipeWire daemon).
  // Null with `error` set when PipeWire cannot be reached.
  static std::unique_ptr<TPipeWireStream> Connect(int remoteFd, std::uint32_t node,
                                                  bool pointerMetadata, std::string& error);
  ~TPipeWireStream();
  TPipeWireStream(const TPipeWireStream&) = delete;
  TPipeWireStream& operator=(const TPipeWireStream&) = delete;

  // Waits up to `timeout` for the format to be settled and a first picture; false when the
  // stream broke or no format came. A format without a picture yet counts as ready.
  bool WaitUntilReady(std::chrono::milliseconds timeout);
  // The stream ended or failed; Error says why.
  bool Broken() const { return broken_.load(); }
  std::string Error() const;
  // The negotiated size and pixel format name, for the log.
  std::string Describe() const;
  // Counters of the latest picture and pointer, cheap to compare with a taken picture's.
  std::uint64_t Sequence() const { return sequence_.load(); }
  std::uint64_t PointerSequence() const { return pointerSequence_.load(); }
  // Brings `picture` up to the latest picture and pointer; false when nothing was new.
  bool Take(TStreamPicture& picture);

 private:
  TPipeWireStream() = default;
  bool Start(int remoteFd, std::uint32_t node, std::string& error);
  void Break(const std::string& why);

  // PipeWire's callbacks, on its thread.
  friend struct TStreamEvents;
  void ParamChanged(std::uint32_t id, const spa_pod* param);
  void Process();
  void ReadPointer(const void* buffer);

  bool pointerMetadata_ = false;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  pw_registry* registry_ = nullptr;
  std::uint32_t node_ = 0;
  std::unique_ptr<spa_hook> streamHook_;
  std::unique_ptr<spa_hook> coreHook_;
  std::unique_ptr<spa_hook> registryHook_;

  mutable std::mutex mutex_;
  std::condition_variable ready_;
  bool formatKnown_ = false;
  std::uint32_t format_ = 0;  // SPA video format
  int width_ = 0;
  int height_ = 0;
  int stride_ = 0;
  // The latest picture as it arrived, rows packed; under mutex_.
  std::vector<std::uint8_t> received_;
  TStreamPointer pointer_;
  std::string error_;
  std::atomic<bool> broken_{false};
  std::atomic<std::uint64_t> sequence_{0};
  std::atomic<std::uint64_t> pointerSequence_{0};
};

}  // namespace platform::wayland
