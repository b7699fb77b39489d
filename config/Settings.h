// The settings file SConfig.ini (beside the program, or in the user's folder): every key it may
// hold, with its section, default and check, is declared once in the table of Settings.cpp and
// read through it.
//
// The values are read once at start-up into one process-wide TSettings; other subsystems read
// them from there. Everything also works on an explicit file or TSettings object, so tests start
// from a fresh instance instead of touching the process-wide one.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "IniFile.h"

// Encoder type codes, shared by the settings, the frame header, the session description and the
// encoder library.
inline constexpr int32_t kEncodeTypeMpeg4 = 3;
inline constexpr int32_t kEncodeTypeH264 = 4;
inline constexpr int32_t kEncodeTypeMjpeg = 6;  // accepted, but the encoder library has no channel

enum class TSettingId {
  Fps,
  EncodeType,
  HighQuant,
  Width,
  Height,
  EnableEmptyInfo,
  Language,
  Company,
  ProductType,
  ProductName,
  ProductVersion,
  CopyRight,
  Info1,
  Info2,
  RtspPort,
  EnableUdp,
  EnableAudio,
  RtspBind,
  AuthUser,
  AuthPassword,
  AuthAllowBasic,
  LogFloodLimit,
  OnvifEnable,
  OnvifPort,
  OnvifName,
  OnvifDiscovery,
  Capture,
  PortalToken,
  PublishUrl,
};

enum class TSettingType { Integer, Boolean, String };

struct TSettingKey {
  TSettingId id;
  std::string_view section;
  std::string_view key;
  TSettingType type;
  int32_t defaultNumber;         // integers; booleans as 0 or 1
  std::string_view defaultText;  // strings
  int32_t (*check)(int32_t);     // corrects a value read from the file; null when none applies
};

const TSettingKey& SettingKey(TSettingId id);

// One setting from a copy of the file: the default when missing or malformed, then the check.
int32_t ReadIntegerSetting(const TIniText& file, TSettingId id);
bool ReadBoolSetting(const TIniText& file, TSettingId id);
std::string ReadStringSetting(const TIniText& file, TSettingId id);
// For string keys whose default is decided at run time (the About box's localized texts).
std::string ReadStringSetting(const TIniText& file, TSettingId id, std::string_view fallback);

// One-entry writes; false when the file could not be written (it is then left as it was). A
// file that holds a password afterwards is left readable by its owner alone.
bool WriteIntegerSetting(const TIniFile& file, TSettingId id, int32_t value);
bool WriteStringSetting(const TIniFile& file, TSettingId id, std::string_view value);

struct TVideoSettings {
  int32_t fps;
  int32_t encodeType;
  int32_t highQuant;
  int32_t width;  // 0: the desktop's own size, and height is ignored
  int32_t height;

  bool operator==(const TVideoSettings&) const = default;
};

struct TRtspSettings {
  int32_t port;
  bool enableUdp;
  bool enableAudio;
  bool enableEmptyInfo;  // kept in the System section, read with the service settings
  // Log lines a second one client address may cause before the rest are summed up; 0: no limit.
  int32_t logFloodLimit = 100;
  // [Publish] Url: the media server the stream is also published to; empty: none.
  std::string publishUrl{};

  bool operator==(const TRtspSettings&) const = default;
};

// Who may watch and where the server listens. Changed while the program runs (Camera Access), read
// by connection threads.
struct TCameraAccess {
  std::string user;      // empty: no password asked, anyone who reaches the port watches
  std::string password;  // UTF-8
  bool allowBasic;       // Basic offered beside Digest (the password then crosses in clear)
  std::string bindAddress;  // empty: every interface; else one local IPv4 address
  bool onvifEnabled = false;  // the ONVIF side answers too (only ever with a user)

  bool operator==(const TCameraAccess&) const = default;
};

// The ONVIF side's own values, read once at start-up.
struct TOnvifSettings {
  int32_t port = 8000;
  std::string name;  // empty: the host name
  bool discovery = true;

  bool operator==(const TOnvifSettings&) const = default;
};

