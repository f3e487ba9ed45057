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

// A screen picture as above.
struct BgraPicture {
  const std::uint8_t* pixels = nullptr;
  int stride = 0;
  int width = 0;
  int height = 0;
};

// Rows [firstRow, endRow) of `in` scaled to width x height and converted
// in the same pass, written into `out` (rows of the scaled picture;
// firstRow even). Halving both sides averages each two by two pixels
// exactly; other sizes average the source pixels each picture pixel
// covers. Converting only rows that changed keeps the rest of `out` as it
// was.
void convertBgraToI420Scaled(const BgraPicture& in, const I420Planes& out, int width, int height,
                             int firstRow, int endRow);

// The rows of `in` that rows [firstRow, endRow) of a picture scaled to
// `height` are made from.
struct RowSpan {
  int first = 0;
  int end = 0;
};
RowSpan sourceRowsOf(int sourceHeight, int height, int firstRow, int endRow);

} // namespace vidorel
