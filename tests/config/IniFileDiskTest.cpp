#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <iterator>
#include <string>

#include "config/IniFile.h"
#include "tests/support/IniTestFiles.h"
#include "tests/support/Subprocess.h"

namespace {

namespace fs = std::filesystem;
using ini_test::ReadBytes;
using ini_test::WriteBytes;
using namespace std::string_literals;

std::size_t EntriesIn(const fs::path& folder) {
  return static_cast<std::size_t>(
      std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(IniFile, MissingFileReadsDefaultsAndIsCreatedByAWrite) {
  TempFile temp("SConfig.ini");
  const TIniFile file(temp.path());
  EXPECT_EQ(file.ReadInteger("RTSP", "Port", 6554), 6554);
  EXPECT_EQ(file.ReadString("System", "language", "none"), "none");

  ASSERT_TRUE(file.WriteInteger("RTSP", "Port", 6666));
  EXPECT_EQ(ReadBytes(temp.path()), "[RTSP]\nPort=6666\n");
  EXPECT_EQ(file.ReadInteger("rtsp", "PORT", 0), 6666);
}

TEST(IniFile, WriteKeepsTheRestOfAnAwkwardFileByteForByte) {
  TempFile temp("SConfig.ini");
  const std::string before =
      "\xef\xbb\xbf; written by hand\r\n[System]\r\nfps = 12\r\n\r\n[RTSP]\r\nPort=$1A0A\r\n"
      "Auth=admin\r\n\0\x01\x02\r\n[Unknown]\r\nstuff=x"s;
  WriteBytes(temp.path(), before);
  const TIniFile file(temp.path());
  EXPECT_EQ(file.ReadInteger("RTSP", "Port", 0), 6666);

  ASSERT_TRUE(file.WriteInteger("RTSP", "Port", 554));
  std::string expected = before;
  expected.replace(expected.find("Port=$1A0A"), 10, "Port=554");
  EXPECT_EQ(ReadBytes(temp.path()), expected);

  ASSERT_TRUE(file.WriteString("Unknown", "more", "1"));
  EXPECT_EQ(ReadBytes(temp.path()), expected + "\r\nmore=1");
}

TEST(IniFile, RewriteKeepsPermissionsAndSymbolicLinks) {
  TempFile temp("real.ini");
  const fs::path link = fs::path(temp.path()).parent_path() / "SConfig.ini";
  WriteBytes(temp.path(), "[RTSP]\nPort=1\n");
  ASSERT_EQ(::chmod(temp.path().c_str(), 0600), 0);
  fs::create_symlink("real.ini", link);

  ASSERT_TRUE(TIniFile(link).WriteInteger("RTSP", "Port", 2));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(link)));
  EXPECT_EQ(ReadBytes(temp.path()), "[RTSP]\nPort=2\n");
  EXPECT_EQ(fs::status(temp.path()).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(EntriesIn(fs::path(temp.path()).parent_path()), 2u) << "no sibling left behind";
}

// Runs as root in the test machines, where permission bits stop nothing; a file-size limit makes
// the write hit the same error a full disk gives.
TEST(IniFile, FullDiskLeavesTheOldFileWholeAndReportsFailure) {
  TempFile temp("SConfig.ini");
  const std::string before = "[System]\nfps=8\n[RTSP]\nPort=6554\n";
  WriteBytes(temp.path(), before);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{16, 16};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(3);
    const bool written = TIniFile(temp.path()).WriteString("System", "language", "x.lng");
    ::_exit(written ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "0: reported success, 3: could not set the limit";
  EXPECT_EQ(ReadBytes(temp.path()), before);
  EXPECT_EQ(EntriesIn(fs::path(temp.path()).parent_path()), 1u) << "no sibling left behind";
}

TEST(IniFile, UnwritablePlacesFailWithoutHarm) {
  TempFile temp("SConfig.ini");
  const fs::path folder = fs::path(temp.path()).parent_path();

  // A "folder" that is really a file.
  WriteBytes(folder / "notAFolder", "[S]\nk=1\n");
  EXPECT_FALSE(TIniFile(folder / "notAFolder" / "SConfig.ini").WriteString("S", "k", "2"));
  EXPECT_EQ(ReadBytes(folder / "notAFolder"), "[S]\nk=1\n");

  // A folder where the file should be.
  fs::create_directory(folder / "aFolder");
  WriteBytes(folder / "aFolder" / "inside", "kept");
  EXPECT_FALSE(TIniFile(folder / "aFolder").WriteString("S", "k", "2"));
  EXPECT_EQ(ReadBytes(folder / "aFolder" / "inside"), "kept");
  EXPECT_EQ(TIniFile(folder / "aFolder").ReadInteger("S", "k", 9), 9);

  EXPECT_FALSE(TIniFile(folder / "missing" / "SConfig.ini").WriteString("S", "k", "2"));
  EXPECT_EQ(EntriesIn(folder), 2u);
}

TEST(IniFile, SpecialAndOversizedFilesAreNotReadNorReplaced) {
  TempFile temp("SConfig.ini");
  const fs::path folder = fs::path(temp.path()).parent_path();

  // A pipe nobody writes to would block a plain open-and-read forever.
  const fs::path pipe = folder / "pipe.ini";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_EQ(TIniFile(pipe).ReadInteger("S", "k", 4), 4);
  EXPECT_FALSE(TIniFile(pipe).WriteString("S", "k", "1"));
  EXPECT_TRUE(fs::is_fifo(pipe));

  // Sparse, so it costs no disk space.
  const fs::path huge = folder / "huge.ini";
  WriteBytes(huge, "[S]\nk=1\n");
  fs::resize_file(huge, TIniFile::kMaxFileBytes + 1);
  EXPECT_EQ(TIniFile(huge).ReadInteger("S", "k", 4), 4);
  EXPECT_FALSE(TIniFile(huge).WriteString("S", "k", "2"));
  EXPECT_EQ(fs::file_size(huge), TIniFile::kMaxFileBytes + 1);
  EXPECT_EQ(ReadBytes(huge).substr(0, 8), "[S]\nk=1\n");
}

}  // namespace
