#include "OrxEncoderLibrary.h"

template <typename F>
void OrxEncoderLibrary::Bind(F& fn, const char* name) {
  void* symbol = dlsym(handle_, name);
  if (!symbol) {
    complete_ = false;
    error_ += std::string("missing export ") + name + "; ";
    return;
  }
  fn = reinterpret_cast<F>(symbol);
}

OrxEncoderLibrary::OrxEncoderLibrary(const std::string& path) {
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* reason = dlerror();
    error_ = reason ? reason : "dlopen failed";
    return;
  }
  complete_ = true;
  Bind(CreateChannel, "OrxEn_CreateChannel");
  Bind(CreateChannelEx, "OrxEn_CreateChannelEx");
  Bind(SetVideoParam, "OrxEn_SetVideoParam");
  Bind(SetupEncode, "OrxEn_SetupEncode");
  Bind(SetQuant, "OrxEn_SetQuant");
  Bind(Encode, "OrxEn_Encode");
  Bind(CloseChannel, "OrxEn_CloseChannel");
}

OrxEncoderLibrary::~OrxEncoderLibrary() {
  if (handle_) dlclose(handle_);
}
