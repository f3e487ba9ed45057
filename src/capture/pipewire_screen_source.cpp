#include "capture/pipewire_screen_source.h"

#include "base/format.h"
#include "capture/capture_error.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wpedantic"
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#pragma GCC diagnostic pop

extern "C" {
#include <libswscale/swscale.h>
}

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <time.h>
#include <unistd.h>

namespace vidorel {

namespace {

constexpr std::chrono::seconds kStartTimeout{5};

CaptureTime monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<CaptureTime>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

bool swapsRedAndBlue(spa_video_format format) {
  return format == SPA_VIDEO_FORMAT_RGBx || format == SPA_VIDEO_FORMAT_RGBA;
}

const char* formatName(spa_video_format format) {
  switch (format) {
  case SPA_VIDEO_FORMAT_BGRx:
    return "BGRx";
  case SPA_VIDEO_FORMAT_BGRA:
    return "BGRA";
  case SPA_VIDEO_FORMAT_RGBx:
    return "RGBx";
  case SPA_VIDEO_FORMAT_RGBA:
    return "RGBA";
  default:
    return "another format";
  }
}

const char* memoryName(std::uint32_t type) {
  switch (type) {
  case SPA_DATA_MemPtr:
    return "shared memory (pointer)";
  case SPA_DATA_MemFd:
    return "shared memory (memfd)";
  case SPA_DATA_DmaBuf:
    return "DMA-BUF";
  default:
    return "another kind of memory";
  }
}

class PipeWireDisplayStream final : public DisplayStream {
public:
  PipeWireDisplayStream(Logger& logger, int fd, std::uint32_t node,
                        const StreamConfiguration& configuration,
                        std::function<void(std::string)> didStop)
      : logger_(logger), fd_(fd), node_(node), configuration_(configuration),
        didStop_(std::move(didStop)) {}

  ~PipeWireDisplayStream() override {
    stopCapture();
    if (fd_ >= 0)
      ::close(fd_);
  }

  void startCapture(Output output) override {
    pw_init(nullptr, nullptr);
    loop_ = pw_thread_loop_new("vidorel-screen", nullptr);
    if (!loop_)
      throw CaptureFailure(std::string("PipeWire: cannot make a thread loop"));
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (!context_ || pw_thread_loop_start(loop_) < 0) {
      teardown();
      throw CaptureFailure(std::string("PipeWire: cannot start its loop"));
    }
    pw_thread_loop_lock(loop_);
    output_ = std::move(output);
    std::string failure = connectLocked();
    pw_thread_loop_unlock(loop_);
    if (failure.empty())
      failure = waitUntilStreaming();
    if (!failure.empty()) {
      teardown();
      throw CaptureFailure("PipeWire: " + failure);
    }
    logger_.info(LogCategory::recorder, formatString("pipewire: streaming node %u, %dx%d", node_,
                                                     sourceWidth_, sourceHeight_));
  }

