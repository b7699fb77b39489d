// A language file as a translator or another program may have left it, loaded the way the program
// loads it: a program folder with that file and a second language, the choice stored in
// SConfig.ini, every shell text read (missing ones written back into the file), the language list,
// a change of language and back.
//
// Whatever the file holds, every text comes out as UTF-8 and the font size within its bounds; and
// once the missing texts have been written back, loading the file again shows the same texts.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "app/Localize.h"
#include "app/ResourceTexts.h"
#include "platform/DurableFile.h"

namespace {

namespace fs = std::filesystem;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "language_file_fuzz: %s\n", what.c_str());
  std::abort();
}

void Check(bool condition, const std::string& what) {
  if (!condition) Fail(what);
}

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no surrogates, nothing above
// U+10FFFF.
bool IsUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 1;
    char32_t code = lead;
    char32_t minimum = 0;
    if (lead >= 0x80) {
      if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code = lead & 0x1Fu, minimum = 0x80;
      } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code = lead & 0x0Fu, minimum = 0x800;
      } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code = lead & 0x07u, minimum = 0x10000;
      } else {
        return false;
      }
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3Fu);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

struct TProgramFolder {
  TProgramFolder() {
    const fs::path base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
    folder = base / ("vistrel-language-fuzz-" + std::to_string(::getpid()));
    languages = folder / "languages";
    config = folder / "SConfig.ini";
  }
  // Everything from the previous input goes; the written-back texts and the stored choice too.
  void Reset(std::string_view fuzzed) const {
    fs::remove_all(folder);
    fs::create_directories(languages);
    Write(languages / "Fuzzed.lng", fuzzed);
    Write(languages / "Plain.lng",
          "[resinfo]\nencode=utf8\nlanguage=Plain\n[Dialog]\nOK=ok\nCancel=cancel\n");
    Write(config, "[System]\nlanguage=Fuzzed.lng\n");
  }
  static void Write(const fs::path& path, std::string_view bytes) {
    if (!platform::ReplaceFileDurably(path, bytes)) Fail("cannot write " + path.string());
  }

  fs::path folder;
  fs::path languages;
  fs::path config;
};

void CheckTexts(const TLxlocalize& localize, const TResourceTexts& texts) {
  Check(localize.Font().size >= 1 && localize.Font().size <= 72, "font size out of bounds");
  Check(IsUtf8(localize.Font().name), "font name is no UTF-8");
  for (const TResourceTextKey& key : ResourceTextKeys()) {
    Check(IsUtf8(texts.*key.text), "text " + std::string(key.key) + " is no UTF-8");
  }
}

bool SameTexts(const TResourceTexts& a, const TResourceTexts& b) {
  for (const TResourceTextKey& key : ResourceTextKeys()) {
    if (a.*key.text != b.*key.text) return false;
  }
  return a.font == b.font;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  static const TProgramFolder program;
  static const bool cleanedAtExit = [] {
    return std::atexit([] {
             std::error_code ignored;
             fs::remove_all(program.folder, ignored);
           }) == 0;
  }();
  (void)cleanedAtExit;
  program.Reset(std::string_view(reinterpret_cast<const char*>(data), size));

  TResourceTexts first;
  {
    TLxlocalize localize(program.folder, program.config);
    Check(localize.LanguageFileName() == "Fuzzed.lng", "the stored choice was not followed");
    LoadResourceTexts(localize, first);
    CheckTexts(localize, first);
    Check(IsUtf8(localize.ReadLanguageString("resinfo", "language", "")), "name is no UTF-8");
    for (const std::string& name : localize.LanguageDisplayNames())
      Check(IsUtf8(name), "a display name is no UTF-8");
    localize.PruneSections();
    Check(IsUtf8(localize.ReadDialogText("OK", "ok")), "dialog text is no UTF-8");
  }

  // The texts the first load wrote back complete the file: a second load reads them all from it.
  TResourceTexts second;
  {
    TLxlocalize localize(program.folder, program.config);
    LoadResourceTexts(localize, second);
    Check(SameTexts(first, second), "a second load shows other texts than the first");
    // Away and back, as the language dialog does.
    const int current = localize.CurrentLanguageIndex();
    Check(current >= 0, "the loaded file is not in the language list");
    localize.ChangeLanguage(current == 0 ? 1 : 0);
    localize.ChangeLanguage(current);
    TResourceTexts again = second;
    LoadResourceTexts(localize, again);
    CheckTexts(localize, again);
  }
  return 0;
}
