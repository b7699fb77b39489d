// The program's only way into the OrxEncoder library. The library is loaded at run time, not
// linked, so that the program still starts and serves RTSP when the library or one of its exports
// is missing: each call then yields a failure value instead of reaching the library.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "encoder/OrxEncoder.h"
#include "platform/DynamicLibrary.h"

// The channel handle that stands for "no encoder": the create export could not be found.
inline const OrxEnHandle kNoEncoderChannel = reinterpret_cast<OrxEnHandle>(intptr_t{-1});

// False for kNoEncoderChannel and for null (the library has no channel of the requested type).
bool IsEncoderChannel(OrxEnHandle channel);

class EncoderBinding {
 public:
  // Loads the library at libraryPath; a library that cannot be loaded leaves every call failing.
  explicit EncoderBinding(const std::filesystem::path& libraryPath);
  // Virtual so that tests can stand in for the library where it cannot be made to fail.
  virtual ~EncoderBinding() = default;
  EncoderBinding(const EncoderBinding&) = delete;
  EncoderBinding& operator=(const EncoderBinding&) = delete;

  bool IsLoaded() const { return library_.IsLoaded(); }
  const std::string& LoadError() const { return library_.LoadError(); }

  // OrxEn_CreateChannelEx; kNoEncoderChannel when the export is missing.
  virtual OrxEnHandle CreateChannel(int encoderType, int option) const;
  // OrxEn_Encode; -1 when the export is missing.
  virtual int Encode(OrxEnHandle channel, const void* source, void* dest, int colourFormat,
                     int sourceSize, int width, int height, int* keyFrame) const;
  // OrxEn_SetVideoParam; -1 when the export is missing.
  virtual int SetVideoParameters(OrxEnHandle channel, int width, int height, int frameRate) const;
  // OrxEn_SetQuant; does nothing when the export is missing.
  virtual void SetQuantizer(OrxEnHandle channel, int quant) const;

 private:
  platform::DynamicLibrary library_;
  // Looked up once: the library is never swapped while the binding exists, so a lookup per call
  // would only cost time.
  OrxEn_CreateChannelEx_t createChannel_ = nullptr;
  OrxEn_Encode_t encode_ = nullptr;
  OrxEn_SetVideoParam_t setVideoParameters_ = nullptr;
  OrxEn_SetQuant_t setQuantizer_ = nullptr;
};

// libOrxEncoder.so in the running program's folder; empty when that folder cannot be found.
std::filesystem::path DefaultEncoderLibraryPath();

// The process-wide binding, loaded from DefaultEncoderLibraryPath on first use. Start-up calls it
// before any thread exists; it is never unloaded, so threads still encoding at exit stay safe.
EncoderBinding& ProcessEncoderBinding();
