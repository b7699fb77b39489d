#include "config/Settings.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/ProgramFolder.h"
#include "tests/support/IniTestFiles.h"
#include "tests/support/Subprocess.h"

// Found by argument-dependent lookup, so beside the types.
static void PrintTo(const TVideoSettings& v, std::ostream* out) {
  *out << "{fps " << v.fps << ", type " << v.encodeType << ", quant " << v.highQuant << ", "
       << v.width << "x" << v.height << "}";
}

static void PrintTo(const TRtspSettings& r, std::ostream* out) {
  *out << "{port " << r.port << ", udp " << r.enableUdp << ", audio " << r.enableAudio
       << ", empty info " << r.enableEmptyInfo << ", log flood limit " << r.logFloodLimit << "}";
}

namespace {

namespace fs = std::filesystem;
using ini_test::ReadBytes;
using ini_test::WriteBytes;

constexpr TVideoSettings kDefaultVideo{8, kEncodeTypeH264, 0, 0, 0};
constexpr TRtspSettings kDefaultRtsp{6554, false, false, false};

TEST(Settings, NoFileGivesTheDefaults) {
  TempFile temp("SConfig.ini");
  EXPECT_EQ(LoadVideoSettings(temp.path()), kDefaultVideo);
  EXPECT_EQ(LoadRtspSettings(temp.path()), kDefaultRtsp);

  const TSettings fresh(temp.path());
  EXPECT_EQ(fresh.Video(), kDefaultVideo);
  EXPECT_EQ(fresh.RtspPort(), 6554);
  EXPECT_FALSE(fresh.UdpEnabled());
  EXPECT_FALSE(fresh.AudioEnabled());
  EXPECT_FALSE(fresh.EmptyInfoEnabled());
}

TEST(Settings, VideoValuesAreCheckedAfterReading) {
  const std::vector<std::pair<std::string, TVideoSettings>> cases = {
      {"fps=0", {1, 4, 0, 0, 0}},
      {"fps=-5", {1, 4, 0, 0, 0}},
      {"fps=60", {30, 4, 0, 0, 0}},
      {"fps=30", {30, 4, 0, 0, 0}},
      {"fps=fast", {8, 4, 0, 0, 0}},
      {"fps=0x10", {16, 4, 0, 0, 0}},
      {"EncodeType=5", {8, 3, 0, 0, 0}},
      {"EncodeType=-4", {8, 3, 0, 0, 0}},
      {"EncodeType=6", {8, 6, 0, 0, 0}},
      {"EncodeType=3", {8, 3, 0, 0, 0}},
      {"EncodeType=h264", {8, 4, 0, 0, 0}},
      {"HighQuant=99\nWidth=0\nHeight=480", {8, 4, 99, 0, 480}},
      {"width=-1\nHEIGHT=$100", {8, 4, 0, -1, 256}},
  };
  TempFile temp("SConfig.ini");
  for (const auto& [lines, expected] : cases) {
    WriteBytes(temp.path(), "[System]\n" + lines + "\n[RTSP]\nfps=2\n");
    EXPECT_EQ(LoadVideoSettings(temp.path()), expected) << lines;
  }
}

TEST(Settings, ServiceValuesAreReadWithoutRangeChecks) {
  const std::vector<std::pair<std::string, TRtspSettings>> cases = {
      {"[RTSP]\nPort=0x1A0A", {6666, false, false, false}},
      {"[RTSP]\nPort=$1A0A", {6666, false, false, false}},
      {"[RTSP]\nPort=70000", {70000, false, false, false}},
      {"[RTSP]\nPort=", {6554, false, false, false}},
      {"[RTSP]\nEnableUDP=true\nEnableAudio=yes", {6554, false, false, false}},
      {"[RTSP]\nEnableUDP=2\nEnableAudio=-1", {6554, true, true, false}},
      {"[System]\nEnableEmptyInfo=1\n[RTSP]\nEnableUDP=0", {6554, false, false, true}},
      {"[rtsp]\nport=1\n[System]\nPort=2", {1, false, false, false}},
      {"[System]\nLogFloodLimit=0", {6554, false, false, false, 0}},
      {"[System]\nLogFloodLimit=-3", {6554, false, false, false, 100}},
      {"[Publish]\nUrl=rtsp://u:p@relay:8554/cam", {6554, false, false, false, 100,
                                                   "rtsp://u:p@relay:8554/cam"}},
  };
  TempFile temp("SConfig.ini");
  for (const auto& [text, expected] : cases) {
    WriteBytes(temp.path(), text);
    EXPECT_EQ(LoadRtspSettings(temp.path()), expected) << text;
  }
}

TEST(Settings, OnvifValuesHaveDefaultsAndAPortOutOfRangeGoesBackToIts) {
  const std::vector<std::pair<std::string, TOnvifSettings>> cases = {
      {"", {8000, "", true}},
      {"[ONVIF]\nPort=8080\nName=Desk & <Co>\nDiscovery=0", {8080, "Desk & <Co>", false}},
      {"[ONVIF]\nPort=0", {8000, "", true}},
      {"[ONVIF]\nPort=65536", {8000, "", true}},
  };
  TempFile temp("SConfig.ini");
  for (const auto& [text, expected] : cases) {
    WriteBytes(temp.path(), text);
    EXPECT_EQ(LoadOnvifSettings(temp.path()), expected) << text;
  }
}

TEST(Settings, CaptureChoiceIsReadInAnyCaseAndTheTokenKeepsTheOtherKeys) {
  const std::vector<std::tuple<std::string, std::optional<TCaptureChoice>, std::string>> cases = {
      {"", TCaptureChoice::Auto, ""},
      {"[System]\nCapture=Portal\nPortalToken=a-b", TCaptureChoice::Portal, "a-b"},
      {"[System]\nCapture=X11", TCaptureChoice::X11, ""},
      {"[System]\nCapture=mutter", TCaptureChoice::Mutter, ""},
      {"[System]\nCapture=wayland", std::nullopt, ""},
  };
  TempFile temp("SConfig.ini");
  for (const auto& [text, choice, token] : cases) {
    WriteBytes(temp.path(), text);
    const TCaptureSettings read = LoadCaptureSettings(temp.path());
    EXPECT_EQ(ParseCaptureChoice(read.choice), choice) << text;
    EXPECT_EQ(read.portalToken, token) << text;
  }
  WriteBytes(temp.path(), "[System]\nfps=12\nPortalToken=old\n");
  ASSERT_TRUE(SavePortalToken(temp.path(), "new"));
  EXPECT_EQ(ReadBytes(temp.path()), "[System]\nfps=12\nPortalToken=new\n");
}

TEST(Settings, SavingThePortCreatesOrEditsTheFile) {
  TempFile temp("SConfig.ini");
  ASSERT_TRUE(SaveRtspPort(temp.path(), 6666));
  EXPECT_EQ(ReadBytes(temp.path()), "[RTSP]\nPort=6666\n");

  const std::string handWritten = "[System]\r\nfps=15 ; fifteen\r\n[RTSP]\r\nPort=0x1A0A\r\nAuth=1";
  WriteBytes(temp.path(), handWritten);
  TSettings settings(temp.path());
  settings.LoadRtspSettings();
  EXPECT_EQ(settings.RtspPort(), 6666);
  settings.SetRtspPort(-8554);
  ASSERT_TRUE(settings.SaveRtspPort());
  EXPECT_EQ(ReadBytes(temp.path()),
            "[System]\r\nfps=15 ; fifteen\r\n[RTSP]\r\nPort=-8554\r\nAuth=1");
  EXPECT_EQ(LoadRtspSettings(temp.path()).port, -8554);
}

// The password must never sit in a file others can read, not even for the moment of the rewrite;
// and without one the user's own permissions stay.
TEST(Settings, CameraAccessRoundTripsAndAPasswordClosesTheFileToOthers) {
  TempFile temp("SConfig.ini");
  WriteBytes(temp.path(), "[Auth]\nAllowBasic=1\n");
  ASSERT_EQ(::chmod(temp.path().c_str(), 0644), 0);
  const TCameraAccess open{"", "", true, "127.0.0.1"};
  ASSERT_TRUE(SaveCameraAccess(temp.path(), open));
  EXPECT_EQ(fs::status(temp.path()).permissions() & fs::perms::all, fs::perms(0644));

  const TCameraAccess closed{"nvr", "p\xC3\xA4ss w=rd", true, "", true};
  TSettings settings(temp.path());
  settings.SetCameraAccess(closed);
  ASSERT_TRUE(settings.SaveCameraAccess());
  EXPECT_EQ(fs::status(temp.path()).permissions() & fs::perms::all, fs::perms(0600));
  EXPECT_EQ(LoadCameraAccess(temp.path()), closed);
  settings.SetCameraAccess({});
  settings.LoadCameraAccess();
  EXPECT_EQ(settings.CameraAccess(), closed);
  // Any later write of a file that holds a password closes it again, say the port's.
  ASSERT_EQ(::chmod(temp.path().c_str(), 0644), 0);
  ASSERT_TRUE(SaveRtspPort(temp.path(), 7000));
  EXPECT_EQ(fs::status(temp.path()).permissions() & fs::perms::all, fs::perms(0600));
}

TEST(Settings, AFailedPortSaveStillChangesThePort) {
  TempFile temp("SConfig.ini");
  const fs::path blocked = fs::path(temp.path()).parent_path() / "file";
  WriteBytes(blocked, "");
  TSettings settings(blocked / "SConfig.ini");
  settings.SetRtspPort(7000);
  EXPECT_FALSE(settings.SaveRtspPort());
  EXPECT_EQ(settings.RtspPort(), 7000);
}

TEST(Settings, APortSaveKilledHalfwayLeavesTheOldFileOrTheNewOneWhole) {
  TempFile temp("SConfig.ini");
  // Long enough that a write takes a while, with content around the entry that must survive.
  std::string before = "[System]\nfps=15\n";
  for (int i = 0; i < 2000; ++i) before += "; padding line " + std::to_string(i) + "\n";
  const std::string after = "[Extra]\nkeep=1\n";
  const auto fileWith = [&](int port) {
    return before + "[RTSP]\nPort=" + std::to_string(port) + "\n" + after;
  };
  WriteBytes(temp.path(), fileWith(7000));
  std::mt19937 random(12345);
  for (int round = 0; round < 40; ++round) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int port = 7001;; port = port == 7001 ? 7000 : 7001) SaveRtspPort(temp.path(), port);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500 + random() % 5000));
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    const std::string text = ReadBytes(temp.path());
    ASSERT_TRUE(text == fileWith(7000) || text == fileWith(7001)) << "round " << round;
  }
  // Each killed writer's temporary file is cleared away by the next write: at most the last one
  // is left.
  size_t leftovers = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(temp.path()).parent_path())) {
    if (entry.path().extension() == ".tmp") ++leftovers;
  }
  EXPECT_LE(leftovers, 1u);
}

