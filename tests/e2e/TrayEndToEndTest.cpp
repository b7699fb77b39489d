// The tray program as its user meets it: the splash, the icon in the notification area, the menu
// and its dialogs, reached with pointer clicks and key presses on a display with a tray host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "RtspTestClient.h"
#include "RunningVistrel.h"
#include "TrayDesktop.h"

namespace {

using namespace std::chrono_literals;
using Window = TrayDesktop::Window;
using Image = TrayDesktop::Image;

const std::filesystem::path kLanguages =
    std::filesystem::path(VISTREL_PROGRAM).parent_path() / "languages";
// Generous for anything that should take a moment, so a loaded machine does not fail the test.
constexpr auto kLimit = 10s;

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream all;
  all << in.rdbuf();
  return all.str();
}

bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool connected =
      fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  if (fd >= 0) ::close(fd);
  return connected;
}

std::string Difference(const Image& a, const Image& b) {
  if (a.width != b.width || a.height != b.height) {
    return std::to_string(a.width) + "x" + std::to_string(a.height) + " against " +
           std::to_string(b.width) + "x" + std::to_string(b.height);
  }
  size_t differing = 0;
  for (size_t i = 0; i < a.pixels.size(); ++i) differing += a.pixels[i] != b.pixels[i];
  return std::to_string(differing) + " of " + std::to_string(a.pixels.size()) + " pixels differ";
}

// Qt's menus are override-redirect windows, as are its tooltips.
bool IsMenu(const Window& w) {
  return w.viewable && w.overrideRedirect && !w.tooltip;
}

bool IsSplash(const Window& w) {
  return w.viewable && w.name == "Vistrel Service" && w.width == 540 && w.height == 320;
}

class TrayEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(kLanguages / "English.lng") &&
                std::filesystem::exists(kLanguages / "Russian.lng"))
        << "no language files in " << kLanguages;
  }

  // What the program shows, for failure messages.
  std::string Windows(const std::string& program) const {
    std::string text = "focus " + std::to_string(desktop_.FocusedWindow()) + "; windows:";
    for (const Window& w : desktop_.TopLevels(program)) {
      text += "\n  " + std::to_string(w.id) + " \"" + w.name + "\" " + std::to_string(w.width) +
              "x" + std::to_string(w.height) + (w.viewable ? " viewable" : " unmapped") +
              (w.overrideRedirect ? " override-redirect" : "");
    }
    return text;
  }

  std::optional<Window> FindTopLevel(const std::string& program,
                                     const std::function<bool(const Window&)>& wanted) const {
    for (const Window& w : desktop_.TopLevels(program)) {
      if (wanted(w)) return w;
    }
    return std::nullopt;
  }

  std::optional<Window> WaitForIcon(const std::string& program) const {
    std::optional<Window> icon;
    PollUntil([&] { return (icon = desktop_.TrayIcon(program)) && icon->viewable; }, kLimit);
    return icon;
  }

  // Clicks the icon and pictures the menu that opens. The pointer then leaves the menu, so no
  // item is highlighted and the keys start from the top.
  std::optional<Image> OpenMenu(const std::string& program, const Window& icon) const {
    desktop_.Click(icon.x + icon.width / 2, icon.y + icon.height / 2);
    std::optional<Window> menu;
    PollUntil([&] { return (menu = FindTopLevel(program, IsMenu)).has_value(); }, kLimit);
    if (!menu) return std::nullopt;
    desktop_.MovePointer(5, desktop_.Height() - 5);
    return desktop_.GrabSettled(*menu, kLimit);
  }

  // The program's window with this title once it is shown and holds the keyboard focus, so that
  // keys typed next reach it.
  std::optional<Window> WaitForDialog(const std::string& program, const std::string& title,
                                      unsigned long notThis = 0) const {
    std::optional<Window> dialog;
    PollUntil(
        [&] {
          dialog = FindTopLevel(program, [&](const Window& w) {
            return w.viewable && !w.overrideRedirect && w.name == title && w.id != notThis;
          });
          return dialog && desktop_.FocusedWindow() == dialog->id;
        },
        kLimit);
    return dialog && desktop_.FocusedWindow() == dialog->id ? dialog : std::nullopt;
  }

  bool WaitUntilHidden(const std::string& program, unsigned long id,
                       std::chrono::milliseconds limit = kLimit) const {
    return PollUntil(
        [&] {
          return !FindTopLevel(program, [id](const Window& w) { return w.id == id && w.viewable; });
        },
        limit);
  }

  TrayDesktop desktop_{{1024, 700, 24}};
};

