#include "capture/x11_screen_source.h"

#include "capture/bgra_to_i420.h"
#include "capture/capture_error.h"
#include "capture/ffmpeg_take_writer.h"
#include "capture/pulse_audio_source.h"
#include "capture/x11_display_stream.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <thread>

namespace vidorel {

namespace {

CaptureTime monotonicNow() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<CaptureTime>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

} // namespace

void X11DisplayStream::connect() {
  int screenNumber = 0;
  connection_ = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection_)) {
    disconnect();
    throw CaptureFailure(RecorderError::noDisplay);
  }
  screen_ = screenOf(connection_, screenNumber);
  if (!screen_) {
    disconnect();
    throw CaptureFailure(RecorderError::noDisplay);
  }
  // A display that is gone or changed since the content was listed is
  // clipped to the screen.
  Rect bounds =
      Rect{display_.x, display_.y, configuration_.width, configuration_.height}.intersected(
          Rect{0, 0, screen_->width_in_pixels, screen_->height_in_pixels});
  if (bounds.empty()) {
    disconnect();
    throw CaptureFailure(RecorderError::noDisplay);
  }
  display_.x = bounds.x;
  display_.y = bounds.y;
  configuration_.width = bounds.width;
  configuration_.height = bounds.height;
  outWidth_ = configuration_.outputWidth > 0 ? configuration_.outputWidth : configuration_.width;
  outHeight_ =
      configuration_.outputHeight > 0 ? configuration_.outputHeight : configuration_.height;

  const xcb_query_extension_reply_t* shm = xcb_get_extension_data(connection_, &xcb_shm_id);
  if (shm && shm->present) {
    sharedSize_ = static_cast<std::size_t>(configuration_.width) * configuration_.height * 4;
    int id = shmget(IPC_PRIVATE, sharedSize_, IPC_CREAT | 0600);
    if (id >= 0) {
      void* address = shmat(id, nullptr, 0);
      if (address != reinterpret_cast<void*>(-1)) {
        segment_ = xcb_generate_id(connection_);
        xcb_generic_error_t* error =
            xcb_request_check(connection_, xcb_shm_attach_checked(connection_, segment_, id, 0));
        if (error) {
          std::free(error);
          shmdt(address);
          segment_ = 0;
        } else {
          shared_ = static_cast<std::uint8_t*>(address);
        }
      }
      // Freed by the system once both sides have detached.
      shmctl(id, IPC_RMID, nullptr);
    }
  }

  const xcb_query_extension_reply_t* damage = xcb_get_extension_data(connection_, &xcb_damage_id);
  if (damage && damage->present) {
    Reply<xcb_damage_query_version_reply_t> version(xcb_damage_query_version_reply(
        connection_, xcb_damage_query_version(connection_, 1, 1), nullptr));
    if (version) {
      damage_ = xcb_generate_id(connection_);
      xcb_damage_create(connection_, damage_, screen_->root, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
      damageEvent_ = damage->first_event + XCB_DAMAGE_NOTIFY;
    }
  }

  const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(connection_, &xcb_xfixes_id);
  if (xfixes && xfixes->present) {
    Reply<xcb_xfixes_query_version_reply_t> version(xcb_xfixes_query_version_reply(
        connection_, xcb_xfixes_query_version(connection_, 4, 0), nullptr));
    xfixes_ = version != nullptr;
    // Where the screen changed, not only that it did: only those rows are
    // grabbed and converted again.
    if (xfixes_ && damage_ && version->major_version >= 2) {
      damageRegion_ = xcb_generate_id(connection_);
      xcb_xfixes_create_region(connection_, damageRegion_, 0, nullptr);
    }
  }

  const xcb_query_extension_reply_t* composite =
      xcb_get_extension_data(connection_, &xcb_composite_id);
  if (composite && composite->present) {
    Reply<xcb_composite_query_version_reply_t> version(xcb_composite_query_version_reply(
        connection_, xcb_composite_query_version(connection_, 0, 4), nullptr));
    if (version && (version->major_version > 0 || version->minor_version >= 2)) {
      // Automatic redirection keeps the screen as it is and gives every
      // top-level window a pixmap that holds it whole, also where our own
      // windows cover it.
      xcb_composite_redirect_subwindows(connection_, screen_->root,
                                        XCB_COMPOSITE_REDIRECT_AUTOMATIC);
      composite_ = true;
    }
  }

  pidAtom_ = internAtom("_NET_WM_PID");
  rootPixmapAtoms_[0] = internAtom("_XROOTPMAP_ID");
  rootPixmapAtoms_[1] = internAtom("ESETROOT_PMAP_ID");
  xcb_flush(connection_);
}

