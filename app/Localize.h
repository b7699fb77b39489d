// The language file: which one is in use, its font, and lookups of its texts.
//
// Language files are INI files "*.lng" in the folder "languages" beside the program, or in the
// user's own languages folder (an installed program's folder is read-only), whose file wins over
// the shipped one of the same name; a file
// "Mirolib.dll" beside the program, left there by a companion product, is read as the language file
// in their place. Texts are held as UTF-8: a file that declares "encode=utf8" is read as it is, any
// other file is decoded from the code page it declares. Texts a file lacks are written back into it
// with the text currently shown, so an incomplete translation completes itself on disk: in the
// user's folder, where the shipped file is copied first.
//
// Everything runs on the main thread. GetLocalize() is the process-wide instance; tests build their
// own over a temporary program folder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/IniFile.h"

// The font a language asks for, as plain data; the GUI maps it to a real font.
struct TLanguageFont {
  std::string name = "Arial";
  int32_t charset = 1;  // Windows charset code, see CharsetFromName
  int32_t size = 9;     // points

  bool operator==(const TLanguageFont&) const = default;
};

struct TLanguageEntry {
  std::string fileName;  // relative to the languages folder, e.g. "Russian.lng"
  std::string displayName;
};

class TLxlocalize {
 public:
  // Detects and loads the language at once. configFile is the SConfig.ini holding the choice;
  // userLanguagesFolder is where completed files go (empty: the shipped folder itself).
  TLxlocalize(std::filesystem::path programFolder, std::filesystem::path configFile,
              std::filesystem::path userLanguagesFolder = {});

  const std::filesystem::path& LanguagesFolder() const { return languagesFolder_; }
  // Empty when no language is selected; "../Mirolib.dll" for the companion product's file.
  const std::string& LanguageFileName() const { return languageFileName_; }
  bool FileLoaded() const { return file_.has_value(); }
  bool IsUtf8() const { return isUtf8_; }
  int32_t CodePage() const { return codePage_; }
  const TLanguageFont& Font() const { return font_; }

  // The section ReadText reads and WriteText writes: "Global" until the texts are loaded.
  const std::string& TextSection() const { return textSection_; }
  void SetTextSection(std::string section) { textSection_ = std::move(section); }

  // The text of the key in TextSection(); a missing key gives fallback, which is then written back.
  std::string ReadText(std::string_view key, std::string_view fallback);
  // Button captions of the Dialog section; never written back.
  std::string ReadDialogText(std::string_view key, std::string_view fallback) const;
  std::string ReadLanguageString(std::string_view section, std::string_view key,
                                 std::string_view fallback) const;
  int32_t ReadLanguageInteger(std::string_view section, std::string_view key,
                              int32_t fallback) const;
  // Stores the text in memory and in the file on disk (every other byte of it kept). Disk errors
  // are logged and otherwise ignored: a read-only installation still runs.
  void WriteText(std::string_view key, std::string_view value);

  // Rebuilds LanguageList() from the folder, sorted by file name; returns its size.
  std::size_t ScanLanguages();
  const std::vector<TLanguageEntry>& LanguageList() const { return languageList_; }
  // The display name one language file declares, as UTF-8.
  std::string ReadLanguageName(std::string_view fileName) const;
  // For the language dialog: the display names after a fresh scan, and the position of the
  // current file among them (-1 when none).
  std::vector<std::string> LanguageDisplayNames();
  int CurrentLanguageIndex() const;

  // Loads that file unless it is the current one already. A missing file leaves none loaded.
  void SelectLanguageFile(std::string_view fileName);
  void DetectLanguage();
  // Selects entry `index` of LanguageList() (none when out of range), reloading it from disk even
  // when it is the current one, stores the choice and runs the language-changed handler.
  void ChangeLanguage(int index);
  void ApplyAppearance();
  // Places languages/LxGUI_<name>.dll beside the program as LxGUI.dll when none is there yet.
  void EnsureResourceLibrary(std::string_view fileName) const;
  // Drops every section but Global and Dialog from memory once the texts are loaded.
  void PruneSections();

  void SetLanguageChangedHandler(std::function<void()> handler) {
    onLanguageChanged_ = std::move(handler);
  }

 private:
  struct TAppearance {
    bool isUtf8 = false;
    int32_t codePage = 0;
    TLanguageFont font;
  };

  void LoadFile(std::string fileName);
  std::filesystem::path PathOf(std::string_view fileName) const;
  std::filesystem::path UserPathOf(std::string_view fileName) const;
  bool HasOwnUserFolder() const { return userLanguagesFolder_ != languagesFolder_; }
  void ScanFolder(const std::filesystem::path& folder);
  // The file that takes written-back texts, copied there from the shipped one first; empty when
  // that failed (logged).
  std::filesystem::path WritableFile(const std::filesystem::path& readFrom);
  void CopyResourceLibrary(std::string_view fileName, bool replace) const;

  std::filesystem::path programFolder_;
  std::filesystem::path configFile_;
  std::filesystem::path languagesFolder_;
  std::filesystem::path userLanguagesFolder_;
  std::string languageFileName_;
  std::optional<TIniText> file_;
  // Read when the file is loaded, because pruning drops the sections they come from.
  TAppearance fileAppearance_;
  bool writeBack_ = false;
  bool writeFailureLogged_ = false;
  std::string textSection_ = "Global";
  bool isUtf8_ = false;
  int32_t codePage_ = 0;
  TLanguageFont font_;
  std::vector<TLanguageEntry> languageList_;
  std::function<void()> onLanguageChanged_;
};

// The process-wide instance over the folders the process decided on (platform/ProgramFiles.h),
// created on first use and never destroyed.
TLxlocalize& GetLocalize();
