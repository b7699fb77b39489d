#include "Localize.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "CodePage.h"
#include "config/Settings.h"
#include "log/ServiceLog.h"
#include "platform/DurableFile.h"
#include "platform/ProgramFiles.h"

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kCompanionLanguageFile = "Mirolib.dll";
constexpr std::string_view kResourceLibrary = "LxGUI.dll";
constexpr int32_t kMinFontSize = 1;
constexpr int32_t kMaxFontSize = 72;

char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

bool DeclaresUtf8(const TIniText& text) {
  return EqualNoCase(text.ReadString("resinfo", "encode", ""), "utf8");
}

// Names read from SConfig.ini must stay inside the languages folder.
bool IsPlainFileName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("/\\") == std::string_view::npos;
}

// The whole file as UTF-8 text, decoded by what its resinfo section declares. The declaration is
// read from the raw bytes, whose section and key names are ASCII in every supported code page.
TIniText DecodeLanguageFile(std::string bytes, const fs::path& path) {
  const TIniText raw(std::move(bytes));
  TConvertedText decoded =
      DeclaresUtf8(raw) ? SanitizeUtf8(raw.Text())
                        : DecodeToUtf8(raw.Text(), raw.ReadInteger("resinfo", "codepage", 0));
  if (decoded.lossy) {
    LogMessage("Language file " + path.string() +
               " holds bytes invalid in its declared encoding; they were replaced");
  }
  return TIniText(std::move(decoded.text));
}

}  // namespace

TLxlocalize::TLxlocalize(fs::path programFolder, fs::path configFile, fs::path userLanguagesFolder)
    : programFolder_(std::move(programFolder)),
      configFile_(std::move(configFile)),
      languagesFolder_(programFolder_ / "languages"),
      userLanguagesFolder_(userLanguagesFolder.empty() ? languagesFolder_
                                                       : std::move(userLanguagesFolder)) {
  DetectLanguage();
  ApplyAppearance();
}

fs::path TLxlocalize::UserPathOf(std::string_view fileName) const {
  return userLanguagesFolder_ / fs::path(fileName);
}

fs::path TLxlocalize::PathOf(std::string_view fileName) const {
  std::error_code error;
  if (HasOwnUserFolder() && IsPlainFileName(fileName) &&
      fs::is_regular_file(UserPathOf(fileName), error)) {
    return UserPathOf(fileName);
  }
  // Lexically, because "languages/../Mirolib.dll" must resolve even without a languages folder.
  return (languagesFolder_ / fs::path(fileName)).lexically_normal();
}

fs::path TLxlocalize::WritableFile(const fs::path& readFrom) {
  const fs::path target = UserPathOf(languageFileName_);
  if (!HasOwnUserFolder() || readFrom == target) return readFrom;
  platform::TFileContents contents = platform::ReadWholeFile(readFrom, TIniFile::kMaxFileBytes);
  std::error_code error;
  fs::create_directories(userLanguagesFolder_, error);
  if (contents.status != platform::TFileReadStatus::Read ||
      !platform::ReplaceFileDurably(target, contents.contents)) {
    return {};
  }
  return target;
}

std::string TLxlocalize::ReadText(std::string_view key, std::string_view fallback) {
  if (!file_) return std::string(fallback);
  if (std::optional<std::string> value = file_->FindValue(textSection_, key)) return *value;
  WriteText(key, fallback);
  return std::string(fallback);
}

std::string TLxlocalize::ReadDialogText(std::string_view key, std::string_view fallback) const {
  return ReadLanguageString("Dialog", key, fallback);
}

std::string TLxlocalize::ReadLanguageString(std::string_view section, std::string_view key,
                                            std::string_view fallback) const {
  return file_ ? file_->ReadString(section, key, fallback) : std::string(fallback);
}

int32_t TLxlocalize::ReadLanguageInteger(std::string_view section, std::string_view key,
                                         int32_t fallback) const {
  return file_ ? file_->ReadInteger(section, key, fallback) : fallback;
}