xcb_atom_t X11DisplayStream::internAtom(const char* name) {
  Reply<xcb_intern_atom_reply_t> atom(xcb_intern_atom_reply(
      connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr));
  return atom ? atom->atom : XCB_NONE;
}

void X11DisplayStream::disconnect() {
  if (!connection_)
    return;
  if (!xcb_connection_has_error(connection_)) {
    if (backgroundWindow_ != XCB_NONE)
      xcb_destroy_window(connection_, backgroundWindow_);
    backgroundWindow_ = XCB_NONE;
    if (composite_)
      xcb_composite_unredirect_subwindows(connection_, screen_->root,
                                          XCB_COMPOSITE_REDIRECT_AUTOMATIC);
    if (damageRegion_)
      xcb_xfixes_destroy_region(connection_, damageRegion_);
    if (damage_)
      xcb_damage_destroy(connection_, damage_);
    if (segment_)
      xcb_shm_detach(connection_, segment_);
    xcb_flush(connection_);
  }
  if (shared_)
    shmdt(shared_);
  shared_ = nullptr;
  xcb_disconnect(connection_);
  connection_ = nullptr;
}

void X11DisplayStream::startCapture(Output output) {
  if (thread_.joinable())
    return;
  if (!connection_)
    connect();
  output_ = std::move(output);
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void X11DisplayStream::stopCapture() {
  if (!thread_.joinable())
    return;
  stopping_ = true;
  thread_.join();
}

std::shared_ptr<std::vector<std::uint8_t>> X11DisplayStream::takeBuffer() {
  std::size_t size = i420Size(outWidth_, outHeight_);
  // A buffer that nobody else holds any more (the encoder is done with it)
  // is used again: memory stays flat however long the take.
  for (auto& buffer : pool_)
    if (buffer.use_count() == 1 && buffer->size() == size)
      return buffer;
  auto buffer = std::make_shared<std::vector<std::uint8_t>>(size);
  if (pool_.size() < 12)
    pool_.push_back(buffer);
  return buffer;
}

// The screen as it is now, 32-bit pixels a row of the display's width
// apart, in memory that is ours until the next grab (our windows are
// painted over and the pointer drawn into it there); null when the server
// refused. Through shared memory only the rows that the given bands of the
// delivered picture are made from are fetched; the others keep what the
// last grab left.
std::uint8_t* X11DisplayStream::grab(const std::vector<RowSpan>& bands) {
  int width = configuration_.width;
  int height = configuration_.height;
  std::size_t size = static_cast<std::size_t>(width) * height * 4;
  if (shared_) {
    std::vector<xcb_shm_get_image_cookie_t> cookies;
    for (const RowSpan& band : bands) {
      RowSpan rows = sourceRowsOf(height, outHeight_, band.first, band.end);
      cookies.push_back(xcb_shm_get_image(connection_, screen_->root, display_.x,
                                          display_.y + rows.first, width, rows.end - rows.first,
                                          ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_,
                                          static_cast<std::uint32_t>(rows.first) * width * 4));
    }
    bool complete = true;
    for (xcb_shm_get_image_cookie_t cookie : cookies) {
      Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(connection_, cookie, nullptr));
      complete = complete && reply != nullptr;
    }
    return complete ? shared_ : nullptr;
  }
  Reply<xcb_get_image_reply_t> reply(
      xcb_get_image_reply(connection_,
                          xcb_get_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, screen_->root,
                                        display_.x, display_.y, width, height, ~0u),
                          nullptr));
  if (!reply)
    return nullptr;
  unshared_.resize(size);
  std::size_t length = static_cast<std::size_t>(xcb_get_image_data_length(reply.get()));
  std::memcpy(unshared_.data(), xcb_get_image_data(reply.get()), std::min(length, size));
  return unshared_.data();
}

// Asks for the parts of the screen changed since the last call; nothing
// when the server cannot tell where.
std::optional<xcb_xfixes_fetch_region_cookie_t> X11DisplayStream::askDamage() {
  if (!damage_)
    return std::nullopt;
  if (!damageRegion_) {
    xcb_damage_subtract(connection_, damage_, XCB_NONE, XCB_NONE);
    return std::nullopt;
  }
  xcb_damage_subtract(connection_, damage_, XCB_NONE, damageRegion_);
  return xcb_xfixes_fetch_region(connection_, damageRegion_);
}

