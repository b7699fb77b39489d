#include "BuffStream.h"

void TBuffStream::WriteWordBE(uint16_t value) {
  WriteByteValue(static_cast<uint8_t>(value >> 8));
  WriteByteValue(static_cast<uint8_t>(value));
}

void TBuffStream::WriteLongBE(uint32_t value) {
  WriteWordBE(static_cast<uint16_t>(value >> 16));
  WriteWordBE(static_cast<uint16_t>(value));
}
