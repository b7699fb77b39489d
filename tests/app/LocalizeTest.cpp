#include "app/Localize.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LocalizeTestFolder.h"
#include "app/ResourceTexts.h"

namespace {

namespace fs = std::filesystem;
using localize_test::CompleteTexts;
using localize_test::TProgramFolder;

std::string Language(const std::string& name, const std::string& prefix) {
  return "[resinfo]\nencode=utf8\nlanguage=" + name + "\n" + CompleteTexts(prefix);
}

TEST(Localize, WithoutLanguageFilesTheBuiltInEnglishAndArial9AreUsed) {
  TProgramFolder program;
  TLxlocalize localize(program.Folder(), program.ConfigFile());
  EXPECT_FALSE(localize.FileLoaded());
  EXPECT_EQ(localize.LanguageFileName(), "");
  EXPECT_EQ(localize.Font(), (TLanguageFont{"Arial", 1, 9}));

  TResourceTexts texts;
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.exitSystem, "Exit System");
  EXPECT_EQ(texts.ok, "OK");
  EXPECT_FALSE(fs::exists(program.Languages()));
}

TEST(Localize, TheOnlyFileIsSelectedWithoutConsultingTheStoredChoice) {
  TProgramFolder program;
  ini_test::WriteBytes(program.ConfigFile(), "[System]\nlanguage=Other.lng\n");
  program.AddLanguage("German.lng", Language("Deutsch", "de-"));

  TLxlocalize localize(program.Folder(), program.ConfigFile());
  EXPECT_EQ(localize.LanguageFileName(), "German.lng");
  TResourceTexts texts;
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.exitSystem, "de-exit");
  EXPECT_EQ(texts.cancel, "de-cancel");
}

TEST(Localize, OnlyTheSelectedFileIsReadAndNoOtherFileChanges) {
  TProgramFolder program;
  const fs::path first = program.AddLanguage("A.lng", "[resinfo]\nlanguage=Alpha\n[System]\n");
  program.AddLanguage("B.lng", Language("Beta", "b-"));
  ini_test::WriteBytes(program.ConfigFile(), "[System]\nlanguage=B.lng\n");

  TLxlocalize localize(program.Folder(), program.ConfigFile());
  TResourceTexts texts;
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.productTitle, "b-title");
  EXPECT_EQ(texts.portSetup, "b-setup");
  EXPECT_EQ(program.Read(first), "[resinfo]\nlanguage=Alpha\n[System]\n");
}

TEST(Localize, DisplayNamesAreListedInFileNameOrderAsUtf8) {
  TProgramFolder program;
  program.AddLanguage("Russian.lng",
                      "[resinfo]\ncodepage=1251\nlanguage=\xD0\xF3\xF1\xF1\xEA\xE8\xE9\n");
  program.AddLanguage("French.lng",
                      "[resinfo]\nencode=UTF8\nlanguage=Fran\xC3\xA7"
                      "ais\n");
  program.AddLanguage("English.lng", "[resinfo]\nlanguage=English\n");
  program.AddLanguage("notes.txt", "[resinfo]\nlanguage=Not a language\n");
  fs::create_directories(program.Languages() / "Folder.lng");

  TLxlocalize localize(program.Folder(), program.ConfigFile());
  EXPECT_EQ(localize.LanguageDisplayNames(),
            (std::vector<std::string>{"English", "Fran\u00E7ais",
                                      "\u0420\u0443\u0441\u0441\u043A"
                                      "\u0438\u0439"}));
  ASSERT_EQ(localize.LanguageList().size(), 3u);
  EXPECT_EQ(localize.LanguageList()[1].fileName, "French.lng");
  // No stored choice: the first file in name order.
  EXPECT_EQ(localize.LanguageFileName(), "English.lng");
  EXPECT_EQ(localize.CurrentLanguageIndex(), 0);
}

struct TStoredChoiceCase {
  const char* stored;
  const char* selected;
  bool loaded;
};

