#include "export/ffmpeg_take_reader.h"

namespace vidorel::exporting {

// A decoder for a reader's stream, on this many threads.
std::optional<ExportFailure> openDecoder(const StreamReader& reader, CodecPtr& decoder,
                                         int threads) {
  const AVCodec* codec = avcodec_find_decoder(reader.codec().codec_id);
  if (!codec)
    return fileFailure(reader.file(),
                       std::string("no decoder for ") + avcodec_get_name(reader.codec().codec_id));
  decoder.reset(avcodec_alloc_context3(codec));
  if (!decoder)
    return fileFailure(reader.file(), avErrorText(AVERROR(ENOMEM)));
  avcodec_parameters_to_context(decoder.get(), &reader.codec());
  decoder->pkt_timebase = reader.stream().time_base;
  decoder->thread_count = threads;
  int result = avcodec_open2(decoder.get(), codec, nullptr);
  if (result < 0)
    return fileFailure(reader.file(), avErrorText(result));
  return std::nullopt;
}

TrackFormat videoFormat(int width, int height, Bytes config) {
  TrackFormat format;
  format.kind = TrackKind::video;
  format.width = width;
  format.height = height;
  format.config = std::move(config);
  return format;
}

TrackFormat takeVideoFormat(const AVCodecParameters& codec) {
  TrackFormat format = videoFormat(codec.width, codec.height,
                                   Bytes(codec.extradata, codec.extradata + codec.extradata_size));
  if (codec.color_primaries != AVCOL_PRI_UNSPECIFIED)
    format.colourPrimaries = codec.color_primaries;
  if (codec.color_trc != AVCOL_TRC_UNSPECIFIED)
    format.transfer = codec.color_trc;
  if (codec.color_space != AVCOL_SPC_UNSPECIFIED)
    format.matrix = codec.color_space;
  format.fullRange = codec.color_range == AVCOL_RANGE_JPEG;
  return format;
}

bool copyableVideo(const AVCodecParameters& codec, int width, int height) {
  return codec.codec_id == AV_CODEC_ID_H264 && codec.width == width && codec.height == height &&
         codec.extradata_size > 6 && codec.extradata[0] == 1;
}

} // namespace vidorel::exporting
