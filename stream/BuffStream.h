// The byte buffer RTP packets are built in. A sender keeps one and clears it before each packet;
// clearing keeps the storage, so once it has grown to the largest packet the send loop no longer
// allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

class TBuffStream {
 public:
  TBuffStream() = default;
  explicit TBuffStream(size_t reserveBytes) { bytes_.reserve(reserveBytes); }

  // Empties the stream without giving its storage back.
  void Clear() noexcept { bytes_.clear(); }

  void Write(std::span<const uint8_t> bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  }
  void WriteByteValue(uint8_t value) { bytes_.push_back(value); }
  // Network byte order, as RTP and the interleaved framing want it.
  void WriteWordBE(uint16_t value);
  void WriteLongBE(uint32_t value);

  size_t Size() const noexcept { return bytes_.size(); }
  // The whole contents; the view ends with the next write or Clear.
  std::span<const uint8_t> ToBytes() const noexcept { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};
