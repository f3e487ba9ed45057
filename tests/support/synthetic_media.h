#pragma once

// Pictures and sound made up for takes in tests and benchmarks: every
// picture differs from the one before, so the encoder has work and a
// reader can tell frames apart; the sound is a tone, or noise in which no
// two stretches are alike, so it can be matched to its source time.

#include "capture/capture_types.h"

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace vidorel::testing {

// Diagonal bars that move with the index, over a gradient.
inline VideoFrame syntheticFrame(int width, int height, int index, CaptureTime time) {
  auto pixels =
      std::make_shared<std::vector<std::uint8_t>>(static_cast<size_t>(width) * height * 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = pixels->data() + (static_cast<size_t>(y) * width + x) * 4;
      bool bar = ((x + index * 24) / 20 + y / 30) % 2 == 0;
      p[0] = static_cast<std::uint8_t>(bar ? 220 : 40 + index * 20);
      p[1] = static_cast<std::uint8_t>(y + index * 10);
      p[2] = static_cast<std::uint8_t>(x / 2);
      p[3] = 0;
    }
  }
  VideoFrame frame;
  frame.pixels = pixels;
  frame.width = width;
  frame.height = height;
  frame.stride = width * 4;
  frame.timestamp = time;
  frame.status = FrameStatus::complete;
  return frame;
}

// 10 ms of interleaved sound from `time` on: a tone of `hz` at the given
// level, or, with hz 0, noise from `noiseState` (which moves on); float
// samples, or 16-bit ones as most microphones give.
inline AudioBuffer syntheticSound(CaptureTime time, double hz, unsigned* noiseState = nullptr,
                                  int rate = 48000, int channels = 2, double level = 0.3,
                                  SampleFormat format = SampleFormat::f32) {
  AudioBuffer buffer;
  buffer.format = format;
  buffer.sampleRate = rate;
  buffer.channels = channels;
  buffer.timestamp = time;
  int frames = rate / 100;
  std::vector<float> samples(static_cast<size_t>(frames) * channels);
  double start = static_cast<double>(time) / 1e9;
  float previous = 0;
  for (int i = 0; i < frames; ++i) {
    float value = 0;
    if (hz > 0) {
      value = static_cast<float>(level * std::sin(2 * M_PI * hz * (start + double(i) / rate)));
    } else if (noiseState) {
      *noiseState = *noiseState * 1103515245 + 12345;
      float white = static_cast<float>(((*noiseState >> 16) & 0x3fff) - 0x2000) / 0x2000;
      previous = (previous + white * static_cast<float>(level)) / 2;
      value = previous;
    }
    for (int c = 0; c < channels; ++c)
      samples[static_cast<size_t>(i) * channels + c] = value;
  }
  if (format == SampleFormat::s16) {
    std::vector<std::int16_t> shorts(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
      shorts[i] = static_cast<std::int16_t>(std::lround(samples[i] * 32767));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(shorts.data());
    buffer.data.assign(bytes, bytes + shorts.size() * sizeof(std::int16_t));
    return buffer;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
  buffer.data.assign(bytes, bytes + samples.size() * sizeof(float));
  return buffer;
}

} // namespace vidorel::testing
