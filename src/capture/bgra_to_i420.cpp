#include "capture/bgra_to_i420.h"

#include <algorithm>
#include <vector>

// The row loops again for AVX2 where the processor has it, chosen once at
// load time: twice the lanes of the SSE2 every x86-64 has.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define VIDOREL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VIDOREL_VECTOR_CLONES
#endif

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
VIDOREL_VECTOR_CLONES void lumaRow(const std::uint8_t* bgra, int width, std::uint8_t* y) {
  for (int x = 0; x < width; ++x)
    y[x] = luma(bgra + 4 * x);
}

// b, g and r are sums of four samples, hence two more bits of shift.
inline std::uint8_t chroma(int b, int g, int r, int kr, int kg, int kb) {
  int sum = kr * r + kg * g + kb * b;
  return static_cast<std::uint8_t>(128 + ((sum + (1 << (kShift + 1))) >> (kShift + 2)));
}

VIDOREL_VECTOR_CLONES void chromaRow(const std::uint8_t* top, const std::uint8_t* bottom, int width,
                                     std::uint8_t* u, std::uint8_t* v) {
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

// The first source row or column of picture row or column i.
inline int spanStart(int i, int source, int scaled) {
  return static_cast<int>(static_cast<long>(i) * source / scaled);
}

// One picture row made from source rows [first, end): each picture pixel
// the rounded mean of the source pixels it covers.
void scaleRow(const BgraPicture& in, int first, int end, const std::vector<int>& columns, int width,
              std::uint8_t* row) {
  if (end <= first)
    end = first + 1;
  int rows = end - first;
  for (int x = 0; x < width; ++x) {
    int left = columns[x];
    int count = std::max(columns[x + 1] - left, 1);
    int b = 0, g = 0, r = 0;
    for (int line = first; line < end; ++line) {
      const std::uint8_t* p = in.pixels + static_cast<long>(line) * in.stride + 4 * left;
      for (int k = 0; k < count; ++k, p += 4) {
        b += p[0];
        g += p[1];
        r += p[2];
      }
    }
    int n = rows * count;
    row[4 * x] = static_cast<std::uint8_t>((b + n / 2) / n);
    row[4 * x + 1] = static_cast<std::uint8_t>((g + n / 2) / n);
    row[4 * x + 2] = static_cast<std::uint8_t>((r + n / 2) / n);
  }
}

// Halving: each picture pixel the rounded mean of two by two. Rows are
// summed first, then neighbours: two plain loops the compiler vectorises
// (one loop over both was five times slower).
VIDOREL_VECTOR_CLONES void halveRow(const std::uint8_t* top, const std::uint8_t* bottom, int width,
                                    std::uint8_t* row, std::uint16_t* sums) {
  int bytes = width * 8;
  for (int i = 0; i < bytes; ++i)
    sums[i] = static_cast<std::uint16_t>(top[i] + bottom[i]);
  for (int x = 0; x < width; ++x) {
    const std::uint16_t* pair = sums + 8 * x;
    std::uint8_t* out = row + 4 * x;
    out[0] = static_cast<std::uint8_t>((pair[0] + pair[4] + 2) >> 2);
    out[1] = static_cast<std::uint8_t>((pair[1] + pair[5] + 2) >> 2);
    out[2] = static_cast<std::uint8_t>((pair[2] + pair[6] + 2) >> 2);
    out[3] = static_cast<std::uint8_t>((pair[3] + pair[7] + 2) >> 2);
  }
}

} // namespace

RowSpan sourceRowsOf(int sourceHeight, int height, int firstRow, int endRow) {
  int first = spanStart(firstRow, sourceHeight, height);
  int end = std::max(spanStart(endRow, sourceHeight, height), first + 1);
  return {first, std::min(end, sourceHeight)};
}

void convertBgraToI420Scaled(const BgraPicture& in, const I420Planes& out, int width, int height,
                             int firstRow, int endRow) {
  firstRow = std::max(firstRow & ~1, 0);
  endRow = std::min(endRow, height);
  if (width == in.width && height == in.height) {
    const std::uint8_t* start = in.pixels + static_cast<long>(firstRow) * in.stride;
    I420Planes part{out.y + static_cast<long>(firstRow) * out.yStride,     out.yStride,
                    out.u + static_cast<long>(firstRow / 2) * out.uStride, out.uStride,
                    out.v + static_cast<long>(firstRow / 2) * out.vStride, out.vStride};
    convertBgraToI420(start, in.stride, width, endRow - firstRow, part);
    return;
  }
  bool halving = in.width == 2 * width && in.height == 2 * height;
  std::vector<int> columns(width + 1);
  for (int x = 0; x <= width; ++x)
    columns[x] = std::min(spanStart(x, in.width, width), in.width - 1);
  columns[width] = in.width;
  // Two scaled rows at a time: the chroma of a pair needs both.
  std::vector<std::uint8_t> rows(static_cast<std::size_t>(width) * 8);
  std::vector<std::uint16_t> sums(halving ? static_cast<std::size_t>(width) * 8 : 0);
  std::uint8_t* top = rows.data();
  std::uint8_t* bottom = top + static_cast<std::size_t>(width) * 4;
  for (int row = firstRow; row < endRow; row += 2) {
    for (int half = 0; half < 2 && row + half < height; ++half) {
      std::uint8_t* target = half == 0 ? top : bottom;
      int y = row + half;
      if (halving) {
        const std::uint8_t* source = in.pixels + static_cast<long>(2 * y) * in.stride;
        halveRow(source, source + in.stride, width, target, sums.data());
      } else {
        RowSpan span = sourceRowsOf(in.height, height, y, y + 1);
        scaleRow(in, span.first, span.end, columns, width, target);
      }
    }
    const std::uint8_t* second = row + 1 < height ? bottom : top;
    lumaRow(top, width, out.y + static_cast<long>(row) * out.yStride);
    if (row + 1 < height)
      lumaRow(bottom, width, out.y + static_cast<long>(row + 1) * out.yStride);
    chromaRow(top, second, width, out.u + static_cast<long>(row / 2) * out.uStride,
              out.v + static_cast<long>(row / 2) * out.vStride);
  }
}

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
