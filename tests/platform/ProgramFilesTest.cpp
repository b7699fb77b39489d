#include "platform/ProgramFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/IniTestFiles.h"
#include "tests/support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
using platform::DecideProgramFiles;

// Home "db:<path>": HOME was unset and the user database gave the path. c, s, d: the XDG
// variables for configuration, state and data.
platform::TProgramFileFacts Facts(bool writable, std::string home, std::string c = "",
                                  std::string s = "", std::string d = "", fs::path option = {}) {
  const bool db = home.starts_with("db:");
  return {"/opt/v/vistrel", writable, db ? home.substr(3) : home, db, c, s, d, option};
}

// Expected: no settings file means refused; no language folder means the shipped one.
struct TFolderCase {
  platform::TProgramFileFacts facts;
  const char* config;
  const char* log;
  const char* userLanguages;
  bool copiesSystemFile;
  std::size_t notes;
};

TEST(ProgramFiles, AreChosenFromTheFacts) {
  const TFolderCase cases[] = {
      // XDG variables never move the files of a copy that may write its own folder.
      {Facts(true, "/h", "/x/c", "/x/s", "/x/d"), "/opt/v/SConfig.ini", "/opt/v/vistrel.log", "",
       false, 0},
      {Facts(true, "/h", "", "", "", "/etc/a.ini"), "/etc/a.ini", "/etc/vistrel.log", "", false, 0},
      {Facts(false, "/h"), "/h/.config/vistrel/SConfig.ini", "/h/.local/state/vistrel/vistrel.log",
       "/h/.local/share/vistrel/languages", true, 0},
      {Facts(false, "", "/c", "/s", "/d"), "/c/vistrel/SConfig.ini", "/s/vistrel/vistrel.log",
       "/d/vistrel/languages", true, 0},
      // The XDG rules: a relative path is ignored.
      {Facts(false, "/h", "rel/c", "/s"), "/h/.config/vistrel/SConfig.ini",
       "/s/vistrel/vistrel.log", "/h/.local/share/vistrel/languages", true, 1},
      {Facts(false, "/h", "/c", "", "", "/srv/a.ini"), "/srv/a.ini", "/srv/vistrel.log",
       "/h/.local/share/vistrel/languages", false, 0},
      {Facts(false, "", "", "", "", "/srv/a.ini"), "/srv/a.ini", "/srv/vistrel.log", "", false, 1},
      {Facts(false, "db:/u"), "/u/.config/vistrel/SConfig.ini",
       "/u/.local/state/vistrel/vistrel.log", "/u/.local/share/vistrel/languages", true, 1},
      {Facts(false, ""), "", "", "", false, 0},
  };
  for (const TFolderCase& c : cases) {
    const platform::TProgramFiles files = DecideProgramFiles(c.facts);
    SCOPED_TRACE(std::string(c.config) + " " + files.error);
    EXPECT_EQ(files.error.empty(), *c.config != '\0');
    if (!files.error.empty()) continue;
    EXPECT_EQ(files.configFile, c.config);
    EXPECT_EQ(files.configNamed, !c.facts.configOption.empty());
    EXPECT_EQ(files.logFile, c.log);
    EXPECT_EQ(files.userLanguagesFolder, *c.userLanguages ? c.userLanguages : "/opt/v/languages");
    EXPECT_EQ(files.firstConfig, c.copiesSystemFile ? c.facts.systemConfig : fs::path());
    EXPECT_EQ(files.notes.size(), c.notes);
  }
}

// The system-wide settings are copied on a first start only; a user's own file is never replaced,
// and a failed copy is told and leaves the program running on its defaults.
TEST(PrepareProgramFiles, CopiesTheSystemSettingsOnceAndNeverOverAUsersFile) {
  TempFile system("SConfig.ini");
  ini_test::WriteBytes(system.path(), "[RTSP]\nPort=7000\n");
  TempFile home("home");
  platform::TProgramFileFacts facts = Facts(false, home.path());
  facts.systemConfig = system.path();
  platform::TProgramFiles files = DecideProgramFiles(facts);

  EXPECT_TRUE(platform::PrepareProgramFiles(files).empty());
  EXPECT_EQ(ini_test::ReadBytes(files.configFile), "[RTSP]\nPort=7000\n");
  ini_test::WriteBytes(files.configFile, "[RTSP]\nPort=8000\n");
  EXPECT_TRUE(platform::PrepareProgramFiles(files).empty());
  EXPECT_EQ(ini_test::ReadBytes(files.configFile), "[RTSP]\nPort=8000\n");

  fs::remove(files.configFile);
  files.firstConfig = home.path();  // a folder: no file to copy
  EXPECT_EQ(platform::PrepareProgramFiles(files).size(), 1u);
  EXPECT_FALSE(fs::exists(files.configFile));
}

}  // namespace
