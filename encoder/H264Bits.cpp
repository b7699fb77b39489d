#include "H264Bits.h"

namespace {

constexpr unsigned kMaxFieldBits = 32;

void SetBit(std::span<uint8_t> data, size_t position, bool bit) {
  const auto mask = static_cast<uint8_t>(0x80u >> (position & 7));
  uint8_t& byte = data[position >> 3];
  byte = static_cast<uint8_t>(bit ? (byte | mask) : (byte & ~mask));
}

// Index of the next 00 00 01 at or after from, or the stream's size.
size_t FindStartCode(std::span<const uint8_t> stream, size_t from) {
  for (size_t i = from; i + 2 < stream.size(); ++i) {
    if (stream[i + 2] > 1) {
      i += 2;  // no start code can begin at i, i + 1 or i + 2
    } else if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      return i;
    }
  }
  return stream.size();
}

}  // namespace

uint32_t TH264BitReader::ReadBits(unsigned count) {
  if (count == 0 || failed_) return 0;
  if (count > kMaxFieldBits || position_ + count > data_.size() * 8) {
    failed_ = true;
    return 0;
  }
  uint32_t value = 0;
  for (unsigned i = 0; i < count; ++i, ++position_) {
    const uint32_t byte = data_[position_ >> 3];
    value = (value << 1) | ((byte >> (7 - (position_ & 7))) & 1u);
  }
  return value;
}

uint32_t TH264BitReader::ReadUe() {
  unsigned leadingZeros = 0;
  while (!failed_ && !ReadFlag()) {
    // 32 zeros would code a value past 32 bits; no field this program reads comes near that.
    if (++leadingZeros == kMaxFieldBits) failed_ = true;
  }
  if (failed_) return 0;
  const uint32_t suffix = ReadBits(leadingZeros);
  return failed_ ? 0 : static_cast<uint32_t>((uint64_t{1} << leadingZeros) - 1 + suffix);
}

int32_t TH264BitReader::ReadSe() {
  const int64_t k = ReadUe();
  return static_cast<int32_t>((k & 1) != 0 ? (k + 1) / 2 : -(k / 2));
}

void TH264BitWriter::WriteBits(uint32_t value, unsigned count) {
  if (count > kMaxFieldBits || position_ + count > data_.size() * 8) failed_ = true;
  if (failed_) return;
  for (unsigned i = count; i-- > 0; ++position_) SetBit(data_, position_, ((value >> i) & 1u) != 0);
}

void TH264BitWriter::WriteUe(uint32_t value) {
  const uint64_t coded = uint64_t{value} + 1;
  unsigned width = 0;
  while ((coded >> width) != 0) ++width;
  WriteBits(0, width - 1);
  if (width > kMaxFieldBits) {
    WriteBits(1, 1);
    WriteBits(static_cast<uint32_t>(coded), kMaxFieldBits);
  } else {
    WriteBits(static_cast<uint32_t>(coded), width);
  }
}

void TH264BitWriter::WriteSe(int32_t value) {
  const int64_t v = value;
  WriteUe(static_cast<uint32_t>(v > 0 ? 2 * v - 1 : -2 * v));
}

void TH264BitWriter::WriteTrailingBits() {
  WriteBits(1, 1);
  while (!failed_ && (position_ & 7) != 0) WriteBits(0, 1);
}

bool OverwriteH264Bits(std::span<uint8_t> rbsp, size_t bitPosition, uint32_t value,
                       unsigned count) {
  if (count > kMaxFieldBits || bitPosition + count > rbsp.size() * 8) return false;
  for (unsigned i = count; i-- > 0; ++bitPosition) {
    SetBit(rbsp, bitPosition, ((value >> i) & 1u) != 0);
  }
  return true;
}

void RemoveH264EmulationPrevention(std::span<const uint8_t> payload, std::vector<uint8_t>& out) {
  unsigned zeros = 0;
  for (const uint8_t byte : payload) {
    if (zeros >= 2 && byte == 3) {
      zeros = 0;
      continue;
    }
    out.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
}

namespace {

// Calls emit for each payload byte of rbsp; returns false as soon as emit does.
template <typename Emit>
bool Escape(std::span<const uint8_t> rbsp, Emit emit) {
  unsigned zeros = 0;
  for (const uint8_t byte : rbsp) {
    if (zeros >= 2 && byte <= 3) {
      if (!emit(uint8_t{3})) return false;
      zeros = 0;
    }
    if (!emit(byte)) return false;
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  // A payload may not end in a zero byte: the reader would take it for stream padding.
  return zeros == 0 || emit(uint8_t{3});
}

}  // namespace

size_t AddH264EmulationPrevention(std::span<const uint8_t> rbsp, std::span<uint8_t> dest) {
  size_t length = 0;
  const bool fits = Escape(rbsp, [&](uint8_t byte) {
    if (length == dest.size()) return false;
    dest[length++] = byte;
    return true;
  });
  return fits ? length : 0;
}

void AddH264EmulationPrevention(std::span<const uint8_t> rbsp, std::vector<uint8_t>& out) {
  Escape(rbsp, [&](uint8_t byte) {
    out.push_back(byte);
    return true;
  });
}

bool TAnnexBUnits::Next(std::span<const uint8_t>& unit) {
  while (position_ < stream_.size()) {
    const size_t startCode = FindStartCode(stream_, position_);
    if (startCode == stream_.size()) break;
    const size_t begin = startCode + 3;
    size_t end = FindStartCode(stream_, begin);
    // Zero bytes before the next start code are padding or its leading zero_byte.
    while (end > begin && stream_[end - 1] == 0) --end;
    position_ = end == begin ? begin : end;
    if (end == begin) continue;
    unit = stream_.subspan(begin, end - begin);
    return true;
  }
  position_ = stream_.size();
  return false;
}
