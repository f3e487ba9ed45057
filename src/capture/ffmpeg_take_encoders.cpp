#include "capture/ffmpeg_take_encoders.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace vidorel {

CodecPtr openTakeVideoEncoder(const TakeVideoEncoding& encoding) {
  const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
  if (!h264)
    return nullptr;
  CodecPtr video(avcodec_alloc_context3(h264));
  if (!video)
    return nullptr;
  video->width = encoding.width;
  video->height = encoding.height;
  video->pix_fmt = AV_PIX_FMT_YUV420P;
  video->time_base = kTakeVideoTimeBase;
  video->framerate = {60, 1};
  video->max_b_frames = 0;
  video->gop_size = 120;
  video->keyint_min = 12;
  video->thread_count = encoding.threads;
  video->color_range = AVCOL_RANGE_MPEG;
  video->colorspace = AVCOL_SPC_BT709;
  video->color_primaries = AVCOL_PRI_BT709;
  video->color_trc = AVCOL_TRC_BT709;
  video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  av_opt_set(video->priv_data, "preset", encoding.preset.c_str(), 0);
  av_opt_set(video->priv_data, "tune", "zerolatency", 0);
  av_opt_set(video->priv_data, "profile", "high", 0);
  // Frames forced to be key frames are IDR frames, where a cut or an exact
  // seek can start decoding.
  av_opt_set(video->priv_data, "forced-idr", "1", 0);
  std::string params;
  switch (encoding.rateControl) {
  case TakeRateControl::rateFactor:
    av_opt_set(video->priv_data, "crf", "23", 0);
    break;
  case TakeRateControl::cappedRateFactor:
    av_opt_set(video->priv_data, "crf", "23", 0);
    params = "qpmax=14";
    break;
  case TakeRateControl::constantQuantiser:
    params = "qp=14";
    break;
  case TakeRateControl::largeScreenQuantiser:
    params = "qp=23";
    break;
  }
  if (encoding.stitchableHeaders)
    params += params.empty() ? "stitchable=1" : ":stitchable=1";
  if (!params.empty())
    av_opt_set(video->priv_data, "x264-params", params.c_str(), 0);
  if (avcodec_open2(video.get(), h264, nullptr) < 0)
    return nullptr;
  return video;
}

CodecPtr openTakeAudioEncoder(std::int64_t bitRate) {
  const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (!aac)
    return nullptr;
  CodecPtr audio(avcodec_alloc_context3(aac));
  if (!audio)
    return nullptr;
  audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
  audio->sample_rate = kTakeAudioRate;
  av_channel_layout_default(&audio->ch_layout, kTakeAudioChannels);
  audio->bit_rate = bitRate;
  audio->time_base = {1, kTakeAudioRate};
  audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  if (avcodec_open2(audio.get(), aac, nullptr) < 0)
    return nullptr;
  return audio;
}

} // namespace vidorel
