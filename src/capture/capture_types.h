#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace vidorel {

// Nanoseconds on CLOCK_MONOTONIC: the one clock that stamps both screen
// frames and microphone buffers, so the writer can line them up.
using CaptureTime = std::int64_t;

// Whether the screen changed since the previous frame. Only complete frames
// are written; the others exist so the source can report that it is alive.
enum class FrameStatus { complete, idle, blank, suspended };

// How a frame's bytes are laid out. bgra: 32-bit pixels, bytes B, G, R, X
// in memory, `stride` bytes a row. i420: BT.709 limited-range planes packed
// one after the other, luma `stride` (= width) bytes a row, then the two
// chroma planes of (width + 1) / 2 by (height + 1) / 2 samples. A source
// that converts while it grabs hands on a buffer less than half the size.
enum class PixelLayout { bgra, i420 };

inline std::size_t i420ChromaSize(int width, int height) {
  return static_cast<std::size_t>((width + 1) / 2) * ((height + 1) / 2);
}

inline std::size_t i420Size(int width, int height) {
  return static_cast<std::size_t>(width) * height + 2 * i420ChromaSize(width, height);
}

// One screen frame.
struct VideoFrame {
  std::shared_ptr<const std::vector<std::uint8_t>> pixels;
  PixelLayout layout = PixelLayout::bgra;
  int width = 0;
  int height = 0;
  int stride = 0;
  CaptureTime timestamp = 0;
  // Empty when the source could not tell (such frames are ignored).
  std::optional<FrameStatus> status;

  bool isValid() const {
    if (!pixels || width <= 0 || height <= 0)
      return false;
    if (layout == PixelLayout::i420)
      return stride == width && pixels->size() >= i420Size(width, height);
    return stride >= width * 4 && pixels->size() >= static_cast<std::size_t>(stride) * height;
  }
};

enum class SampleFormat { s16, f32 };

// One microphone buffer in the device's own format, interleaved.
struct AudioBuffer {
  std::vector<std::uint8_t> data;
  SampleFormat format = SampleFormat::s16;
  int sampleRate = 48000;
  int channels = 2;
  // Capture time of the first sample in the buffer.
  CaptureTime timestamp = 0;

  int bytesPerFrame() const { return channels * (format == SampleFormat::s16 ? 2 : 4); }
  int frameCount() const {
    int perFrame = bytesPerFrame();
    return perFrame > 0 ? static_cast<int>(data.size() / perFrame) : 0;
  }
};

} // namespace vidorel
