// The tray window over fake service actions: the splash, the menu and what its entries do.
#include <QAction>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QTimer>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <vector>

#include "GuiTestSupport.h"
#include "app/ResourceTexts.h"
#include "app/StartupLogo.h"
#include "app/gui/MainForm.h"
#include "tests/app/LocalizeTestFolder.h"

namespace {

namespace fs = std::filesystem;
using localize_test::TProgramFolder;

struct TFakeService {
  int starts = 0, stops = 0, languageDialogs = 0, aboutDialogs = 0;
  std::vector<int32_t> portDialogOpenedWith, changedPorts;
  bool portDialogAnswer = false, answerYes = false;
  std::vector<QString> questions;
  bool accessDialogAnswer = false;
  std::vector<TCameraAccess> changedAccess;
  bool sharingRefused = false;
  int sharingAsked = 0;
  bool autostart = false;
  std::vector<bool> autostartSet;

  TMainFormActions Actions() {
    return {[this] { ++starts; },
            [this] { ++stops; },
            [] { return 8554; },
            [this](int32_t port) { changedPorts.push_back(port); },
            [this](int32_t& port) {
              portDialogOpenedWith.push_back(port);
              if (portDialogAnswer) port = 9000;
              return portDialogAnswer;
            },
            [this] { ++languageDialogs; },
            [this] { ++aboutDialogs; },
            [this](const QString& text) {
              questions.push_back(text);
              return answerYes;
            },
            [] { return TCameraAccess("u", "p", true, ""); },
            [this](const TCameraAccess& access) { changedAccess.push_back(access); },
            [this](TCameraAccess& access) {
              access.bindAddress = "127.0.0.1";
              return accessDialogAnswer;
            },
            [this] { return sharingRefused; },
            [this] { ++sharingAsked; },
            [this] { return autostart; },
            [this](bool on) { autostartSet.push_back(autostart = on); },
            {}};
  }
};

class MainForm : public ::testing::Test {
 protected:
  // The texts are process-wide: whatever a test loads must not reach the next one.
  void TearDown() override { ResourceTexts() = savedTexts_; }

  std::unique_ptr<TMainForm> MakeForm() {
    return std::make_unique<TMainForm>(fake_.Actions(), program_.Folder());
  }

  const TResourceTexts savedTexts_ = ResourceTexts();
  TProgramFolder program_;
  TFakeService fake_;
};

QStringList Captions(QMenu& menu) {
  QStringList captions;
  for (QAction* action : menu.actions()) captions << (action->isSeparator() ? "-" : action->text());
  return captions;
}

// Items act once the menu has closed, that is from the event loop.
void Choose(TMainForm& form, int item) {
  form.SystemMenu().actions().at(item)->trigger();
  QCoreApplication::sendPostedEvents();
}

QTimer* TimerOf(TMainForm& form, int interval) {
  QTimer* found = nullptr;
  for (QTimer* timer : form.findChildren<QTimer*>()) {
    if (timer->interval() == interval) found = timer;
  }
  return found;
}

QTimer* SplashTimer(TMainForm& form) {
  return TimerOf(form, 1000);
}

TEST_F(MainForm, ARefusedScreenShareOffersToAskAgainUntilItIsAllowed) {
  auto form = MakeForm();
  QTimer* timer = TimerOf(*form, 2000);
  ASSERT_NE(timer, nullptr);
  const QStringList usual = Captions(form->SystemMenu());
  for (const bool refused : {true, true, false}) {
    fake_.sharingRefused = refused;
    QMetaObject::invokeMethod(timer, "timeout");
    EXPECT_EQ(Captions(form->SystemMenu()).size(), usual.size() + (refused ? 2 : 0));
    EXPECT_EQ(form->SystemMenu().actions().at(0)->text() == "Ask Again to Share the Screen",
              refused);
  }
  fake_.sharingRefused = true;
  QMetaObject::invokeMethod(timer, "timeout");
  Choose(*form, 0);
  EXPECT_EQ(fake_.sharingAsked, 1);
}

TEST_F(MainForm, SplashFitsTheLogoAndHidesAfterTenTicks) {
  auto form = MakeForm();
  EXPECT_EQ(fake_.starts, 1);
  form->show();
  EXPECT_EQ(form->size(), QSize(540, 320));
  EXPECT_EQ(form->StartupLogo().geometry(), QRect(0, 0, 540, 320));
  const QRect gauge = form->Gauge().geometry();
  EXPECT_EQ(gauge, QRect(0, SplashGaugeTop(320, 10), 540, 10));
  // Centred in the 40-pixel band at the bottom.
  EXPECT_EQ(gauge.top() - 280, 320 - gauge.bottom() - 1);
  EXPECT_EQ(form->Gauge().maximum(), 10);
  EXPECT_EQ(form->Gauge().value(), 0);

  QTimer* timer = SplashTimer(*form);
  ASSERT_NE(timer, nullptr);
  for (int tick = 1; tick < 10; ++tick) {
    QMetaObject::invokeMethod(timer, "timeout");
    EXPECT_EQ(form->Gauge().value(), tick);
    EXPECT_TRUE(form->isVisible()) << "tick " << tick;
    EXPECT_TRUE(timer->isActive()) << "tick " << tick;
  }
  QMetaObject::invokeMethod(timer, "timeout");
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(timer->isActive());
  EXPECT_EQ(fake_.stops, 0);
}

TEST_F(MainForm, LogoFromTheProgramFolderSetsTheSplashSizeUnlessItIsNoPicture) {
  ini_test::WriteBytes(program_.Folder() / "StartupLogo.jpg", "not a picture");
  auto form = MakeForm();
  form->show();
  EXPECT_EQ(form->size(), QSize(540, 320));
  form.reset();

  fs::remove(program_.Folder() / "StartupLogo.jpg");
  fs::create_directories(program_.Folder() / "images");
  QImage picture(200, 100, QImage::Format_RGB32);
  picture.fill(Qt::blue);
  ASSERT_TRUE(picture.save(
      QString::fromStdString((program_.Folder() / "images/StartupLogo.bmp").string())));
  form = MakeForm();
  form->show();
  EXPECT_EQ(form->size(), QSize(200, 100));
  EXPECT_EQ(form->Gauge().geometry(), QRect(0, SplashGaugeTop(100, 10), 200, 10));
}

TEST_F(MainForm, MenuItemsRunTheirActionsOnceTheMenuHasClosed) {
  auto form = MakeForm();
  QMenu& menu = form->SystemMenu();
  EXPECT_EQ(Captions(menu), QStringList({"Change Language...", "Port Setup...", "Camera Access...",
                                         "Start With Desktop", "About...", "-", "Exit System"}));
  EXPECT_FALSE(menu.actions().at(6)->icon().isNull());

  menu.actions().at(0)->trigger();
  EXPECT_EQ(fake_.languageDialogs, 0) << "a dialog must not open while the menu is still up";
  QCoreApplication::sendPostedEvents();
  EXPECT_EQ(fake_.languageDialogs, 1);
  Choose(*form, 4);
  EXPECT_EQ(fake_.aboutDialogs, 1);
  EXPECT_EQ(fake_.languageDialogs, 1);

  // The port changes only when the dialog says so.
  Choose(*form, 1);
  EXPECT_TRUE(fake_.changedPorts.empty());
  fake_.portDialogAnswer = true;
  Choose(*form, 1);
  EXPECT_EQ(fake_.changedPorts, std::vector<int32_t>{9000});
  EXPECT_EQ(fake_.portDialogOpenedWith, (std::vector<int32_t>{8554, 8554}));
  // So does who may watch, and the dialog is handed the current values to start from.
  Choose(*form, 2);
  EXPECT_TRUE(fake_.changedAccess.empty());
  fake_.accessDialogAnswer = true;
  Choose(*form, 2);
  EXPECT_EQ(fake_.changedAccess, (std::vector<TCameraAccess>{{"u", "p", true, "127.0.0.1"}}));
  // Start With Desktop turns over what is there, and its check mark follows.
  for (const bool on : {true, false}) {
    Choose(*form, 3);
    EXPECT_EQ(fake_.autostartSet.back(), on);
    EXPECT_EQ(form->SystemMenu().actions().at(3)->isChecked(), on);
  }
}

// Runs the application's event loop until the program quits or `ms` pass; true when it quit.
bool QuitsWithin(int ms) {
  constexpr int kStillRunning = 77;
  QTimer watchdog;
  watchdog.setSingleShot(true);
  QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(kStillRunning); });
  watchdog.start(ms);
  return QApplication::exec() != kStillRunning;
}

