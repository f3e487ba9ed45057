#pragma once

#include "capture/take_writer.h"

#include <filesystem>
#include <memory>
#include <string>

namespace vidorel {

// Every take is encoded with the same fixed settings, so that takes of one
// session can be joined by copying packets:
//   container  QuickTime (.mov), video track first, then audio; written as a
//              fragmented movie (a fragment cut and synced about once a
//              second, so a crash loses at most the last one) and rewritten
//              into a plain movie with its index first when the take ends
//              normally
//   video      H.264 (libx264), preset kTakePreset, tune zerolatency, profile
//              high, CRF 23, stitchable headers (parameter sets that do
//              not depend on the rate control), no B-frames (presentation order = decoding
//              order), keyint 120 / min-keyint 12, and a new picture a second
//              or more after the last key frame forced to be IDR; threads
//              kTakeThreads
//              (sliced), yuv420p BT.709 limited range, global header (avcC):
//              same size => byte-identical parameter sets in every take;
//              variable frame rate on a 1/90000 time base
//   audio      AAC (FFmpeg's native encoder) LC, 48 kHz, stereo, 128 kb/s,
//              fltp, converted with libswresample from the microphone's format
// Measured at 1920x1080 with content changing every frame on a 2-core
// machine: ultrafast wrote 48.6 frames/s (3.4 % dropped), superfast 38.8 to
// 42.7 (13 to 22 % dropped). Keeping up matters more than file size.
inline constexpr const char* kTakePreset = "ultrafast";
inline constexpr int kTakeThreads = 2;

// Knobs for the benchmark and the tests only; takes always use the defaults.
struct TakeEncoderSettings {
  std::string preset = kTakePreset;
  int threads = kTakeThreads;
  // Frames waiting for the encoder; when full, the input is "not ready".
  int maxQueuedFrames = 4;
  // Microphone buffers (about 10 ms each) waiting for the encoder: the
  // bound matters only when the encoder thread stalls for seconds.
  int maxQueuedAudio = 256;
  // A key frame at least once per second of new pictures.
  bool keyFramePerSecond = true;
  // Off only to write takes as versions before stitchable headers did.
  bool stitchableHeaders = true;
  // A take that ends normally becomes a plain movie.
  bool rewriteAsPlainMovie = true;
};

// The FFmpeg encoder behind a TakeWriter. Throws CaptureFailure when the file
// cannot be created or the encoders cannot be opened.
std::unique_ptr<TakeEncoder> makeFfmpegTakeEncoder(const std::filesystem::path& outputURL,
                                                   int width, int height, Logger& logger,
                                                   const TakeEncoderSettings& settings = {});

// A complete writer for one take: the FFmpeg encoder and the libavformat
// duration probe. Throws CaptureFailure like makeFfmpegTakeEncoder.
std::unique_ptr<TakeWriter> makeFfmpegTakeWriter(const std::filesystem::path& outputURL, int width,
                                                 int height, DurationProbe& probe, Logger& logger);

} // namespace vidorel
