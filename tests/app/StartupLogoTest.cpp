#include "app/StartupLogo.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/IniTestFiles.h"
#include "tests/support/Subprocess.h"

namespace {

namespace fs = std::filesystem;

TEST(FindStartupLogo, ProgramFolderBeforeImagesAndJpgBeforeBmp) {
  TempFile marker("marker");
  const fs::path folder = fs::path(marker.path()).parent_path();
  const fs::path images = folder / "images";
  EXPECT_EQ(FindStartupLogo(folder), std::nullopt);

  fs::create_directories(images);
  // A folder carrying the name is no picture.
  fs::create_directories(folder / "StartupLogo.jpg");
  EXPECT_EQ(FindStartupLogo(folder), std::nullopt);
  ini_test::WriteBytes(images / "StartupLogo.bmp", "b");
  EXPECT_EQ(FindStartupLogo(folder), images / "StartupLogo.bmp");
  ini_test::WriteBytes(images / "StartupLogo.jpg", "j");
  EXPECT_EQ(FindStartupLogo(folder), images / "StartupLogo.jpg");
  ini_test::WriteBytes(folder / "StartupLogo.bmp", "b");
  EXPECT_EQ(FindStartupLogo(folder), folder / "StartupLogo.bmp");
  fs::remove(folder / "StartupLogo.jpg");
  ini_test::WriteBytes(folder / "StartupLogo.jpg", "j");
  EXPECT_EQ(FindStartupLogo(folder), folder / "StartupLogo.jpg");
}

}  // namespace
