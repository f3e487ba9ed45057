#pragma once

#include "capture/ffmpeg_handles.h"

#include <cstdint>
#include <string>

namespace vidorel {

// The one place for the encoder settings every take is written with. An
// export re-encodes the frames around a cut with these same settings, so the
// re-encoded frames carry the take's parameter sets byte for byte and the
// movie keeps one sample description; the two must never drift apart.
//   video  H.264 (libx264), preset kTakePreset, tune zerolatency, profile
//          high, no B-frames (presentation order = decoding order), keyint
//          120 / min-keyint 12, forced key frames are IDR, yuv420p BT.709
//          limited range, global header (avcC), 60 frames/s nominal on a
//          1/90000 time base: same size => byte-identical parameter sets
//   audio  AAC (FFmpeg's native encoder) LC, 48 kHz, stereo, 128 kb/s, fltp
// Measured at 1920x1080 with content changing every frame on a 2-core
// machine: ultrafast wrote 48.6 frames/s (3.4 % dropped), superfast 38.8 to
// 42.7 (13 to 22 % dropped). Keeping up matters more than file size.
inline constexpr const char* kTakePreset = "ultrafast";
inline constexpr int kTakeThreads = 2;
inline constexpr AVRational kTakeVideoTimeBase = {1, 90000};
inline constexpr int kTakeAudioRate = 48000;
inline constexpr int kTakeAudioChannels = 2;

enum class TakeRateControl {
  // What takes are recorded with: rate factor 23.
  rateFactor,
  // The same rate factor, capped at quantiser 14 (x264 writes the cap into
  // no parameter set): re-encoded frames of takes whose parameter sets carry
  // the rate factor's initial quantiser.
  cappedRateFactor,
  // Quantiser 14, visually lossless for screen content, and a fifth faster
  // than the rate factor: re-encoded frames of takes with stitchable headers.
  constantQuantiser,
  // Quantiser 23: what takes larger than 1920x1080 are recorded with. At 4K
  // the rate factor's analysis is what stops the encoder keeping up on two
  // cores, and a fixed quantiser near the rate factor's looks the same on
  // screen content. The parameter sets stay those of the rate factor.
  largeScreenQuantiser,
};

// Takes of more pixels than this are recorded at largeScreenQuantiser.
inline constexpr int kLargeTakePixels = 1920 * 1080;
inline TakeRateControl takeRateControlFor(int width, int height) {
  return width * height > kLargeTakePixels ? TakeRateControl::largeScreenQuantiser
                                           : TakeRateControl::rateFactor;
}

struct TakeVideoEncoding {
  int width = 0;
  int height = 0;
  int threads = kTakeThreads;
  std::string preset = kTakePreset;
  TakeRateControl rateControl = TakeRateControl::rateFactor;
  // Parameter sets that do not depend on the rate control (the initial
  // quantiser is always 26), so any of the rate controls above gives the
  // same ones. Off only for takes as versions before them wrote.
  bool stitchableHeaders = true;
};

// Null when libx264 is missing or refuses the settings.
CodecPtr openTakeVideoEncoder(const TakeVideoEncoding& encoding);
// Null when the AAC encoder is missing. Takes are written at the bit rate
// given here; an export that encodes the whole sound anew at a higher one.
inline constexpr std::int64_t kTakeAudioBitRate = 128000;
CodecPtr openTakeAudioEncoder(std::int64_t bitRate = kTakeAudioBitRate);

} // namespace vidorel
