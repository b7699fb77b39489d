// The seven exports. Handles cross a C boundary, so ownership is plain: create hands the object
// out, CloseChannel takes it back.
#include "OrxEncoder.h"

#include <memory>
#include <new>

#include "BaseKWEncoder.h"
#include "KWH264Encoder.h"
#include "MP4Encoder.h"

namespace {

CBaseKWEncoder* Channel(OrxEnHandle handle) {
  return static_cast<CBaseKWEncoder*>(handle);
}

}  // namespace

extern "C" {

ORXEN_API OrxEnHandle OrxEn_CreateChannel(int option) {
  StartXvidCore();
  return static_cast<CBaseKWEncoder*>(new (std::nothrow) CMP4Encoder(option));
}

ORXEN_API OrxEnHandle OrxEn_CreateChannelEx(int encoderType, int option) {
  switch (encoderType) {
    case ORXEN_TYPE_MPEG4:
      return OrxEn_CreateChannel(option);
    case ORXEN_TYPE_H264:
      return static_cast<CBaseKWEncoder*>(new (std::nothrow) CKWH264Encoder(option));
    default:
      return nullptr;
  }
}

ORXEN_API int OrxEn_SetVideoParam(OrxEnHandle handle, int width, int height, int frameRate) {
  if (!handle) return -1;
  return Channel(handle)->SetVideoParam(width, height, frameRate) ? 0 : -1;
}

ORXEN_API int OrxEn_SetupEncode(OrxEnHandle handle, int frameRate, int keyInterval, int bitRate) {
  // A missing channel cannot have been set up; saying 1 here would hide the caller's fault.
  if (!handle) return -1;
  return Channel(handle)->SetupEncode(frameRate, keyInterval, bitRate);
}

ORXEN_API void OrxEn_SetQuant(OrxEnHandle handle, int quant) {
  if (!handle) return;
  // Taken as unsigned so that negative values fall out with the too-large ones.
  if (static_cast<unsigned>(quant) <= 30u) Channel(handle)->quant = quant;
}

ORXEN_API int OrxEn_Encode(OrxEnHandle handle, const void* source, void* dest, int colourFormat,
                           int sourceSize, int width, int height, int* keyFrame) {
  if (colourFormat == ORXEN_CSP_SKIP_A || colourFormat == ORXEN_CSP_SKIP_B) return 0;
  if (!handle) return ORXEN_ERR_NO_CHANNEL;
  return Channel(handle)->Encode(static_cast<const uint8_t*>(source), static_cast<uint8_t*>(dest),
                                 colourFormat, sourceSize, width, height, keyFrame);
}

ORXEN_API void OrxEn_CloseChannel(OrxEnHandle handle) {
  if (!handle) return;
  std::unique_ptr<CBaseKWEncoder> channel(Channel(handle));
  channel->Close();
}

}  // extern "C"
