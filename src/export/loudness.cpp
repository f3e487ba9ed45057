#include "export/loudness.h"

#include <algorithm>
#include <cmath>

namespace vidorel {

namespace {

constexpr int kPhases = 4;
constexpr double kLookaheadSeconds = 0.005;
constexpr double kReleaseSeconds = 0.08;

double fromDecibels(double decibels) {
  return std::pow(10.0, decibels / 20.0);
}

} // namespace

double sceneGain(double integrated) {
  if (!std::isfinite(integrated) || integrated < kSilentLoudness)
    return 1.0;
  return fromDecibels(kTargetLoudness - integrated);
}

TruePeakLimiter::TruePeakLimiter(int channels, int sampleRate, double ceilingDb)
    : channels_(channels), ceiling_(fromDecibels(ceilingDb)),
      lookahead_(std::max<std::size_t>(
          1, static_cast<std::size_t>(std::lround(kLookaheadSeconds * sampleRate)))),
      release_(1.0 - std::exp(-1.0 / (kReleaseSeconds * sampleRate))),
      input_(static_cast<std::size_t>(channels)) {
  // Hann-windowed sinc: tap j of phase p weighs frame n - j for the value
  // p/4 of the way from frame n - kDelay to the next.
  const double half = kTapsPerPhase / 2.0;
  double widest = 0;
  for (int phase = 0; phase < kPhases; ++phase) {
    double sum = 0;
    std::vector<double> taps;
    for (int j = 0; j < kTapsPerPhase; ++j) {
      double t = j - half + static_cast<double>(phase) / kPhases;
      double sinc = t == 0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t);
      double window = std::abs(t) < half ? 0.5 * (1 + std::cos(M_PI * t / half)) : 0.0;
      taps.push_back(sinc * window);
      sum += taps.back();
    }
    double absolute = 0;
    for (double& tap : taps) {
      tap /= sum;
      absolute += std::abs(tap);
    }
    widest = std::max(widest, absolute);
    taps_.insert(taps_.end(), taps.begin(), taps.end());
  }
  quiet_ = ceiling_ / widest;
}

void TruePeakLimiter::push(const float* frame, std::vector<std::vector<float>>& out) {
  bool loud = false;
  for (int c = 0; c < channels_; ++c) {
    input_[static_cast<std::size_t>(c)].push_back(frame[c]);
    loud = loud || std::abs(frame[c]) >= quiet_;
  }
  if (loud)
    lastLoud_ = pushed_;
  ++pushed_;

  // The peak of the interval from frame m to m + 1, m = newest - kDelay.
  std::int64_t m = pushed_ - 1 - static_cast<std::int64_t>(kDelay);
  double peak = 0;
  if (pushed_ - 1 - lastLoud_ < kTapsPerPhase) {
    for (const std::deque<float>& samples : input_) {
      std::size_t size = samples.size();
      for (int phase = 0; phase < kPhases; ++phase) {
        double value = 0;
        for (std::size_t j = 0; j < kTapsPerPhase && j < size; ++j)
          value +=
              samples[size - 1 - j] * taps_[static_cast<std::size_t>(phase) * kTapsPerPhase + j];
        peak = std::max(peak, std::abs(value));
      }
    }
  }
  double required = std::min(1.0, ceiling_ / std::max({peak, previousPeak_, 1e-9}));
  previousPeak_ = peak;
  if (m < 0)
    return;

  // The least gain any frame in the look-ahead needs, released slowly
  // towards 1, then averaged over the look-ahead: a frame's gain is then
  // never above what it needs, and changes gently.
  while (!required_.empty() && required_.back().second >= required)
    required_.pop_back();
  required_.emplace_back(m, required);
  std::int64_t k = m - static_cast<std::int64_t>(lookahead_) + 1;
  if (k < 0)
    return;
  while (required_.front().first < k)
    required_.pop_front();
  held_ = std::min(required_.front().second, held_ + (1.0 - held_) * release_);
  if (window_.empty()) {
    // Frames before the first count as needing what it needs.
    window_.assign(lookahead_ - 1, held_);
    windowSum_ = held_ * static_cast<double>(lookahead_ - 1);
  }
  window_.push_back(held_);
  windowSum_ += held_;
  if (window_.size() > lookahead_) {
    windowSum_ -= window_.front();
    window_.pop_front();
  }
  auto gain = static_cast<float>(std::min(1.0, windowSum_ / static_cast<double>(lookahead_)));
  for (int c = 0; c < channels_; ++c) {
    std::deque<float>& samples = input_[static_cast<std::size_t>(c)];
    out[static_cast<std::size_t>(c)].push_back(samples.front() * gain);
    samples.pop_front();
  }
  ++emitted_;
}

void TruePeakLimiter::process(const std::vector<const float*>& in, std::size_t count,
                              std::vector<std::vector<float>>& out) {
  out.resize(static_cast<std::size_t>(channels_));
  std::vector<float> frame(static_cast<std::size_t>(channels_));
  for (std::size_t i = 0; i < count; ++i) {
    for (int c = 0; c < channels_; ++c)
      frame[static_cast<std::size_t>(c)] = in[static_cast<std::size_t>(c)][i];
    push(frame.data(), out);
  }
}

void TruePeakLimiter::finish(std::vector<std::vector<float>>& out) {
  out.resize(static_cast<std::size_t>(channels_));
  std::vector<float> silence(static_cast<std::size_t>(channels_), 0.0f);
  std::int64_t taken = pushed_;
  while (emitted_ < taken)
    push(silence.data(), out);
  // What the silence pushed in behind stays unused.
  for (std::deque<float>& samples : input_)
    samples.clear();
}

} // namespace vidorel
