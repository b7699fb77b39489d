#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "app/ProcessUtil.h"
#include "tests/support/Subprocess.h"
#include "tests/support/WaitUntil.h"

extern char** environ;

namespace {

// Two processes started from a copy of sleep with a name of our own, and, when the test may start
// one as another user, a third of nobody's.
TEST(CountProcessesByName, CountsRunningCopiesOfTheSameUserByFileNameOnly) {
  TempFile program("VistrelProbe");
  std::filesystem::copy_file("/bin/sleep", program.path());
  const uid_t me = getuid();
  const uid_t nobody = 65534;
  EXPECT_EQ(CountProcessesByName(program.path(), me), 0);

  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i) {
    std::string path = program.path();
    std::string seconds = "30";
    char* argv[] = {path.data(), seconds.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, path.c_str(), nullptr, nullptr, argv, environ), 0);
    children.push_back(child);
  }
  if (me == 0 && (children.emplace_back(fork()) == 0)) {
    chmod(std::filesystem::path(program.path()).parent_path().c_str(), 0755);
    if (setgid(nobody) == 0 && setuid(nobody) == 0)
      execl(program.path().c_str(), "x", "30", nullptr);
    _exit(127);
  }
  // The third starts unlike the two: it only counts once it has become the program.
  const int others = me == 0 ? 1 : 0;
  EXPECT_TRUE(WaitUntil([&] { return CountProcessesByName("VistrelProbe", nobody) == others; }));
  for (const std::string& name : {std::string("VistrelProbe"), std::string("  vistrelprobe "),
                                  std::string("/elsewhere/VISTRELPROBE"), program.path()}) {
    EXPECT_EQ(CountProcessesByName(name, me), 2) << name;
  }
  EXPECT_EQ(CountProcessesByName("VistrelProb", me), 0);
  EXPECT_EQ(CountProcessesByName("", me), 0);
  for (pid_t child : children) {
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
  }
  EXPECT_EQ(CountProcessesByName("VistrelProbe", me), 0);
}

}  // namespace
