#include "config/IniFile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;

struct TReadCase {
  const char* what;
  std::string text;
  const char* section;
  const char* key;
  std::optional<std::string> expected;
};

TEST(IniText, FindsTheValueOfTheFirstMatchingEntry) {
  const std::vector<TReadCase> cases = {
      {"plain", "[System]\nfps=12\n", "System", "fps", "12"},
      {"names ignore case", "[SYSTEM]\nFPS=12\n", "system", "Fps", "12"},
      {"first entry wins", "[System]\nfps=1\nfps=2\n", "System", "fps", "1"},
      {"first entry wins across a repeated section", "[S]\na=1\n[T]\nb=1\n[s]\nb=2\n", "S", "b",
       "2"},
      {"blanks around names and value", "  [ System ]  \n  fps \t=  12 \t\n", "System", "fps",
       "12"},
      {"comment line", "[System]\n;fps=5\n", "System", "fps", std::nullopt},
      {"indented comment", "[System]\n  ; fps=5\nfps=6\n", "System", "fps", "6"},
      {"double quotes lose one pair", "[S]\nk=\"\"a b\"\"\n", "S", "k", "\"a b\""},
      {"single quotes", "[S]\nk= 'a b' \n", "S", "k", "a b"},
      {"blanks inside quotes stay", "[S]\nk=\" a \"\n", "S", "k", " a "},
      {"mismatched quotes stay", "[S]\nk=\"a'\n", "S", "k", "\"a'"},
      {"lone quote stays", "[S]\nk=\"\n", "S", "k", "\""},
      {"value holding =", "[S]\nk=a=b\n", "S", "k", "a=b"},
      {"empty value", "[S]\nk=\n", "S", "k", ""},
      {"other section", "[A]\nk=1\n[B]\n", "B", "k", std::nullopt},
      {"entry before any section", "k=1\n[S]\n", "S", "k", std::nullopt},
      {"line without =", "[S]\nk\n", "S", "k", std::nullopt},
      {"header without ]", "[S\nk=1\n", "S", "k", "1"},
      {"CR LF", "[S]\r\nk=1\r\nm=2\r\n", "S", "m", "2"},
      {"CR only", "[S]\rk=1\rm=2\r", "S", "m", "2"},
      {"no final line break", "[S]\nk=1", "S", "k", "1"},
      {"NUL bytes elsewhere", "[S]\n\0\0=\0\nk=1\n"s, "S", "k", "1"},
      {"NUL inside a value", "[S]\nk=a\0b\n"s, "S", "k", "a\0b"s},
      {"empty text", "", "S", "k", std::nullopt},
  };
  for (const TReadCase& c : cases) {
    EXPECT_EQ(TIniText(c.text).FindValue(c.section, c.key), c.expected) << c.what;
  }
}

TEST(IniText, ReadsIntegersAndBooleansOrFallsBack) {
  constexpr int32_t kFallback = -77;
  const std::vector<std::pair<std::string, int32_t>> cases = {
      {"12", 12},
      {"+7", 7},
      {"-5", -5},
      {"007", 7},
      {"0x1A0A", 6666},
      {"0X1a0a", 6666},
      {"$1A0A", 6666},
      {"\"6554\"", 6554},
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"0x7fffffff", INT32_MAX},
      {"2147483648", kFallback},
      {"-2147483649", kFallback},
      {"0x80000000", kFallback},
      {"$FFFFFFFF", kFallback},
      {"99999999999999999999999", kFallback},
      {"", kFallback},
      {"abc", kFallback},
      {"12abc", kFallback},
      {"1 2", kFallback},
      {"1.5", kFallback},
      {"-", kFallback},
      {"0x", kFallback},
      {"$", kFallback},
      {"0xG1", kFallback},
      {"-0x10", kFallback},
      {"true", kFallback},
  };
  for (const auto& [value, expected] : cases) {
    const TIniText text("[S]\nk=" + value + "\n");
    EXPECT_EQ(text.ReadInteger("S", "k", kFallback), expected) << value;
  }
  EXPECT_EQ(TIniText("[S]\n").ReadInteger("S", "k", kFallback), kFallback);

  const std::vector<std::tuple<std::string, bool, bool>> booleans = {
      {"1", false, true},  {"2", false, true},     {"-1", false, true}, {"0", true, false},
      {"$0", true, false}, {"true", false, false}, {"yes", true, true}, {"", true, true},
  };
  for (const auto& [value, fallback, expected] : booleans) {
    EXPECT_EQ(TIniText("[S]\nk=" + value + "\n").ReadBool("S", "k", fallback), expected) << value;
  }
}

struct TWriteCase {
  const char* what;
  std::string before;
  const char* section;
  const char* key;
  const char* value;
  std::string after;
};