// How the desktop is captured: chosen by the session (X11, or the desktop portal on Wayland), or
// forced. Mutter is GNOME's own screen-cast interface, for GNOME sessions without anyone to answer
// the portal's prompt (a headless GNOME on a server).
enum class TCaptureChoice { Auto, X11, Portal, Mutter };
// "auto", "x11", "portal" or "mutter" in any case; nothing for anything else.
std::optional<TCaptureChoice> ParseCaptureChoice(std::string_view text);

// Read once at start-up. The token lets the portal skip its prompt on the next start; every
// session the portal starts replaces it.
struct TCaptureSettings {
  std::string choice;  // as written; ParseCaptureChoice tells what it means
  std::string portalToken;

  bool operator==(const TCaptureSettings&) const = default;
};

// A missing or unreadable file gives the defaults.
TVideoSettings LoadVideoSettings(const std::filesystem::path& configFile);
TRtspSettings LoadRtspSettings(const std::filesystem::path& configFile);
// Stores the port in decimal as Port of the RTSP section.
bool SaveRtspPort(const std::filesystem::path& configFile, int32_t port);
TCameraAccess LoadCameraAccess(const std::filesystem::path& configFile);
TOnvifSettings LoadOnvifSettings(const std::filesystem::path& configFile);
TCaptureSettings LoadCaptureSettings(const std::filesystem::path& configFile);
bool SavePortalToken(const std::filesystem::path& configFile, std::string_view token);
// Stores user, password, bind address and the ONVIF switch (AllowBasic is the file's own); with a
// password the file is left readable by its owner alone.
bool SaveCameraAccess(const std::filesystem::path& configFile, const TCameraAccess& access);

// One set of values. Until a Load call they hold the defaults, so a missing key keeps its default.
// Video and service values are written once at start-up, before any worker thread exists, and
// read without locks afterwards. The RTSP port is the one value that changes later (Port Setup on
// the GUI thread) while connection threads may read it, hence atomic.
class TSettings {
 public:
  explicit TSettings(std::filesystem::path configFile);

  const std::filesystem::path& ConfigFile() const { return configFile_; }

  void LoadVideoSettings();
  void LoadRtspSettings();
  // Stores the current RtspPort(); a failed write leaves the value changed all the same.
  bool SaveRtspPort() const;

  const TVideoSettings& Video() const { return video_; }
  int32_t RtspPort() const { return rtspPort_.load(std::memory_order_relaxed); }
  void SetRtspPort(int32_t port) { rtspPort_.store(port, std::memory_order_relaxed); }
  bool UdpEnabled() const { return service_.enableUdp; }
  bool AudioEnabled() const { return service_.enableAudio; }
  bool EmptyInfoEnabled() const { return service_.enableEmptyInfo; }
  int32_t LogFloodLimit() const { return service_.logFloodLimit; }
  const std::string& PublishUrl() const { return service_.publishUrl; }

  void LoadCameraAccess();
  TCameraAccess CameraAccess() const;
  void SetCameraAccess(TCameraAccess access);
  // Stores the current CameraAccess().
  bool SaveCameraAccess() const;

  void LoadOnvifSettings();
  const TOnvifSettings& Onvif() const { return onvif_; }

  void LoadCaptureSettings();
  const TCaptureSettings& Capture() const { return capture_; }

 private:
  std::filesystem::path configFile_;
  TVideoSettings video_;
  TRtspSettings service_;  // its port is not used; rtspPort_ holds the live value
  std::atomic<int32_t> rtspPort_;
  mutable std::mutex accessLock_;
  TCameraAccess access_;
  TOnvifSettings onvif_;  // written at start-up like the video values
  TCaptureSettings capture_;  // likewise
};

// The settings file the process decided on at start (platform/ProgramFiles.h): beside the
// program, in the user's configuration folder, or the one named by --config.
std::filesystem::path ConfigFilePath();

// The process-wide settings of ConfigFilePath(), created with the defaults on first use.
TSettings& Settings();

// Start-up and Port Setup entry points acting on Settings().
void LoadVideoSettings();
void LoadRtspSettings();
bool SaveRtspPort();
void LoadCameraAccess();
void LoadOnvifSettings();
void LoadCaptureSettings();
