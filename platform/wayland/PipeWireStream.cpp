#include "platform/wayland/PipeWireStream.h"

#include <libyuv/convert_argb.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace platform::wayland {

namespace {

constexpr int kMaxSide = 16384;
// Room for a pointer image of up to this many pixels a side in the cursor metadata.
constexpr int kPointerSide = 256;

constexpr std::size_t PointerMetaSize(int side) {
  return sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) +
         static_cast<std::size_t>(side) * static_cast<std::size_t>(side) * 4;
}

bool RgbOrder(std::uint32_t format) {
  return format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
}

const char* FormatName(std::uint32_t format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx: return "BGRx";
    case SPA_VIDEO_FORMAT_BGRA: return "BGRA";
    case SPA_VIDEO_FORMAT_RGBx: return "RGBx";
    case SPA_VIDEO_FORMAT_RGBA: return "RGBA";
    default: return nullptr;
  }
}

// One pointer pixel as premultiplied 0xAARRGGBB, from the four bytes of a 32-bit format.
bool PointerPixel(std::uint32_t format, const std::uint8_t* p, unsigned long& argb) {
  std::uint32_t r = 0, g = 0, b = 0, a = 0;
  switch (format) {
    case SPA_VIDEO_FORMAT_RGBA: r = p[0], g = p[1], b = p[2], a = p[3]; break;
    case SPA_VIDEO_FORMAT_BGRA: b = p[0], g = p[1], r = p[2], a = p[3]; break;
    case SPA_VIDEO_FORMAT_ARGB: a = p[0], r = p[1], g = p[2], b = p[3]; break;
    case SPA_VIDEO_FORMAT_ABGR: a = p[0], b = p[1], g = p[2], r = p[3]; break;
    default: return false;
  }
  argb = a << 24 | r << 16 | g << 8 | b;
  return true;
}

// The pod macros come from C and build with casts and statement expressions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

const spa_pod* FormatsWanted(spa_pod_builder& builder) {
  spa_rectangle size{1280, 720};
  spa_rectangle smallest{1, 1};
  spa_rectangle largest{kMaxSide, kMaxSide};
  spa_fraction rate{30, 1};
  spa_fraction slowest{0, 1};
  spa_fraction fastest{1000, 1};
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
      SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
      SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                             SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size, &smallest, &largest),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate, &slowest, &fastest)));
}

// Buffers in memory this process can map: no GPU buffers.
const spa_pod* BuffersWanted(spa_pod_builder& builder) {
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
}

const spa_pod* PointerWanted(spa_pod_builder& builder) {
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
      SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(static_cast<int>(PointerMetaSize(64)),
                               static_cast<int>(PointerMetaSize(1)),
                               static_cast<int>(PointerMetaSize(kPointerSide)))));
}

void ListenToCore(pw_core* core, spa_hook* hook, const pw_core_events* events, void* data) {
  pw_core_add_listener(core, hook, events, data);
}

pw_registry* ListenToRegistry(pw_core* core, spa_hook* hook, const pw_registry_events* events,
                              void* data) {
  pw_registry* registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
  if (registry) pw_registry_add_listener(registry, hook, events, data);
  return registry;
}

#pragma GCC diagnostic pop

}  // namespace

struct TStreamEvents {
  static void StateChanged(void* self, pw_stream_state, pw_stream_state state, const char* error) {
    auto& stream = *static_cast<TPipeWireStream*>(self);
    if (state == PW_STREAM_STATE_ERROR)
      stream.Break(std::string("the stream failed: ") + (error ? error : "no reason given"));
    else if (state == PW_STREAM_STATE_UNCONNECTED)
      stream.Break("the stream was disconnected (the screen-cast node is gone)");
  }
  static void ParamChanged(void* self, std::uint32_t id, const spa_pod* param) {
    static_cast<TPipeWireStream*>(self)->ParamChanged(id, param);
  }
  static void Process(void* self) { static_cast<TPipeWireStream*>(self)->Process(); }
  static void CoreError(void* self, std::uint32_t id, int, int res, const char* message) {
    static_cast<TPipeWireStream*>(self)->Break(
        "PipeWire reported an error on object " + std::to_string(id) + ": " +
        (message ? message : std::strerror(res < 0 ? -res : res)));
  }
  // A stream whose node is removed only pauses: the registry tells that it is gone.
  static void GlobalRemoved(void* self, std::uint32_t id) {
    auto& stream = *static_cast<TPipeWireStream*>(self);
    if (id == stream.node_) stream.Break("the screen-cast node is gone");
  }
  static pw_stream_events Stream() {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = StateChanged;
    events.param_changed = ParamChanged;
    events.process = Process;
    return events;
  }
  static pw_core_events Core() {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.error = CoreError;
    return events;
  }
  static pw_registry_events Registry() {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global_remove = GlobalRemoved;
    return events;
  }
  static inline const pw_stream_events kStream = Stream();
  static inline const pw_registry_events kRegistry = Registry();
  static inline const pw_core_events kCore = Core();
};

