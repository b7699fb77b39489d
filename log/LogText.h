// Text from the network made safe for the service log: control bytes written out as "\xNN" so no
// terminal, pager or journal reading the log acts on them, and long values cut with a marker that
// keeps their size.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Longest message a log line carries, counted after escaping.
inline constexpr std::size_t kLogTextMax = 1024;

// `value` with every byte below 0x20 and 0x7F written as "\xNN" (lower-case hexadecimal); bytes
// from 0x80 up are kept, so UTF-8 text passes. When the escaped text is longer than `max` bytes,
// its first `max` bytes (never half an escape nor half a UTF-8 character) are followed by
// "...[cut, N bytes]", N being the size of `value`.
std::string LogValue(std::string_view value, std::size_t max = 200);
