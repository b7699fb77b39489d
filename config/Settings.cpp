#include "Settings.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <utility>

#include "platform/ProgramFiles.h"

namespace {

int32_t ClampFps(int32_t fps) {
  return std::clamp(fps, 1, 30);
}

int32_t KnownEncodeTypeOrMpeg4(int32_t type) {
  return (type == kEncodeTypeMpeg4 || type == kEncodeTypeH264 || type == kEncodeTypeMjpeg)
             ? type
             : kEncodeTypeMpeg4;
}

using enum TSettingId;
using enum TSettingType;

// Every key of SConfig.ini. The About strings other than the version get their defaults from the
// localized texts at the time the About box opens, so the table holds none for them. Files may also
// hold MaxBand, UseStreamType (System) and Auth (RTSP); nothing reads them.
constexpr std::array kSettingKeys = {
    TSettingKey{Fps, "System", "fps", Integer, 8, "", ClampFps},
    TSettingKey{EncodeType, "System", "EncodeType", Integer, kEncodeTypeH264, "",
                KnownEncodeTypeOrMpeg4},
    TSettingKey{HighQuant, "System", "HighQuant", Integer, 0, "", nullptr},
    TSettingKey{Width, "System", "Width", Integer, 0, "", nullptr},
    TSettingKey{Height, "System", "Height", Integer, 0, "", nullptr},
    TSettingKey{EnableEmptyInfo, "System", "EnableEmptyInfo", Boolean, 0, "", nullptr},
    TSettingKey{Language, "System", "language", String, 0, "", nullptr},
    TSettingKey{Company, "System", "Company", String, 0, "", nullptr},
    TSettingKey{ProductType, "System", "ProductType", String, 0, "", nullptr},
    TSettingKey{ProductName, "System", "ProductName", String, 0, "", nullptr},
    TSettingKey{ProductVersion, "System", "ProductVersion", String, 0, "1.0", nullptr},
    TSettingKey{CopyRight, "System", "CopyRight", String, 0, "", nullptr},
    TSettingKey{Info1, "System", "Info1", String, 0, "", nullptr},
    TSettingKey{Info2, "System", "Info2", String, 0, "", nullptr},
    TSettingKey{RtspPort, "RTSP", "Port", Integer, 6554, "", nullptr},
    TSettingKey{EnableUdp, "RTSP", "EnableUDP", Boolean, 0, "", nullptr},
    TSettingKey{EnableAudio, "RTSP", "EnableAudio", Boolean, 0, "", nullptr},
    TSettingKey{RtspBind, "RTSP", "Bind", String, 0, "", nullptr},
    TSettingKey{AuthUser, "Auth", "User", String, 0, "", nullptr},
    TSettingKey{AuthPassword, "Auth", "Password", String, 0, "", nullptr},
    TSettingKey{AuthAllowBasic, "Auth", "AllowBasic", Boolean, 0, "", nullptr},
    TSettingKey{LogFloodLimit, "System", "LogFloodLimit", Integer, 100, "",
                [](int32_t lines) { return lines < 0 ? 100 : lines; }},
    TSettingKey{OnvifEnable, "ONVIF", "Enable", Boolean, 0, "", nullptr},
    TSettingKey{OnvifPort, "ONVIF", "Port", Integer, 8000, "",
                [](int32_t port) { return port < 1 || port > 65535 ? 8000 : port; }},
    TSettingKey{OnvifName, "ONVIF", "Name", String, 0, "", nullptr},
    TSettingKey{OnvifDiscovery, "ONVIF", "Discovery", Boolean, 1, "", nullptr},
    TSettingKey{Capture, "System", "Capture", String, 0, "auto", nullptr},
    TSettingKey{PortalToken, "System", "PortalToken", String, 0, "", nullptr},
    TSettingKey{PublishUrl, "Publish", "Url", String, 0, "", nullptr},
};

constexpr bool TableFollowsIds() {
  for (std::size_t i = 0; i < kSettingKeys.size(); ++i) {
    if (static_cast<std::size_t>(kSettingKeys[i].id) != i) return false;
  }
  return true;
}
static_assert(TableFollowsIds(), "SettingKey() indexes the table by id");
static_assert(kSettingKeys.size() == static_cast<std::size_t>(PublishUrl) + 1);

}  // namespace