std::unique_ptr<TPipeWireStream> TPipeWireStream::Connect(int remoteFd, std::uint32_t node,
                                                          bool pointerMetadata,
                                                          std::string& error) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  std::unique_ptr<TPipeWireStream> stream(new TPipeWireStream());
  stream->pointerMetadata_ = pointerMetadata;
  if (!stream->Start(remoteFd, node, error)) return nullptr;
  return stream;
}

bool TPipeWireStream::Start(int remoteFd, std::uint32_t node, std::string& error) {
  loop_ = pw_thread_loop_new("vistrel-capture", nullptr);
  if (loop_) context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
  if (!context_ || pw_thread_loop_start(loop_) < 0) {
    if (remoteFd >= 0) close(remoteFd);
    error = "cannot start a PipeWire loop: " + std::string(std::strerror(errno));
    return false;
  }
  pw_thread_loop_lock(loop_);
  core_ = remoteFd >= 0 ? pw_context_connect_fd(context_, remoteFd, nullptr, 0)
                        : pw_context_connect(context_, nullptr, 0);
  if (!core_) {
    error = "cannot connect to PipeWire: " + std::string(std::strerror(errno));
    pw_thread_loop_unlock(loop_);
    return false;
  }
  coreHook_ = std::make_unique<spa_hook>();
  ListenToCore(core_, coreHook_.get(), &TStreamEvents::kCore, this);
  node_ = node;
  registryHook_ = std::make_unique<spa_hook>();
  registry_ = ListenToRegistry(core_, registryHook_.get(), &TStreamEvents::kRegistry, this);
  stream_ = pw_stream_new(core_, "Vistrel screen capture",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                            "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  int result = -errno;
  if (stream_) {
    streamHook_ = std::make_unique<spa_hook>();
    pw_stream_add_listener(stream_, streamHook_.get(), &TStreamEvents::kStream, this);
    std::uint8_t buffer[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, buffer, sizeof buffer);
    const spa_pod* params[] = {FormatsWanted(builder)};
    result = pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
  }
  pw_thread_loop_unlock(loop_);
  if (result < 0) {
    error = "cannot connect to PipeWire node " + std::to_string(node) + ": " +
            std::strerror(-result);
    return false;
  }
  return true;
}

TPipeWireStream::~TPipeWireStream() {
  if (!loop_) return;
  pw_thread_loop_lock(loop_);
  if (stream_) {
    spa_hook_remove(streamHook_.get());
    pw_stream_disconnect(stream_);
    pw_stream_destroy(stream_);
  }
  if (registry_) {
    spa_hook_remove(registryHook_.get());
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
  }
  if (core_) {
    spa_hook_remove(coreHook_.get());
    pw_core_disconnect(core_);
  }
  pw_thread_loop_unlock(loop_);
  pw_thread_loop_stop(loop_);
  if (context_) pw_context_destroy(context_);
  pw_thread_loop_destroy(loop_);
}

void TPipeWireStream::Break(const std::string& why) {
  {
    const std::lock_guard lock(mutex_);
    if (!broken_.load()) error_ = why;
    broken_.store(true);
  }
  ready_.notify_all();
}

std::string TPipeWireStream::Error() const {
  const std::lock_guard lock(mutex_);
  return error_;
}

std::string TPipeWireStream::Describe() const {
  const std::lock_guard lock(mutex_);
  const char* name = FormatName(format_);
  return std::to_string(width_) + "x" + std::to_string(height_) + " " + (name ? name : "?");
}

bool TPipeWireStream::WaitUntilReady(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, timeout,
                  [this] { return broken_.load() || (formatKnown_ && sequence_.load() > 0); });
  return !broken_.load() && formatKnown_;
}

void TPipeWireStream::ParamChanged(std::uint32_t id, const spa_pod* param) {
  if (!param || id != SPA_PARAM_Format) return;
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  spa_video_info_raw info{};
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
      mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
      spa_format_video_raw_parse(param, &info) < 0 || !FormatName(info.format) ||
      info.size.width == 0 || info.size.height == 0 || info.size.width > kMaxSide ||
      info.size.height > kMaxSide) {
    Break("the compositor offered a picture format this capture does not read");
    return;
  }
  {
    const std::lock_guard lock(mutex_);
    format_ = info.format;
    width_ = static_cast<int>(info.size.width);
    height_ = static_cast<int>(info.size.height);
    stride_ = width_ * 4;
    // Once per negotiation: the pictures of this size reuse it.
    received_.assign(static_cast<std::size_t>(stride_) * static_cast<std::size_t>(height_), 0);
    formatKnown_ = true;
  }
  ready_.notify_all();
  std::uint8_t buffer[1024];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, buffer, sizeof buffer);
  const spa_pod* params[2] = {BuffersWanted(builder)};
  std::uint32_t count = 1;
  if (pointerMetadata_) params[count++] = PointerWanted(builder);
  pw_stream_update_params(stream_, params, count);
}

