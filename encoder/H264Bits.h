// Bit-level reading and writing of H.264 syntax: fixed-width fields, Exp-Golomb codes, and the
// emulation prevention bytes that keep start codes out of a NAL unit's payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// Reads MSB-first from an RBSP (emulation prevention already removed). Reading past the end, or
// an Exp-Golomb code longer than 32 bits, latches failed() and yields zeros from then on, so a
// parser can read a whole structure and check once.
class TH264BitReader {
 public:
  explicit TH264BitReader(std::span<const uint8_t> rbsp) : data_(rbsp) {}

  uint32_t ReadBits(unsigned count);
  bool ReadFlag() { return ReadBits(1) != 0; }
  uint32_t ReadUe();
  int32_t ReadSe();

  bool failed() const { return failed_; }
  size_t bitPosition() const { return position_; }

 private:
  std::span<const uint8_t> data_;
  size_t position_ = 0;
  bool failed_ = false;
};

// Writes MSB-first into a caller's fixed buffer; running out of room latches failed().
class TH264BitWriter {
 public:
  explicit TH264BitWriter(std::span<uint8_t> buffer) : data_(buffer) {}

  void WriteBits(uint32_t value, unsigned count);
  void WriteFlag(bool value) { WriteBits(value ? 1u : 0u, 1); }
  void WriteUe(uint32_t value);
  void WriteSe(int32_t value);
  // The stop bit and zero bits up to the next byte boundary that end every RBSP.
  void WriteTrailingBits();

  bool failed() const { return failed_; }
  // Whole bytes written so far; the last one is complete only after WriteTrailingBits.
  size_t byteCount() const { return (position_ + 7) / 8; }

 private:
  std::span<uint8_t> data_;
  size_t position_ = 0;
  bool failed_ = false;
};

// Overwrites count bits at bitPosition of an RBSP with value; false if they do not fit.
bool OverwriteH264Bits(std::span<uint8_t> rbsp, size_t bitPosition, uint32_t value, unsigned count);

// NAL unit payload (header byte included) to RBSP: every 00 00 03 loses its 03. Appends to out.
void RemoveH264EmulationPrevention(std::span<const uint8_t> payload, std::vector<uint8_t>& out);

// RBSP to NAL unit payload: a 03 goes in before any 00-03 byte that follows two zero bytes, and
// after a final zero byte. Writes into dest and returns the length, or 0 if dest is too small.
size_t AddH264EmulationPrevention(std::span<const uint8_t> rbsp, std::span<uint8_t> dest);
// The same, appending to a vector.
void AddH264EmulationPrevention(std::span<const uint8_t> rbsp, std::vector<uint8_t>& out);

// The NAL units of an Annex B byte stream, start codes and trailing zero bytes removed. A stream
// without a start code at its beginning yields nothing before the first one.
class TAnnexBUnits {
 public:
  explicit TAnnexBUnits(std::span<const uint8_t> stream) : stream_(stream) {}
  // The next unit's payload (header byte first), or false at the end.
  bool Next(std::span<const uint8_t>& unit);

 private:
  std::span<const uint8_t> stream_;
  size_t position_ = 0;
};
