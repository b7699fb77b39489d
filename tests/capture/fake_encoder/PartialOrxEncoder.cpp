// An OrxEncoder library with every export but OrxEn_Encode. It encodes nothing; it only lets tests
// see which calls reached it.
#include "encoder/OrxEncoder.h"

extern "C" {

ORXEN_API int PartialOrxEn_Calls = 0;
ORXEN_API int PartialOrxEn_LastQuant = -1;

static int channel;  // its address is the one channel handle

ORXEN_API OrxEnHandle OrxEn_CreateChannel(int) {
  return &channel;
}

ORXEN_API OrxEnHandle OrxEn_CreateChannelEx(int encoderType, int) {
  return encoderType == ORXEN_TYPE_H264 ? &channel : nullptr;
}

// The answer depends on every argument, so a test can tell they all arrived.
ORXEN_API int OrxEn_SetVideoParam(OrxEnHandle handle, int width, int height, int frameRate) {
  ++PartialOrxEn_Calls;
  return handle == &channel ? width + height + frameRate : -1;
}

ORXEN_API int OrxEn_SetupEncode(OrxEnHandle, int, int, int) {
  return 0;
}

ORXEN_API void OrxEn_SetQuant(OrxEnHandle, int quant) {
  ++PartialOrxEn_Calls;
  PartialOrxEn_LastQuant = quant;
}

ORXEN_API void OrxEn_CloseChannel(OrxEnHandle) {}

}  // extern "C"