class LocalizeStoredChoice : public ::testing::TestWithParam<TStoredChoiceCase> {};

TEST_P(LocalizeStoredChoice, SelectsTheFile) {
  const TStoredChoiceCase& c = GetParam();
  TProgramFolder program;
  program.AddLanguage("a.lng", Language("A", "a-"));
  program.AddLanguage("b.lng", Language("B", "b-"));
  ini_test::WriteBytes(program.ConfigFile(), std::string("[System]\nlanguage=") + c.stored + "\n");

  TLxlocalize localize(program.Folder(), program.ConfigFile());
  EXPECT_EQ(localize.LanguageFileName(), c.selected);
  EXPECT_EQ(localize.FileLoaded(), c.loaded);
  TResourceTexts texts;
  LoadResourceTexts(localize, texts);
  const std::string expected =
      c.loaded ? std::string(c.selected).substr(0, 1) + "-exit" : "Exit System";
  EXPECT_EQ(texts.exitSystem, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Localize, LocalizeStoredChoice,
    ::testing::Values(TStoredChoiceCase{"b.lng", "b.lng", true},
                      TStoredChoiceCase{"", "a.lng", true},
                      // Stored on a case-blind system.
                      TStoredChoiceCase{"B.LNG", "b.lng", true},
                      // A deleted language keeps its name and shows the built-in texts.
                      TStoredChoiceCase{"gone.lng", "gone.lng", false},
                      // Names leading out of the languages folder are ignored.
                      TStoredChoiceCase{"../SConfig.ini", "a.lng", true},
                      TStoredChoiceCase{"sub/b.lng", "a.lng", true}));

TEST(Localize, MissingTextsAreWrittenBackAndEveryOtherByteIsKept) {
  TProgramFolder program;
  std::string complete = Language("Deutsch", "de-");
  const std::string line = "PortSetup=de-setup\n";
  complete.erase(complete.find(line), line.size());
  // Comments, odd spacing and CR LF endings must survive the write-back.
  const std::string original = "; translated by hand\r\n" + complete + "  Extra = ' kept '\r\n";
  const fs::path file = program.AddLanguage("German.lng", original);

  TLxlocalize localize(program.Folder(), program.ConfigFile());
  TResourceTexts texts;
  texts.portSetup = "Port einrichten";  // the previous language's text
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.portSetup, "Port einrichten");

  std::string written = program.Read(file);
  const std::size_t at = written.find("PortSetup=Port einrichten");
  ASSERT_NE(at, std::string::npos) << written;
  const std::size_t end = written.find_first_of("\r\n", at);
  ASSERT_NE(end, std::string::npos);
  written.erase(at, written.find_first_not_of("\r\n", end) - at);
  EXPECT_EQ(written, original);

  // Complete now: a second load changes nothing.
  const std::string completed = program.Read(file);
  TLxlocalize again(program.Folder(), program.ConfigFile());
  TResourceTexts fresh;
  LoadResourceTexts(again, fresh);
  EXPECT_EQ(fresh.portSetup, "Port einrichten");
  EXPECT_EQ(program.Read(file), completed);
}

// An installed program's languages folder is read-only: missing texts go into the user's copy,
// and from then on that copy is the one read.
TEST(Localize, MissingTextsGoIntoTheUsersCopyWhichThenWins) {
  TProgramFolder program;
  const std::string partial = "[resinfo]\nlanguage=Deutsch\n[System]\n";
  const fs::path shipped = program.AddLanguage("German.lng", partial);
  program.AddLanguage("Greek.lng", Language("Greek", "el-"));
  const fs::path user = program.Folder() / "user";
  TResourceTexts texts;
  TLxlocalize first(program.Folder(), program.ConfigFile(), user);
  LoadResourceTexts(first, texts);
  EXPECT_EQ(program.Read(shipped), partial);
  EXPECT_NE(program.Read(user / "German.lng").find("PortSetup=Port Setup\n"), std::string::npos);

  ini_test::WriteBytes(user / "German.lng", Language("Deutsch (mine)", "mine-"));
  ini_test::WriteBytes(user / "Zulu.lng", Language("Zulu", "zu-"));
  TLxlocalize again(program.Folder(), program.ConfigFile(), user);
  EXPECT_EQ(again.LanguageDisplayNames(),
            (std::vector<std::string>{"Deutsch (mine)", "Greek", "Zulu"}));
  LoadResourceTexts(again, texts);
  EXPECT_EQ(texts.exitSystem, "mine-exit");
}