// The changed parts asked for, in screen coordinates.
std::optional<std::vector<Rect>>
X11DisplayStream::readDamage(std::optional<xcb_xfixes_fetch_region_cookie_t> cookie) {
  if (!cookie)
    return std::nullopt;
  Reply<xcb_xfixes_fetch_region_reply_t> region(
      xcb_xfixes_fetch_region_reply(connection_, *cookie, nullptr));
  if (!region)
    return std::nullopt;
  const xcb_rectangle_t* parts = xcb_xfixes_fetch_region_rectangles(region.get());
  int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
  std::vector<Rect> areas;
  for (int i = 0; i < count; ++i)
    areas.push_back({parts[i].x, parts[i].y, parts[i].width, parts[i].height});
  return areas;
}

// The bands of rows of the delivered picture that the given screen areas
// touch, whole chroma rows each, in order and merged.
std::vector<RowSpan> X11DisplayStream::changedBands(const std::vector<Rect>& areas) const {
  // Bands this close are fetched as one: a request costs more than the rows.
  constexpr int kMergeGap = 16;
  Rect bounds{display_.x, display_.y, configuration_.width, configuration_.height};
  std::vector<RowSpan> bands;
  for (const Rect& area : areas) {
    Rect part = area.intersected(bounds);
    if (part.empty())
      continue;
    long top = part.y - display_.y;
    long bottom = top + part.height;
    int first = static_cast<int>(top * outHeight_ / configuration_.height) & ~1;
    int end =
        static_cast<int>((bottom * outHeight_ + configuration_.height - 1) / configuration_.height);
    bands.push_back({first, std::min((end + 1) & ~1, outHeight_)});
  }
  std::sort(bands.begin(), bands.end(),
            [](const RowSpan& a, const RowSpan& b) { return a.first < b.first; });
  std::vector<RowSpan> merged;
  for (const RowSpan& band : bands) {
    if (!merged.empty() && band.first <= merged.back().end + kMergeGap)
      merged.back().end = std::max(merged.back().end, band.end);
    else
      merged.push_back(band);
  }
  return merged;
}

// Grabs and converts what changed into a new picture that shares the rest
// with the last one. False when nothing of this display changed or the
// server refused the grab.
bool X11DisplayStream::grabChanged(VideoFrame& frame, bool& cursorChanged) {
  // Asked at once and read after the window list: each answer waited for
  // in turn costs a round trip to a server that is busy drawing.
  std::optional<xcb_xfixes_fetch_region_cookie_t> damageCookie = askDamage();
  std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorCookie;
  if (xfixes_)
    cursorCookie = xcb_xfixes_get_cursor_image(connection_);
  std::vector<TopLevel> windows = topLevels();
  std::vector<Rect> own = ownAreas(windows);
  std::optional<std::vector<Rect>> damaged = readDamage(damageCookie);
  CursorImage cursor = readCursor(cursorCookie, cursorChanged);
  std::optional<Rect> pointer =
      configuration_.showsCursor ? cursorArea(cursor) : std::optional<Rect>();
  bool whole = !damaged || !lastPixels_ || !shared_;
  std::vector<RowSpan> bands;
  if (whole) {
    bands.push_back({0, outHeight_});
  } else {
    std::vector<Rect> areas = std::move(*damaged);
    areas.insert(areas.end(), own.begin(), own.end());
    areas.insert(areas.end(), lastDrawnAreas_.begin(), lastDrawnAreas_.end());
    if (pointer)
      areas.push_back(*pointer);
    bands = changedBands(areas);
    if (bands.empty())
      return false;
    whole = bands.front().first == 0 && bands.front().end == outHeight_;
  }
  frame.timestamp = monotonicNow();
  std::uint8_t* image = grab(bands);
  if (!image)
    return false;
  if (!own.empty())
    leaveOutOwnWindows(image, windows);
  if (pointer)
    drawCursor(image, cursor);
  lastDrawnAreas_ = std::move(own);
  if (pointer)
    lastDrawnAreas_.push_back(*pointer);

  // Converted here rather than in the encoder: this thread would otherwise
  // wait for the next tick while the encoder converts and codes in turn,
  // and a queued frame takes less than half the memory.
  std::shared_ptr<std::vector<std::uint8_t>> buffer = takeBuffer();
  if (!whole)
    std::memcpy(buffer->data(), lastPixels_->data(), buffer->size());
  std::uint8_t* y = buffer->data();
  std::uint8_t* u = y + static_cast<std::size_t>(outWidth_) * outHeight_;
  std::uint8_t* v = u + i420ChromaSize(outWidth_, outHeight_);
  int chromaStride = (outWidth_ + 1) / 2;
  BgraPicture picture{image, configuration_.width * 4, configuration_.width, configuration_.height};
  I420Planes planes{y, outWidth_, u, chromaStride, v, chromaStride};
  // More than a 1080p picture's worth of source is converted in two
  // halves at once: grabbing and converting a whole 4K screen one after
  // the other takes longer than a frame.
  constexpr long kSplitPixels = 1920L * 1080 * 2;
  for (const RowSpan& band : bands) {
    long sourcePixels = static_cast<long>(band.end - band.first) * configuration_.width *
                        configuration_.height / outHeight_;
    if (sourcePixels < kSplitPixels) {
      convertBgraToI420Scaled(picture, planes, outWidth_, outHeight_, band.first, band.end);
      continue;
    }
    int middle = (band.first + (band.end - band.first) / 2) & ~1;
    std::thread lower(
        [&] { convertBgraToI420Scaled(picture, planes, outWidth_, outHeight_, middle, band.end); });
    convertBgraToI420Scaled(picture, planes, outWidth_, outHeight_, band.first, middle);
    lower.join();
  }
  frame.pixels = buffer;
  frame.status = FrameStatus::complete;
  lastPixels_ = std::move(buffer);
  return true;
}

