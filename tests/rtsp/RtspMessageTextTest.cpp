#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rtsp/RtspMessageText.h"
#include "rtsp/RtspStatus.h"

namespace {

using namespace std::string_view_literals;

TEST(RtspMessageText, SplitsLinesAtEveryKindOfLineEnd) {
  struct Case {
    std::string_view text;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"", {}},
      {"\r\n", {""}},
      {"a", {"a"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nb\rc\r\nd", {"a", "b", "c", "d"}},
      {"a\n\rb", {"a", "", "b"}},  // LF then CR: two line ends
      {"a\r\n\r\nb", {"a", "", "b"}},
      {"a\r\r\n", {"a", ""}},
      {"\n\n", {"", ""}},
      {"x\0y\r\n"sv, {std::string("x\0y", 3)}},
  };
  for (const Case& c : cases) EXPECT_EQ(SplitRtspLines(c.text), c.lines) << c.text;
}

TEST(RtspMessageText, TokensAreCutAtEverySingleSeparator) {
  struct Case {
    std::string_view text;
    std::size_t index;
    std::string token;
  };
  const Case cases[] = {
      {"OPTIONS * RTSP/1.0", 0, "OPTIONS"},
      {"OPTIONS * RTSP/1.0", 1, "*"},
      {"OPTIONS * RTSP/1.0", 2, "RTSP/1.0"},
      {"OPTIONS * RTSP/1.0", 3, ""},
      {"OPTIONS  * RTSP/1.0", 1, ""},
      {"OPTIONS  * RTSP/1.0", 2, "*"},
      {"A\tB C", 0, "A\tB"},
      {"", 0, ""},
      {"a b ", 2, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(GetToken(c.text, ' ', c.index), c.token) << c.text << " #" << c.index;
}

TEST(RtspMessageText, ReadsDecimalHeaderValues) {
  struct Case {
    std::string_view value;
    std::optional<int32_t> number;
  };
  const Case cases[] = {
      {"7", 7},
      {" 7", 7},
      {"  7 ", 7},
      {"\t7\t", 7},
      {"+7", 7},
      {"-3", -3},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"99999999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"7a", std::nullopt},
      {"7 7", std::nullopt},
      {"0x10", std::nullopt},
      {"\xd9\xa3", std::nullopt},  // an Arabic-Indic digit is not a digit here
  };
  for (const Case& c : cases) EXPECT_EQ(ParseRtspInteger(c.value), c.number) << c.value;
}

TEST(RtspMessageText, FormatsTheDateInEnglishWithoutLeadingZeroDay) {
  using namespace std::chrono;
  struct Case {
    sys_seconds utc;
    std::string_view text;
  };
  const Case cases[] = {
      {sys_days{2026y / December / 6} + 9h + 5min + 3s, "Sun, 6 Dec 2026 09:05:03 GMT"},
      {sys_days{2024y / February / 29} + 23h + 59min + 59s, "Thu, 29 Feb 2024 23:59:59 GMT"},
      {sys_seconds{}, "Thu, 1 Jan 1970 00:00:00 GMT"},
      {sys_seconds{seconds{INT32_MAX}}, "Tue, 19 Jan 2038 03:14:07 GMT"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatRtspDate(c.utc), c.text);
}

TEST(RtspStatus, ReasonPhrasesForListedCodesOnly) {
  struct Case {
    int32_t code;
    std::string_view phrase;
  };
  const Case cases[] = {
      {200, "OK"},
      {453, "Not Enough Bandwidth"},
      {454, "Session Not Found"},
      {461, "Unsupported transport"},
      {501, "Not Implemented"},
      {505, "RTSP Version not supported"},
      {408, "Request Time-out"},
      {459, "Aggregate operation not allowed"},
      {551, "Option not supported"},
      {409, ""},
      {0, ""},
      {INT32_MAX, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(GetStatusText(c.code), c.phrase) << c.code;
  EXPECT_EQ(RtspResponseStatusCodeList().Entries().size(), 45u);
}

}  // namespace