TEST_F(MainForm, ExitAnsweredNoKeepsRunningAndYesClosesTheProgram) {
  auto form = MakeForm();
  EXPECT_EQ(fake_.starts, 1);
  form->show();
  QTimer* splash = SplashTimer(*form);
  ASSERT_NE(splash, nullptr);
  form->SystemMenu().actions().at(6)->trigger();
  EXPECT_FALSE(QuitsWithin(300));
  EXPECT_EQ(fake_.questions, std::vector<QString>{"Are you sure exit the system now?"});
  EXPECT_TRUE(form->isVisible());
  EXPECT_TRUE(splash->isActive());

  fake_.answerYes = true;
  form->SystemMenu().actions().at(6)->trigger();
  EXPECT_TRUE(QuitsWithin(5000));
  EXPECT_EQ(fake_.questions.size(), 2u);
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(splash->isActive());
  // The service stops once, with the window, not before.
  EXPECT_EQ(fake_.stops, 0);
  form.reset();
  EXPECT_EQ(fake_.stops, 1);
  EXPECT_EQ(fake_.starts, 1);
}

TEST_F(MainForm, ApplyTextsRebuildsTheMenuInTheNewLanguage) {
  auto form = MakeForm();
  program_.AddLanguage("Russian.lng",
                       program_.Read(fs::path(VISTREL_LANGUAGES_SOURCE) / "Russian.lng"));
  TLxlocalize localize(program_.Folder(), program_.ConfigFile());
  LoadResourceTexts(localize, ResourceTexts());
  form->ApplyTexts();
  const TResourceTexts& russian = ResourceTexts();
  ASSERT_NE(russian.exitSystem, TResourceTexts().exitSystem);
  const auto caption = [](const std::string& text) { return QString::fromStdString(text); };
  EXPECT_EQ(Captions(form->SystemMenu()),
            QStringList({caption(russian.changeLanguage) + "...",
                         caption(russian.portSetup) + "...", caption(russian.cameraAccess) + "...",
                         caption(russian.startWithDesktop), caption(russian.about) + "...", "-",
                         caption(russian.exitSystem)}));
  EXPECT_FALSE(form->SystemMenu().actions().at(6)->icon().isNull());

  // An ampersand in a translation is shown, not taken as a shortcut mark.
  ResourceTexts().portSetup = "R&D Ports";
  form->ApplyTexts();
  ASSERT_EQ(form->SystemMenu().actions().size(), 7);
  EXPECT_TRUE(QKeySequence::mnemonic(form->SystemMenu().actions().at(1)->text()).isEmpty());
  Choose(*form, 1);
  EXPECT_EQ(fake_.portDialogOpenedWith.size(), 1u);
}

}  // namespace
