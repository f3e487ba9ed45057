#pragma once

// Evening out the loudness of a movie's scenes: one constant gain per
// scene towards a target integrated loudness (EBU R128), and a limiter
// that keeps the true peak of the joined sound under a ceiling.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace vidorel {

inline constexpr double kTargetLoudness = -16.0; // LUFS
inline constexpr double kSilentLoudness = -50.0; // LUFS: quieter is left alone
inline constexpr double kTruePeakCeiling = -1.0; // dBTP
// The limiter aims this far under the ceiling: the AAC encoder's
// quantisation noise lifts peaks by a fraction of a decibel.
inline constexpr double kEncoderHeadroom = 0.7; // dB

// The linear gain that brings a scene measured at `integrated` LUFS to the
// target; 1 for a scene quieter than kSilentLoudness (silence, no sound)
// or one too short to measure (not finite).
double sceneGain(double integrated);

// A look-ahead limiter on the true peak (4x oversampled), for planar
// float sound. The gain falls smoothly over the look-ahead before a peak
// and recovers over the release time, so it never clips and never pumps
// on sound that stays under the ceiling, where it leaves samples as they
// are. Output lags input by latency() frames.
class TruePeakLimiter {
public:
  TruePeakLimiter(int channels, int sampleRate, double ceilingDb);

  std::size_t latency() const { return kDelay + lookahead_ - 1; }

  // Takes count frames from in (one pointer per channel) and appends the
  // frames it has finished to out (one vector per channel).
  void process(const std::vector<const float*>& in, std::size_t count,
               std::vector<std::vector<float>>& out);
  // Appends the frames still held back.
  void finish(std::vector<std::vector<float>>& out);

private:
  // Filter taps of the 4x interpolator, 12 per phase; an interpolated value
  // lies kDelay frames behind the newest input.
  static constexpr int kTapsPerPhase = 12;
  static constexpr std::size_t kDelay = kTapsPerPhase / 2;

  void push(const float* frame, std::vector<std::vector<float>>& out);

  int channels_;
  double ceiling_;
  std::size_t lookahead_;
  double release_;
  std::vector<double> taps_; // [phase * kTapsPerPhase + j]
  // A sample under this cannot make an interpolated value reach the
  // ceiling; while the last kTapsPerPhase frames hold none above it the
  // interpolator is not run.
  double quiet_;
  std::int64_t lastLoud_ = -1000;
  double previousPeak_ = 0;              // of the interval before the newest
  std::vector<std::deque<float>> input_; // per channel, the frames not yet out
  std::int64_t pushed_ = 0;              // frames taken
  std::int64_t emitted_ = 0;             // frames given out
  // Required gains not yet past the look-ahead, with their frame numbers,
  // increasing in gain (a sliding minimum).
  std::deque<std::pair<std::int64_t, double>> required_;
  double held_ = 1.0;         // the released minimum
  std::deque<double> window_; // the last lookahead_ released gains
  double windowSum_ = 0;
};

} // namespace vidorel
