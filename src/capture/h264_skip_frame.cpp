#include "capture/h264_skip_frame.h"

#include <algorithm>

namespace vidorel {

namespace {

constexpr int kNalSlice = 1;
constexpr int kNalIdrSlice = 5;
// Enough of a slice's start to reach frame_num: the fields before it take
// at most 11 bytes, emulation prevention bytes included.
constexpr std::size_t kSliceStart = 32;

void skipScalingList(RbspReader& in, int size) {
  int last = 8;
  int next = 8;
  for (int i = 0; i < size; ++i) {
    if (next != 0) {
      int delta = in.se();
      next = (last + delta + 256) % 256;
    }
    last = next == 0 ? last : next;
  }
}

bool hasChromaFields(std::uint32_t profile) {
  switch (profile) {
  case 100:
  case 110:
  case 122:
  case 244:
  case 44:
  case 83:
  case 86:
  case 118:
  case 128:
  case 138:
  case 139:
  case 134:
  case 135:
    return true;
  default:
    return false;
  }
}

struct SliceStart {
  int type = 0;
  int refIdc = 0;
  std::uint32_t frameNum = 0;
  std::size_t frameNumBit = 0; // in the RBSP after the header byte
};

std::optional<SliceStart> readSliceStart(const Bytes& unit, const SliceSyntax& syntax) {
  if (unit.size() < 2)
    return std::nullopt;
  SliceStart start;
  start.type = unit[0] & 0x1f;
  start.refIdc = (unit[0] >> 5) & 3;
  Bytes head = unescapeRbsp(unit.data() + 1, std::min(unit.size() - 1, kSliceStart));
  RbspReader in(head.data(), head.size());
  in.ue(); // first_mb_in_slice
  in.ue(); // slice_type
  in.ue(); // pic_parameter_set_id
  if (syntax.separateColourPlane)
    in.bits(2);
  start.frameNumBit = in.position();
  start.frameNum = in.bits(syntax.log2MaxFrameNum);
  if (in.failed())
    return std::nullopt;
  return start;
}

} // namespace

std::uint32_t RbspReader::bits(int count) {
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) {
    std::size_t byte = bit_ / 8;
    int bit = 0;
    if (byte < size_)
      bit = (data_[byte] >> (7 - bit_ % 8)) & 1;
    else
      failed_ = true;
    value = (value << 1) | static_cast<std::uint32_t>(bit);
    ++bit_;
  }
  return value;
}

std::uint32_t RbspReader::ue() {
  int zeros = 0;
  while (bits(1) == 0) {
    if (failed_ || ++zeros > 31) {
      failed_ = true;
      return 0;
    }
  }
  if (zeros == 0)
    return 0;
  return ((1u << zeros) - 1) + bits(zeros);
}

std::int32_t RbspReader::se() {
  std::uint32_t k = ue();
  auto half = static_cast<std::int32_t>((k + 1) / 2);
  return k % 2 == 1 ? half : -half;
}

void RbspWriter::bits(std::uint32_t value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    if (used_ == 8) {
      bytes_.push_back(0);
      used_ = 0;
    }
    if ((value >> i) & 1)
      bytes_.back() |= static_cast<std::uint8_t>(0x80 >> used_);
    ++used_;
  }
}

void RbspWriter::ue(std::uint32_t value) {
  std::uint64_t coded = static_cast<std::uint64_t>(value) + 1;
  int length = 0;
  while ((coded >> length) > 1)
    ++length;
  bits(0, length);
  bits(static_cast<std::uint32_t>(coded), length + 1);
}

void RbspWriter::se(std::int32_t value) {
  ue(value > 0 ? 2 * static_cast<std::uint32_t>(value) - 1
               : 2 * static_cast<std::uint32_t>(-value));
}

void RbspWriter::trailingBits() {
  bits(1, 1);
  if (used_ != 8)
    bits(0, 8 - used_);
}

