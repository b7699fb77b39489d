#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

struct TLineCase {
  std::vector<std::string_view> words;
  const char* config;
  int exitCode;  // -1: the program runs
  const char* out;
};

TEST(CommandLine, AcceptsItsFormsAndRefusesTheRestWithTheUsage) {
  const std::string usage = UsageText("vistrel");
  const TLineCase cases[] = {
      {{}, "", -1, ""},
      {{"--config", "/srv/a.ini"}, "/srv/a.ini", -1, ""},
      {{"--config=rel/a b.ini"}, "rel/a b.ini", -1, ""},
      {{"--config", "--help"}, "--help", -1, ""},  // a file of that name
      {{"--version"}, "", 0, "Vistrel " VISTREL_VERSION "\n"},
      {{"-h", "--version"}, "", 0, usage.c_str()},
      // Refused: usage on standard error, exit code 2.
      {{"--config"}, "", 2, ""},
      {{"--config="}, "", 2, ""},
      {{"--config", "a", "--config", "b"}, "", 2, ""},
      {{"--version", "extra"}, "", 2, ""},
      {{"-platform", "offscreen"}, "", 2, ""},  // Qt's words, never ours
  };
  for (const TLineCase& c : cases) {
    const TCommandLine line = ParseCommandLine(c.words);
    std::ostringstream out, err;
    EXPECT_EQ(AnswerCommandLine(line, "vistrel", out, err).value_or(-1), c.exitCode) << c.config;
    EXPECT_EQ(line.configFile, c.config);
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(err.str(), c.exitCode == 2 ? "vistrel: " + line.error + "\n" + usage : "");
    EXPECT_EQ(line.error.empty(), c.exitCode != 2);
  }
}

}  // namespace