TEST_F(TrayEndToEnd, SplashIconPortSetupAndExitSystem) {
  const auto started = std::chrono::steady_clock::now();
  RunningVistrel vistrel(desktop_.Name(), "[System]\nfps=5\n\n[RTSP]\nPort={port}\n", kLanguages);
  const std::string& program = vistrel.ProgramName();

  std::optional<Window> splash;
  ASSERT_TRUE(
      PollUntil([&] { return (splash = FindTopLevel(program, IsSplash)).has_value(); }, kLimit))
      << Windows(program);
  const auto icon = WaitForIcon(program);
  ASSERT_TRUE(icon) << "the program has no window in the tray host's panel\n" << Windows(program);
  EXPECT_EQ(vistrel.LogText().find("no notification area"), std::string::npos) << vistrel.LogText();

  ASSERT_TRUE(WaitUntilHidden(program, splash->id, 16s)) << Windows(program);
  const double splashSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_GE(splashSeconds, 8.0);
  EXPECT_LE(splashSeconds, 14.0);

  // Port Setup: the second item; Return confirms the dialog.
  const int oldPort = vistrel.Port();
  const int newPort = FreePortPair();
  ASSERT_TRUE(OpenMenu(program, *icon)) << Windows(program);
  desktop_.Keys("Down Down Return");
  const auto portSetup = WaitForDialog(program, "Port Setup");
  ASSERT_TRUE(portSetup) << Windows(program);
  desktop_.Keys("ctrl+a");
  desktop_.Type(std::to_string(newPort));
  desktop_.Keys("Return");
  EXPECT_TRUE(WaitUntilHidden(program, portSetup->id)) << Windows(program);
  ASSERT_TRUE(vistrel.WaitForLog(
      {"stop " + std::to_string(oldPort), "listen " + std::to_string(newPort)}, kLimit))
      << vistrel.LogText();
  const std::string settings = ReadFile(vistrel.Folder() / "SConfig.ini");
  EXPECT_NE(settings.find("Port=" + std::to_string(newPort)), std::string::npos) << settings;
  EXPECT_EQ(settings.find("Port=" + std::to_string(oldPort)), std::string::npos) << settings;
  {
    RtspTestClient client(newPort);
    EXPECT_EQ(
        client.Request("OPTIONS", "rtsp://127.0.0.1:" + std::to_string(newPort) + "/live").status,
        200);
  }
  EXPECT_FALSE(Accepts(oldPort));

  // Exit System, the last item: the question's default answer, No, keeps the program running.
  ASSERT_TRUE(OpenMenu(program, *icon)) << Windows(program);
  desktop_.Keys("Up Return");
  auto question = WaitForDialog(program, "Vistrel Service", splash->id);
  ASSERT_TRUE(question) << Windows(program);
  desktop_.Keys("Return");
  EXPECT_TRUE(WaitUntilHidden(program, question->id)) << Windows(program);
  EXPECT_FALSE(vistrel.Process().WaitFor(1s)) << "answering No ended the program";
  EXPECT_EQ(vistrel.LogText().find("stop service"), std::string::npos) << vistrel.LogText();

  ASSERT_TRUE(OpenMenu(program, *icon)) << Windows(program);
  desktop_.Keys("Up Return");
  question = WaitForDialog(program, "Vistrel Service", splash->id);
  ASSERT_TRUE(question) << Windows(program);
  desktop_.Keys("y");
  EXPECT_EQ(vistrel.Process().WaitFor(kLimit), 0) << Windows(program);
  EXPECT_TRUE(LinesInOrder(vistrel.LogText(), {"stop service -->", "stop service <--"}))
      << vistrel.LogText();
}

