// The port, language and About dialogs, driven the way a user drives them.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "GuiTestSupport.h"
#include "app/gui/AboutDialog.h"
#include "app/gui/CameraAccessDialog.h"
#include "app/gui/SetupLanguageDialog.h"
#include "app/gui/SystemSetupDialog.h"
#include "tests/app/LocalizeTestFolder.h"

namespace {

namespace fs = std::filesystem;
using gui_test::TModalDriver;
using localize_test::TProgramFolder;

template <typename T>
T* Child(QDialog& dialog, const char* name) {
  T* child = dialog.findChild<T*>(name);
  EXPECT_NE(child, nullptr) << name;
  return child;
}

void Click(QDialog& dialog, const char* button) {
  if (auto* found = Child<QPushButton>(dialog, button)) QTest::mouseClick(found, Qt::LeftButton);
}

enum class TClose { Ok, Cancel, Return };

struct TPortCase {
  int32_t port;
  const char* typed;  // null: the field is left as it opened
  TClose close;
  bool changed;
  int32_t after;
};

// Also names the cases in ctest, which takes neither commas nor brackets there.
void PrintTo(const TPortCase& c, std::ostream* out) {
  static constexpr const char* kClose[] = {"OK", "Cancel", "Enter"};
  *out << c.port << (c.typed ? " typed \"" + std::string(c.typed) + "\" " : " as opened ")
       << kClose[static_cast<int>(c.close)];
}

class PortDialog : public ::testing::TestWithParam<TPortCase> {};

TEST_P(PortDialog, GivesTheNewPortOnlyWhenConfirmedAndDifferent) {
  const TPortCase& c = GetParam();
  QString shown;
  TModalDriver driver([&](QDialog& dialog) {
    auto* edit = Child<QLineEdit>(dialog, "edtPort");
    if (!edit) return;
    shown = edit->text();
    if (c.typed) {
      edit->clear();
      QTest::keyClicks(edit, c.typed);
    }
    if (c.close == TClose::Return) {
      QTest::keyClick(edit, Qt::Key_Return);
    } else {
      Click(dialog, c.close == TClose::Cancel ? "btnCancel" : "btnOK");
    }
  });
  int32_t port = c.port;
  EXPECT_EQ(ShowPortSetupDialog(TResourceTexts(), port), c.changed);
  EXPECT_TRUE(driver.Done());
  EXPECT_EQ(shown, QString::number(c.port));
  EXPECT_EQ(port, c.after);
}

INSTANTIATE_TEST_SUITE_P(
    Gui, PortDialog,
    ::testing::Values(TPortCase{6554, "  8554  ", TClose::Ok, true, 8554},
                      // Not a number: the standard port, which is a change only from another one.
                      TPortCase{8554, "abc", TClose::Ok, true, 6554},
                      TPortCase{6554, "abc", TClose::Ok, false, 6554},
                      TPortCase{8554, nullptr, TClose::Ok, false, 8554},
                      TPortCase{8554, "9000", TClose::Cancel, false, 8554},
                      // Enter in the field confirms, as OK is the default button.
                      TPortCase{8554, "0x1F91", TClose::Return, true, 8081}));

struct TAccessCase {
  const char* user;
  const char* password;
  const char* bind;
  std::string TResourceTexts::*told;  // null: accepted
  bool onvif = false;
};

// The password only by its length: ctest takes neither line breaks nor every byte in a name.
void PrintTo(const TAccessCase& c, std::ostream* out) {
  *out << '"' << c.user << "\" " << std::string_view(c.password).size() << "-byte password on \""
       << c.bind << '"' << (c.onvif ? " with ONVIF" : "");
}

class AccessDialog : public ::testing::TestWithParam<TAccessCase> {};

TEST_P(AccessDialog, OkTellsWhatCannotBeStoredAndStaysOpenElseKeepsTheHiddenSetting) {
  const TAccessCase& c = GetParam();
  const TResourceTexts texts;
  TFrmCameraAccess dialog(texts, TCameraAccess{"old", "secret", true, "10.0.0.1"});
  dialog.show();
  for (const auto& [field, text] :
       {std::pair{"edtUser", c.user}, {"edtPassword", c.password}, {"edtBind", c.bind}}) {
    if (auto* edit = Child<QLineEdit>(dialog, field)) edit->setText(QString::fromUtf8(text));
  }
  if (auto* onvif = Child<QCheckBox>(dialog, "chkOnvif")) onvif->setChecked(c.onvif);
  QString told;
  TModalDriver driver([&](QDialog& shown) {
    if (auto* box = qobject_cast<QMessageBox*>(&shown)) told = box->text();
    shown.accept();
  });
  Click(dialog, "btnOK");
  EXPECT_EQ(told.toStdString(), c.told ? texts.*c.told : "");
  EXPECT_EQ(dialog.isVisible(), c.told != nullptr);
  const std::string bind = QString(c.bind).trimmed().toStdString();
  if (!c.told) {
    EXPECT_EQ(dialog.Entered(), (TCameraAccess{c.user, c.password, true, bind, c.onvif}));
  }
}

using R = TResourceTexts;
INSTANTIATE_TEST_SUITE_P(
    Gui, AccessDialog,
    ::testing::Values(TAccessCase{"cam", "p\xC3\xA4ss w\xC3\xB6rd", " 127.0.0.1 ", nullptr},
                      TAccessCase{"", "", "", nullptr},
                      TAccessCase{"cam", "pw", "192.168.1", &R::badBindAddress},
                      TAccessCase{"cam", "pw", "localhost", &R::badBindAddress},
                      TAccessCase{"cam", "pw", "1.2.3.256", &R::badBindAddress},
                      TAccessCase{"cam", "", "", &R::passwordMissing},
                      TAccessCase{"", "pw", "", &R::userMissing},
                      TAccessCase{"cam", "pw\nx", "", &R::lineBreakInEntry},
                      TAccessCase{"cam", "pw", "", nullptr, true},
                      TAccessCase{"", "", "", &R::onvifNeedsUser, true}));

std::string LanguageFile(const std::string& name, const std::string& prefix) {
  return "[resinfo]\nencode=utf8\nlanguage=" + name + "\n" + localize_test::CompleteTexts(prefix);
}

TEST(LanguageDialog, OkOnTheCurrentLanguageWritesNothingOnAnotherOneSwitches) {
  TProgramFolder program;
  program.AddLanguage("A.lng", LanguageFile("Alpha", "a-"));
  const fs::path beta = program.AddLanguage("B.lng", LanguageFile("Beta", "b-"));
  ini_test::WriteBytes(program.ConfigFile(), "[System]\nlanguage=B.lng\n");
  // Dated back, so that any rewrite shows even within the file system's time resolution.
  for (const fs::path& file : {beta, program.ConfigFile()}) {
    fs::last_write_time(file, fs::last_write_time(file) - std::chrono::hours(1));
  }
  const auto configTime = fs::last_write_time(program.ConfigFile());
  const auto betaTime = fs::last_write_time(beta);
  TLxlocalize localize(program.Folder(), program.ConfigFile());
  std::vector<std::string> announced;  // the file in use when the handler ran
  localize.SetLanguageChangedHandler([&] { announced.push_back(localize.LanguageFileName()); });

  QStringList listed;
  int current = -2;
  TModalDriver unchanged([&](QDialog& dialog) {
    if (auto* list = Child<QComboBox>(dialog, "cbbLanguage")) {
      for (int i = 0; i < list->count(); ++i) listed << list->itemText(i);
      current = list->currentIndex();
    }
    Click(dialog, "btnOK");
  });
  EXPECT_TRUE(ShowLanguageDialog(localize, TResourceTexts()));
  EXPECT_TRUE(unchanged.Done());
  EXPECT_EQ(listed, QStringList({"Alpha", "Beta"}));
  EXPECT_EQ(current, 1);
  EXPECT_TRUE(announced.empty());
  EXPECT_EQ(program.Read(program.ConfigFile()), "[System]\nlanguage=B.lng\n");
  EXPECT_EQ(fs::last_write_time(program.ConfigFile()), configTime);
  EXPECT_EQ(fs::last_write_time(beta), betaTime);

  TModalDriver changed([&](QDialog& dialog) {
    if (auto* list = Child<QComboBox>(dialog, "cbbLanguage")) {
      list->setFocus();
      QTest::keyClick(list, Qt::Key_Up);
    }
    Click(dialog, "btnOK");
  });
  EXPECT_TRUE(ShowLanguageDialog(localize, TResourceTexts()));
  EXPECT_TRUE(changed.Done());
  EXPECT_EQ(announced, std::vector<std::string>{"A.lng"});
  EXPECT_EQ(TIniFile(program.ConfigFile()).ReadString("System", "language", ""), "A.lng");
}

TEST(LanguageDialog, WithoutLanguageFilesListsNothingAndOkChangesNothing) {
  TProgramFolder program;
  TLxlocalize localize(program.Folder(), program.ConfigFile());
  int changes = 0;
  localize.SetLanguageChangedHandler([&] { ++changes; });
  int entries = -1;
  TModalDriver driver([&](QDialog& dialog) {
    if (auto* list = Child<QComboBox>(dialog, "cbbLanguage")) entries = list->count();
    Click(dialog, "btnOK");
  });
  EXPECT_TRUE(ShowLanguageDialog(localize, TResourceTexts()));
  EXPECT_TRUE(driver.Done());
  EXPECT_EQ(entries, 0);
  EXPECT_EQ(changes, 0);
  EXPECT_EQ(localize.LanguageFileName(), "");
  EXPECT_FALSE(fs::exists(program.ConfigFile()));
}

// Company, product type, product name, version, copyright, the two tips and the caption.
QStringList AboutLines(const fs::path& config, bool emptyInfo) {
  TAboutDlg dialog(TResourceTexts(), config, emptyInfo);
  QStringList lines;
  for (const char* name :
       {"lblCompany", "lblDVR", "lblName", "lblversion", "lblCopyRight", "lblTip1", "lblTip2"}) {
    auto* label = Child<QLabel>(dialog, name);
    lines << (label ? label->text() : "(missing)");
  }
  return lines << dialog.windowTitle();
}

TEST(AboutBox, WithoutSettingsShowsTheLanguageTexts) {
  TProgramFolder program;
  EXPECT_EQ(AboutLines(program.ConfigFile(), false),
            QStringList({"Vistrel", "Desktop Camera", "Vistrel Desktop Camera",
                         "Version: " VISTREL_VERSION, "CopyRight: The Vistrel developers",
                         "Support: see the documentation", "", "About Desktop Camera"}));
}

TEST(AboutBox, EmptyInfoBlanksTheMakersLinesButNotTheProductType) {
  TProgramFolder program;
  ini_test::WriteBytes(program.ConfigFile(), "[System]\nEnableEmptyInfo=1\n");
  EXPECT_EQ(AboutLines(program.ConfigFile(), true),
            QStringList({"", "Desktop Camera", "", "Version: " VISTREL_VERSION, "CopyRight: ", "",
                         "", "About Desktop Camera"}));
}

// The caption names the language's product type, whatever the settings call it.
TEST(AboutBox, ShowsSettingsAsUtf8AndFallsBackOnInvalidBytes) {
  TProgramFolder program;
  ini_test::WriteBytes(program.ConfigFile(),
                       "[System]\nCompany=Soci\xC3\xA9t\xC3\xA9 \xCE\xA9mega\n"
                       "ProductType=Screen Eye\nProductVersion=2.5\nInfo2=Second line\n"
                       "ProductName=Caf\xE9 Cam\n");
  EXPECT_EQ(
      AboutLines(program.ConfigFile(), false),
      QStringList({QString::fromUtf16(u"Soci\u00E9t\u00E9 \u03A9mega"), "Screen Eye",
                   "Vistrel Desktop Camera", "Version: 2.5", "CopyRight: The Vistrel developers",
                   "Support: see the documentation", "Second line", "About Desktop Camera"}));
}

}  // namespace