  void stopCapture() override { teardown(); }

private:
  std::string connectLocked() {
    core_ = pw_context_connect_fd(context_, fd_, nullptr, 0);
    fd_ = -1; // the core owns it now, whether it connected or not
    if (!core_)
      return "cannot connect to the portal's PipeWire remote";
    stream_ = pw_stream_new(core_, "Vidorel screen",
                            pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY,
                                              "Capture", PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!stream_)
      return "cannot make a stream";
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &PipeWireDisplayStream::onStateChanged;
      e.param_changed = &PipeWireDisplayStream::onParamChanged;
      e.process = &PipeWireDisplayStream::onProcess;
      return e;
    }();
    pw_stream_add_listener(stream_, &listener_, &events, this);

    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_rectangle defaultSize = SPA_RECTANGLE(static_cast<std::uint32_t>(configuration_.width),
                                              static_cast<std::uint32_t>(configuration_.height));
    spa_rectangle minSize = SPA_RECTANGLE(1, 1);
    spa_rectangle maxSize = SPA_RECTANGLE(16384, 16384);
    spa_fraction defaultRate = SPA_FRACTION(60, 1);
    spa_fraction minRate = SPA_FRACTION(0, 1);
    spa_fraction maxRate = SPA_FRACTION(1000, 1);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
        SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx,
                               SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate)));
    int r = pw_stream_connect(
        stream_, PW_DIRECTION_INPUT, node_,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    if (r < 0)
      return formatString("cannot connect the stream: %s", std::strerror(-r));
    return {};
  }

  std::string waitUntilStreaming() {
    std::unique_lock<std::mutex> lock(stateMutex_);
    bool decided = stateChanged_.wait_for(lock, kStartTimeout, [this] {
      return state_ == PW_STREAM_STATE_STREAMING || state_ == PW_STREAM_STATE_ERROR;
    });
    if (!decided)
      return "the screen stream did not start";
    if (state_ == PW_STREAM_STATE_ERROR)
      return error_;
    return {};
  }

  void teardown() {
    if (loop_) {
      pw_thread_loop_lock(loop_);
      stopping_ = true;
      output_ = nullptr;
      if (stream_) {
        pw_stream_disconnect(stream_);
        pw_stream_destroy(stream_);
        stream_ = nullptr;
      }
      if (core_) {
        pw_core_disconnect(core_);
        core_ = nullptr;
      }
      pw_thread_loop_unlock(loop_);
      pw_thread_loop_stop(loop_);
    }
    if (context_) {
      pw_context_destroy(context_);
      context_ = nullptr;
    }
    if (loop_) {
      pw_thread_loop_destroy(loop_);
      loop_ = nullptr;
    }
    if (scaler_) {
      sws_freeContext(scaler_);
      scaler_ = nullptr;
    }
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state,
                             const char* error) {
    auto* self = static_cast<PipeWireDisplayStream*>(data);
    bool wasStreaming = false;
    {
      std::lock_guard<std::mutex> lock(self->stateMutex_);
      wasStreaming = self->state_ == PW_STREAM_STATE_STREAMING;
      self->state_ = state;
      self->error_ = error ? error : "";
    }
    self->stateChanged_.notify_all();
    bool ended = state == PW_STREAM_STATE_ERROR || state == PW_STREAM_STATE_UNCONNECTED;
    if (wasStreaming && ended && !self->stopping_ && self->didStop_)
      self->didStop_(error ? std::string("PipeWire: ") + error
                           : std::string("PipeWire: the screen stream ended"));
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireDisplayStream*>(data);
    if (!param || id != SPA_PARAM_Format)
      return;
    std::uint32_t mediaType = 0;
    std::uint32_t mediaSubtype = 0;
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw)
      return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0)
      return;
    self->format_ = info.format;
    self->sourceWidth_ = static_cast<int>(info.size.width);
    self->sourceHeight_ = static_cast<int>(info.size.height);

    // Buffers the stream can map: plain memory or memfds.
    std::uint8_t buffer[256];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    pw_stream_update_params(self->stream_, params, 1);
  }

  static void onProcess(void* data) {
    auto* self = static_cast<PipeWireDisplayStream*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_);
    if (!buffer)
      return;
    self->deliver(buffer->buffer);
    pw_stream_queue_buffer(self->stream_, buffer);
  }

  void deliver(const spa_buffer* buffer) {
    if (!output_ || buffer->n_datas < 1)
      return;
    const spa_data& plane = buffer->datas[0];
    // A buffer without pixels moves only the cursor or says nothing changed.
    if (!plane.data || !plane.chunk || plane.chunk->size == 0 ||
        (plane.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED))
      return;
    int width = sourceWidth_;
    int height = sourceHeight_;
    if (width <= 0 || height <= 0)
      return;
    int stride = plane.chunk->stride > 0 ? plane.chunk->stride : width * 4;
    std::uint64_t needed = std::uint64_t(stride) * std::uint64_t(height - 1) + width * 4ull;
    if (stride < width * 4 || needed > plane.chunk->size || plane.chunk->offset > plane.maxsize ||
        needed > plane.maxsize - plane.chunk->offset)
      return;
    if (!sawFrame_) {
      // What the desktop negotiated, for a report from a user's machine.
      sawFrame_ = true;
      bool cursorApart = spa_buffer_find_meta(buffer, SPA_META_Cursor) != nullptr;
      logger_.info(LogCategory::recorder,
                   formatString("pipewire: first frame %dx%d %s in %s, cursor %s", width, height,
                                formatName(format_), memoryName(plane.type),
                                cursorApart ? "as metadata" : "in the picture"));
    }
    CaptureTime now = monotonicNow();
    CaptureTime stamp = now;
    if (const auto* header = static_cast<const spa_meta_header*>(
            spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)))) {
      // Compositors stamp on CLOCK_MONOTONIC; anything else is not used.
      if (header->pts > 0 && std::llabs(header->pts - now) < 1'000'000'000)
        stamp = header->pts;
    }
    if (lastStamp_ && stamp - *lastStamp_ < configuration_.minimumFrameInterval)
      return;
    lastStamp_ = stamp;

    // The take keeps the first size it was given (or saw).
    if (targetWidth_ == 0) {
      targetWidth_ = configuration_.width > 0 ? configuration_.width : width;
      targetHeight_ = configuration_.height > 0 ? configuration_.height : height;
      // A recording size smaller than the screen's.
      if (configuration_.outputWidth > 0 && configuration_.outputHeight > 0) {
        targetWidth_ = configuration_.outputWidth;
        targetHeight_ = configuration_.outputHeight;
      }
    }
    const auto* source = static_cast<const std::uint8_t*>(plane.data) + plane.chunk->offset;
    auto pixels =
        std::make_shared<std::vector<std::uint8_t>>(std::size_t(targetWidth_) * targetHeight_ * 4);
    if (width == targetWidth_ && height == targetHeight_) {
      for (int y = 0; y < height; ++y)
        std::memcpy(pixels->data() + std::size_t(y) * width * 4, source + std::size_t(y) * stride,
                    std::size_t(width) * 4);
    } else {
      scaler_ =
          sws_getCachedContext(scaler_, width, height, AV_PIX_FMT_BGRA, targetWidth_, targetHeight_,
                               AV_PIX_FMT_BGRA, SWS_AREA, nullptr, nullptr, nullptr);
      if (!scaler_)
        return;
      const std::uint8_t* sourcePlanes[1] = {source};
      int sourceStrides[1] = {stride};
      std::uint8_t* targetPlanes[1] = {pixels->data()};
      int targetStrides[1] = {targetWidth_ * 4};
      sws_scale(scaler_, sourcePlanes, sourceStrides, 0, height, targetPlanes, targetStrides);
    }
    if (swapsRedAndBlue(format_)) {
      for (std::size_t i = 0; i + 3 < pixels->size(); i += 4)
        std::swap((*pixels)[i], (*pixels)[i + 2]);
    }
    VideoFrame frame;
    frame.pixels = std::move(pixels);
    frame.width = targetWidth_;
    frame.height = targetHeight_;
    frame.stride = targetWidth_ * 4;
    frame.timestamp = stamp;
    frame.status = FrameStatus::complete;
    output_(std::move(frame));
  }

  Logger& logger_;
  int fd_ = -1;
  std::uint32_t node_ = 0;
  StreamConfiguration configuration_;
  std::function<void(std::string)> didStop_;
  Output output_;

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  bool stopping_ = false;

  std::mutex stateMutex_;
  std::condition_variable stateChanged_;
  pw_stream_state state_ = PW_STREAM_STATE_UNCONNECTED;
  std::string error_;

  // Touched on PipeWire's thread only (or before it runs).
  spa_video_format format_ = SPA_VIDEO_FORMAT_BGRx;
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  int targetWidth_ = 0;
  int targetHeight_ = 0;
  std::optional<CaptureTime> lastStamp_;
  bool sawFrame_ = false;
  SwsContext* scaler_ = nullptr;
};

} // namespace

std::unique_ptr<DisplayStream> makePipeWireDisplayStream(Logger& logger, int pipeWireFd,
                                                         std::uint32_t node,
                                                         const StreamConfiguration& configuration,
                                                         std::function<void(std::string)> didStop) {
  return std::make_unique<PipeWireDisplayStream>(logger, pipeWireFd, node, configuration,
                                                 std::move(didStop));
}

} // namespace vidorel
