#pragma once

// Owners for the FFmpeg objects the capture and export backends hold: each
// frees its object the way FFmpeg wants it freed, so an early return or a
// throw never leaks one and never needs a hand-written clean-up path.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

namespace vidorel {

inline std::string avErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct CodecDeleter {
  void operator()(AVCodecContext* codec) const { avcodec_free_context(&codec); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;

struct ScalerDeleter {
  void operator()(SwsContext* scaler) const { sws_freeContext(scaler); }
};
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;

struct ResamplerDeleter {
  void operator()(SwrContext* resampler) const { swr_free(&resampler); }
};
using ResamplerPtr = std::unique_ptr<SwrContext, ResamplerDeleter>;

struct AudioFifoDeleter {
  void operator()(AVAudioFifo* fifo) const { av_audio_fifo_free(fifo); }
};
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

// A demuxer opened with avformat_open_input.
struct InputDeleter {
  void operator()(AVFormatContext* input) const { avformat_close_input(&input); }
};
using InputPtr = std::unique_ptr<AVFormatContext, InputDeleter>;

// A muxer from avformat_alloc_output_context2 writing through an I/O
// context of our own (freed separately, by IoPtr).
struct OutputDeleter {
  void operator()(AVFormatContext* output) const {
    output->pb = nullptr;
    avformat_free_context(output);
  }
};
using OutputPtr = std::unique_ptr<AVFormatContext, OutputDeleter>;

// An I/O context from avio_alloc_context with its buffer.
struct IoDeleter {
  void operator()(AVIOContext* io) const {
    av_freep(&io->buffer);
    avio_context_free(&io);
  }
};
using IoPtr = std::unique_ptr<AVIOContext, IoDeleter>;

inline PacketPtr makePacket() {
  return PacketPtr(av_packet_alloc());
}

inline FramePtr makeFrame() {
  return FramePtr(av_frame_alloc());
}

} // namespace vidorel
