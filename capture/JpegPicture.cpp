#include "JpegPicture.h"

// jpeglib.h needs FILE and size_t declared before it.
#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <jpeglib.h>

namespace {

// The library's error manager first, so the pointer it hands back leads to the jump as well.
struct TJpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void LeaveOnError(j_common_ptr info) {
  // The library's default ends the process; a snapshot that fails must not take the camera down.
  std::longjmp(reinterpret_cast<TJpegError*>(info->err)->jump, 1);
}

void Quiet(j_common_ptr /*info*/) {}

struct TFree {
  void operator()(unsigned char* bytes) const { std::free(bytes); }
};

// Holds nothing with a destructor: the library's errors longjmp back into it.
bool Compress(jpeg_compress_struct& info, TJpegError& error,
              const platform::TScreenPicture& picture, int quality, unsigned char** output,
              unsigned long* size) {
  if (setjmp(error.jump) != 0) return false;
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, output, size);
  info.image_width = static_cast<JDIMENSION>(picture.width);
  info.image_height = static_cast<JDIMENSION>(picture.height);
  info.input_components = 4;
  info.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    const std::ptrdiff_t offset = static_cast<std::ptrdiff_t>(info.next_scanline) * picture.stride;
    JSAMPROW row = const_cast<JSAMPLE*>(picture.pixels + offset);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  return true;
}

}  // namespace

std::vector<std::uint8_t> EncodeJpeg(const platform::TScreenPicture& picture, int quality) {
  if (picture.pixels == nullptr || picture.width <= 0 || picture.height <= 0 ||
      picture.width > JPEG_MAX_DIMENSION || picture.height > JPEG_MAX_DIMENSION ||
      picture.stride / 4 < picture.width)
    return {};
  // Room for the worst a JPEG of this size can take, so that the library never moves the output
  // to a buffer of its own, which a failure part-way would leave behind. Pages not written to are
  // never committed.
  const std::size_t bound = (static_cast<std::size_t>(picture.width) + 16) *
                                (static_cast<std::size_t>(picture.height) + 16) * 6 +
                            2048;
  const std::unique_ptr<unsigned char, TFree> room(static_cast<unsigned char*>(std::malloc(bound)));
  if (!room) return {};
  unsigned char* output = room.get();
  unsigned long size = bound;

  TJpegError error{};
  jpeg_compress_struct info{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = LeaveOnError;
  error.manager.output_message = Quiet;
  const bool done = Compress(info, error, picture, std::clamp(quality, 1, 100), &output, &size);
  jpeg_destroy_compress(&info);
  // Should the bound ever fall short, the library's own buffer holds the result.
  const std::unique_ptr<unsigned char, TFree> moved(output != room.get() ? output : nullptr);
  if (!done) return {};
  return std::vector<std::uint8_t>(output, output + size);
}
