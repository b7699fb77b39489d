#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <vector>

#include "app/ProcessUtil.h"
#include "tests/support/Subprocess.h"

extern char** environ;

namespace {

// Two processes started from a copy of sleep with a name of our own.
TEST(CountProcessesByName, CountsRunningCopiesByFileNameOnly) {
  TempFile program("VistrelProbe");
  std::filesystem::copy_file("/bin/sleep", program.path());
  EXPECT_EQ(CountProcessesByName(program.path()), 0);

  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    std::string path = program.path();
    std::string seconds = "30";
    char* argv[] = {path.data(), seconds.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, path.c_str(), nullptr, nullptr, argv, environ), 0);
    children.push_back(child);
  }
  for (const std::string& name : {std::string("VistrelProbe"), std::string("  vistrelprobe "),
                                  std::string("/elsewhere/VISTRELPROBE"), program.path()}) {
    EXPECT_EQ(CountProcessesByName(name), 2) << name;
  }
  EXPECT_EQ(CountProcessesByName("VistrelProb"), 0);
  EXPECT_EQ(CountProcessesByName(""), 0);
  for (pid_t child : children) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  EXPECT_EQ(CountProcessesByName("VistrelProbe"), 0);
}

}  // namespace
