// The built OrxEncoder library, loaded with dlopen and bound by name as the program binds it.
#pragma once

#include <dlfcn.h>

#include <string>

#include "encoder/OrxEncoder.h"

class OrxEncoderLibrary {
 public:
  explicit OrxEncoderLibrary(const std::string& path = ORXENCODER_PATH);
  ~OrxEncoderLibrary();
  OrxEncoderLibrary(const OrxEncoderLibrary&) = delete;
  OrxEncoderLibrary& operator=(const OrxEncoderLibrary&) = delete;

  bool loaded() const { return complete_; }
  const std::string& error() const { return error_; }

  OrxEn_CreateChannel_t CreateChannel = nullptr;
  OrxEn_CreateChannelEx_t CreateChannelEx = nullptr;
  OrxEn_SetVideoParam_t SetVideoParam = nullptr;
  OrxEn_SetupEncode_t SetupEncode = nullptr;
  OrxEn_SetQuant_t SetQuant = nullptr;
  OrxEn_Encode_t Encode = nullptr;
  OrxEn_CloseChannel_t CloseChannel = nullptr;

 private:
  template <typename F>
  void Bind(F& fn, const char* name);

  void* handle_ = nullptr;
  bool complete_ = false;
  std::string error_;
};