Bytes unescapeRbsp(const std::uint8_t* data, std::size_t size) {
  Bytes rbsp;
  rbsp.reserve(size);
  int zeros = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (zeros >= 2 && data[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = data[i] == 0 ? zeros + 1 : 0;
    rbsp.push_back(data[i]);
  }
  return rbsp;
}

void appendEscaped(const Bytes& rbsp, Bytes& out) {
  int zeros = 0;
  for (std::uint8_t byte : rbsp) {
    if (zeros >= 2 && byte <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    out.push_back(byte);
  }
  // A payload may not end in a zero byte either.
  if (!rbsp.empty() && rbsp.back() == 0)
    out.push_back(3);
}

std::optional<SliceSyntax> readSliceSyntax(const Bytes& sps, const Bytes& pps, std::string& why) {
  if (sps.size() < 4 || pps.size() < 2) {
    why = "the parameter sets are missing";
    return std::nullopt;
  }
  SliceSyntax syntax;
  Bytes seq = unescapeRbsp(sps.data() + 1, sps.size() - 1);
  RbspReader s(seq.data(), seq.size());
  std::uint32_t profile = s.bits(8);
  s.bits(16); // constraint flags, level
  s.ue();     // seq_parameter_set_id
  if (hasChromaFields(profile)) {
    std::uint32_t chromaFormat = s.ue();
    if (chromaFormat == 3)
      syntax.separateColourPlane = s.flag();
    syntax.chromaArrayType = syntax.separateColourPlane ? 0 : static_cast<int>(chromaFormat);
    s.ue();    // bit_depth_luma_minus8
    s.ue();    // bit_depth_chroma_minus8
    s.bits(1); // qpprime_y_zero_transform_bypass_flag
    if (s.flag()) {
      int lists = chromaFormat != 3 ? 8 : 12;
      for (int i = 0; i < lists; ++i)
        if (s.flag())
          skipScalingList(s, i < 6 ? 16 : 64);
    }
  }
  syntax.log2MaxFrameNum = static_cast<int>(s.ue()) + 4;
  syntax.picOrderCntType = static_cast<int>(s.ue());
  if (syntax.picOrderCntType == 0) {
    s.ue();
  } else if (syntax.picOrderCntType == 1) {
    s.bits(1);
    s.se();
    s.se();
    std::uint32_t cycle = s.ue();
    for (std::uint32_t i = 0; i < cycle && !s.failed(); ++i)
      s.se();
  }
  syntax.maxNumRefFrames = static_cast<int>(s.ue());
  s.bits(1); // gaps_in_frame_num_value_allowed_flag
  std::uint32_t widthInMbs = s.ue() + 1;
  std::uint32_t heightInMapUnits = s.ue() + 1;
  syntax.frameMbsOnly = s.flag();
  syntax.picSizeInMbs = widthInMbs * heightInMapUnits * (syntax.frameMbsOnly ? 1 : 2);

  Bytes pic = unescapeRbsp(pps.data() + 1, pps.size() - 1);
  RbspReader p(pic.data(), pic.size());
  syntax.ppsId = p.ue();
  p.ue(); // seq_parameter_set_id
  syntax.cabac = p.flag();
  p.bits(1); // bottom_field_pic_order_in_frame_present_flag
  syntax.numSliceGroupsMinus1 = p.ue();
  if (syntax.numSliceGroupsMinus1 == 0) {
    syntax.numRefIdxL0DefaultMinus1 = p.ue();
    p.ue(); // num_ref_idx_l1_default_active_minus1
    syntax.weightedPred = p.flag();
    p.bits(2); // weighted_bipred_idc
    p.se();    // pic_init_qp_minus26
    p.se();    // pic_init_qs_minus26
    p.se();    // chroma_qp_index_offset
    syntax.deblockingControl = p.flag();
    p.bits(1); // constrained_intra_pred_flag
    syntax.redundantPicCnt = p.flag();
  }
  if (s.failed() || p.failed() || syntax.log2MaxFrameNum > 16) {
    why = "the parameter sets cannot be read";
    return std::nullopt;
  }
  return syntax;
}

std::optional<SkipFrames> SkipFrames::make(const AvcParameterSets& sets, std::string& why) {
  if (sets.sequence.empty() || sets.picture.empty()) {
    why = "the parameter sets are missing";
    return std::nullopt;
  }
  std::optional<SliceSyntax> syntax =
      readSliceSyntax(sets.sequence.front(), sets.picture.front(), why);
  if (!syntax)
    return std::nullopt;
  if (syntax->cabac)
    why = "the stream is CABAC-coded";
  else if (syntax->picOrderCntType != 2)
    why = "picture order does not follow frame_num (B-frames)";
  else if (syntax->maxNumRefFrames != 1)
    why = "the stream keeps more than one reference frame";
  else if (syntax->numSliceGroupsMinus1 != 0 || !syntax->frameMbsOnly)
    why = "the stream uses slice groups or fields";
  if (!why.empty())
    return std::nullopt;
  return SkipFrames(*syntax);
}

Bytes SkipFrames::repeat() {
  const SliceSyntax& s = syntax_;
  std::uint32_t maxFrameNum = 1u << s.log2MaxFrameNum;
  lastFrameNum_ = (lastFrameNum_ + 1) % maxFrameNum;
  added_ = (added_ + 1) % maxFrameNum;

  RbspWriter out;
  out.ue(0); // first_mb_in_slice
  out.ue(0); // slice_type P
  out.ue(s.ppsId);
  if (s.separateColourPlane)
    out.bits(0, 2);
  out.bits(lastFrameNum_, s.log2MaxFrameNum);
  if (s.redundantPicCnt)
    out.ue(0);
  // One reference: the picture repeated.
  if (s.numRefIdxL0DefaultMinus1 != 0) {
    out.flag(true);
    out.ue(0);
  } else {
    out.flag(false);
  }
  out.flag(false); // ref_pic_list_modification_flag_l0
  if (s.weightedPred) {
    // Weight one, offset zero: the prediction unchanged.
    out.ue(0);
    if (s.chromaArrayType != 0)
      out.ue(0);
    out.flag(false);
    if (s.chromaArrayType != 0)
      out.flag(false);
  }
  out.flag(false); // adaptive_ref_pic_marking_mode_flag: sliding window
  out.se(0);       // slice_qp_delta
  if (s.deblockingControl)
    out.ue(1);            // no deblocking (it would change nothing anyway)
  out.ue(s.picSizeInMbs); // mb_skip_run: every macroblock
  out.trailingBits();

  // nal_ref_idc 2, nal_unit_type 1: a reference picture, as x264 marks P.
  Bytes unit{static_cast<std::uint8_t>((2 << 5) | kNalSlice)};
  appendEscaped(out.bytes(), unit);
  return unit;
}

bool SkipFrames::renumber(std::vector<Bytes>& units, bool* changed) {
  std::uint32_t maxFrameNum = 1u << syntax_.log2MaxFrameNum;
  for (Bytes& unit : units) {
    if (unit.empty())
      continue;
    int type = unit[0] & 0x1f;
    if (type != kNalSlice && type != kNalIdrSlice)
      continue;
    std::optional<SliceStart> start = readSliceStart(unit, syntax_);
    if (!start)
      return false;
    if (type == kNalIdrSlice)
      added_ = 0;
    std::uint32_t frameNum = (start->frameNum + added_) % maxFrameNum;
    if (frameNum != start->frameNum) {
      Bytes rbsp = unescapeRbsp(unit.data() + 1, unit.size() - 1);
      for (int i = 0; i < syntax_.log2MaxFrameNum; ++i) {
        std::size_t bit = start->frameNumBit + static_cast<std::size_t>(i);
        auto mask = static_cast<std::uint8_t>(0x80 >> (bit % 8));
        bool set = (frameNum >> (syntax_.log2MaxFrameNum - 1 - i)) & 1;
        rbsp[bit / 8] =
            static_cast<std::uint8_t>(set ? rbsp[bit / 8] | mask : rbsp[bit / 8] & ~mask);
      }
      Bytes rewritten{unit[0]};
      rewritten.reserve(unit.size() + 2);
      appendEscaped(rbsp, rewritten);
      unit = std::move(rewritten);
      if (changed)
        *changed = true;
    }
    lastFrameNum_ = frameNum;
    haveReference_ = start->refIdc != 0;
  }
  return true;
}

} // namespace vidorel
