#pragma once

// Repeats of the last picture written straight into an H.264 stream: a P
// slice whose macroblocks are all skipped copies its reference picture
// exactly, so an unchanged screen costs a few bytes per frame and no
// encoder time. The repeats are reference pictures that take their place
// in frame_num, so the encoder's own later slices get their frame_num moved
// on by the number of repeats since the last IDR picture (a fixed-width
// field, rewritten in place). Works on streams with CAVLC, picture order
// type 2 (order follows frame_num: no B-frames) and one reference frame, as
// takes are encoded; any other stream is refused when the parameter sets
// are read, and repeats are then left to the encoder.

#include "capture/avc_config.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vidorel {

// Reads the bits of an RBSP (emulation prevention already removed). Reads
// past the end give zeros and set failed().
class RbspReader {
public:
  RbspReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t bits(int count);
  bool flag() { return bits(1) != 0; }
  std::uint32_t ue();
  std::int32_t se();
  std::size_t position() const { return bit_; }
  bool failed() const { return failed_; }

private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t bit_ = 0;
  bool failed_ = false;
};

// Writes the bits of an RBSP.
class RbspWriter {
public:
  void bits(std::uint32_t value, int count);
  void flag(bool value) { bits(value ? 1 : 0, 1); }
  void ue(std::uint32_t value);
  void se(std::int32_t value);
  // rbsp_trailing_bits: a one, then zeros up to the byte boundary.
  void trailingBits();
  const Bytes& bytes() const { return bytes_; }

private:
  Bytes bytes_;
  int used_ = 8; // bits used of the last byte
};

// NAL unit payload <-> RBSP: emulation prevention bytes removed or added.
Bytes unescapeRbsp(const std::uint8_t* data, std::size_t size);
void appendEscaped(const Bytes& rbsp, Bytes& out);

// What a slice header depends on, from the stream's SPS and PPS.
struct SliceSyntax {
  int log2MaxFrameNum = 4;
  int picOrderCntType = 0;
  int maxNumRefFrames = 0;
  bool separateColourPlane = false;
  bool frameMbsOnly = true;
  int chromaArrayType = 1;
  std::uint32_t picSizeInMbs = 0;
  std::uint32_t ppsId = 0;
  bool cabac = false;
  std::uint32_t numRefIdxL0DefaultMinus1 = 0;
  bool weightedPred = false;
  bool deblockingControl = false;
  bool redundantPicCnt = false;
  std::uint32_t numSliceGroupsMinus1 = 0;
};

// Reads the first SPS and PPS (NAL units with their header byte). Nothing,
// and why in `why`, when they are malformed.
std::optional<SliceSyntax> readSliceSyntax(const Bytes& sps, const Bytes& pps, std::string& why);

// The frame numbering of one stream with skip frames added to it.
class SkipFrames {
public:
  // Nothing, and why, when the stream is not one skip frames can be added
  // to (CABAC, picture order type other than 2, more than one reference).
  static std::optional<SkipFrames> make(const AvcParameterSets& sets, std::string& why);

  // True while the last picture is one a skip frame can repeat: a
  // reference picture has been seen since the start.
  bool canRepeat() const { return haveReference_; }
  // The NAL unit (header byte included) of a repeat of the last picture.
  Bytes repeat();
  // Brings the slices of one coded picture (its NAL units, header byte
  // included) into the numbering; rewrites their frame_num where repeats
  // came before them (and sets *rewritten). False when a slice cannot be
  // read.
  bool renumber(std::vector<Bytes>& units, bool* rewritten = nullptr);

  const SliceSyntax& syntax() const { return syntax_; }

private:
  explicit SkipFrames(const SliceSyntax& syntax) : syntax_(syntax) {}

  SliceSyntax syntax_;
  // Repeats added since the last IDR picture, modulo MaxFrameNum.
  std::uint32_t added_ = 0;
  std::uint32_t lastFrameNum_ = 0;
  bool haveReference_ = false;
};

} // namespace vidorel
