// The sound of each segment: whole AAC packets on the movie's packet grid,
// copied where the take's own packets fit it, converted and encoded anew
// where they do not (another rate, another layout, or no sound at all).

#include "export/ffmpeg_movie_joiner.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <algorithm>
#include <vector>

namespace vidorel::exporting {

std::optional<ExportFailure> MovieJoiner::prepareAudioEncoder(const fs::path& file) {
  if (encodersReady_)
    return std::nullopt;
  CodecPtr audio = openTakeAudioEncoder();
  if (!audio)
    return fileFailure(file, "the AAC encoder could not be opened");
  audioConfig_.assign(audio->extradata, audio->extradata + std::max(0, audio->extradata_size));
  TrackFormat format;
  format.kind = TrackKind::audio;
  format.sampleRate = kAudioRate;
  format.channels = kAudioChannels;
  format.config = audioConfig_;
  audioDescription_ = audio_.descriptionFor(format);
  encodersReady_ = true;
  return std::nullopt;
}

// The segment's sound is a run of whole AAC packets on the movie's packet
// grid (see packetRunFor), starting with the take's packet boundary nearest
// to where the grid puts the segment's first packet.
std::optional<ExportFailure> MovieJoiner::appendAudio(StreamReader& reader, std::int64_t start,
                                                      std::int64_t movieStart,
                                                      std::int64_t movieEnd) {
  SoundRange range = soundRangeFor(start, movieStart, movieEnd);
  std::int64_t first = range.first;
  std::int64_t last = range.first + range.count;
  audioLimit_ = movieEnd;
  if (range.count == 0)
    return std::nullopt;
  // Take time (ticks) that the first packet of the grid should hold.
  std::int64_t sourceStart = range.sourceStart;
  if (!evenSound_.empty())
    return takeEvenSound(last);
  if (!reader.hasStream())
    return convertAudio(nullptr, sourceStart, first, last - first);
  const AVCodecParameters& codec = reader.codec();
  bool copyable =
      codec.codec_id == AV_CODEC_ID_AAC && codec.sample_rate == kAudioRate &&
      codec.ch_layout.nb_channels == kAudioChannels &&
      Bytes(codec.extradata, codec.extradata + std::max(0, codec.extradata_size)) == audioConfig_;
  if (copyable)
    return copyAudio(reader, sourceStart, first, last - first);
  return convertAudio(&reader, sourceStart, first, last - first);
}

std::optional<ExportFailure> MovieJoiner::copyAudio(StreamReader& reader, std::int64_t sourceStart,
                                                    std::int64_t first, std::int64_t count) {
  // The take's packets around the range, by presentation time in ticks.
  std::vector<std::pair<std::int64_t, PacketPtr>> packets;
  if (auto failure = reader.seekBefore(reader.fromTicks(sourceStart - 2 * kTicksPerAacFrame)))
    return failure;
  std::int64_t stop = sourceStart + (count + 1) * kTicksPerAacFrame;
  for (;;) {
    PacketPtr packet;
    if (auto failure = reader.read(packet))
      return failure;
    if (!packet)
      break;
    std::int64_t shown = reader.toTicks(presentationTime(*packet));
    if (shown >= stop)
      break;
    if (shown + kTicksPerAacFrame > sourceStart - kTicksPerAacFrame)
      packets.emplace_back(shown, std::move(packet));
  }
  if (packets.empty())
    return convertAudio(nullptr, sourceStart, first, count);
  // The take's packet boundary nearest to where the segment's sound starts.
  std::int64_t anchor = packets.front().first;
  for (const auto& [shown, packet] : packets) {
    if (std::llabs(shown - sourceStart) < std::llabs(anchor - sourceStart))
      anchor = shown;
  }
  std::optional<Bytes> silence;
  std::size_t at = 0;
  for (std::int64_t i = 0; i < count; ++i) {
    std::int64_t wanted = anchor + i * kTicksPerAacFrame;
    while (at < packets.size() && packets[at].first < wanted - kTicksPerAacFrame / 2)
      ++at;
    AudioPacket out;
    out.index = first + i;
    if (at < packets.size() && packets[at].first < wanted + kTicksPerAacFrame / 2) {
      const AVPacket& packet = *packets[at].second;
      out.bytes.assign(packet.data, packet.data + packet.size);
    } else {
      // The take's sound starts late or ends early: silence.
      if (!silence) {
        std::size_t before = pendingAudio_.size();
        if (auto failure = convertAudio(nullptr, 0, 0, 1))
          return failure;
        silence = std::move(pendingAudio_.back().bytes);
        pendingAudio_.resize(before);
      }
      out.bytes = *silence;
    }
    pendingAudio_.push_back(std::move(out));
  }
  return std::nullopt;
}

std::optional<ExportFailure> decodeSound(StreamReader* reader, std::int64_t sourceStart,
                                         std::int64_t count, SoundPlanes& channels) {
  const std::size_t length = static_cast<std::size_t>(count) * kAacFrame;
  channels.assign(kAudioChannels, std::vector<float>(length, 0.0f));

  if (reader) {
    CodecPtr decoder;
    if (auto failure = openDecoder(*reader, decoder))
      return failure;
    if (auto failure = reader->seekBefore(reader->fromTicks(sourceStart - kVideoTimescale / 10)))
      return failure;
    AVChannelLayout stereo;
    av_channel_layout_default(&stereo, kAudioChannels);
    ResamplerPtr resampler;
    std::int64_t position = 0; // next output sample, relative to sourceStart
    bool placed = false;
    std::int64_t stop = sourceStart + count * kTicksPerAacFrame + kVideoTimescale / 10;
    auto took = [&](FramePtr frame) -> std::optional<ExportFailure> {
      if (!resampler) {
        SwrContext* raw = nullptr;
        if (swr_alloc_set_opts2(&raw, &stereo, AV_SAMPLE_FMT_FLTP, kAudioRate, &frame->ch_layout,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                nullptr) < 0 ||
            swr_init(raw) < 0) {
          swr_free(&raw);
          return fileFailure(reader->file(), "the sound cannot be converted");
        }
        resampler.reset(raw);
      }
      if (!placed && frame->best_effort_timestamp != AV_NOPTS_VALUE) {
        std::int64_t shown = reader->toTicks(frame->best_effort_timestamp);
        position = av_rescale(shown - sourceStart, kAudioRate, kVideoTimescale);
        placed = true;
      }
      int room = swr_get_out_samples(resampler.get(), frame->nb_samples);
      std::vector<float> out[kAudioChannels];
      std::uint8_t* planes[kAudioChannels];
      for (int c = 0; c < kAudioChannels; ++c) {
        out[c].resize(static_cast<std::size_t>(std::max(room, 0)));
        planes[c] = reinterpret_cast<std::uint8_t*>(out[c].data());
      }
      int made =
          swr_convert(resampler.get(), planes, room,
                      const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
      for (int i = 0; i < made; ++i, ++position) {
        if (position < 0 || position >= static_cast<std::int64_t>(length))
          continue;
        for (int c = 0; c < kAudioChannels; ++c)
          channels[c][static_cast<std::size_t>(position)] = out[c][static_cast<std::size_t>(i)];
      }
      return std::nullopt;
    };
    PacketPtr packet;
    for (;;) {
      if (auto failure = reader->read(packet))
        return failure;
      if (!packet || reader->toTicks(presentationTime(*packet)) >= stop)
        break;
      if (auto failure = decode(*decoder, packet.get(), reader->file(), took))
        return failure;
    }
    if (auto failure = decode(*decoder, nullptr, reader->file(), took))
      return failure;
  }
  return std::nullopt;
}

// Decodes the take's sound (or none: silence), converts it to the movie's
// 48 kHz stereo and encodes count packets that start at sourceStart.
std::optional<ExportFailure> MovieJoiner::convertAudio(StreamReader* reader,
                                                       std::int64_t sourceStart, std::int64_t first,
                                                       std::int64_t count) {
  const std::size_t length = static_cast<std::size_t>(count) * kAacFrame;
  SoundPlanes channels;
  if (auto failure = decodeSound(reader, sourceStart, count, channels))
    return failure;

  CodecPtr encoder = openTakeAudioEncoder();
  if (!encoder)
    return ExportFailure::platform("the AAC encoder could not be opened");
  std::vector<Bytes> packets(static_cast<std::size_t>(count));
  auto drain = [&] {
    return drainAacEncoder(encoder.get(), [&](std::int64_t index, const AVPacket& packet) {
      if (index < count)
        packets[static_cast<std::size_t>(index)].assign(packet.data, packet.data + packet.size);
    });
  };
  // One frame past the end, so the last wanted packet has its overlap.
  for (std::int64_t i = 0; i <= count; ++i) {
    FramePtr frame = makeAacInputFrame();
    if (!frame)
      return ExportFailure::platform(avErrorText(AVERROR(ENOMEM)));
    for (int c = 0; c < kAudioChannels; ++c) {
      auto* samples = reinterpret_cast<float*>(frame->data[c]);
      for (int s = 0; s < kAacFrame; ++s) {
        std::size_t at = static_cast<std::size_t>(i * kAacFrame + s);
        samples[s] = at < length ? channels[c][at] : 0.0f;
      }
    }
    frame->pts = i * kAacFrame;
    if (int result = avcodec_send_frame(encoder.get(), frame.get()); result < 0)
      return ExportFailure::platform(avErrorText(result));
    if (auto failure = drain())
      return failure;
  }
  avcodec_send_frame(encoder.get(), nullptr);
  if (auto failure = drain())
    return failure;
  for (std::int64_t i = 0; i < count; ++i) {
    AudioPacket out;
    out.index = first + i;
    out.bytes = std::move(packets[static_cast<std::size_t>(i)]);
    if (out.bytes.empty())
      return ExportFailure::platform("the AAC encoder returned too few packets");
    pendingAudio_.push_back(std::move(out));
  }
  return std::nullopt;
}

FramePtr makeAacInputFrame() {
  FramePtr frame(av_frame_alloc());
  if (!frame)
    return frame;
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = kAudioRate;
  av_channel_layout_default(&frame->ch_layout, kAudioChannels);
  frame->nb_samples = kAacFrame;
  if (av_frame_get_buffer(frame.get(), 0) < 0)
    return nullptr;
  return frame;
}

std::optional<ExportFailure>
drainAacEncoder(AVCodecContext* encoder,
                const std::function<void(std::int64_t index, const AVPacket& packet)>& take) {
  for (;;) {
    PacketPtr packet = makePacket();
    int result = avcodec_receive_packet(encoder, packet.get());
    if (result == AVERROR(EAGAIN) || result == AVERROR_EOF)
      return std::nullopt;
    if (result < 0)
      return ExportFailure::platform(avErrorText(result));
    // The encoder's first packet is its priming, before time zero.
    if (packet->pts < 0 || packet->pts % kAacFrame != 0)
      continue;
    take(packet->pts / kAacFrame, *packet);
  }
}

} // namespace vidorel::exporting