TEST(IniText, WriteChangesOneEntryAndKeepsEveryOtherByte) {
  const std::vector<TWriteCase> cases = {
      {"empty text", "", "RTSP", "Port", "6666", "[RTSP]\nPort=6666\n"},
      {"replaced in place, CR LF and comments kept",
       "; settings\r\n[RTSP]\r\n  PORT = 1 \r\nAuth=x\r\n; end", "RTSP", "Port", "6666",
       "; settings\r\n[RTSP]\r\nPort=6666\r\nAuth=x\r\n; end"},
      {"added after the last entry, before blank lines and the next section",
       "[System]\nfps=8\n; about the next one\n\n[RTSP]\nPort=1\n", "System", "language", "de.lng",
       "[System]\nfps=8\nlanguage=de.lng\n; about the next one\n\n[RTSP]\nPort=1\n"},
      {"header-only section", "[RTSP]\n[Other]\n", "rtsp", "Port", "5",
       "[RTSP]\nPort=5\n[Other]\n"},
      {"section at the end without final line break", "[A]\nx=1\n[RTSP]\nAuth=1", "RTSP", "Port",
       "5", "[A]\nx=1\n[RTSP]\nAuth=1\nPort=5"},
      {"section appended, no final line break", "[System]\nfps=8", "RTSP", "Port", "5",
       "[System]\nfps=8\n[RTSP]\nPort=5"},
      {"section appended after CR LF", "[System]\r\nfps=8\r\n", "RTSP", "Port", "5",
       "[System]\r\nfps=8\r\n[RTSP]\r\nPort=5\r\n"},
      {"CR-only line ends", "[S]\ra=1\r", "S", "b", "2", "[S]\ra=1\rb=2\r"},
      {"commented entry is not the entry", "[S]\n;k=1\n", "S", "k", "2", "[S]\nk=2\n;k=1\n"},
      {"first of duplicate entries", "[S]\nk=1\n[S]\nk=2\n", "S", "k", "3", "[S]\nk=3\n[S]\nk=2\n"},
      {"new entry goes to the first of repeated sections", "[S]\na=1\n[T]\n[S]\nb=2\n", "S", "c",
       "3", "[S]\na=1\nc=3\n[T]\n[S]\nb=2\n"},
      {"binary bytes elsewhere kept", "\xff\0\x01\n[S]\nk=1\n\0tail"s, "S", "k", "2",
       "\xff\0\x01\n[S]\nk=2\n\0tail"s},
      {"value with outer blanks is quoted", "[S]\n", "S", "k", " a ", "[S]\nk=\" a \"\n"},
      {"quoted-looking value is quoted", "[S]\n", "S", "k", "'a'", "[S]\nk=\"'a'\"\n"},
  };
  for (const TWriteCase& c : cases) {
    TIniText text(c.before);
    ASSERT_TRUE(text.WriteString(c.section, c.key, c.value)) << c.what;
    EXPECT_EQ(text.Text(), c.after) << c.what;
  }
}

TEST(IniText, WrittenValuesReadBackUnchanged) {
  const std::vector<std::string> values = {"",    " lead", "trail\t", "\"q\"",
                                           "'q'", "a=b",   ";semi",   "[br]",
                                           "\"",  "x y",   "\0z"s,    "\xc3\xa9"};
  for (const std::string& value : values) {
    TIniText text("[S]\nother=1\n");
    ASSERT_TRUE(text.WriteString("S", "k", value)) << value;
    EXPECT_EQ(text.FindValue("S", "k"), value) << text.Text();
    EXPECT_EQ(text.FindValue("S", "other"), "1");
  }
}

TEST(IniText, RefusesWhatCannotBeStoredOnOneLine) {
  const std::vector<std::tuple<const char*, const char*, std::string>> refused = {
      {"S", "k", "a\nb"}, {"S", "k", "a\rb"}, {"S", "", "v"}, {"S", "a=b", "v"}, {"S", ";k", "v"},
      {"S", "[k", "v"},   {"S", " k", "v"},   {"", "k", "v"}, {"S]", "k", "v"},  {"S\n", "k", "v"},
  };
  for (const auto& [section, key, value] : refused) {
    const std::string before = "[S]\nk=1\n";
    TIniText text(before);
    EXPECT_FALSE(text.WriteString(section, key, value)) << section << "/" << key;
    EXPECT_EQ(text.Text(), before);
  }
}

TEST(IniText, ListsAndErasesSections) {
  TIniText text("top=1\n[Global]\na=1\n[System]\nb=2\n[global]\nc=3\n[Dialog]\nOK=Ja\n");
  EXPECT_EQ(text.SectionNames(), (std::vector<std::string>{"Global", "System", "Dialog"}));
  text.EraseSection("SYSTEM");
  EXPECT_EQ(text.Text(), "top=1\n[Global]\na=1\n[global]\nc=3\n[Dialog]\nOK=Ja\n");
  text.EraseSection("Global");
  EXPECT_EQ(text.Text(), "top=1\n[Dialog]\nOK=Ja\n");
}

TEST(IniText, GarbageGivesFallbacksAndStaysWritable) {
  std::mt19937 random(20240611);
  std::string garbage(1 << 20, '\0');
  for (char& c : garbage) c = static_cast<char>(random() & 0xFF);
  TIniText text(garbage);
  EXPECT_EQ(text.ReadInteger("Vistrel", "Port", 6554), 6554);
  ASSERT_TRUE(text.WriteString("Vistrel", "Port", "6666"));
  EXPECT_EQ(text.ReadInteger("Vistrel", "Port", 6554), 6666);
  EXPECT_EQ(text.Text().substr(0, garbage.size()), garbage);
}

TEST(IniText, HugeLinesAndManyLinesStayLinear) {
  const std::string longValue(10 << 20, '7');
  const TIniText oneLongLine("[S]\nk=" + longValue);
  EXPECT_EQ(oneLongLine.ReadInteger("S", "k", -1), -1);
  EXPECT_EQ(oneLongLine.ReadString("S", "k", ""), longValue);

  const TIniText noBreaks(std::string(10 << 20, '['));
  EXPECT_EQ(noBreaks.ReadInteger("S", "k", 5), 5);

  std::string manyLines = "[S]\n";
  for (int i = 0; i < 200000; ++i) manyLines += "key" + std::to_string(i) + "=1\n";
  TIniText many(manyLines);
  ASSERT_TRUE(many.WriteString("S", "last", "2"));
  EXPECT_EQ(many.ReadInteger("S", "last", 0), 2);
  EXPECT_EQ(many.Text(), manyLines + "last=2\n");
}

}  // namespace
