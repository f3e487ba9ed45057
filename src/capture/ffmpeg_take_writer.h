#pragma once

#include "capture/ffmpeg_take_encoders.h"
#include "capture/take_writer.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vidorel {

// Every take is written the same way, so that takes of one session can be
// joined by copying packets: the encoders of ffmpeg_take_encoders.h, into a
// QuickTime (.mov) file, video track first, then audio. The file is a
// fragmented movie while the take records (a fragment cut and synced about
// once a second, so a crash loses at most the last one) and is rewritten
// into a plain movie with its index first when the take ends normally.
// The video runs at a constant 60 frames a second: each new picture goes on
// the nearest free tick of a 1/60 s grid, and every tick the screen did not
// change repeats the last picture as a skip frame written straight into the
// stream (h264_skip_frame.h), so editors that need a constant rate read
// takes as they are and a still screen costs no encoder time. A new picture
// a second or more after the last key frame is forced to be one. The
// microphone's sound is converted with libswresample.

// Knobs for the benchmark and the tests only; takes always use the defaults.
struct TakeEncoderSettings {
  std::string preset = kTakePreset;
  int threads = kTakeThreads;
  // Frames waiting for the encoder; when full, the input is "not ready".
  // Beyond two frames the queue is bounded by their size as well: four 4K
  // pictures are 50 MB that buy no smoothness the capture's own buffering
  // does not already give.
  int maxQueuedFrames = 4;
  std::size_t maxQueuedVideoBytes = 16u << 20;
  // Empty: chosen by the take's size (takeRateControlFor).
  std::optional<TakeRateControl> rateControl;
  // Microphone buffers (about 10 ms each) waiting for the encoder: the
  // bound matters only when the encoder thread stalls for seconds.
  int maxQueuedAudio = 256;
  // A key frame at least once per second of new pictures.
  bool keyFramePerSecond = true;
  // Off only to write takes as versions before stitchable headers did.
  bool stitchableHeaders = true;
  // A take that ends normally becomes a plain movie.
  bool rewriteAsPlainMovie = true;
  // Off: frames at the times they arrived, as versions before the constant
  // rate wrote takes.
  bool constantRate = true;
  // Off: ticks without a new picture are encoded again by the encoder (what
  // the writer falls back to for a stream skip frames cannot be added to).
  bool skipFrames = true;
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
