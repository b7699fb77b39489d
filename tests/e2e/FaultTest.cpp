// The program under faults of its surroundings: the display going away and coming back, a missing
// encoder library, a folder it cannot write to.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "RtspTestClient.h"
#include "RunningVistrel.h"
#include "tests/support/XvfbDisplay.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kSettings = "[System]\nfps=10\n\n[RTSP]\nPort={port}\n";
const XvfbDisplay::Screen kScreen{320, 240, 24};

TEST(VistrelFaults, TheDisplayDyingAndComingBackCostsOnlyThePicturesInBetween) {
  auto display = std::make_unique<XvfbDisplay>(kScreen);
  const int number = display->Number();
  RunningVistrel vistrel(display->Name(), kSettings);
  DecodeResult before = DecodeFrames(vistrel.Url(), "tcp", 5);
  ASSERT_EQ(before.frames, 5) << before.output;

  display->Kill();
  ASSERT_TRUE(vistrel.WaitForLog({"display connection lost; serving on without the tray"}, 10s))
      << vistrel.LogText();
  {
    RtspTestClient client(vistrel.Port());
    EXPECT_EQ(client.Request("OPTIONS", vistrel.Url()).status, 200);
  }

  display = std::make_unique<XvfbDisplay>(number, kScreen);
  const DecodeResult after = DecodeFrames(vistrel.Url(), "tcp", 5, 30);
  EXPECT_EQ(after.frames, 5) << after.output << vistrel.LogText();

  vistrel.Process().Signal(SIGTERM);
  EXPECT_EQ(vistrel.Process().WaitFor(10s), 0);
  EXPECT_TRUE(LinesInOrder(vistrel.LogText(), {"stop service -->", "stop service <--"}));
}

TEST(VistrelFaults, WithoutTheEncoderLibraryItStillAnswersAndSaysWhy) {
  XvfbDisplay display(kScreen);
  RunningVistrel vistrel(display.Name(), kSettings);
  vistrel.Process().Signal(SIGTERM);
  ASSERT_EQ(vistrel.Process().WaitFor(10s), 0);
  std::filesystem::remove(vistrel.Folder() / "libOrxEncoder.so");

  auto restarted = vistrel.StartCopy();
  const std::string listen = "listen " + std::to_string(vistrel.Port());
  ASSERT_TRUE(vistrel.WaitForLog({listen, "load encoder library failed, e=", listen}, 15s))
      << vistrel.LogText();
  RtspTestClient client(vistrel.Port());
  EXPECT_EQ(client.Request("OPTIONS", vistrel.Url()).status, 200);
  // DESCRIBE has no parameter sets to announce without an encoder; it must still be answered.
  EXPECT_GT(client.Request("DESCRIBE", vistrel.Url(), "Accept: application/sdp\r\n").status, 0);
  client.Close();
  restarted->Signal(SIGTERM);
  EXPECT_EQ(restarted->WaitFor(10s), 0);
}

TEST(VistrelFaults, AFolderItCannotWriteToSendsTheLogToStandardError) {
  XvfbDisplay display(kScreen);
  RunningVistrel vistrel(display.Name(), kSettings);
  vistrel.Process().Signal(SIGTERM);
  ASSERT_EQ(vistrel.Process().WaitFor(10s), 0);
  // Directories where the log and its backup go: neither can be opened as a file, even by root.
  std::filesystem::path log;
  for (const auto& entry : std::filesystem::directory_iterator(vistrel.Folder())) {
    if (entry.path().extension() == ".log") log = entry.path();
  }
  ASSERT_FALSE(log.empty());
  std::filesystem::remove(log);
  std::filesystem::create_directory(log);
  std::filesystem::create_directory(std::filesystem::path(log).replace_extension(".Bak"));

  auto restarted = vistrel.StartCopy();
  // Without a log there is no line to wait for: the first answer tells that it is up.
  std::unique_ptr<RtspTestClient> client;
  for (int attempt = 0; attempt < 100 && !client; ++attempt) {
    try {
      client = std::make_unique<RtspTestClient>(vistrel.Port());
    } catch (const std::exception&) {
      std::this_thread::sleep_for(100ms);
    }
  }
  ASSERT_TRUE(client) << "the program never listened";
  EXPECT_EQ(client->Request("OPTIONS", vistrel.Url()).status, 200);
  client.reset();
  restarted->Signal(SIGTERM);
  EXPECT_EQ(restarted->WaitFor(10s), 0);
  std::ifstream in(vistrel.Folder() / "output.txt");
  std::stringstream read;
  read << in.rdbuf();
  const std::string output = read.str();
  EXPECT_NE(output.find("log lines go to standard error instead"), std::string::npos) << output;
  EXPECT_NE(output.find("listen " + std::to_string(vistrel.Port())), std::string::npos) << output;
  EXPECT_NE(output.find("stop service <--"), std::string::npos) << output;
}

}  // namespace
