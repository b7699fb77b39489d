#include <gtest/gtest.h>

#include <string>

#include "app/CodePage.h"

namespace {

struct TCodePageCase {
  int codePage;
  std::string narrow;
  std::string utf8;
};

class LocalizeCodePage : public ::testing::TestWithParam<TCodePageCase> {};

TEST_P(LocalizeCodePage, DecodesAndEncodesBothWays) {
  const TCodePageCase& c = GetParam();
  const TConvertedText decoded = DecodeToUtf8(c.narrow, c.codePage);
  EXPECT_EQ(decoded.text, c.utf8);
  EXPECT_FALSE(decoded.lossy);
  const TConvertedText encoded = EncodeFromUtf8(c.utf8, c.codePage);
  EXPECT_EQ(encoded.text, c.narrow);
  EXPECT_FALSE(encoded.lossy);
}

INSTANTIATE_TEST_SUITE_P(
    Localize, LocalizeCodePage,
    ::testing::Values(TCodePageCase{0, "caf\xE9 \x80", "caf\u00E9 \u20AC"},
                      TCodePageCase{1252,
                                    "\xDC"
                                    "ber",
                                    "\u00DCber"},
                      TCodePageCase{1251, "\xC2\xFB\xF5\xEE\xE4", "\u0412\u044B\u0445\u043E\u0434"},
                      TCodePageCase{1250, "\x8A", "\u0160"},
                      TCodePageCase{936, "\xD6\xD0\xCE\xC4", "\u4E2D\u6587"},
                      TCodePageCase{932, "\x93\xFA\x96\x7B", "\u65E5\u672C"},
                      TCodePageCase{950, "\xA4\xA4", "\u4E2D"},
                      TCodePageCase{949, "\xC7\xD1", "\uD55C"},
                      TCodePageCase{65001, "\xC3\xA9", "\u00E9"}, TCodePageCase{1251, "", ""}));

TEST(LocalizeCodePage, CharactersTheCodePageLacksBecomeQuestionMarks) {
  const TConvertedText encoded = EncodeFromUtf8("a\u4E2D\u0416b", 1252);
  EXPECT_EQ(encoded.text, "a??b");
  EXPECT_TRUE(encoded.lossy);
}

TEST(LocalizeCodePage, SanitizingKeepsWellFormedUtf8AndReplacesTheRest) {
  const std::string good = "a\u00E9\u4E2D\U0001F600";
  EXPECT_EQ(SanitizeUtf8(good).text, good);
  EXPECT_FALSE(SanitizeUtf8(good).lossy);
  // Overlong "/", a lone continuation byte, a code point past U+10FFFF, a cut sequence.
  const TConvertedText bad = SanitizeUtf8("\xC0\xAF|\x80|\xF4\x90\x80\x80|\xE4\xB8");
  EXPECT_EQ(bad.text, "\uFFFD\uFFFD|\uFFFD|\uFFFD\uFFFD\uFFFD\uFFFD|\uFFFD\uFFFD");
  EXPECT_TRUE(bad.lossy);
}

TEST(LocalizeCodePage, IconvNames) {
  EXPECT_EQ(IconvCodePageName(0), "CP1252");
  EXPECT_EQ(IconvCodePageName(1251), "CP1251");
  EXPECT_EQ(IconvCodePageName(65001), "UTF-8");
}

TEST(LocalizeCharset, NamesMapWithoutRegardToCase) {
  struct TCase {
    const char* name;
    int code;
  };
  for (const TCase& c :
       {TCase{"ANSI_CHARSET", 0}, TCase{"default_charset", 1}, TCase{"GB2312_charset", 134},
        TCase{"gb2312_charset", 134}, TCase{"RUSSIAN_CHARSET", 204},
        TCase{"ChineseBig5_Charset", 136}, TCase{"MAC_CHARSET", 77}, TCase{"BALTIC_CHARSET", 186},
        TCase{"OEM_CHARSET", 255}, TCase{"", 1}, TCase{"KLINGON_CHARSET", 1},
        TCase{"RUSSIAN_CHARSET ", 1}}) {
    EXPECT_EQ(CharsetFromName(c.name), c.code) << c.name;
  }
}

}  // namespace
