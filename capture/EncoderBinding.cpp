#include "EncoderBinding.h"

#include "platform/ProgramFolder.h"

bool IsEncoderChannel(OrxEnHandle channel) {
  return channel != nullptr && channel != kNoEncoderChannel;
}

EncoderBinding::EncoderBinding(const std::filesystem::path& libraryPath)
    : library_(libraryPath),
      createChannel_(library_.FindFunction<OrxEn_CreateChannelEx_t>("OrxEn_CreateChannelEx")),
      encode_(library_.FindFunction<OrxEn_Encode_t>("OrxEn_Encode")),
      setVideoParameters_(library_.FindFunction<OrxEn_SetVideoParam_t>("OrxEn_SetVideoParam")),
      setQuantizer_(library_.FindFunction<OrxEn_SetQuant_t>("OrxEn_SetQuant")) {}

OrxEnHandle EncoderBinding::CreateChannel(int encoderType, int option) const {
  if (!createChannel_) return kNoEncoderChannel;
  return createChannel_(encoderType, option);
}

// The library takes any non-null handle for one of its channels, so the "no encoder" value is
// stopped here: handed on, it would be used as a channel's address.

int EncoderBinding::Encode(OrxEnHandle channel, const void* source, void* dest, int colourFormat,
                           int sourceSize, int width, int height, int* keyFrame) const {
  if (!encode_ || channel == kNoEncoderChannel) return -1;
  return encode_(channel, source, dest, colourFormat, sourceSize, width, height, keyFrame);
}

int EncoderBinding::SetVideoParameters(OrxEnHandle channel, int width, int height,
                                       int frameRate) const {
  if (!setVideoParameters_ || channel == kNoEncoderChannel) return -1;
  return setVideoParameters_(channel, width, height, frameRate);
}

void EncoderBinding::SetQuantizer(OrxEnHandle channel, int quant) const {
  if (!setQuantizer_ || channel == kNoEncoderChannel) return;
  setQuantizer_(channel, quant);
}

std::filesystem::path DefaultEncoderLibraryPath() {
  const std::filesystem::path folder = platform::ProgramFolder();
  // Without a known folder a bare file name would load whatever sits in the current folder.
  if (folder.empty()) return {};
  return folder / "libOrxEncoder.so";
}

EncoderBinding& ProcessEncoderBinding() {
  // Deliberately never destroyed: destroying it at exit would unload the library under any thread
  // still inside an encode call.
  static EncoderBinding* const binding = new EncoderBinding(DefaultEncoderLibraryPath());
  return *binding;
}
