// The text pieces RTSP messages are made of: lines, space-separated tokens, decimal header values
// and the Date header's time format.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"

// The lines of text. A line ends at CR LF, at a lone CR or at a lone LF, so requests from clients
// that end lines differently read alike. A last line without a break still counts; a break at the
// very end adds no empty line; LF followed by CR is two breaks. Empty text has no lines.
std::vector<std::string> SplitRtspLines(std::string_view text);

// The index-th piece of text cut at every separator (index 0: up to the first one). Each separator
// cuts on its own, so two in a row make an empty piece; an index past the last piece gives empty
// text.
std::string GetToken(std::string_view text, char separator, std::size_t index);

// Whether the text holds a control character a message line may not carry: anything below 0x20 but
// tab (which separates words like a space), and 0x7F. None may reach an answer, a request or the
// log, where an escape sequence would act on the terminal that shows it.
bool HasRtspControlCharacter(std::string_view text);

// The text without the spaces and tabs around it.
std::string_view TrimBlanks(std::string_view text);

// A header value read as a signed 32-bit decimal number. Spaces and tabs around the digits are
// allowed, as RTSP allows white space around header values; one leading sign is allowed. Anything
// else, an empty value and a number outside 32 bits give nothing.
std::optional<int32_t> ParseRtspInteger(std::string_view value);

// The Date header's form: "Sun, 6 Dec 2026 09:05:03 GMT" with English names whatever the locale.
std::string FormatRtspDate(std::chrono::sys_seconds utc);

// The local date and time of `local` as a UTC instant, through the machine's time zone (the TZ
// setting of the process), daylight saving time included.
std::chrono::sys_seconds UtcFromLocal(const platform::TLocalDateTime& local);
