// The OrxEncoder library's exported interface: plain C functions over opaque channel handles.
// The program binds these at run time by name; the typedefs below are what it casts to.
#ifndef ORXENCODER_H
#define ORXENCODER_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32)
#define ORXEN_API __declspec(dllexport)
#else
#define ORXEN_API __attribute__((visibility("default")))
#endif

typedef void* OrxEnHandle;

// Encoder type codes.
enum { ORXEN_TYPE_MPEG4 = 3, ORXEN_TYPE_H264 = 4, ORXEN_TYPE_MJPEG = 6 };

// Colour formats of the raw picture given to OrxEn_Encode.
enum {
  ORXEN_CSP_UYVY = 1,
  ORXEN_CSP_YVYU = 2,
  ORXEN_CSP_YV12 = 3,  // planar 4:2:0: Y, then V, then U
  ORXEN_CSP_I420 = 4,  // planar 4:2:0: Y, then U, then V
  ORXEN_CSP_BGR = 6,
  ORXEN_CSP_BGRA = 7,
  ORXEN_CSP_SKIP_A = 100,
  ORXEN_CSP_SKIP_B = 101
};

// Refusals of OrxEn_Encode that happen before the codec is reached; no buffer is touched.
enum {
  ORXEN_ERR_NOT_OPEN = -1001,     // the channel has no codec instance
  ORXEN_ERR_BAD_PICTURE = -1002,  // picture size differs from the channel's, or a null buffer
  ORXEN_ERR_NO_CHANNEL = -1003    // null handle
};

ORXEN_API OrxEnHandle OrxEn_CreateChannel(int option);
ORXEN_API OrxEnHandle OrxEn_CreateChannelEx(int encoderType, int option);
ORXEN_API int OrxEn_SetVideoParam(OrxEnHandle handle, int width, int height, int frameRate);
ORXEN_API int OrxEn_SetupEncode(OrxEnHandle handle, int frameRate, int keyInterval, int bitRate);
ORXEN_API void OrxEn_SetQuant(OrxEnHandle handle, int quant);
ORXEN_API int OrxEn_Encode(OrxEnHandle handle, const void* source, void* dest, int colourFormat,
                           int sourceSize, int width, int height, int* keyFrame);
ORXEN_API void OrxEn_CloseChannel(OrxEnHandle handle);

typedef OrxEnHandle (*OrxEn_CreateChannel_t)(int);
typedef OrxEnHandle (*OrxEn_CreateChannelEx_t)(int, int);
typedef int (*OrxEn_SetVideoParam_t)(OrxEnHandle, int, int, int);
typedef int (*OrxEn_SetupEncode_t)(OrxEnHandle, int, int, int);
typedef void (*OrxEn_SetQuant_t)(OrxEnHandle, int);
typedef int (*OrxEn_Encode_t)(OrxEnHandle, const void*, void*, int, int, int, int, int*);
typedef void (*OrxEn_CloseChannel_t)(OrxEnHandle);

#ifdef __cplusplus
}
#endif

#endif