void TPipeWireStream::Process() {
  // Only the newest picture matters; older ones queued behind it go straight back.
  pw_buffer* latest = nullptr;
  while (pw_buffer* next = pw_stream_dequeue_buffer(stream_)) {
    if (latest) pw_stream_queue_buffer(stream_, latest);
    latest = next;
  }
  if (!latest) return;
  const spa_buffer* buffer = latest->buffer;
  if (pointerMetadata_) ReadPointer(buffer);
  const spa_data* data = buffer->n_datas > 0 ? &buffer->datas[0] : nullptr;
  // A buffer without pixels carries only a pointer move.
  if (data && data->data && data->chunk && data->chunk->size > 0 &&
      (static_cast<std::uint32_t>(data->chunk->flags) & SPA_CHUNK_FLAG_CORRUPTED) == 0) {
    std::unique_lock lock(mutex_);
    const auto rowBytes = static_cast<std::size_t>(stride_);
    const std::size_t stride =
        data->chunk->stride > 0 ? static_cast<std::size_t>(data->chunk->stride) : rowBytes;
    const std::size_t offset = data->chunk->offset;
    const auto rows = static_cast<std::size_t>(height_);
    // A buffer smaller than the negotiated picture is dropped rather than read past its end.
    if (formatKnown_ && rows > 0 && stride >= rowBytes &&
        offset + stride * (rows - 1) + rowBytes <= data->maxsize) {
      const auto* source = static_cast<const std::uint8_t*>(data->data) + offset;
      for (std::size_t row = 0; row < rows; ++row)
        std::memcpy(received_.data() + row * rowBytes, source + row * stride, rowBytes);
      sequence_.fetch_add(1);
      lock.unlock();
      ready_.notify_all();
    }
  }
  pw_stream_queue_buffer(stream_, latest);
}

void TPipeWireStream::ReadPointer(const void* buffer) {
  const spa_meta* meta = spa_buffer_find_meta(static_cast<const spa_buffer*>(buffer),
                                              SPA_META_Cursor);
  if (!meta || !meta->data || meta->size < sizeof(spa_meta_cursor)) return;
  const auto* cursor = static_cast<const spa_meta_cursor*>(meta->data);
  // Id 0: nothing new about the pointer in this buffer.
  if (!spa_meta_cursor_is_valid(cursor)) return;
  const std::lock_guard lock(mutex_);
  pointer_.x = cursor->position.x;
  pointer_.y = cursor->position.y;
  if (cursor->bitmap_offset >= sizeof(spa_meta_cursor) &&
      cursor->bitmap_offset + sizeof(spa_meta_bitmap) <= meta->size) {
    const auto* base = static_cast<const std::uint8_t*>(meta->data);
    spa_meta_bitmap bitmap{};
    std::memcpy(&bitmap, base + cursor->bitmap_offset, sizeof bitmap);
    const std::size_t width = bitmap.size.width;
    const std::size_t height = bitmap.size.height;
    const auto stride = static_cast<std::size_t>(bitmap.stride > 0 ? bitmap.stride : 0);
    const std::size_t start = cursor->bitmap_offset + bitmap.offset;
    unsigned long probe = 0;
    if (bitmap.format == 0) {
      // No new image: the old one moved.
    } else if (bitmap.offset == 0) {
      pointer_.visible = false;
    } else if (width > 0 && height > 0 && width <= kPointerSide && height <= kPointerSide &&
               stride >= width * 4 && start + stride * (height - 1) + width * 4 <= meta->size &&
               PointerPixel(bitmap.format, base + start, probe)) {
      pointer_.width = static_cast<int>(width);
      pointer_.height = static_cast<int>(height);
      pointer_.hotX = cursor->hotspot.x;
      pointer_.hotY = cursor->hotspot.y;
      pointer_.pixels.resize(width * height);
      for (std::size_t y = 0; y < height; ++y)
        for (std::size_t x = 0; x < width; ++x)
          PointerPixel(bitmap.format, base + start + y * stride + x * 4,
                       pointer_.pixels[y * width + x]);
      pointer_.visible = true;
    }
  }
  pointerSequence_.fetch_add(1);
}

bool TPipeWireStream::Take(TStreamPicture& picture) {
  const std::lock_guard lock(mutex_);
  bool changed = false;
  if (formatKnown_ && (picture.width != width_ || picture.height != height_ ||
                       picture.sequence != sequence_.load())) {
    picture.width = width_;
    picture.height = height_;
    picture.pixels.resize(received_.size());
    if (RgbOrder(format_))
      libyuv::ABGRToARGB(received_.data(), stride_, picture.pixels.data(), stride_, width_,
                         height_);
    else
      std::memcpy(picture.pixels.data(), received_.data(), received_.size());
    picture.sequence = sequence_.load();
    changed = true;
  }
  if (picture.pointerSequence != pointerSequence_.load()) {
    picture.pointer = pointer_;
    picture.pointerSequence = pointerSequence_.load();
    changed = true;
  }
  return changed;
}

}  // namespace platform::wayland