TEST(Localize, ACodePageFileIsDecodedAndWrittenBackInItsCodePage) {
  TProgramFolder program;
  // "Выход" and "Порт" in code page 1251.
  const fs::path file = program.AddLanguage(
      "Russian.lng",
      "[resinfo]\ncodepage=1251\nCharset=russian_charset\n[appearance]\nFontName=Tahoma\n"
      "FontSize=10\n[System]\nExitSystem=\xC2\xFB\xF5\xEE\xE4\n");

  TLxlocalize localize(program.Folder(), program.ConfigFile());
  EXPECT_FALSE(localize.IsUtf8());
  EXPECT_EQ(localize.CodePage(), 1251);
  EXPECT_EQ(localize.Font(), (TLanguageFont{"Tahoma", 204, 10}));
  TResourceTexts texts;
  texts.port = "\u041F\u043E\u0440\u0442";
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.exitSystem, "\u0412\u044B\u0445\u043E\u0434");
  EXPECT_EQ(texts.font, (TLanguageFont{"Tahoma", 204, 10}));
  EXPECT_NE(program.Read(file).find("Port=\xCF\xEE\xF0\xF2\n"), std::string::npos);
}

struct TInvalidBytesCase {
  const char* name;
  std::string file;
  std::string exitText;
};

class LocalizeInvalidBytes : public ::testing::TestWithParam<TInvalidBytesCase> {};

TEST_P(LocalizeInvalidBytes, AreReplacedAndTheRestIsRead) {
  TProgramFolder program;
  program.AddLanguage("X.lng", GetParam().file + "[Dialog]\nOK=fine\n");
  TLxlocalize localize(program.Folder(), program.ConfigFile());
  TResourceTexts texts;
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.exitSystem, GetParam().exitText);
  EXPECT_EQ(texts.ok, "fine");
}