X11DisplayStream::CursorImage X11DisplayStream::fetchCursor(bool& changed) {
  changed = false;
  if (!xfixes_)
    return nullptr;
  return readCursor(xcb_xfixes_get_cursor_image(connection_), changed);
}

X11DisplayStream::CursorImage
X11DisplayStream::readCursor(std::optional<xcb_xfixes_get_cursor_image_cookie_t> cookie,
                             bool& changed) {
  changed = false;
  if (!cookie)
    return nullptr;
  CursorImage cursor(xcb_xfixes_get_cursor_image_reply(connection_, *cookie, nullptr));
  if (!cursor)
    return nullptr;
  changed =
      cursor->cursor_serial != cursorSerial_ || cursor->x != cursorX_ || cursor->y != cursorY_;
  cursorSerial_ = cursor->cursor_serial;
  cursorX_ = cursor->x;
  cursorY_ = cursor->y;
  return cursor;
}

// Where the pointer is drawn on this display, in screen coordinates.
std::optional<Rect> X11DisplayStream::cursorArea(const CursorImage& cursor) const {
  if (!cursor)
    return std::nullopt;
  Rect area =
      Rect{cursor->x - cursor->xhot, cursor->y - cursor->yhot, cursor->width, cursor->height}
          .intersected({display_.x, display_.y, configuration_.width, configuration_.height});
  if (area.empty())
    return std::nullopt;
  return area;
}

// Draws the pointer into the grabbed picture, at the screen's size: a
// scaled take shows it scaled with everything else.
void X11DisplayStream::drawCursor(std::uint8_t* frame, const CursorImage& cursor) {
  const std::uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(cursor.get());
  int left = cursor->x - cursor->xhot - display_.x;
  int top = cursor->y - cursor->yhot - display_.y;
  int stride = configuration_.width * 4;
  for (int row = 0; row < cursor->height; ++row) {
    int y = top + row;
    if (y < 0 || y >= configuration_.height)
      continue;
    for (int column = 0; column < cursor->width; ++column) {
      int x = left + column;
      if (x < 0 || x >= configuration_.width)
        continue;
      // Premultiplied ARGB.
      std::uint32_t argb = pixels[row * cursor->width + column];
      std::uint32_t alpha = argb >> 24;
      if (alpha == 0)
        continue;
      std::uint8_t* target = frame + static_cast<std::size_t>(y) * stride + x * 4;
      std::uint32_t keep = 255 - alpha;
      target[0] = static_cast<std::uint8_t>((argb & 0xff) + target[0] * keep / 255);
      target[1] = static_cast<std::uint8_t>(((argb >> 8) & 0xff) + target[1] * keep / 255);
      target[2] = static_cast<std::uint8_t>(((argb >> 16) & 0xff) + target[2] * keep / 255);
    }
  }
}

