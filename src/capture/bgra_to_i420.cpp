#include "capture/bgra_to_i420.h"

namespace vidorel {

namespace {

// BT.709 limited range in 14-bit fixed point. The chroma rows sum to zero,
// so a grey stays exactly neutral.
constexpr int kShift = 14;
constexpr int kYr = 2991, kYg = 10064, kYb = 1016;
constexpr int kUr = -1649, kUg = -5547, kUb = 7196;
constexpr int kVr = 7196, kVg = -6536, kVb = -660;

inline std::uint8_t luma(const std::uint8_t* pixel) {
  int sum = kYr * pixel[2] + kYg * pixel[1] + kYb * pixel[0];
  return static_cast<std::uint8_t>(16 + ((sum + (1 << (kShift - 1))) >> kShift));
}

// Plain loops over contiguous rows: the compiler turns them into vector
// code (this file is built with full optimisation).
void lumaRow(const std::uint8_t* bgra, int width, std::uint8_t* y) {
  for (int x = 0; x < width; ++x)
    y[x] = luma(bgra + 4 * x);
}

// b, g and r are sums of four samples, hence two more bits of shift.
inline std::uint8_t chroma(int b, int g, int r, int kr, int kg, int kb) {
  int sum = kr * r + kg * g + kb * b;
  return static_cast<std::uint8_t>(128 + ((sum + (1 << (kShift + 1))) >> (kShift + 2)));
}

void chromaRow(const std::uint8_t* top, const std::uint8_t* bottom, int width, std::uint8_t* u,
               std::uint8_t* v) {
  int pairs = width / 2;
  for (int x = 0; x < pairs; ++x) {
    const std::uint8_t* a = top + 8 * x;
    const std::uint8_t* c = bottom + 8 * x;
    int b = a[0] + a[4] + c[0] + c[4];
    int g = a[1] + a[5] + c[1] + c[5];
    int r = a[2] + a[6] + c[2] + c[6];
    u[x] = chroma(b, g, r, kUr, kUg, kUb);
    v[x] = chroma(b, g, r, kVr, kVg, kVb);
  }
  // An odd last column stands for both of its pair.
  if (width % 2 != 0) {
    const std::uint8_t* a = top + 8 * pairs;
    const std::uint8_t* c = bottom + 8 * pairs;
    int b = 2 * (a[0] + c[0]);
    int g = 2 * (a[1] + c[1]);
    int r = 2 * (a[2] + c[2]);
    u[pairs] = chroma(b, g, r, kUr, kUg, kUb);
    v[pairs] = chroma(b, g, r, kVr, kVg, kVb);
  }
}

} // namespace

void convertBgraToI420(const std::uint8_t* bgra, int stride, int width, int height,
                       const I420Planes& out) {
  for (int row = 0; row < height; row += 2) {
    const std::uint8_t* top = bgra + static_cast<long>(row) * stride;
    // An odd last row stands for both of its pair.
    const std::uint8_t* bottom = row + 1 < height ? top + stride : top;
    lumaRow(top, width, out.y + static_cast<long>(row) * out.yStride);
    if (row + 1 < height)
      lumaRow(bottom, width, out.y + static_cast<long>(row + 1) * out.yStride);
    chromaRow(top, bottom, width, out.u + static_cast<long>(row / 2) * out.uStride,
              out.v + static_cast<long>(row / 2) * out.vStride);
  }
}

} // namespace vidorel