INSTANTIATE_TEST_SUITE_P(
    Localize, LocalizeInvalidBytes,
    ::testing::Values(
        // 0x98 has no character in code page 1251.
        TInvalidBytesCase{"Cp1251Hole", "[resinfo]\ncodepage=1251\n[System]\nExitSystem=a\x98z\n",
                          "a\uFFFDz"},
        TInvalidBytesCase{"Utf8Garbage",
                          "[resinfo]\nencode=utf8\n[System]\nExitSystem=\xFF\xC3(\xED\xA0\x80!\n",
                          "\uFFFD\uFFFD(\uFFFD\uFFFD\uFFFD!"},
        // Shift-JIS lead byte cut off by the line end.
        TInvalidBytesCase{"TruncatedDoubleByte",
                          "[resinfo]\ncodepage=932\n[System]\nExitSystem=x\x82\n", "x\uFFFD"},
        TInvalidBytesCase{"UnknownCodePage",
                          "[resinfo]\ncodepage=424242\n[System]\nExitSystem=caf\xE9\n",
                          "caf\u00E9"}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(Localize, TheCompanionFileIsReadButNeverChanged) {
  TProgramFolder program;
  program.AddLanguage("German.lng", Language("Deutsch", "de-"));
  const std::string companion =
      "[resinfo]\nencode=utf8\nCharset=GB2312_CHARSET\n[System]\nExitSystem="
      "\xE9\x80\x80\xE5\x87\xBA\n";
  const fs::path file = program.Folder() / "Mirolib.dll";
  ini_test::WriteBytes(file, companion);

  TLxlocalize localize(program.Folder(), program.ConfigFile());
  EXPECT_EQ(localize.LanguageFileName(), "../Mirolib.dll");
  EXPECT_EQ(localize.Font().charset, 134);
  TResourceTexts texts;
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.exitSystem, "\u9000\u51FA");
  EXPECT_EQ(texts.portSetup, "Port Setup");
  EXPECT_EQ(program.Read(file), companion);
  EXPECT_TRUE(localize.LanguageList().empty());
}

TEST(Localize, ChangingTheLanguageStoresItReloadsAndCallsTheHandler) {
  TProgramFolder program;
  program.AddLanguage("a.lng", Language("A", "a-") + "[appearance]\nFontName=Alpha Sans\n");
  std::string partial = Language("B", "b-");
  const std::string line = "ExitSystem=b-exit\n";
  partial.erase(partial.find(line), line.size());
  const fs::path b = program.AddLanguage("b.lng", partial);
  ini_test::WriteBytes(program.ConfigFile(), "[RTSP]\nPort=7000\n");

  TLxlocalize localize(program.Folder(), program.ConfigFile());
  TResourceTexts texts;
  int calls = 0;
  localize.SetLanguageChangedHandler([&] {
    ++calls;
    LoadResourceTexts(localize, texts);
  });
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.font.name, "Alpha Sans");

  localize.ChangeLanguage(1);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(localize.CurrentLanguageIndex(), 1);
  EXPECT_EQ(program.Read(program.ConfigFile()), "[RTSP]\nPort=7000\n[System]\nlanguage=b.lng\n");
  EXPECT_EQ(texts.productTitle, "b-title");
  EXPECT_EQ(texts.font.name, "Arial");
  // The text b lacks keeps a's wording, which now completes b.
  EXPECT_EQ(texts.exitSystem, "a-exit");
  EXPECT_NE(program.Read(b).find("ExitSystem=a-exit"), std::string::npos);

  // Choosing the current language again reloads it from disk.
  ini_test::WriteBytes(b, Language("B", "b2-"));
  localize.ChangeLanguage(1);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(texts.productTitle, "b2-title");
  EXPECT_EQ(program.Read(b), Language("B", "b2-"));

  // No language: the built-in texts, not the last language's.
  localize.ChangeLanguage(5);
  EXPECT_EQ(calls, 3);
  EXPECT_FALSE(localize.FileLoaded());
  EXPECT_EQ(texts.productTitle, "Vistrel Service");
  EXPECT_NE(program.Read(program.ConfigFile()).find("language=\n"), std::string::npos);
}

TEST(Localize, TheResourceLibraryIsPlacedAtStartAndReplacedOnChange) {
  TProgramFolder program;
  program.AddLanguage("a.lng", Language("A", "a-"));
  program.AddLanguage("b.lng", Language("B", "b-"));
  program.AddLanguage("LxGUI_a.dll", "library a");
  program.AddLanguage("LxGUI_b.dll", "library b");
  const fs::path placed = program.Folder() / "LxGUI.dll";

  TLxlocalize first(program.Folder(), program.ConfigFile());
  EXPECT_EQ(program.Read(placed), "library a");
  ini_test::WriteBytes(placed, "user's own");
  TLxlocalize second(program.Folder(), program.ConfigFile());
  EXPECT_EQ(program.Read(placed), "user's own");

  second.ChangeLanguage(1);
  EXPECT_EQ(program.Read(placed), "library b");
}

TEST(Localize, UnusableFontSizesFallBackToNine) {
  for (const char* size : {"0", "-3", "400", "big"}) {
    TProgramFolder program;
    program.AddLanguage("a.lng", std::string("[appearance]\nFontSize=") + size + "\n");
    TLxlocalize localize(program.Folder(), program.ConfigFile());
    EXPECT_EQ(localize.Font().size, 9) << size;
  }
}

}  // namespace
