// The program's main window: a borderless splash with the logo and a progress gauge for the first
// ten seconds, hidden afterwards. From then on the tray icon and its menu are all the user sees.
// Creating the window starts the streaming service; destroying it stops the service.
#pragma once

#include <QIcon>
#include <QWidget>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "config/Settings.h"

class QLabel;
class QMenu;
class QProgressBar;
class QSystemTrayIcon;
class QTimer;
class TAdMenuItem;

// What the window does to the service and how it asks the user; tests replace them.
struct TMainFormActions {
  std::function<void()> startService;
  std::function<void()> stopService;
  std::function<int32_t()> rtspPort;
  std::function<void(int32_t)> changeRtspPort;
  std::function<bool(int32_t&)> showPortSetupDialog;
  std::function<void()> showLanguageDialog;
  std::function<void()> showAboutDialog;
  std::function<bool(const QString&)> askYesNo;
  std::function<TCameraAccess()> cameraAccess;
  std::function<void(const TCameraAccess&)> changeCameraAccess;
  std::function<bool(TCameraAccess&)> showCameraAccessDialog;
  // Whether the desktop may not be shared (the user declined the portal's prompt), and asking again.
  std::function<bool()> screenSharingRefused;
  std::function<void()> askForScreenSharing;
  // Whether the program starts when the user logs in to the desktop, and changing it.
  std::function<bool()> startsWithDesktop;
  std::function<void(bool)> setStartWithDesktop;
  // A line on publishing to a media server for the tray's hint; empty while publishing is off.
  std::function<std::string()> publishingHint;
};

// The real service and dialogs.
TMainFormActions StandardMainFormActions();

class TMainForm : public QWidget {
 public:
  static constexpr int kSplashTicks = 10;

  TMainForm(TMainFormActions actions, std::filesystem::path programFolder);
  ~TMainForm() override;

  // Window caption, application title, tray hint and menu from the current texts and font.
  void ApplyTexts();
  // Closes the window for good, as a confirmed Exit System does; the event loop ends.
  void CloseMainWindow();

  QMenu& SystemMenu() { return *pmSystem_; }
  // Null when this desktop has no notification area.
  QSystemTrayIcon* TrayIcon() { return trayIcon_; }
  const QLabel& StartupLogo() const { return *imgStartupLogo_; }
  const QProgressBar& Gauge() const { return *GaugeTip_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FormCreate();
  void LoadStartupLogo();
  void LayoutSplash();
  void TimerStartupTimer();
  void BuildSystemMenu();
  TAdMenuItem& AddMenuItem(const QString& caption, std::function<void()> onClick);
  void PortSetup();
  void CameraAccess();
  void ConfirmExit();
  void CreateTrayIcon();
  // Screen sharing and publishing, for the tray's hint and menu.
  void CheckStatus();
  void UpdateTrayHint();

  TMainFormActions actions_;
  std::filesystem::path programFolder_;
  QLabel* imgStartupLogo_;
  QProgressBar* GaugeTip_;
  std::array<QIcon, 2> ImageList1_;  // 0: tray icon, 1: Exit System
  QSystemTrayIcon* trayIcon_ = nullptr;
  QTimer* statusTimer_;
  bool sharingRefused_ = false;
  std::string publishingHint_;
  QMenu* pmSystem_;
  QTimer* TimerStartup_;
  int timerTag_ = 0;  // splash ticks left
  bool splashLaidOut_ = false;
  bool serviceStarted_ = false;
};
