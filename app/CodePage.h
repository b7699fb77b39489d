// Text conversions between the narrow code pages language files may be written in and UTF-8, the
// program's own text representation. Code pages are the Windows numbers the files declare
// (1251, 936, ...); 0 stands for the system default, taken as 1252 because the files come from
// Western-default installations.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The iconv name of a Windows code page number: "CP1252" for 0, "UTF-8" for 65001, else "CP<n>".
std::string IconvCodePageName(int32_t codePage);

struct TConvertedText {
  std::string text;
  // Some input could not be represented and was replaced ("\uFFFD" when decoding, "?" when
  // encoding), or the code page was unknown and 1252 stood in for it.
  bool lossy = false;
};

// Narrow bytes in the code page to UTF-8.
TConvertedText DecodeToUtf8(std::string_view bytes, int32_t codePage);
// UTF-8 to narrow bytes in the code page.
TConvertedText EncodeFromUtf8(std::string_view utf8, int32_t codePage);
// Text that claims to be UTF-8, with every byte that does not start or continue a well-formed
// sequence (overlong forms and surrogates included) replaced by "\uFFFD".
TConvertedText SanitizeUtf8(std::string_view bytes);

// The charset code of a font charset name ("RUSSIAN_CHARSET" -> 204), without regard to case;
// unknown names give 1, the default charset.
int32_t CharsetFromName(std::string_view name);