void X11DisplayStream::run() {
  const std::int64_t interval = std::max<std::int64_t>(configuration_.minimumFrameInterval, 1);
  CaptureTime next = monotonicNow();
  // The first frame is always complete: it is the take's first picture.
  bool damaged = true;
  while (!stopping_) {
    xcb_generic_event_t* event;
    while ((event = xcb_poll_for_event(connection_)) != nullptr) {
      if (damage_ && (event->response_type & 0x7f) == damageEvent_)
        damaged = true;
      std::free(event);
    }
    if (xcb_connection_has_error(connection_)) {
      if (didStop_)
        didStop_("The connection to the X server was lost.");
      return;
    }
    // Without DAMAGE every frame counts as changed.
    if (!damage_)
      damaged = true;

    bool cursorChanged = false;
    VideoFrame frame;
    frame.width = outWidth_;
    frame.height = outHeight_;
    frame.layout = PixelLayout::i420;
    frame.stride = outWidth_;
    bool grabbed = false;
    if (damaged || !lastPixels_) {
      grabbed = grabChanged(frame, cursorChanged);
      damaged = false;
    }
    if (!grabbed) {
      // A change elsewhere on the screen, or none: this display is as it was.
      if (!cursorChanged)
        fetchCursor(cursorChanged);
      frame.timestamp = monotonicNow();
      frame.pixels = lastPixels_;
      frame.status = FrameStatus::idle;
      if (cursorChanged && lastPixels_) {
        // The pointer moved over an unchanged screen: a new picture.
        damaged = true;
        continue;
      }
    }
    bool idle = frame.status == FrameStatus::idle;
    if (frame.pixels && output_)
      output_(std::move(frame));

    next += interval;
    CaptureTime now = monotonicNow();
    if (next < now - interval)
      next = now; // fell behind: do not try to catch up with a burst
    // After a tick without a change, the next change is grabbed as soon as
    // it is drawn (a whole interval has passed since the last grab by then)
    // and the ticks follow it. With ticks alone, a screen that changes at
    // the frame rate beats against them and two of its changes often fall
    // into one tick: about one frame in six was lost that way.
    if (idle && waitForDamage(next)) {
      damaged = true;
      next = monotonicNow();
      continue;
    }
    timespec until{static_cast<time_t>(next / 1'000'000'000),
                   static_cast<long>(next % 1'000'000'000)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
  }
}

// Waits until the time given or until the server reports a change of the
// screen, whichever comes first; true for a change.
bool X11DisplayStream::waitForDamage(CaptureTime until) {
  if (!damage_)
    return false;
  auto takeEvents = [this](xcb_generic_event_t* (*next)(xcb_connection_t*)) {
    bool changed = false;
    while (xcb_generic_event_t* event = next(connection_)) {
      if ((event->response_type & 0x7f) == damageEvent_)
        changed = true;
      std::free(event);
    }
    return changed;
  };
  // Replies read since the loop's last look may have brought events along.
  if (takeEvents(xcb_poll_for_queued_event))
    return true;
  xcb_flush(connection_);
  pollfd descriptor{xcb_get_file_descriptor(connection_), POLLIN, 0};
  for (;;) {
    CaptureTime now = monotonicNow();
    if (now >= until || stopping_)
      return false;
    int milliseconds = static_cast<int>((until - now + 999'999) / 1'000'000);
    int ready = ::poll(&descriptor, 1, milliseconds);
    if (ready < 0 && errno != EINTR)
      return false;
    if (ready > 0 && takeEvents(xcb_poll_for_event))
      return true;
    if (xcb_connection_has_error(connection_))
      return false;
  }
}

std::unique_ptr<DisplayStream> makeX11DisplayStream(const DisplayInfo& display,
                                                    const StreamConfiguration& configuration,
                                                    std::function<void(std::string)> didStop) {
  return std::make_unique<X11DisplayStream>(display, configuration, std::move(didStop));
}

X11CaptureBackend::X11CaptureBackend(Logger& logger, DurationProbe& probe)
    : logger_(logger), probe_(probe) {}

ShareableContent X11CaptureBackend::shareableContent() {
  return x11ShareableContent();
}

std::unique_ptr<DisplayStream>
X11CaptureBackend::makeStream(const DisplayInfo& display, const StreamConfiguration& configuration,
                              std::function<void(std::string)> didStopWithError) {
  return makeX11DisplayStream(display, configuration, std::move(didStopWithError));
}

std::unique_ptr<MicrophoneSession> X11CaptureBackend::makeMicrophoneSession() {
  return makePulseMicrophoneSession();
}

std::unique_ptr<TakeWriter> X11CaptureBackend::makeTakeWriter(const std::filesystem::path& url,
                                                              int width, int height) {
  return makeFfmpegTakeWriter(url, width, height, probe_, logger_);
}

} // namespace vidorel
