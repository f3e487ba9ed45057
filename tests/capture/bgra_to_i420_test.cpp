#include "capture/bgra_to_i420.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace vidorel {
namespace {

struct Rgb {
  int r, g, b;
};

struct Picture {
  int width, height;
  std::vector<std::uint8_t> y, u, v;
  int chromaWidth() const { return (width + 1) / 2; }
};

// Converts a picture whose rows carry padding filled with a marker colour,
// as screen grabs do, into planes that also carry padding.
Picture convert(int width, int height, const std::vector<Rgb>& pixels) {
  int stride = width * 4 + 12;
  std::vector<std::uint8_t> bgra(static_cast<std::size_t>(stride) * height, 0xee);
  for (int row = 0; row < height; ++row)
    for (int x = 0; x < width; ++x) {
      const Rgb& p = pixels[row * width + x];
      std::uint8_t* out = &bgra[row * stride + 4 * x];
      out[0] = static_cast<std::uint8_t>(p.b);
      out[1] = static_cast<std::uint8_t>(p.g);
      out[2] = static_cast<std::uint8_t>(p.r);
      out[3] = 0x5a; // the unused byte must not count
    }
  Picture picture{width, height, {}, {}, {}};
  int yStride = width + 5;
  int cw = picture.chromaWidth();
  int ch = (height + 1) / 2;
  int cStride = cw + 3;
  std::vector<std::uint8_t> y(static_cast<std::size_t>(yStride) * height, 0);
  std::vector<std::uint8_t> u(static_cast<std::size_t>(cStride) * ch, 0);
  std::vector<std::uint8_t> v(static_cast<std::size_t>(cStride) * ch, 0);
  convertBgraToI420(bgra.data(), stride, width, height,
                    {y.data(), yStride, u.data(), cStride, v.data(), cStride});
  for (int row = 0; row < height; ++row) {
    for (int x = 0; x < width; ++x)
      picture.y.push_back(y[row * yStride + x]);
    for (int x = width; x < yStride; ++x)
      EXPECT_EQ(y[row * yStride + x], 0) << "luma padding written in row " << row;
  }
  for (int row = 0; row < ch; ++row)
    for (int x = 0; x < cw; ++x) {
      picture.u.push_back(u[row * cStride + x]);
      picture.v.push_back(v[row * cStride + x]);
    }
  return picture;
}

// The reference values of BT.709 in limited range (ITU-R BT.709 and the
// usual colour-bar tables), independent of how the conversion computes.
TEST(BgraToI420Test, PrimariesAndGreysGiveTheBt709LimitedRangeValues) {
  struct Case {
    Rgb rgb;
    int y, u, v;
  };
  const Case cases[] = {
      {{0, 0, 0}, 16, 128, 128},        {{255, 255, 255}, 235, 128, 128},
      {{128, 128, 128}, 126, 128, 128}, {{255, 0, 0}, 63, 102, 240},
      {{0, 255, 0}, 173, 42, 26},       {{0, 0, 255}, 32, 240, 118},
      {{255, 255, 0}, 219, 16, 138},    {{0, 255, 255}, 188, 154, 16},
      {{255, 0, 255}, 78, 214, 230},
  };
  for (const Case& c : cases) {
    // Odd sizes too: the last column and row stand for their pairs.
    for (auto [w, h] : {std::pair{4, 2}, std::pair{3, 3}, std::pair{1, 1}}) {
      Picture p = convert(w, h, std::vector<Rgb>(w * h, c.rgb));
      SCOPED_TRACE(testing::Message() << "rgb " << c.rgb.r << "," << c.rgb.g << "," << c.rgb.b
                                      << " in " << w << "x" << h);
      for (auto [plane, want] : {std::pair{&p.y, c.y}, {&p.u, c.u}, {&p.v, c.v}})
        for (int value : *plane)
          EXPECT_NEAR(value, want, 1);
    }
  }
}

TEST(BgraToI420Test, EachChromaSampleIsTheMeanOfItsTwoByTwoPixels) {
  // Left pair of columns black and white in a checker, right pair all red:
  // the left chroma is neutral, the right one red's, and luma stays per pixel.
  std::vector<Rgb> pixels = {{0, 0, 0},       {255, 255, 255}, {255, 0, 0}, {255, 0, 0},
                             {255, 255, 255}, {0, 0, 0},       {255, 0, 0}, {255, 0, 0}};
  Picture p = convert(4, 2, pixels);
  EXPECT_EQ(p.y[0], 16);
  EXPECT_EQ(p.y[1], 235);
  EXPECT_EQ(p.y[4], 235);
  EXPECT_EQ(p.y[5], 16);
  EXPECT_EQ(p.u[0], 128);
  EXPECT_EQ(p.v[0], 128);
  EXPECT_NEAR(p.u[1], 102, 1);
  EXPECT_NEAR(p.v[1], 240, 1);
}

TEST(BgraToI420Test, WidePicturesConvertEveryColumnAlike) {
  // Long enough rows for the vectorised loops and their scalar tails; each
  // chroma sample the mean of green and blue, not either.
  const int width = 1921;
  std::vector<Rgb> pixels;
  for (int row = 0; row < 2; ++row)
    for (int x = 0; x < width; ++x)
      pixels.push_back(x % 2 == 0 ? Rgb{0, 255, 0} : Rgb{0, 0, 255});
  Picture p = convert(width, 2, pixels);
  for (int x = 0; x < width; ++x)
    ASSERT_NEAR(p.y[x], x % 2 == 0 ? 173 : 32, 1) << "column " << x;
  for (int x = 0; x < width / 2; ++x) {
    ASSERT_NEAR(p.u[x], (42 + 240) / 2, 1) << "chroma column " << x;
    ASSERT_NEAR(p.v[x], (26 + 118) / 2, 1) << "chroma column " << x;
  }
  // The odd last column is green alone.
  EXPECT_NEAR(p.u[width / 2], 42, 1);
  EXPECT_NEAR(p.v[width / 2], 26, 1);
}

struct Planes {
  int width, height;
  std::vector<std::uint8_t> bytes;
  explicit Planes(int w, int h)
      : width(w), height(h),
        bytes(static_cast<std::size_t>(w) * h + 2 * ((w + 1) / 2) * ((h + 1) / 2), 0x77) {}
  I420Planes view() {
    std::uint8_t* y = bytes.data();
    std::uint8_t* u = y + static_cast<std::size_t>(width) * height;
    int cw = (width + 1) / 2;
    return {y, width, u, cw, u + static_cast<std::size_t>(cw) * ((height + 1) / 2), cw};
  }
};

std::vector<std::uint8_t> noise(int width, int height, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
  for (std::uint8_t& byte : bgra)
    byte = static_cast<std::uint8_t>(random());
  return bgra;
}

// Halving is an exact two by two mean: the same as converting a picture
// averaged by hand. Converting some rows leaves the others as they were.
TEST(BgraScaleTest, HalvingAveragesTwoByTwoExactlyAndRowBandsKeepTheRest) {
  const int w = 38, h = 22; // halves with odd chroma rows and columns
  std::vector<std::uint8_t> big = noise(2 * w, 2 * h, 5);
  std::vector<std::uint8_t> averaged(static_cast<std::size_t>(w) * h * 4);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 4; ++c) {
        auto at = [&](int yy, int xx) { return big[(yy * 2 * w + xx) * 4 + c]; };
        int sum = at(2 * y, 2 * x) + at(2 * y, 2 * x + 1) + at(2 * y + 1, 2 * x) +
                  at(2 * y + 1, 2 * x + 1);
        averaged[(y * w + x) * 4 + c] = static_cast<std::uint8_t>((sum + 2) / 4);
      }
  Planes expected(w, h);
  convertBgraToI420(averaged.data(), w * 4, w, h, expected.view());
  Planes scaled(w, h);
  convertBgraToI420Scaled({big.data(), 2 * w * 4, 2 * w, 2 * h}, scaled.view(), w, h, 0, h);
  EXPECT_EQ(scaled.bytes, expected.bytes);

