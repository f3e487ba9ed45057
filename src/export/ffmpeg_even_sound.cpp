#include "export/ffmpeg_even_sound.h"

#include "export/ffmpeg_movie_joiner.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

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

SoundRange soundRangeFor(std::int64_t start, std::int64_t movieStart, std::int64_t movieEnd) {
  PacketRun run = packetRunFor(movieStart, movieEnd, kTicksPerAacFrame);
  return {start + run.first * kTicksPerAacFrame - movieStart, run.first, run.count};
}

EvenSoundJob::EvenSoundJob(std::vector<Take> takes, fs::path takesDirectory, std::int64_t cursor)
    : takes_(std::move(takes)), takesDirectory_(std::move(takesDirectory)), cursor_(cursor) {
  first_ = soundRangeFor(0, cursor, cursor).first;
  cursorAfter_ = cursor;
  for (const Take& take : takes_) {
    auto [start, end] = segmentRange(take);
    cursorAfter_ += std::max<std::int64_t>(0, end - start);
  }
  end_ = soundRangeFor(0, cursorAfter_, cursorAfter_).first;
  thread_ = std::thread([this] { run(); });
}

EvenSoundJob::~EvenSoundJob() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  thread_.join();
}

std::optional<ExportFailure> EvenSoundJob::take(std::int64_t end, std::deque<SoundPacket>& out) {
  // The encoder's last packets, past the job's sound, stay unused.
  end = std::min(end, end_);
  std::unique_lock lock(mutex_);
  for (;;) {
    while (!made_.empty() && made_.front().index < end) {
      out.push_back(std::move(made_.front()));
      made_.pop_front();
    }
    if (failure_)
      return failure_;
    if (done_ || !made_.empty())
      return std::nullopt;
    changed_.wait(lock);
  }
}

void EvenSoundJob::publish(std::vector<SoundPacket> packets, bool done) {
  {
    std::lock_guard lock(mutex_);
    for (SoundPacket& packet : packets)
      made_.push_back(std::move(packet));
    done_ = done_ || done;
  }
  changed_.notify_all();
}

void EvenSoundJob::run() {
  std::optional<ExportFailure> failure = makeSound();
  {
    std::lock_guard lock(mutex_);
    failure_ = std::move(failure);
    done_ = true;
  }
  changed_.notify_all();
  // An encoder closed with frames queued complains; an export that stopped
  // early leaves them quietly.
  if (encoder_) {
    avcodec_send_frame(encoder_.get(), nullptr);
    PacketPtr packet = makePacket();
    while (avcodec_receive_packet(encoder_.get(), packet.get()) >= 0)
      av_packet_unref(packet.get());
  }
}

std::optional<ExportFailure> EvenSoundJob::makeSound() {
  encoder_ = openTakeAudioEncoder(kEvenBitRate);
  if (!encoder_)
    return ExportFailure::platform("the AAC encoder could not be opened");
  limiter_ = std::make_unique<TruePeakLimiter>(kAudioChannels, kAudioRate,
                                               kTruePeakCeiling - kEncoderHeadroom);
  queue_.assign(kPlanes, {});
  // The segments follow each other as the joiner places them.
  std::int64_t cursor = cursor_;
  for (const Take& take : takes_) {
    {
      std::lock_guard lock(mutex_);
      if (stop_)
        return std::nullopt;
    }
    auto [start, end] = segmentRange(take);
    if (end <= start)
      continue;
    SoundRange range = soundRangeFor(start, cursor, cursor + (end - start));
    cursor += end - start;
    if (range.count == 0)
      continue;
    StreamReader reader;
    if (auto failure = reader.open(takesDirectory_ / take.filename, AVMEDIA_TYPE_AUDIO))
      return failure;
    if (auto failure = appendSegment(reader.hasStream() ? &reader : nullptr, range))
      return failure;
  }
  SoundPlanes rest;
  limiter_->finish(rest);
  // Then silence to a whole packet and one more, so the last packet has
  // its overlap; packets past the picture are left out by the joiner.
  std::size_t pad = 2 * kAacFrame - (queue_.front().size() + rest.front().size()) % kAacFrame;
  for (std::vector<float>& channel : rest)
    channel.resize(channel.size() + pad, 0.0f);
  if (auto failure = encode(rest))
    return failure;
  return encode({});
}

std::optional<ExportFailure> EvenSoundJob::appendSegment(StreamReader* reader,
                                                         const SoundRange& range) {
  SoundPlanes sound;
  if (auto failure = decodeSound(reader, range.sourceStart, range.count, sound))
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
  return encode(limited);
}

std::optional<ExportFailure> EvenSoundJob::encode(const SoundPlanes& sound) {
  for (std::size_t c = 0; c < sound.size() && c < kPlanes; ++c)
    queue_[c].insert(queue_[c].end(), sound[c].begin(), sound[c].end());
  std::vector<SoundPacket> packets;
  auto drain = [&] {
    return drainAacEncoder(encoder_.get(), [&](std::int64_t index, const AVPacket& packet) {
      packets.push_back({first_ + index, Bytes(packet.data, packet.data + packet.size)});
    });
  };
  std::size_t used = 0;
  for (; queue_.front().size() - used >= kAacFrame; used += kAacFrame) {
    FramePtr frame = makeAacInputFrame();
    if (!frame)
      return ExportFailure::platform(avErrorText(AVERROR(ENOMEM)));
    for (std::size_t c = 0; c < kPlanes; ++c)
      std::copy_n(queue_[c].begin() + static_cast<std::ptrdiff_t>(used), kAacFrame,
                  reinterpret_cast<float*>(frame->data[c]));
    frame->pts = pts_;
    pts_ += kAacFrame;
    if (int result = avcodec_send_frame(encoder_.get(), frame.get()); result < 0)
      return ExportFailure::platform(avErrorText(result));
    if (auto failure = drain())
      return failure;
  }
  for (std::vector<float>& channel : queue_)
    channel.erase(channel.begin(), channel.begin() + static_cast<std::ptrdiff_t>(used));
  bool end = sound.empty();
  if (end) {
    avcodec_send_frame(encoder_.get(), nullptr);
    if (auto failure = drain())
      return failure;
  }
  publish(std::move(packets), end);
  return std::nullopt;
}

} // namespace vidorel::exporting
