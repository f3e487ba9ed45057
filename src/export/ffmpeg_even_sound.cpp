// Even loudness: each segment's sound is decoded, measured over the
// segment (EBU R128 integrated loudness, libebur128) and given one gain;
// the joined sound passes a true-peak limiter and one AAC encoder, so it is
// encoded once and joins are seamless.

#include "export/ffmpeg_movie_joiner.h"

#include <ebur128.h>

#include <algorithm>

namespace vidorel::exporting {

namespace {

constexpr std::int64_t kEvenBitRate = 192000;
constexpr std::size_t kPlanes = kAudioChannels;

struct LoudnessMeterDeleter {
  void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};
using LoudnessMeterPtr = std::unique_ptr<ebur128_state, LoudnessMeterDeleter>;

// Integrated loudness in LUFS; minus infinity for silence or sound too
// short to measure, nothing when the meter cannot be made.
std::optional<double> integratedLoudness(const SoundPlanes& sound) {
  LoudnessMeterPtr meter(ebur128_init(kAudioChannels, kAudioRate, EBUR128_MODE_I));
  if (!meter)
    return std::nullopt;
  const std::size_t length = sound.front().size();
  constexpr std::size_t kBlock = 4800;
  std::vector<float> interleaved(kBlock * kPlanes);
  for (std::size_t at = 0; at < length; at += kBlock) {
    std::size_t frames = std::min(kBlock, length - at);
    for (std::size_t i = 0; i < frames; ++i) {
      for (std::size_t c = 0; c < kPlanes; ++c)
        interleaved[i * kPlanes + c] = sound[c][at + i];
    }
    if (ebur128_add_frames_float(meter.get(), interleaved.data(), frames) != EBUR128_SUCCESS)
      return std::nullopt;
  }
  double loudness = 0;
  if (ebur128_loudness_global(meter.get(), &loudness) != EBUR128_SUCCESS)
    return std::nullopt;
  return loudness;
}

} // namespace

std::optional<ExportFailure>
MovieJoiner::appendEvenAudio(StreamReader* reader, std::int64_t sourceStart, std::int64_t count) {
  if (!evenEncoder_) {
    evenEncoder_ = openTakeAudioEncoder(kEvenBitRate);
    if (!evenEncoder_)
      return ExportFailure::platform("the AAC encoder could not be opened");
    limiter_ = std::make_unique<TruePeakLimiter>(kAudioChannels, kAudioRate,
                                                 kTruePeakCeiling - kEncoderHeadroom);
  }
  SoundPlanes sound;
  if (auto failure = decodeSound(reader, sourceStart, count, sound))
    return failure;
  std::optional<double> loudness = integratedLoudness(sound);
  if (!loudness)
    return ExportFailure::platform("the loudness of the sound could not be measured");
  auto gain = static_cast<float>(sceneGain(*loudness));
  std::vector<const float*> planes;
  for (std::vector<float>& channel : sound) {
    if (gain != 1.0f) {
      for (float& sample : channel)
        sample *= gain;
    }
    planes.push_back(channel.data());
  }
  SoundPlanes limited;
  limiter_->process(planes, sound.front().size(), limited);
  return encodeEvenAudio(limited);
}

std::optional<ExportFailure> MovieJoiner::encodeEvenAudio(const SoundPlanes& sound) {
  evenQueue_.resize(kPlanes);
  for (std::size_t c = 0; c < sound.size() && c < kPlanes; ++c)
    evenQueue_[c].insert(evenQueue_[c].end(), sound[c].begin(), sound[c].end());
  auto drain = [&]() -> std::optional<ExportFailure> {
    for (;;) {
      PacketPtr packet = makePacket();
      int result = avcodec_receive_packet(evenEncoder_.get(), packet.get());
      if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
        return std::nullopt;
      if (result < 0)
        return ExportFailure::platform(avErrorText(result));
      // The encoder's first packet is its priming, before time zero.
      if (packet->pts < 0 || packet->pts % kAacFrame != 0)
        continue;
      AudioPacket out;
      out.index = packet->pts / kAacFrame;
      out.bytes.assign(packet->data, packet->data + packet->size);
      pendingAudio_.push_back(std::move(out));
    }
  };
  std::size_t used = 0;
  for (; evenQueue_.front().size() - used >= kAacFrame; used += kAacFrame) {
    FramePtr frame(av_frame_alloc());
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = kAudioRate;
    av_channel_layout_default(&frame->ch_layout, kAudioChannels);
    frame->nb_samples = kAacFrame;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
      return ExportFailure::platform(avErrorText(AVERROR(ENOMEM)));
    for (std::size_t c = 0; c < kPlanes; ++c)
      std::copy_n(evenQueue_[c].begin() + static_cast<std::ptrdiff_t>(used), kAacFrame,
                  reinterpret_cast<float*>(frame->data[c]));
    frame->pts = evenPts_;
    evenPts_ += kAacFrame;
    if (int result = avcodec_send_frame(evenEncoder_.get(), frame.get()); result < 0)
      return ExportFailure::platform(avErrorText(result));
    if (auto failure = drain())
      return failure;
  }
  for (std::vector<float>& channel : evenQueue_)
    channel.erase(channel.begin(), channel.begin() + static_cast<std::ptrdiff_t>(used));
  if (!sound.empty())
    return std::nullopt;
  avcodec_send_frame(evenEncoder_.get(), nullptr);
  return drain();
}

void MovieJoiner::discardEvenAudio() {
  if (!evenEncoder_)
    return;
  avcodec_send_frame(evenEncoder_.get(), nullptr);
  PacketPtr packet = makePacket();
  while (avcodec_receive_packet(evenEncoder_.get(), packet.get()) >= 0)
    av_packet_unref(packet.get());
  evenEncoder_.reset();
}

std::optional<ExportFailure> MovieJoiner::finishEvenAudio() {
  if (!evenEncoder_)
    return std::nullopt;
  SoundPlanes rest;
  limiter_->finish(rest);
  // Then silence to a whole packet and one more, so the last packet has
  // its overlap; packets past the picture are left out later.
  std::size_t queued = evenQueue_.front().size();
  std::size_t pad = 2 * kAacFrame - (queued + rest.front().size()) % kAacFrame;
  for (std::vector<float>& channel : rest)
    channel.resize(channel.size() + pad, 0.0f);
  if (auto failure = encodeEvenAudio(rest))
    return failure;
  return encodeEvenAudio({});
}

} // namespace vidorel::exporting