const TSettingKey& SettingKey(TSettingId id) {
  return kSettingKeys[static_cast<std::size_t>(id)];
}

int32_t ReadIntegerSetting(const TIniText& file, TSettingId id) {
  const TSettingKey& setting = SettingKey(id);
  const int32_t value = file.ReadInteger(setting.section, setting.key, setting.defaultNumber);
  return setting.check ? setting.check(value) : value;
}

bool ReadBoolSetting(const TIniText& file, TSettingId id) {
  const TSettingKey& setting = SettingKey(id);
  return file.ReadBool(setting.section, setting.key, setting.defaultNumber != 0);
}

std::string ReadStringSetting(const TIniText& file, TSettingId id) {
  return ReadStringSetting(file, id, SettingKey(id).defaultText);
}

std::string ReadStringSetting(const TIniText& file, TSettingId id, std::string_view fallback) {
  const TSettingKey& setting = SettingKey(id);
  return file.ReadString(setting.section, setting.key, fallback);
}

bool WriteIntegerSetting(const TIniFile& file, TSettingId id, int32_t value) {
  return WriteStringSetting(file, id, std::to_string(value));
}

bool WriteStringSetting(const TIniFile& file, TSettingId id, std::string_view value) {
  const TSettingKey& setting = SettingKey(id);
  // A file that holds a password once written is for its owner alone, whichever entry changes.
  const bool holdsPassword = id == AuthPassword
                                 ? !value.empty()
                                 : !ReadStringSetting(file.Load(), AuthPassword).empty();
  return file.WriteStrings({{setting.section, setting.key, value}}, holdsPassword);
}

namespace {

TVideoSettings ReadVideoSettings(const TIniText& file) {
  return TVideoSettings{
      .fps = ReadIntegerSetting(file, Fps),
      .encodeType = ReadIntegerSetting(file, EncodeType),
      .highQuant = ReadIntegerSetting(file, HighQuant),
      .width = ReadIntegerSetting(file, Width),
      .height = ReadIntegerSetting(file, Height),
  };
}

TRtspSettings ReadRtspSettings(const TIniText& file) {
  return TRtspSettings{
      .port = ReadIntegerSetting(file, RtspPort),
      .enableUdp = ReadBoolSetting(file, EnableUdp),
      .enableAudio = ReadBoolSetting(file, EnableAudio),
      .enableEmptyInfo = ReadBoolSetting(file, EnableEmptyInfo),
      .logFloodLimit = ReadIntegerSetting(file, LogFloodLimit),
      .publishUrl = ReadStringSetting(file, PublishUrl),
  };
}

TCameraAccess ReadCameraAccess(const TIniText& file) {
  return TCameraAccess{
      .user = ReadStringSetting(file, AuthUser),
      .password = ReadStringSetting(file, AuthPassword),
      .allowBasic = ReadBoolSetting(file, AuthAllowBasic),
      .bindAddress = ReadStringSetting(file, RtspBind),
      .onvifEnabled = ReadBoolSetting(file, OnvifEnable),
  };
}

TOnvifSettings ReadOnvifSettings(const TIniText& file) {
  return TOnvifSettings{
      .port = ReadIntegerSetting(file, OnvifPort),
      .name = ReadStringSetting(file, OnvifName),
      .discovery = ReadBoolSetting(file, OnvifDiscovery),
  };
}

TCaptureSettings ReadCaptureSettings(const TIniText& file) {
  return TCaptureSettings{
      .choice = ReadStringSetting(file, Capture),
      .portalToken = ReadStringSetting(file, PortalToken),
  };
}

}  // namespace

std::optional<TCaptureChoice> ParseCaptureChoice(std::string_view text) {
  static constexpr std::pair<std::string_view, TCaptureChoice> kChoices[] = {
      {"auto", TCaptureChoice::Auto},
      {"x11", TCaptureChoice::X11},
      {"portal", TCaptureChoice::Portal},
      {"mutter", TCaptureChoice::Mutter},
  };
  for (const auto& [name, choice] : kChoices) {
    if (std::ranges::equal(name, text, [](char a, char b) {
          return a == std::tolower(static_cast<unsigned char>(b));
        })) {
      return choice;
    }
  }
  return std::nullopt;
}

