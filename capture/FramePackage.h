// One encoded frame shared by every session that sends it. The live channel makes one copy and
// each sender's queue and thread hold references to it, so the last one to finish frees it;
// reference counts change on several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <vector>

class TFramePackage {
 public:
  // A new package holding a copy of bytes, with one reference owned by the caller.
  static TFramePackage* Create(std::span<const uint8_t> bytes);

  TFramePackage(const TFramePackage&) = delete;
  TFramePackage& operator=(const TFramePackage&) = delete;

  void AddRef() noexcept;
  // Gives up one reference; the one that drops the count to 0 destroys the package.
  void Release() noexcept;
  int32_t ReferenceCount() const noexcept;

  const uint8_t* Data() const noexcept { return data_.data(); }
  size_t Size() const noexcept { return data_.size(); }

  bool IsKeyFrame() const;
  bool IsVideo() const;
  bool IsAudio() const;

  uint8_t Track = 0;
  uint32_t Codec = 0;      // VideoCodec of the frame header, zero-extended
  uint32_t FrameType = 0;  // FrameType of the frame header, zero-extended
  // When the screen was read for this frame, on platform::MonotonicMicroseconds; 0 if unknown.
  int64_t CapturedMicros = 0;

 protected:
  explicit TFramePackage(std::span<const uint8_t> bytes);
  // Only Release destroys a package, so that no holder can free it under another.
  virtual ~TFramePackage();

 private:
  std::atomic<int32_t> references_{1};
  std::vector<uint8_t> data_;
};
