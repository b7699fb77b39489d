#include <gtest/gtest.h>

#include <filesystem>

#include "platform/ProgramFolder.h"

namespace {

TEST(ProgramFolder, IsTheFolderOfThisTestProgram) {
  const std::filesystem::path path = platform::ProgramPath();
  ASSERT_FALSE(path.empty());
  EXPECT_TRUE(path.is_absolute());
  EXPECT_EQ(path.filename(), "platform_tests");
  EXPECT_EQ(platform::ProgramFolder(), path.parent_path());
  EXPECT_TRUE(std::filesystem::exists(platform::ProgramFolder() / "libOrxEncoder.so"));
}

}  // namespace
