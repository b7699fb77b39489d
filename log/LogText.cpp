#include "LogText.h"
#include <cstdio>
// Temporary stand-in until the log branch lands.
std::string LogValue(std::string_view value, std::size_t max) {
  std::string out;
  for (const char c : value) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02x", b);
      out += esc;
    } else {
      out += c;
    }
  }
  if (out.size() > max) out = out.substr(0, max) + "...[cut, " + std::to_string(value.size()) + " bytes]";
  return out;
}
