#include "MainForm.h"

#include <QApplication>
#include <QCursor>
#include <QLabel>
#include <QMenu>
#include <QPixmap>
#include <QProgressBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolTip>

#include "AboutDialog.h"
#include "AdMenus.h"
#include "CameraAccessDialog.h"
#include "DialogParts.h"
#include "LanguageFont.h"
#include "PubTool.h"
#include "SetupLanguageDialog.h"
#include "SystemSetupDialog.h"
#include "app/Autostart.h"
#include "app/PublishWiring.h"
#include "app/ResourceTexts.h"
#include "app/ScreenSource.h"
#include "app/ServiceControl.h"
#include "app/StartupLogo.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"

namespace {

constexpr int kGaugeHeight = 10;

// Captions are shown as they are: an "&" in a translation is no accelerator mark.
QString MenuCaption(const std::string& text) {
  return QString::fromStdString(text).replace('&', "&&");
}

}  // namespace

// The artwork lives in a static library, where nothing else would keep its resources linked in.
static void LinkArtwork() {
  Q_INIT_RESOURCE(art);
}

TMainFormActions StandardMainFormActions() {
  TMainFormActions actions;
  actions.startService = [] { StartService(); };
  actions.stopService = [] { StopService(); };
  actions.rtspPort = [] { return Settings().RtspPort(); };
  actions.changeRtspPort = [](int32_t port) { ChangeRtspPort(port); };
  actions.showPortSetupDialog = [](int32_t& port) { return ShowPortSetupDialog(port); };
  actions.showLanguageDialog = [] { ShowLanguageDialog(); };
  actions.showAboutDialog = [] { ShowAboutDialog(); };
  actions.askYesNo = [](const QString& text) { return AskYesNo(text); };
  actions.cameraAccess = [] { return Settings().CameraAccess(); };
  actions.changeCameraAccess = [](const TCameraAccess& access) { ChangeCameraAccess(access); };
  actions.showCameraAccessDialog = [](TCameraAccess& access) {
    return ShowCameraAccessDialog(access);
  };
  actions.screenSharingRefused = [] { return ScreenSharingRefused(); };
  actions.askForScreenSharing = [] { AskForScreenSharingAgain(); };
  actions.publishingHint = [] { return PublishingHint(); };
  actions.startsWithDesktop = [] { return ProgramStartsWithDesktop(); };
  actions.setStartWithDesktop = [](bool on) { SetProgramStartWithDesktop(on); };
  return actions;
}

TMainForm::TMainForm(TMainFormActions actions, std::filesystem::path programFolder)
    : QWidget(nullptr, Qt::SplashScreen | Qt::FramelessWindowHint),
      actions_(std::move(actions)),
      programFolder_(std::move(programFolder)) {
  LinkArtwork();
  setObjectName("MainForm");
  resize(540, 320);
  imgStartupLogo_ = new QLabel(this);
  imgStartupLogo_->setObjectName("imgStartupLogo");
  GaugeTip_ = new QProgressBar(this);
  GaugeTip_->setObjectName("GaugeTip");
  GaugeTip_->setTextVisible(false);
  GaugeTip_->setFixedHeight(kGaugeHeight);
  GaugeTip_->setMinimum(0);
  GaugeTip_->setValue(0);
  GaugeTip_->setStyleSheet(
      "QProgressBar { border: none; background: palette(window); }"
      "QProgressBar::chunk { background: #21a336; }");
  ImageList1_ = {QIcon(":/art/TrayIcon.png"), QIcon(":/art/ExitIcon.png")};
  pmSystem_ = new QMenu(this);
  pmSystem_->setObjectName("pmSystem");
  TimerStartup_ = new QTimer(this);
  TimerStartup_->setInterval(1000);
  connect(TimerStartup_, &QTimer::timeout, this, [this] { TimerStartupTimer(); });
  // The portal answers on its own time, and the answer may change later (asked again, or the
  // stream lost); publishing changes with the media server. So the tray looks now and then rather
  // than being told.
  statusTimer_ = new QTimer(this);
  statusTimer_->setInterval(2000);
  connect(statusTimer_, &QTimer::timeout, this, [this] { CheckStatus(); });
  setFont(QFont("Arial"));
  FormCreate();
}

TMainForm::~TMainForm() {
  // The tray icon goes before the service stops, so no click reaches a half-stopped program.
  delete trayIcon_;
  trayIcon_ = nullptr;
  if (serviceStarted_) actions_.stopService();
}

void TMainForm::FormCreate() {
  CreateTrayIcon();
  ApplyTexts();
  LoadStartupLogo();
  actions_.startService();
  serviceStarted_ = true;
  timerTag_ = kSplashTicks;
  TimerStartup_->start();
  if (actions_.screenSharingRefused || actions_.publishingHint) statusTimer_->start();
}

void TMainForm::CheckStatus() {
  const bool refused = actions_.screenSharingRefused && actions_.screenSharingRefused();
  const std::string hint = actions_.publishingHint ? actions_.publishingHint() : std::string();
  if (refused == sharingRefused_ && hint == publishingHint_) return;
  const bool newlyRefused = refused && !sharingRefused_;
  const bool menuChanges = refused != sharingRefused_;
  sharingRefused_ = refused;
  publishingHint_ = hint;
  // The publishing hint counts down every few seconds while a retry waits: only the hint changes
  // then, and a menu the user has open is not rebuilt under the pointer.
  if (menuChanges) {
    ApplyTexts();
  } else {
    UpdateTrayHint();
  }
  if (newlyRefused && trayIcon_) {
    trayIcon_->showMessage(QString::fromStdString(ResourceTexts().productTitle),
                           QString::fromStdString(ResourceTexts().screenSharingRefused),
                           QSystemTrayIcon::Warning);
  }
}