  Planes band(w, h);
  convertBgraToI420Scaled({big.data(), 2 * w * 4, 2 * w, 2 * h}, band.view(), w, h, 6, 10);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      EXPECT_EQ(band.bytes[y * w + x], y >= 6 && y < 10 ? expected.bytes[y * w + x] : 0x77)
          << x << "," << y;
}

// Other sizes average what each pixel covers: a flat colour stays that
// colour, and the line between two colours stays where it was.
TEST(BgraScaleTest, OtherSizesAverageWhatEachPixelCovers) {
  const int sw = 2880, sh = 18, w = 1728, h = 10;
  std::vector<std::uint8_t> source(static_cast<std::size_t>(sw) * sh * 4);
  for (std::size_t at = 0; at < source.size(); at += 4) {
    bool left = at / 4 % sw < sw / 2;
    source[at] = left ? 0 : 200;
    source[at + 1] = left ? 0 : 100;
    source[at + 2] = left ? 255 : 40;
  }
  Planes scaled(w, h);
  convertBgraToI420Scaled({source.data(), sw * 4, sw, sh}, scaled.view(), w, h, 0, h);
  std::uint8_t red = convert(1, 1, {{255, 0, 0}}).y[0];
  std::uint8_t other = convert(1, 1, {{40, 100, 200}}).y[0];
  for (int y = 0; y < h; ++y) {
    EXPECT_EQ(scaled.bytes[y * w], red);
    EXPECT_EQ(scaled.bytes[y * w + w / 2 - 1], red);
    EXPECT_EQ(scaled.bytes[y * w + w / 2], other);
    EXPECT_EQ(scaled.bytes[y * w + w - 1], other);
  }
}

} // namespace
} // namespace vidorel
