#include "LogText.h"

#include <algorithm>

namespace {

bool IsControl(unsigned char byte) {
  return byte < 0x20 || byte == 0x7F;
}

// Bytes a UTF-8 character takes when it starts with `lead`; 1 for anything that does not start one.
std::size_t Utf8Length(unsigned char lead) {
  if (lead >= 0xF0 && lead < 0xF8) return 4;
  if (lead >= 0xE0) return lead < 0xF0 ? 3 : 1;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Drops a UTF-8 character cut short at the end of `text`, so a cut value stays valid UTF-8 where
// it was.
void DropCutCharacter(std::string& text) {
  const std::size_t lookBack = std::min<std::size_t>(text.size(), 3);
  for (std::size_t back = 1; back <= lookBack; ++back) {
    const auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if (byte < 0x80) return;
    if (byte >= 0xC0) {
      if (Utf8Length(byte) > back) text.resize(text.size() - back);
      return;
    }
  }
}

}  // namespace

std::string LogValue(std::string_view value, std::size_t max) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(std::min(value.size(), max) + 32);
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto byte = static_cast<unsigned char>(value[i]);
    const std::size_t width = IsControl(byte) ? 4 : 1;
    if (text.size() + width > max) {
      // Stopping here also keeps a 16 kB request line from being escaped in full only to be cut.
      DropCutCharacter(text);
      text += "...[cut, " + std::to_string(value.size()) + " bytes]";
      return text;
    }
    if (width == 1) {
      text += static_cast<char>(byte);
    } else {
      text += "\\x";
      text += kDigits[byte >> 4];
      text += kDigits[byte & 0x0F];
    }
  }
  return text;
}
