#pragma once

#include <cstdint>

namespace vidorel {

// One planar 4:2:0 picture to write into; the chroma planes hold
// (width + 1) / 2 by (height + 1) / 2 samples.
struct I420Planes {
  std::uint8_t* y = nullptr;
  int yStride = 0;
  std::uint8_t* u = nullptr;
  int uStride = 0;
  std::uint8_t* v = nullptr;
  int vStride = 0;
};

// Converts a screen picture (B, G, R, unused byte per pixel) to BT.709
// limited-range Y'CbCr 4:2:0, each chroma sample the mean of its two by two
// pixels. Takes carry BT.709 in their colour description, so the matrix must
// be this one; it is hand-written because the general scaler spends three
// times as long on this one conversion, which is most of a frame's budget.
void convertBgraToI420(const std::uint8_t* bgra, int stride, int width, int height,
                       const I420Planes& out);

} // namespace vidorel
