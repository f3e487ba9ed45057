#include "capture/bgra_to_i420.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace vidorel {
namespace {

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
  for (int y = 0; y < sh; ++y)
    for (int x = 0; x < sw; ++x) {
      std::uint8_t* p = &source[(static_cast<std::size_t>(y) * sw + x) * 4];
      bool left = x < sw / 2;
      p[0] = left ? 0 : 200;
      p[1] = left ? 0 : 100;
      p[2] = left ? 255 : 40;
    }
  Planes scaled(w, h);
  convertBgraToI420Scaled({source.data(), sw * 4, sw, sh}, scaled.view(), w, h, 0, h);
  std::vector<std::uint8_t> red(8 * 4), other(8 * 4);
  for (int i = 0; i < 8; ++i) {
    red[i * 4 + 2] = 255;
    other[i * 4] = 200, other[i * 4 + 1] = 100, other[i * 4 + 2] = 40;
  }
  Planes redPlanes(4, 2), otherPlanes(4, 2);
  convertBgraToI420(red.data(), 16, 4, 2, redPlanes.view());
  convertBgraToI420(other.data(), 16, 4, 2, otherPlanes.view());
  for (int y = 0; y < h; ++y) {
    EXPECT_EQ(scaled.bytes[y * w], redPlanes.bytes[0]);
    EXPECT_EQ(scaled.bytes[y * w + w / 2 - 1], redPlanes.bytes[0]);
    EXPECT_EQ(scaled.bytes[y * w + w / 2], otherPlanes.bytes[0]);
    EXPECT_EQ(scaled.bytes[y * w + w - 1], otherPlanes.bytes[0]);
  }
}

} // namespace
} // namespace vidorel