// Each load reads the file once, so its values come from one consistent state of the file.
TVideoSettings LoadVideoSettings(const std::filesystem::path& configFile) {
  return ReadVideoSettings(TIniFile(configFile).Load());
}

TRtspSettings LoadRtspSettings(const std::filesystem::path& configFile) {
  return ReadRtspSettings(TIniFile(configFile).Load());
}

bool SaveRtspPort(const std::filesystem::path& configFile, int32_t port) {
  return WriteIntegerSetting(TIniFile(configFile), TSettingId::RtspPort, port);
}

TCameraAccess LoadCameraAccess(const std::filesystem::path& configFile) {
  return ReadCameraAccess(TIniFile(configFile).Load());
}

TOnvifSettings LoadOnvifSettings(const std::filesystem::path& configFile) {
  return ReadOnvifSettings(TIniFile(configFile).Load());
}

TCaptureSettings LoadCaptureSettings(const std::filesystem::path& configFile) {
  return ReadCaptureSettings(TIniFile(configFile).Load());
}

bool SavePortalToken(const std::filesystem::path& configFile, std::string_view token) {
  return WriteStringSetting(TIniFile(configFile), PortalToken, token);
}

bool SaveCameraAccess(const std::filesystem::path& configFile, const TCameraAccess& access) {
  const auto entry = [](TSettingId id, std::string_view value) {
    const TSettingKey& setting = SettingKey(id);
    return TIniFile::TEntry{setting.section, setting.key, value};
  };
  return TIniFile(configFile).WriteStrings({entry(AuthUser, access.user),
                                            entry(AuthPassword, access.password),
                                            entry(RtspBind, access.bindAddress),
                                            entry(OnvifEnable, access.onvifEnabled ? "1" : "0")},
                                           !access.password.empty());
}

TSettings::TSettings(std::filesystem::path configFile)
    : configFile_(std::move(configFile)),
      video_(ReadVideoSettings(TIniText())),
      service_(ReadRtspSettings(TIniText())),
      rtspPort_(service_.port),
      access_(ReadCameraAccess(TIniText())),
      onvif_(ReadOnvifSettings(TIniText())),
      capture_(ReadCaptureSettings(TIniText())) {}

void TSettings::LoadVideoSettings() {
  video_ = ::LoadVideoSettings(configFile_);
}

void TSettings::LoadRtspSettings() {
  service_ = ::LoadRtspSettings(configFile_);
  SetRtspPort(service_.port);
}

bool TSettings::SaveRtspPort() const {
  return ::SaveRtspPort(configFile_, RtspPort());
}

void TSettings::LoadCameraAccess() {
  SetCameraAccess(::LoadCameraAccess(configFile_));
}

TCameraAccess TSettings::CameraAccess() const {
  const std::lock_guard guard(accessLock_);
  return access_;
}

void TSettings::SetCameraAccess(TCameraAccess access) {
  const std::lock_guard guard(accessLock_);
  access_ = std::move(access);
}

bool TSettings::SaveCameraAccess() const {
  return ::SaveCameraAccess(configFile_, CameraAccess());
}

void TSettings::LoadOnvifSettings() {
  onvif_ = ::LoadOnvifSettings(configFile_);
}

void TSettings::LoadCaptureSettings() {
  capture_ = ::LoadCaptureSettings(configFile_);
}

std::filesystem::path ConfigFilePath() {
  return platform::ProgramFiles().configFile;
}

TSettings& Settings() {
  static TSettings settings(ConfigFilePath());
  return settings;
}

void LoadVideoSettings() {
  Settings().LoadVideoSettings();
}

void LoadRtspSettings() {
  Settings().LoadRtspSettings();
}

bool SaveRtspPort() {
  return Settings().SaveRtspPort();
}

void LoadCameraAccess() {
  Settings().LoadCameraAccess();
}

void LoadOnvifSettings() {
  Settings().LoadOnvifSettings();
}

void LoadCaptureSettings() {
  Settings().LoadCaptureSettings();
}
