#include "capture/h264_skip_frame.h"

#include "capture/ffmpeg_take_encoders.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/opt.h>
}

#include <cstring>
#include <string>
#include <vector>

namespace vidorel {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;

Bytes annexB(const std::vector<Bytes>& units) {
  Bytes out;
  for (const Bytes& unit : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), unit.begin(), unit.end());
  }
  return out;
}

// The luma and chroma planes of a decoded picture, rows without padding.
std::string pictureBytes(const AVFrame* frame) {
  std::string bytes;
  for (int plane = 0; plane < 3; ++plane) {
    int w = plane == 0 ? frame->width : frame->width / 2;
    int h = plane == 0 ? frame->height : frame->height / 2;
    for (int y = 0; y < h; ++y)
      bytes.append(reinterpret_cast<const char*>(frame->data[plane] + y * frame->linesize[plane]),
                   static_cast<std::size_t>(w));
  }
  return bytes;
}

// Decodes access units (Annex B) with libavcodec, strict about errors.
std::vector<std::string> decode(const Bytes& extradata, const std::vector<Bytes>& units) {
  CodecPtr decoder(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_H264)));
  decoder->extradata =
      static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  std::memcpy(decoder->extradata, extradata.data(), extradata.size());
  decoder->extradata_size = static_cast<int>(extradata.size());
  decoder->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_COMPLIANT;
  EXPECT_GE(avcodec_open2(decoder.get(), nullptr, nullptr), 0);
  std::vector<std::string> pictures;
  PacketPtr packet = makePacket();
  FramePtr frame = makeFrame();
  auto receive = [&] {
    while (avcodec_receive_frame(decoder.get(), frame.get()) >= 0) {
      EXPECT_EQ(frame->decode_error_flags, 0);
      pictures.push_back(pictureBytes(frame.get()));
    }
  };
  for (const Bytes& unit : units) {
    av_new_packet(packet.get(), static_cast<int>(unit.size()));
    std::memcpy(packet->data, unit.data(), unit.size());
    EXPECT_GE(avcodec_send_packet(decoder.get(), packet.get()), 0);
    av_packet_unref(packet.get());
    receive();
  }
  avcodec_send_packet(decoder.get(), nullptr);
  receive();
  return pictures;
}

