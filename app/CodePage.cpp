#include "CodePage.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <string>
#include <utility>

namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";
constexpr int32_t kFallbackCodePage = 1252;

class TIconv {
 public:
  TIconv(const std::string& to, const std::string& from)
      : handle_(iconv_open(to.c_str(), from.c_str())) {}
  ~TIconv() {
    if (Valid()) iconv_close(handle_);
  }
  TIconv(const TIconv&) = delete;
  TIconv& operator=(const TIconv&) = delete;

  bool Valid() const { return handle_ != InvalidHandle(); }
  iconv_t Get() const { return handle_; }

 private:
  static iconv_t InvalidHandle() { return reinterpret_cast<iconv_t>(-1); }
  iconv_t handle_;
};

// Length of the UTF-8 sequence a lead byte starts, so an unconvertible character is skipped whole.
std::size_t Utf8SequenceLength(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 1;
}

// Converts with iconv, replacing what it rejects instead of stopping, so a damaged file still
// gives every readable text.
TConvertedText Convert(TIconv& converter, std::string_view input, bool inputIsUtf8,
                       std::string_view replacement) {
  TConvertedText result;
  std::string in(input);
  char* inPtr = in.data();
  std::size_t inLeft = in.size();
  std::string out(in.size() * 4 + 16, '\0');
  std::size_t used = 0;
  auto append = [&](std::string_view bytes) {
    out.replace(used, bytes.size(), bytes);
    used += bytes.size();
  };
  while (inLeft > 0) {
    if (out.size() - used < 16) out.resize(out.size() * 2);
    char* outPtr = out.data() + used;
    std::size_t outLeft = out.size() - used;
    const std::size_t status = iconv(converter.Get(), &inPtr, &inLeft, &outPtr, &outLeft);
    used = static_cast<std::size_t>(outPtr - out.data());
    if (status != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else if (errno == EILSEQ) {
      const std::size_t skip =
          inputIsUtf8 ? Utf8SequenceLength(static_cast<unsigned char>(*inPtr)) : 1;
      const std::size_t skipped = skip < inLeft ? skip : inLeft;
      inPtr += skipped;
      inLeft -= skipped;
      if (out.size() - used < replacement.size()) out.resize(out.size() * 2);
      append(replacement);
      result.lossy = true;
    } else {  // EINVAL: the text ends inside a multi-byte sequence
      inLeft = 0;
      if (out.size() - used < replacement.size()) out.resize(out.size() * 2);
      append(replacement);
      result.lossy = true;
    }
  }
  out.resize(used);
  result.text = std::move(out);
  return result;
}

TConvertedText ConvertCodePage(std::string_view input, int32_t codePage, bool toUtf8) {
  bool unknown = false;
  std::string name = IconvCodePageName(codePage);
  auto open = [&](const std::string& codePageName) {
    return toUtf8 ? std::make_unique<TIconv>("UTF-8", codePageName)
                  : std::make_unique<TIconv>(codePageName, "UTF-8");
  };
  auto converter = open(name);
  if (!converter->Valid()) {
    unknown = true;
    converter = open(IconvCodePageName(kFallbackCodePage));
  }
  if (!converter->Valid()) return {std::string(input), true};
  TConvertedText result =
      Convert(*converter, input, !toUtf8, toUtf8 ? kReplacementCharacter : std::string_view("?"));
  result.lossy = result.lossy || unknown;
  return result;
}

}  // namespace

std::string IconvCodePageName(int32_t codePage) {
  if (codePage == 0) return IconvCodePageName(kFallbackCodePage);
  if (codePage == 65001) return "UTF-8";
  return "CP" + std::to_string(codePage);
}

TConvertedText DecodeToUtf8(std::string_view bytes, int32_t codePage) {
  return ConvertCodePage(bytes, codePage, true);
}

TConvertedText EncodeFromUtf8(std::string_view utf8, int32_t codePage) {
  return ConvertCodePage(utf8, codePage, false);
}

TConvertedText SanitizeUtf8(std::string_view bytes) {
  TConvertedText result;
  result.text.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    std::size_t length = 0;
    char32_t minimum = 0;
    char32_t code = 0;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, minimum = 0x80, code = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, minimum = 0x800, code = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, minimum = 0x10000, code = lead & 0x07u;
    }
    bool valid = length > 0 && i + length <= bytes.size();
    for (std::size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3Fu);
    }
    valid = valid && code >= minimum && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
    if (valid) {
      result.text.append(bytes.substr(i, length));
      i += length;
    } else {
      result.text.append(kReplacementCharacter);
      result.lossy = true;
      ++i;
    }
  }
  return result;
}

int32_t CharsetFromName(std::string_view name) {
  struct TCharsetName {
    std::string_view name;
    int32_t code;
  };
  static constexpr std::array<TCharsetName, 19> kCharsets{{
      {"ANSI_CHARSET", 0},          {"DEFAULT_CHARSET", 1},      {"SYMBOL_CHARSET", 2},
      {"SHIFTJIS_CHARSET", 128},    {"HANGEUL_CHARSET", 129},    {"GB2312_CHARSET", 134},
      {"CHINESEBIG5_CHARSET", 136}, {"OEM_CHARSET", 255},        {"JOHAB_CHARSET", 130},
      {"HEBREW_CHARSET", 177},      {"ARABIC_CHARSET", 178},     {"GREEK_CHARSET", 161},
      {"TURKISH_CHARSET", 162},     {"VIETNAMESE_CHARSET", 163}, {"THAI_CHARSET", 222},
      {"EASTEUROPE_CHARSET", 238},  {"RUSSIAN_CHARSET", 204},    {"MAC_CHARSET", 77},
      {"BALTIC_CHARSET", 186},
  }};
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  for (const TCharsetName& entry : kCharsets) {
    if (entry.name.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; same && i < name.size(); ++i) same = upper(name[i]) == entry.name[i];
    if (same) return entry.code;
  }
  return 1;
}