void TLxlocalize::WriteText(std::string_view key, std::string_view value) {
  if (!file_) return;
  file_->WriteString(textSection_, key, value);
  if (!writeBack_) return;
  const fs::path shown = PathOf(languageFileName_);
  std::error_code error;
  if (!fs::is_regular_file(shown, error)) return;
  const fs::path path = WritableFile(shown);
  const std::string bytes = isUtf8_ ? std::string(value) : EncodeFromUtf8(value, codePage_).text;
  if ((path.empty() || !TIniFile(path).WriteString(textSection_, key, bytes)) &&
      !writeFailureLogged_) {
    writeFailureLogged_ = true;
    LogMessage("Writing missing texts into language file " +
               (path.empty() ? UserPathOf(languageFileName_) : path).string() + " failed");
  }
}

std::size_t TLxlocalize::ScanLanguages() {
  languageList_.clear();
  ScanFolder(languagesFolder_);
  if (HasOwnUserFolder()) ScanFolder(userLanguagesFolder_);
  // Listing order differs between file systems; sorting keeps "the first language" stable.
  std::sort(
      languageList_.begin(), languageList_.end(),
      [](const TLanguageEntry& a, const TLanguageEntry& b) { return a.fileName < b.fileName; });
  return languageList_.size();
}

void TLxlocalize::ScanFolder(const fs::path& folder) {
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    std::error_code typeError;
    if (path.extension() != ".lng" || !it->is_regular_file(typeError)) continue;
    const std::string name = path.filename().string();
    // A language both shipped and completed by the user is listed once, under the user's file.
    if (std::any_of(languageList_.begin(), languageList_.end(),
                    [&](const TLanguageEntry& entry) { return entry.fileName == name; })) {
      continue;
    }
    languageList_.push_back({name, ReadLanguageName(name)});
  }
}

std::string TLxlocalize::ReadLanguageName(std::string_view fileName) const {
  const fs::path path = PathOf(fileName);
  platform::TFileContents contents = platform::ReadWholeFile(path, TIniFile::kMaxFileBytes);
  if (contents.status != platform::TFileReadStatus::Read) return {};
  return DecodeLanguageFile(std::move(contents.contents), path)
      .ReadString("resinfo", "language", "");
}

std::vector<std::string> TLxlocalize::LanguageDisplayNames() {
  ScanLanguages();
  std::vector<std::string> names;
  for (const TLanguageEntry& entry : languageList_) names.push_back(entry.displayName);
  return names;
}

int TLxlocalize::CurrentLanguageIndex() const {
  for (std::size_t i = 0; i < languageList_.size(); ++i) {
    if (EqualNoCase(languageList_[i].fileName, languageFileName_)) return static_cast<int>(i);
  }
  return -1;
}

void TLxlocalize::SelectLanguageFile(std::string_view fileName) {
  if (fileName == languageFileName_) return;
  LoadFile(std::string(fileName));
}

void TLxlocalize::LoadFile(std::string fileName) {
  file_.reset();
  fileAppearance_ = {};
  writeFailureLogged_ = false;
  languageFileName_ = std::move(fileName);
  if (languageFileName_.empty()) return;
  const fs::path path = PathOf(languageFileName_);
  platform::TFileContents contents = platform::ReadWholeFile(path, TIniFile::kMaxFileBytes);
  if (contents.status == platform::TFileReadStatus::Failed) {
    LogMessage("Language file " + path.string() + " cannot be read");
  }
  if (contents.status != platform::TFileReadStatus::Read) return;

  file_ = DecodeLanguageFile(std::move(contents.contents), path);
  // The companion product owns its file; it is read, never changed.
  writeBack_ = path.filename() != kCompanionLanguageFile;
  fileAppearance_.isUtf8 = DeclaresUtf8(*file_);
  fileAppearance_.codePage = file_->ReadInteger("resinfo", "codepage", 0);
  fileAppearance_.font.charset = CharsetFromName(file_->ReadString("resinfo", "Charset", ""));
  fileAppearance_.font.name = file_->ReadString("appearance", "FontName", "Arial");
  const int32_t size = file_->ReadInteger("appearance", "FontSize", 9);
  if (size < kMinFontSize || size > kMaxFontSize) {
    LogMessage("Language file " + path.string() + " asks for font size " + std::to_string(size) +
               "; 9 is used");
  } else {
    fileAppearance_.font.size = size;
  }
  ApplyAppearance();
}