TEST(SkipFrames, RepeatTheLastPictureExactlyAcrossFrameNumWrapsAndIdrPictures) {
  TakeVideoEncoding encoding;
  encoding.width = kWidth;
  encoding.height = kHeight;
  CodecPtr encoder = openTakeVideoEncoder(encoding);
  ASSERT_TRUE(encoder);
  Bytes extradata(encoder->extradata, encoder->extradata + encoder->extradata_size);
  std::string why;
  std::optional<SkipFrames> skips =
      SkipFrames::make(parameterSetsFromAnnexB(extradata.data(), extradata.size()), why);
  ASSERT_TRUE(skips) << why;
  // What takes are encoded with, read from the stream itself.
  EXPECT_FALSE(skips->syntax().cabac);
  EXPECT_EQ(skips->syntax().picOrderCntType, 2);
  EXPECT_EQ(skips->syntax().maxNumRefFrames, 1);
  EXPECT_EQ(skips->syntax().picSizeInMbs, 300u);
  std::uint32_t maxFrameNum = 1u << skips->syntax().log2MaxFrameNum;

  // Encoder pictures with runs of repeats after them; one run passes
  // MaxFrameNum, and picture 4 is an IDR picture.
  const std::vector<std::uint32_t> repeatsAfter = {2, 0, maxFrameNum + 3, 1, 5, 0, 7};
  FramePtr picture = makeFrame();
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = kWidth;
  picture->height = kHeight;
  ASSERT_GE(av_frame_get_buffer(picture.get(), 0), 0);
  PacketPtr packet = makePacket();
  std::vector<Bytes> plain;
  std::vector<Bytes> repeated;
  std::vector<int> source; // which encoder picture each repeated unit shows
  for (std::size_t i = 0; i < repeatsAfter.size(); ++i) {
    ASSERT_GE(av_frame_make_writable(picture.get()), 0);
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x)
        picture->data[0][y * picture->linesize[0] + x] =
            static_cast<std::uint8_t>((x + static_cast<int>(i) * 7) ^ (y * 3));
    for (int plane = 1; plane < 3; ++plane)
      std::memset(picture->data[plane], 100 + static_cast<int>(i) * 9,
                  static_cast<std::size_t>(picture->linesize[plane]) * kHeight / 2);
    picture->pts = static_cast<std::int64_t>(i) * 1500;
    picture->pict_type = i == 4 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    ASSERT_GE(avcodec_send_frame(encoder.get(), picture.get()), 0);
    ASSERT_GE(avcodec_receive_packet(encoder.get(), packet.get()), 0);
    plain.emplace_back(packet->data, packet->data + packet->size);
    std::vector<Bytes> units = splitAnnexB(packet->data, static_cast<std::size_t>(packet->size));
    av_packet_unref(packet.get());
    ASSERT_TRUE(skips->renumber(units));
    repeated.push_back(annexB(units));
    source.push_back(static_cast<int>(i));
    for (std::uint32_t r = 0; r < repeatsAfter[i]; ++r) {
      ASSERT_TRUE(skips->canRepeat());
      repeated.push_back(annexB({skips->repeat()}));
      source.push_back(static_cast<int>(i));
    }
  }

  std::vector<std::string> expected = decode(extradata, plain);
  std::vector<std::string> shown = decode(extradata, repeated);
  ASSERT_EQ(expected.size(), repeatsAfter.size());
  ASSERT_EQ(shown.size(), source.size());
  for (std::size_t i = 0; i < shown.size(); ++i)
    EXPECT_TRUE(shown[i] == expected[static_cast<std::size_t>(source[i])]) << "frame " << i;
}

TEST(SkipFrames, StreamsTheyCannotRepeatAreRefused) {
  // x264's own CABAC and B-frame streams.
  for (const char* preset : {"medium", "veryfast"}) {
    CodecPtr encoder(avcodec_alloc_context3(avcodec_find_encoder_by_name("libx264")));
    encoder->width = kWidth;
    encoder->height = kHeight;
    encoder->pix_fmt = AV_PIX_FMT_YUV420P;
    encoder->time_base = {1, 60};
    encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    av_opt_set(encoder->priv_data, "preset", preset, 0);
    ASSERT_GE(avcodec_open2(encoder.get(), nullptr, nullptr), 0);
    std::string why;
    EXPECT_FALSE(SkipFrames::make(
        parameterSetsFromAnnexB(encoder->extradata, static_cast<size_t>(encoder->extradata_size)),
        why));
    EXPECT_FALSE(why.empty());
  }
  std::string why;
  EXPECT_FALSE(SkipFrames::make(AvcParameterSets{}, why));
}

// Takes above 1080p are recorded at a fixed quantiser, and a cut in them is
// re-encoded at another: the parameter sets must still be the take's, or the
// joined movie needs a second sample description.
TEST(TakeEncoders, LargeTakesKeepTheExportsParameterSets) {
  ASSERT_EQ(takeRateControlFor(3840, 2160), TakeRateControl::largeScreenQuantiser);
  ASSERT_EQ(takeRateControlFor(1920, 1080), TakeRateControl::rateFactor);
  auto headers = [](TakeRateControl rateControl) {
    TakeVideoEncoding encoding;
    encoding.width = 3840;
    encoding.height = 2160;
    encoding.rateControl = rateControl;
    CodecPtr encoder = openTakeVideoEncoder(encoding);
    return encoder ? Bytes(encoder->extradata, encoder->extradata + encoder->extradata_size)
                   : Bytes();
  };
  Bytes take = headers(TakeRateControl::largeScreenQuantiser);
  ASSERT_FALSE(take.empty());
  EXPECT_EQ(take, headers(TakeRateControl::constantQuantiser));
  EXPECT_EQ(take, headers(TakeRateControl::rateFactor));
}

} // namespace
} // namespace vidorel