// Menu captions cannot be read from outside the program, so the menu is compared by its pixels:
// after the change it must look exactly as the menu of a program started in Russian.
TEST_F(TrayEndToEnd, ChangingToRussianRebuildsTheMenuAsARussianStartShowsIt) {
  std::optional<Image> english;
  std::optional<Image> changed;
  {
    RunningVistrel vistrel(desktop_.Name(), "[RTSP]\nPort={port}\n", kLanguages);
    const std::string& program = vistrel.ProgramName();
    const auto icon = WaitForIcon(program);
    ASSERT_TRUE(icon) << Windows(program);
    english = OpenMenu(program, *icon);
    ASSERT_TRUE(english) << Windows(program);
    desktop_.Keys("Down Return");
    const auto dialog = WaitForDialog(program, "Change Language");
    ASSERT_TRUE(dialog) << Windows(program);
    // The drop-down has the focus: English, then Русский; Return is the dialog's OK.
    desktop_.Keys("Down Return");
    EXPECT_TRUE(WaitUntilHidden(program, dialog->id)) << Windows(program);
    const auto settingsFile = vistrel.Folder() / "SConfig.ini";
    EXPECT_TRUE(PollUntil(
        [&] { return ReadFile(settingsFile).find("language=Russian.lng") != std::string::npos; },
        kLimit))
        << ReadFile(settingsFile);
    EXPECT_TRUE(FindTopLevel(program, [](const Window& w) { return w.name == "Служба Vistrel"; }))
        << Windows(program);

    changed = OpenMenu(program, *icon);
    ASSERT_TRUE(changed) << Windows(program);
    desktop_.Keys("Down Down Return");
    const auto portSetup = WaitForDialog(program, "Настройка порта");
    ASSERT_TRUE(portSetup) << Windows(program);
    desktop_.Keys("Escape");
    EXPECT_TRUE(WaitUntilHidden(program, portSetup->id)) << Windows(program);
  }
  RunningVistrel russian(desktop_.Name(), "[System]\nlanguage=Russian.lng\n\n[RTSP]\nPort={port}\n",
                         kLanguages);
  const auto icon = WaitForIcon(russian.ProgramName());
  ASSERT_TRUE(icon) << Windows(russian.ProgramName());
  const auto fresh = OpenMenu(russian.ProgramName(), *icon);
  ASSERT_TRUE(fresh) << Windows(russian.ProgramName());
  desktop_.Keys("Escape");

  EXPECT_TRUE(*changed == *fresh) << Difference(*changed, *fresh);
  EXPECT_FALSE(*changed == *english) << Difference(*changed, *english);
}

// Camera Access: confirmed values land in the settings file, which a password leaves to its owner.
TEST_F(TrayEndToEnd, CameraAccessStoresItsValuesForTheOwnerOnlyAndRestartsTheListener) {
  RunningVistrel vistrel(desktop_.Name(), "[Auth]\nAllowBasic=1\n\n[RTSP]\nPort={port}\n",
                         kLanguages);
  const std::string& program = vistrel.ProgramName();
  const auto icon = WaitForIcon(program);
  ASSERT_TRUE(icon) << Windows(program);
  ASSERT_TRUE(OpenMenu(program, *icon)) << Windows(program);
  desktop_.Keys("Down Down Down Return");
  const auto dialog = WaitForDialog(program, "Camera Access");
  ASSERT_TRUE(dialog) << Windows(program);
  // User, password, the show box, then the address.
  desktop_.Type("viewer");
  desktop_.Keys("Tab");
  desktop_.Type("s3cret pass");
  desktop_.Keys("Tab Tab");
  desktop_.Type("127.0.0.1");
  desktop_.Keys("Return");
  EXPECT_TRUE(WaitUntilHidden(program, dialog->id)) << Windows(program);
  const std::string port = std::to_string(vistrel.Port());
  ASSERT_TRUE(vistrel.WaitForLog(
      {"listen " + port, "stop service -->", "start service-->", "listen " + port}, kLimit))
      << vistrel.LogText();
  RtspTestClient client(vistrel.Port());
  EXPECT_EQ(client.Request("DESCRIBE", vistrel.Url()).status, 401) << "the password applies at once";
  const auto file = vistrel.Folder() / "SConfig.ini";
  const std::string settings = ReadFile(file);
  for (const char* line :
       {"User=viewer", "Password=s3cret pass", "Bind=127.0.0.1", "AllowBasic=1"}) {
    EXPECT_NE(settings.find(line), std::string::npos) << line << " in\n" << settings;
  }
  using std::filesystem::perms;
  EXPECT_EQ(std::filesystem::status(file).permissions() & perms::all,
            perms::owner_read | perms::owner_write);
}

}  // namespace