TEST(Settings, StringKeysForLanguageAndAboutBox) {
  TempFile temp("SConfig.ini");
  const TIniFile file(temp.path());
  EXPECT_EQ(ReadStringSetting(file.Load(), TSettingId::Language), "");
  EXPECT_EQ(ReadStringSetting(file.Load(), TSettingId::ProductVersion), "1.0");
  EXPECT_EQ(ReadStringSetting(file.Load(), TSettingId::Company, "Localized"), "Localized");

  ASSERT_TRUE(WriteStringSetting(file, TSettingId::Language,
                                 "Fran\xc3\xa7"
                                 "ais.lng"));
  ASSERT_TRUE(WriteStringSetting(file, TSettingId::Language, ""));
  EXPECT_EQ(ReadBytes(temp.path()), "[System]\nlanguage=\n");
  EXPECT_EQ(ReadStringSetting(file.Load(), TSettingId::Language), "");

  WriteBytes(temp.path(), "[System]\nInfo2=\"  Tel. 0800 \"\nCompany=Gr\xc3\xbcn AG\n");
  EXPECT_EQ(ReadStringSetting(file.Load(), TSettingId::Info2), "  Tel. 0800 ");
  EXPECT_EQ(ReadStringSetting(file.Load(), TSettingId::Company, "x"), "Gr\xc3\xbcn AG");
}

TEST(Settings, ProcessWideFileLiesBesideTheProgram) {
  EXPECT_EQ(ConfigFilePath(), platform::ProgramFolder() / "SConfig.ini");
  EXPECT_EQ(Settings().ConfigFile(), ConfigFilePath());
}

}  // namespace
