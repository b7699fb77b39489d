#include "app/Autostart.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/Subprocess.h"

namespace fs = std::filesystem;

TEST(Autostart, TheProgramIsStartedByItsPathWhateverItHolds) {
  const struct {
    std::vector<std::string> program;
    const char* exec;
  } cases[] = {
      {{"/usr/bin/vistrel"}, "Exec=/usr/bin/vistrel\n"},
      {{"/home/a b/vistrel"}, "Exec=\"/home/a b/vistrel\"\n"},
      {{"/opt/$x/100%/vistrel"}, "Exec=\"/opt/\\\\$x/100%%/vistrel\"\n"},
      {{"/usr/bin/vistrel", "--config", "/srv/cam 2.ini"},
       "Exec=/usr/bin/vistrel --config \"/srv/cam 2.ini\"\n"},
  };
  for (const auto& c : cases) {
    EXPECT_NE(AutostartEntry(c.program).find(c.exec), std::string::npos) << AutostartEntry(c.program);
  }
}

TEST(Autostart, SwitchingOnWritesTheEntryAndOffRemovesIt) {
  TempFile temp("home");
  // A relative XDG_CONFIG_HOME is invalid and ignored.
  const fs::path entry = AutostartEntryPath("relative", temp.path());
  EXPECT_EQ(entry, fs::path(temp.path()) / ".config/autostart/vistrel.desktop");
  std::string error;
  ASSERT_TRUE(SetStartWithDesktop(entry, {"/usr/bin/vistrel"}, true, error)) << error;
  EXPECT_TRUE(StartsWithDesktop(entry));
  // The desktop's own settings may switch an entry off without removing it.
  std::ofstream(entry, std::ios::app) << "Hidden=true\n";
  EXPECT_FALSE(StartsWithDesktop(entry));
  ASSERT_TRUE(SetStartWithDesktop(entry, {"/usr/bin/vistrel"}, false, error)) << error;
  EXPECT_FALSE(fs::exists(entry));
  EXPECT_TRUE(SetStartWithDesktop(entry, {"/usr/bin/vistrel"}, false, error)) << "already off";

  // A file where the folder should be, and no place at all, fail with a reason.
  fs::create_directories(temp.path());
  std::ofstream(fs::path(temp.path()) / "file") << "x";
  for (const fs::path& bad : {fs::path(temp.path()) / "file" / "vistrel.desktop", fs::path()}) {
    error.clear();
    EXPECT_FALSE(SetStartWithDesktop(bad, {"/usr/bin/vistrel"}, true, error));
    EXPECT_FALSE(error.empty());
  }
}