void TLxlocalize::DetectLanguage() {
  std::error_code error;
  if (fs::is_regular_file(programFolder_ / kCompanionLanguageFile, error)) {
    SelectLanguageFile("../" + std::string(kCompanionLanguageFile));
    return;
  }
  ScanLanguages();
  if (languageList_.size() > 1) {
    std::string stored = ReadStringSetting(TIniFile(configFile_).Load(), TSettingId::Language);
    if (!stored.empty() && !IsPlainFileName(stored)) {
      LogMessage("Stored language \"" + stored + "\" is no file name; it is ignored");
      stored.clear();
    }
    // A choice stored on a case-blind system still finds its file here.
    for (const TLanguageEntry& entry : languageList_) {
      if (entry.fileName != stored && EqualNoCase(entry.fileName, stored)) stored = entry.fileName;
    }
    SelectLanguageFile(stored);
  }
  if (!languageList_.empty() && languageFileName_.empty()) {
    SelectLanguageFile(languageList_.front().fileName);
  }
  EnsureResourceLibrary(languageFileName_);
}

void TLxlocalize::ChangeLanguage(int index) {
  const bool inRange = index >= 0 && static_cast<std::size_t>(index) < languageList_.size();
  // Reloaded even when unchanged: pruning has dropped the System texts from memory.
  LoadFile(inRange ? languageList_[static_cast<std::size_t>(index)].fileName : std::string());
  if (!WriteStringSetting(TIniFile(configFile_), TSettingId::Language, languageFileName_)) {
    LogMessage("Storing the language choice in " + configFile_.string() + " failed");
  }
  CopyResourceLibrary(languageFileName_, true);
  ApplyAppearance();
  if (onLanguageChanged_) onLanguageChanged_();
}

void TLxlocalize::ApplyAppearance() {
  const TAppearance appearance = file_ ? fileAppearance_ : TAppearance{};
  isUtf8_ = appearance.isUtf8;
  codePage_ = appearance.codePage;
  font_ = appearance.font;
}

void TLxlocalize::EnsureResourceLibrary(std::string_view fileName) const {
  CopyResourceLibrary(fileName, false);
}

// The resource library is only placed beside the program for a companion product; nothing here
// loads it, so a failed copy is logged and otherwise ignored.
void TLxlocalize::CopyResourceLibrary(std::string_view fileName, bool replace) const {
  if (!IsPlainFileName(fileName)) return;
  const fs::path target = programFolder_ / kResourceLibrary;
  std::error_code error;
  if (!replace && fs::exists(target, error)) return;
  const fs::path source =
      languagesFolder_ / ("LxGUI_" + fs::path(fileName).stem().string() + ".dll");
  platform::TFileContents contents = platform::ReadWholeFile(source, TIniFile::kMaxFileBytes);
  if (contents.status == platform::TFileReadStatus::Missing) return;
  if (contents.status != platform::TFileReadStatus::Read ||
      !platform::ReplaceFileDurably(target, contents.contents)) {
    LogMessage("Copying " + source.string() + " to " + target.string() + " failed");
  }
}

void TLxlocalize::PruneSections() {
  if (!file_) return;
  for (const std::string& section : file_->SectionNames()) {
    // Names match without regard to case everywhere else, so here too.
    if (!EqualNoCase(section, "Global") && !EqualNoCase(section, "Dialog")) {
      file_->EraseSection(section);
    }
  }
}

TLxlocalize& GetLocalize() {
  const platform::TProgramFiles& files = platform::ProgramFiles();
  static TLxlocalize* const instance =
      new TLxlocalize(files.programFolder, files.configFile, files.userLanguagesFolder);
  return *instance;
}