void TMainForm::CreateTrayIcon() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    LogMessage("no notification area for the tray icon; serving without it");
    return;
  }
  trayIcon_ = new QSystemTrayIcon(ImageList1_[0], this);
  // Both buttons open the menu: users of a camera box expect one click to reach its settings.
  connect(trayIcon_, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::Context) {
              pmSystem_->popup(QCursor::pos());
            }
          });
  trayIcon_->show();
}

void TMainForm::ApplyTexts() {
  const TResourceTexts& texts = ResourceTexts();
  ApplyFormFont(*this, texts.font);
  const QFont language = LanguageQFont(texts.font);
  QToolTip::setFont(language);
  QApplication::setFont(language, "QMenu");
  const QString caption = QString::fromStdString(texts.productTitle);
  setWindowTitle(caption);
  SetApplicationTitle(caption);
  UpdateTrayHint();
  pmSystem_->clear();
  BuildSystemMenu();
}

void TMainForm::UpdateTrayHint() {
  if (!trayIcon_) return;
  const TResourceTexts& texts = ResourceTexts();
  QString hint = QString::fromStdString(texts.productTitle);
  if (sharingRefused_) hint += "\n" + QString::fromStdString(texts.screenSharingRefused);
  if (!publishingHint_.empty()) hint += "\n" + QString::fromStdString(publishingHint_);
  trayIcon_->setToolTip(hint);
}

void TMainForm::BuildSystemMenu() {
  const TResourceTexts& texts = ResourceTexts();
  setFont(LanguageQFont(texts.font));
  if (sharingRefused_) {
    AddMenuItem(MenuCaption(texts.askScreenSharing), [this] { actions_.askForScreenSharing(); });
    pmSystem_->addSeparator();
  }
  AddMenuItem(MenuCaption(texts.changeLanguage) + "...", [this] { actions_.showLanguageDialog(); });
  AddMenuItem(MenuCaption(texts.portSetup) + "...", [this] { PortSetup(); });
  AddMenuItem(MenuCaption(texts.cameraAccess) + "...", [this] { CameraAccess(); });
  if (actions_.startsWithDesktop) {
    const bool on = actions_.startsWithDesktop();
    TAdMenuItem& item = AddMenuItem(MenuCaption(texts.startWithDesktop), [this, on] {
      actions_.setStartWithDesktop(!on);
      // The check mark shows what is on the disk, whether the change worked or not.
      ApplyTexts();
    });
    item.setCheckable(true);
    item.setChecked(on);
  }
  AddMenuItem(MenuCaption(texts.about) + "...", [this] { actions_.showAboutDialog(); });
  pmSystem_->addSeparator();
  AddMenuItem(MenuCaption(texts.exitSystem), [this] { ConfirmExit(); }).setIcon(ImageList1_[1]);
}

TAdMenuItem& TMainForm::AddMenuItem(const QString& caption, std::function<void()> onClick) {
  auto* item = new TAdMenuItem(*pmSystem_);
  TLanguageFont font = ResourceTexts().font;
  font.name = "Tahoma";
  font.size = 8;
  item->SetItemFont(LanguageQFont(font));
  item->setText(caption);
  // Queued, so the menu has closed before a dialog opens or the window goes.
  connect(item, &QAction::triggered, this, [onClick = std::move(onClick)] { onClick(); },
          Qt::QueuedConnection);
  pmSystem_->addAction(item);
  return *item;
}

void TMainForm::LoadStartupLogo() {
  QPixmap logo(":/art/StartupLogo.jpg");
  if (const auto file = FindStartupLogo(programFolder_)) {
    QPixmap fromFile;
    if (fromFile.load(QString::fromStdString(file->string()))) {
      logo = fromFile;
    } else {
      LogMessage("startup logo unreadable, built-in logo shown: " + file->string());
    }
  }
  imgStartupLogo_->setPixmap(logo);
  imgStartupLogo_->resize(logo.size());
}

void TMainForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!splashLaidOut_) {
    splashLaidOut_ = true;
    LayoutSplash();
  }
}

void TMainForm::LayoutSplash() {
  imgStartupLogo_->move(0, 0);
  const QSize size = imgStartupLogo_->size();
  setFixedSize(size);
  GaugeTip_->setGeometry(0, SplashGaugeTop(size.height(), kGaugeHeight), size.width(),
                         kGaugeHeight);
  GaugeTip_->setMaximum(kSplashTicks);
  CenterOnScreen(*this);
}

void TMainForm::TimerStartupTimer() {
  TimerStartup_->stop();
  if (--timerTag_ <= 0) {
    hide();
    return;
  }
  GaugeTip_->setValue(kSplashTicks - timerTag_);
  TimerStartup_->start();
}

void TMainForm::PortSetup() {
  int32_t port = actions_.rtspPort();
  if (actions_.showPortSetupDialog(port)) actions_.changeRtspPort(port);
}

void TMainForm::CameraAccess() {
  TCameraAccess access = actions_.cameraAccess();
  if (actions_.showCameraAccessDialog(access)) actions_.changeCameraAccess(access);
}

void TMainForm::ConfirmExit() {
  if (actions_.askYesNo(QString::fromStdString(ResourceTexts().queryForExitSystem))) {
    CloseMainWindow();
  }
}

void TMainForm::CloseMainWindow() {
  TimerStartup_->stop();
  hide();
  if (trayIcon_) trayIcon_->hide();
  // Queued: a quit asked for while no loop runs yet (a signal during start-up, handled in an event
  // loop Qt spins on its own) would otherwise be lost.
  QMetaObject::invokeMethod(qApp, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
}
