#pragma once

#include "base/log.h"
#include "capture/audio_timeline.h"
#include "capture/capture_types.h"
#include "store/duration_probe.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace vidorel {

// Numbered like the movie writers of other systems so the "finish:" log line
// reads the same everywhere.
enum class WriterStatus { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };

// The encoding and muxing half of a take writer. It owns the file; the
// TakeWriter above it owns the timeline and every drop rule. Calls come from
// the sample queue only; an encoder encodes on its own thread and answers
// "not ready" instead of queueing without bound.
class TakeEncoder {
public:
  using FailureHandler = std::function<void(std::string description)>;

  virtual ~TakeEncoder() = default;
  // Called at most once, from the encoder's own thread, when writing fails
  // while the take records (disk full, I/O error). Set before
  // startWriting().
  virtual void setFailureHandler(FailureHandler handler) = 0;
  // Creates the file and writes its header. False (and status failed) when
  // the file cannot be written.
  virtual bool startWriting() = 0;
  virtual WriterStatus status() const = 0;
  // Empty while no error has happened.
  virtual std::string errorDescription() const = 0;
  virtual bool isReadyForVideo() const = 0;
  virtual bool isReadyForAudio() const = 0;
  // time: nanoseconds since the first frame.
  virtual void appendVideo(const VideoFrame& frame, std::int64_t time) = 0;
  // The buffer's first sample, after cutting skip samples (48 kHz), belongs
  // at position on the 48 kHz audio timeline; anything between the end of
  // the previous buffer and position is silence.
  virtual void appendAudio(const AudioBuffer& buffer, std::int64_t position, std::int64_t skip) = 0;
  // The screen still shows the last picture at time (nanoseconds since the
  // first frame): the frames up to then repeat it and can reach the disk.
  virtual void repeatVideo(std::int64_t time) = 0;
  // Makes everything handed over so far durable now (the take pauses).
  virtual void flush() = 0;
  // Encodes what is queued and closes the file. endTime (nanoseconds since
  // the first frame) is where the last sample of the take ends. Called
  // once, also after a failure (the file keeps what was written) and
  // without startWriting() (the file created for the take is removed).
  virtual void finishWriting(std::int64_t endTime) = 0;
};

// Why samples were not written; logged when the take finishes.
struct WriterCounts {
  std::int64_t videoWritten = 0;
  // Pictures of an unchanged screen written again (see repeatVideo).
  std::int64_t videoRepeated = 0;
  std::int64_t videoNotReady = 0;
  std::int64_t videoPaused = 0;
  std::int64_t audioWritten = 0;
  std::int64_t audioBeforeFirstFrame = 0;
  std::int64_t audioNotReady = 0;
  std::int64_t audioPaused = 0;

  std::int64_t videoDropped() const { return videoNotReady + videoPaused; }
};

// Turns the frames and microphone buffers of one take into one movie file.
// The file's timeline is the capture clock from the first video frame;
// pausing only drops samples, so a pause stays in the timeline as a stretch
// without new frames (and silence in the audio track) and counts in the
// duration. Used on the sample queue, except finish(), which the recorder
// calls after draining that queue.
//
// A crash must not take the written part of a take with it, so the encoder
// makes what it has written durable about once a second. The frames of an
// unchanged screen are only written when the writer hears of them: while
// the screen stays unchanged it tells the encoder so every
// kStillRepeatInterval, and once more when the take pauses.
class TakeWriter {
public:
  static constexpr CaptureTime kStillRepeatInterval = 500'000'000;

  // encoder may be null only in tests of the drop rules.
  TakeWriter(std::filesystem::path outputURL, std::unique_ptr<TakeEncoder> encoder,
             DurationProbe& probe, Logger& logger);
  ~TakeWriter();
  TakeWriter(const TakeWriter&) = delete;
  TakeWriter& operator=(const TakeWriter&) = delete;

  const std::filesystem::path& outputURL() const { return outputURL_; }

  void appendVideo(const VideoFrame& frame);
  void appendAudio(const AudioBuffer& buffer);
  // The stream delivered a frame at time that is not written because the
  // screen did not change. The take still lasts until then: a still screen
  // at the end of a take is part of it, even when the microphone's last
  // buffers are late or missing.
  void noteUnchangedFrame(CaptureTime time);

  bool isPaused() const { return isPaused_; }
  void setPaused(bool paused);
  bool sessionStarted() const { return sessionStarted_; }
  // See TakeEncoder::setFailureHandler; set before the first frame.
  void setFailureHandler(TakeEncoder::FailureHandler handler);

  // Finishes the file and returns its duration read back from disk (0 when
  // there is no readable file). Blocks while the encoder catches up.
  double finish();

  const WriterCounts& counts() const { return counts_; }
  const AudioTimeline& audioTimeline() const { return audioTimeline_; }

private:
  WriterStatus status() const;
  std::string errorText() const;

  std::filesystem::path outputURL_;
  std::unique_ptr<TakeEncoder> encoder_;
  DurationProbe& probe_;
  Logger& logger_;
  bool isPaused_ = false;
  bool sessionStarted_ = false;
  bool encoderFinished_ = false;
  CaptureTime origin_ = 0;
  CaptureTime lastSampleEnd_ = 0;
  // Capture time of the last picture handed to the encoder, new or repeated,
  // and of the last frame the stream delivered, changed or not.
  CaptureTime lastVideoWritten_ = 0;
  CaptureTime lastFrameSeen_ = 0;
  AudioTimeline audioTimeline_;
  WriterCounts counts_;
};

} // namespace vidorel
