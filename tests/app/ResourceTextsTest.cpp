#include "app/ResourceTexts.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "LocalizeTestFolder.h"

namespace {

TEST(ResourceTexts, EveryKeyHasItsOwnTextAndStartsWithItsBuiltInDefault) {
  const TResourceTexts texts;
  std::set<const std::string*> members;
  std::set<std::string_view> keys;
  for (const TResourceTextKey& key : ResourceTextKeys()) {
    EXPECT_EQ(texts.*key.text, key.builtIn) << key.key;
    EXPECT_FALSE(key.builtIn.empty()) << key.key;
    members.insert(&(texts.*key.text));
    keys.insert(key.key);
  }
  EXPECT_EQ(members.size(), ResourceTextKeys().size());
  EXPECT_EQ(keys.size(), ResourceTextKeys().size());
  EXPECT_EQ(ResourceTextKeys().size(), 37u);
}

TEST(ResourceTexts, EveryKeyIsReadFromItsSection) {
  localize_test::TProgramFolder program;
  program.AddLanguage("x.lng", localize_test::CompleteTexts("x-"));
  TLxlocalize localize(program.Folder(), program.ConfigFile());
  TResourceTexts texts;
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.ok, "x-ok");
  EXPECT_EQ(texts.cancel, "x-cancel");
  EXPECT_EQ(texts.exitSystem, "x-exit");
  EXPECT_EQ(texts.makerContact, "zt");
  EXPECT_EQ(texts.version, "v");
  EXPECT_EQ(localize.TextSection(), "System");
}

TEST(ResourceTexts, DialogTextsAreNotWrittenBackButSystemTextsAre) {
  localize_test::TProgramFolder program;
  const auto file = program.AddLanguage("x.lng", "[resinfo]\nencode=utf8\n");
  TLxlocalize localize(program.Folder(), program.ConfigFile());
  TResourceTexts texts;
  LoadResourceTexts(localize, texts);
  const std::string written = program.Read(file);
  EXPECT_EQ(written.find("OK="), std::string::npos);
  EXPECT_EQ(written.find("Cancel="), std::string::npos);
  for (const TResourceTextKey& key : ResourceTextKeys()) {
    if (key.section != TTextSection::System) continue;
    EXPECT_NE(written.find(std::string(key.key) + "=" + std::string(key.builtIn)),
              std::string::npos)
        << key.key;
  }
  EXPECT_NE(written.find("[System]"), std::string::npos);
}

TEST(ResourceTexts, OnlyGlobalAndDialogStayInMemoryAfterLoading) {
  localize_test::TProgramFolder program;
  program.AddLanguage("x.lng",
                      "[Global]\nHint=h\n[Dialog]\nOK=k\n[System]\nAbout=A\n[Other]\nx=1\n");
  TLxlocalize localize(program.Folder(), program.ConfigFile());
  TResourceTexts texts;
  LoadResourceTexts(localize, texts);
  EXPECT_EQ(texts.about, "A");
  EXPECT_EQ(localize.ReadLanguageString("Global", "Hint", "-"), "h");
  EXPECT_EQ(localize.ReadLanguageString("Dialog", "OK", "-"), "k");
  EXPECT_EQ(localize.ReadLanguageString("System", "About", "-"), "-");
  EXPECT_EQ(localize.ReadLanguageInteger("Other", "x", 7), 7);
}

}  // namespace
