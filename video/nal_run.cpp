#include "video/nal_run.h"

#include <algorithm>
#include <limits>

namespace quillmend::video {
namespace {

// The first fields after a NAL unit's header, read through the emulation prevention bytes (the
// 0x03 an encoder puts after two zero bytes) as a decoder reads them. Reads fail past the unit's
// end instead of reading zeros: a field cut off by the end of its unit is no field. The next
// 57 to 64 bits wait in a register, so an Exp-Golomb code costs one count of leading zeros.
class RbspBits {
 public:
  RbspBits(const std::uint8_t* data, std::uint64_t size) : data_(data), size_(size) {}

  // `count` is 1 ... 32.
  [[nodiscard]] bool Read(int count, std::uint32_t& value) {
    if (available_ < count) Fill();
    if (available_ < count) return false;
    value = static_cast<std::uint32_t>(cache_ >> (64 - count));
    Consume(count);
    return true;
  }
  [[nodiscard]] bool Skip(int count) {
    std::uint32_t ignored = 0;
    return Read(count, ignored);
  }

  // An unsigned Exp-Golomb code that must not exceed `max` (below 2^24, as every limit we check
  // is: a code of more leading zeros is out of range whatever follows them).
  [[nodiscard]] bool ReadUe(std::uint32_t max, std::uint32_t& value) {
    Fill();
    const int zeros = cache_ == 0 ? 64 : __builtin_clzll(cache_);
    if (zeros > 24 || 2 * zeros + 1 > available_) return false;
    const std::uint64_t decoded = (cache_ >> (63 - 2 * zeros)) - 1;
    Consume(2 * zeros + 1);
    if (decoded > max) return false;
    value = static_cast<std::uint32_t>(decoded);
    return true;
  }
  [[nodiscard]] bool SkipUe(std::uint32_t max) {
    std::uint32_t ignored = 0;
    return ReadUe(max, ignored);
  }

  // A signed Exp-Golomb code that must lie in [min, max], min <= 0 < max.
  [[nodiscard]] bool ReadSe(std::int32_t min, std::int32_t max, std::int32_t& value) {
    std::uint32_t code = 0;
    if (!ReadUe(static_cast<std::uint32_t>(std::max(2 * max - 1, -2 * min)), code)) return false;
    const std::int64_t decoded =
        code % 2 != 0 ? (std::int64_t{code} + 1) / 2 : -std::int64_t{code / 2};
    if (decoded < min || decoded > max) return false;
    value = static_cast<std::int32_t>(decoded);
    return true;
  }
  [[nodiscard]] bool SkipSe(std::int32_t min, std::int32_t max) {
    std::int32_t ignored = 0;
    return ReadSe(min, max, ignored);
  }

  // Whether all that is left is the trailing bits: the stop bit, then zeros to the unit's end
  // (whose last byte is not zero, so the stop bit is in it).
  bool AtStopBit() {
    Fill();
    return next_ >= size_ && cache_ == std::uint64_t{1} << 63;
  }
  // Whether syntax is left before the trailing bits.
  bool MoreData() { return !AtStopBit(); }

 private:
  void Fill() {
    while (available_ <= 56 && next_ < size_) {
      if (zeros_ >= 2 && data_[next_] == 0x03) {
        zeros_ = 0;
        if (++next_ >= size_) break;
      }
      const std::uint8_t byte = data_[next_++];
      zeros_ = byte == 0 ? zeros_ + 1 : 0;
      cache_ |= std::uint64_t{byte} << (56 - available_);
      available_ += 8;
    }
  }
  // `count` is 1 ... 63, at most what is available; the bits below stay zero.
  void Consume(int count) {
    cache_ <<= count;
    available_ -= count;
  }

  const std::uint8_t* data_;
  std::uint64_t size_;
  std::uint64_t next_ = 0;   // the next byte to load
  std::uint64_t cache_ = 0;  // the next bits, first bit highest
  int available_ = 0;
  int zeros_ = 0;  // zero bytes just loaded before next_
};

struct UnitCheck {
  bool valid = false;
  bool slice = false;
  bool firstOfPicture = false;
};

constexpr UnitCheck kInvalid{};

// A NAL unit ends with the stop bit of its trailing bits, after a slice perhaps followed by
// cabac_zero_words that end in an emulation prevention byte: its last byte is never zero. SEI
// messages and filler are whole bytes, so their stop bit makes a last byte of 0x80.
constexpr std::uint8_t kStopByte = 0x80;

// The largest picture in macroblocks that any H.264 level allows (8192x4320).
constexpr std::uint32_t kMaxMacroblocks = 139264;

// Deeper luma samples lower the initial quantiser below -26, by 6 a bit: down to here at 16 bits
// (HEVC's range extensions; H.264 stops at 14).
constexpr std::int32_t kMinInitQp = -26 - 6 * 8;

namespace h264 {

enum : std::uint8_t {
  kSlice = 1,
  kIdrSlice = 5,
  kSei = 6,
  kSps = 7,
  kPps = 8,
  kDelimiter = 9,
  kEndOfSequence = 10,
  kEndOfStream = 11,
  kFiller = 12,
};

constexpr std::uint8_t kProfiles[] = {44,  66,  77,  83,  86,  88,  100, 110, 118,
                                      122, 128, 134, 135, 138, 139, 144, 244};

// profile_idc, the constraint flags with their two reserved zero bits, level_idc and the set's
// id. What follows depends on the profile and runs into the optional timing information: the
// start is test enough for a unit that comes once per key frame at most.
bool SpsStart(RbspBits& bits) {
  std::uint32_t profile = 0, constraints = 0, level = 0;
  return bits.Read(8, profile) &&
         std::find(std::begin(kProfiles), std::end(kProfiles), profile) != std::end(kProfiles) &&
         bits.Read(8, constraints) && (constraints & 3) == 0 && bits.Read(8, level) && level >= 9 &&
         level <= 62 && bits.SkipUe(31);
}

// One scaling list: deltas until the list is full or a delta makes the next scale 0, after
// which the last scale repeats.
bool SkipScalingList(RbspBits& bits, int count) {
  std::int32_t last = 8, delta = 0;
  for (int j = 0; j < count; ++j) {
    if (!bits.ReadSe(-128, 127, delta)) return false;
    const std::int32_t next = (last + delta + 256) % 256;
    if (next == 0) return true;
    last = next;
  }
  return true;
}

// The tail of a picture parameter set from transform_8x8_mode_flag on, for a stream with
// `chromaLists` 8x8 chroma scaling lists (4 in 4:4:4, else none), up to the stop bit.
bool PpsTailValid(RbspBits bits, int chromaLists) {
  std::uint32_t transform8x8 = 0, scalingMatrix = 0, present = 0;
  if (!bits.Read(1, transform8x8) || !bits.Read(1, scalingMatrix)) return false;
  const int lists = scalingMatrix == 0 ? 0 : 6 + (transform8x8 != 0 ? 2 + chromaLists : 0);
  for (int i = 0; i < lists; ++i) {
    if (!bits.Read(1, present) || (present != 0 && !SkipScalingList(bits, i < 6 ? 16 : 64))) {
      return false;
    }
  }
  return bits.SkipSe(-12, 12) && bits.AtStopBit();
}

// A picture parameter set is a few bytes of small fields: read whole, it must end exactly on its
// stop bit. The sequence parameter set it refers to is not at hand, so the tail is read as both
// chroma formats allow. Slice groups, an error resilience tool for lossy networks that devices do
// not record with, are turned away.
bool PpsValid(RbspBits& bits) {
  std::uint32_t sliceGroups = 0, bipred = 0;
  if (!bits.SkipUe(255) || !bits.SkipUe(31) || !bits.Skip(2) || !bits.ReadUe(7, sliceGroups) ||
      sliceGroups > 0 || !bits.SkipUe(31) || !bits.SkipUe(31) || !bits.Skip(1) ||
      !bits.Read(2, bipred) || bipred > 2 || !bits.SkipSe(kMinInitQp, 25) ||
      !bits.SkipSe(-26, 25) || !bits.SkipSe(-12, 12) || !bits.Skip(3)) {
    return false;
  }
  return bits.AtStopBit() || PpsTailValid(bits, 0) || PpsTailValid(bits, 4);
}

UnitCheck Check(const std::uint8_t* unit, std::uint64_t size) {
  const std::uint8_t header = unit[0];
  const int refIdc = header >> 5 & 3, type = header & 0x1F;
  if ((header & 0x80) != 0 || unit[size - 1] == 0) return kInvalid;
  RbspBits bits(unit + 1, size - 1);
  switch (type) {
    case kSlice:
    case kIdrSlice: {
      // first_mb_in_slice, slice_type, pic_parameter_set_id. An IDR picture is a reference
      // picture, all intra, and numbered 0: frame_num, at least 4 bits, is zero, after the
      // colour plane's id (0..2) where the planes are coded apart.
      std::uint32_t firstMacroblock = 0, sliceType = 0, next = 0;
      if ((type == kIdrSlice && refIdc == 0) ||
          !bits.ReadUe(kMaxMacroblocks - 1, firstMacroblock) || !bits.ReadUe(9, sliceType) ||
          !bits.SkipUe(255)) {
        return kInvalid;
      }
      if (type == kIdrSlice) {
        if ((sliceType % 5 != 2 && sliceType % 5 != 4) || !bits.Read(6, next)) return kInvalid;
        if (next >> 2 != 0 && (next >> 4 == 3 || (next & 0xF) != 0)) return kInvalid;
      }
      return {true, true, firstMacroblock == 0};
    }
    case kSei:
      // At least a payload type, a payload size and the stop byte.
      return {refIdc == 0 && size >= 4 && unit[size - 1] == kStopByte};
    case kSps:
      return {refIdc != 0 && SpsStart(bits)};
    case kPps:
      return {refIdc != 0 && PpsValid(bits)};
    case kDelimiter:
      // primary_pic_type, then the stop bit: exactly one byte after the header.
      return {refIdc == 0 && size == 2 && (unit[1] & 0x1F) == 0x10};
    case kEndOfSequence:
    case kEndOfStream:
      return {refIdc == 0 && size == 1};
    case kFiller:
      return {refIdc == 0 && size >= 2 && unit[size - 1] == kStopByte &&
              (size == 2 || unit[1] == 0xFF)};
    default:
      // 0 and 24..31 are unspecified, 16..18 and 22..23 reserved. The rest belong to what no
      // phone or camera writes into MP4: data partitions (2..4, a profile for lossy networks),
      // alpha planes (13, 19), scalable, multiview and depth coding (14, 15, 20, 21). Each type
      // turned away also keeps more of what may follow a chunk out of a run: the names of the
      // boxes after the media data ('moov', 'skip', 'uuid') read as types 13, 19 and 21.
      return kInvalid;
  }
}

}  // namespace h264

namespace hevc {

enum : std::uint8_t {
  kTsaN = 2,  // 0..9: trailing, sub-layer switching and leading pictures
  kTsaR = 3,
  kStsaN = 4,
  kStsaR = 5,
  kLastSubLayerSlice = 9,
  kFirstRandomAccess = 16,  // 16..21: broken link, IDR and clean random access pictures
  kLastRandomAccess = 21,
  kVps = 32,
  kSps = 33,
  kPps = 34,
  kDelimiter = 35,
  kEndOfSequence = 36,
  kEndOfBitstream = 37,
  kFiller = 38,
  kPrefixSei = 39,
  kSuffixSei = 40,
  // Left to systems by the standard: dynamic HDR metadata rides in 62 beside the pictures of
  // phone recordings, an enhancement layer in 63.
  kUnspecified62 = 62,
  kUnspecified63 = 63,
};

// The base layer, and one more: the second view of a stereo recording.
constexpr std::uint32_t kMaxLayer = 1;

// The picture parameter set's fields up to the chroma offsets, in range.
bool PpsValid(RbspBits& bits) {
  std::uint32_t qpDelta = 0;
  return bits.SkipUe(63) && bits.SkipUe(15) && bits.Skip(2) &&  // ids, two flags
         bits.Skip(3) && bits.Skip(2) &&                        // extra header bits, two flags
         bits.SkipUe(14) && bits.SkipUe(14) && bits.SkipSe(kMinInitQp, 25) && bits.Skip(2) &&
         bits.Read(1, qpDelta) && (qpDelta == 0 || bits.SkipUe(3)) && bits.SkipSe(-12, 12) &&
         bits.SkipSe(-12, 12);
}

UnitCheck Check(const std::uint8_t* unit, std::uint64_t size) {
  if (size < 2 || (unit[0] & 0x80) != 0) return kInvalid;
  const int type = unit[0] >> 1 & 0x3F;
  const std::uint32_t layer = (unit[0] & 1u) << 5 | unit[1] >> 3;
  const int temporalIdPlus1 = unit[1] & 7;
  if (temporalIdPlus1 == 0 || layer > kMaxLayer || unit[size - 1] == 0) return kInvalid;
  const bool lowestSubLayer = temporalIdPlus1 == 1;
  RbspBits bits(unit + 2, size - 2);
  if (type <= kLastSubLayerSlice || (type >= kFirstRandomAccess && type <= kLastRandomAccess)) {
    const bool randomAccess = type >= kFirstRandomAccess;
    // Random access pictures sit on the lowest sub-layer, sub-layer switching ones above it.
    if (randomAccess && !lowestSubLayer) return kInvalid;
    if (lowestSubLayer &&
        (type == kTsaN || type == kTsaR || ((type == kStsaN || type == kStsaR) && layer == 0))) {
      return kInvalid;
    }
    // first_slice_segment_in_pic_flag, no_output_of_prior_pics_flag (random access only),
    // slice_pic_parameter_set_id.
    std::uint32_t first = 0;
    if (!bits.Read(1, first) || (randomAccess && !bits.Skip(1)) || !bits.SkipUe(63)) {
      return kInvalid;
    }
    return {true, true, first != 0 && layer == 0};
  }
  std::uint32_t subLayers = 0, reserved = 0, profileSpace = 0;
  switch (type) {
    case kVps:
      // The set's id, the base layer's two flags and max_layers_minus1; max_sub_layers_minus1,
      // temporal_id_nesting_flag, then 16 reserved bits all set.
      return {lowestSubLayer && bits.Skip(12) && bits.Read(3, subLayers) && subLayers <= 6 &&
              bits.Skip(1) && bits.Read(16, reserved) && reserved == 0xFFFF};
    case kSps:
      // The video parameter set's id, max_sub_layers_minus1, temporal_id_nesting_flag and the
      // profile space, which is 0. A layer above the base may say by 7 that it has no profile
      // of its own.
      if (!lowestSubLayer || !bits.Skip(4) || !bits.Read(3, subLayers)) return kInvalid;
      return {layer > 0 ||
              (subLayers <= 6 && bits.Skip(1) && bits.Read(2, profileSpace) && profileSpace == 0)};
    case kPps:
      return {PpsValid(bits)};
    case kDelimiter:
      // pic_type (0..2), then the stop bit: exactly one byte after the header.
      return {size == 3 && (unit[2] & 0x1F) == 0x10 && unit[2] >> 5 <= 2};
    case kEndOfSequence:
    case kEndOfBitstream:
      return {size == 2 && lowestSubLayer};
    case kFiller:
      return {size >= 3 && unit[size - 1] == kStopByte && (size == 3 || unit[2] == 0xFF)};
    case kPrefixSei:
    case kSuffixSei:
      return {size >= 5 && unit[size - 1] == kStopByte};
    case kUnspecified62:
    case kUnspecified63:
      return {size >= 3 && layer == 0};
    default:
      // 10..15 and 22..31 are reserved picture types, 41..47 reserved, 48..61 unspecified.
      return kInvalid;
  }
}

}  // namespace hevc

UnitCheck CheckUnit(const std::uint8_t* unit, std::uint64_t size, NalCodec codec) {
  if (size == 0) return kInvalid;
  return codec == NalCodec::kH264 ? h264::Check(unit, size) : hevc::Check(unit, size);
}

// Walks the run at data and hands each unit's end, counted from data, to onUnit.
template <typename OnUnit>
NalRun Walk(const std::uint8_t* data, std::uint64_t size, NalCodec codec, int lengthSize,
            OnUnit&& onUnit) {
  NalRun run;
  if (data == nullptr || (lengthSize != 1 && lengthSize != 2 && lengthSize != 4)) return run;
  const auto fieldBytes = static_cast<std::uint64_t>(lengthSize);
  std::uint64_t at = 0;
  while (size - at > fieldBytes && run.units < std::numeric_limits<std::uint32_t>::max()) {
    std::uint64_t length = 0;
    for (std::uint64_t i = 0; i < fieldBytes; ++i) length = length << 8 | data[at + i];
    if (length == 0 || length > size - at - fieldBytes) break;
    const UnitCheck unit = CheckUnit(data + at + fieldBytes, length, codec);
    if (!unit.valid) break;
    at += fieldBytes + length;
    run.bytes = at;
    ++run.units;
    run.pictures += unit.firstOfPicture ? 1 : 0;
    run.hasPicture = run.hasPicture || unit.slice;
    onUnit(at);
  }
  return run;
}

}  // namespace

NalRun ReadNalRun(const std::uint8_t* data, std::uint64_t size, NalCodec codec, int lengthSize) {
  return Walk(data, size, codec, lengthSize, [](std::uint64_t) {});
}

std::vector<std::uint64_t> NalRunEnds(const std::uint8_t* data, std::uint64_t size, NalCodec codec,
                                      int lengthSize) {
  std::vector<std::uint64_t> ends;
  Walk(data, size, codec, lengthSize, [&](std::uint64_t end) { ends.push_back(end); });
  return ends;
}

bool NalUnitValid(const std::uint8_t* unit, std::uint64_t size, NalCodec codec) {
  return unit != nullptr && CheckUnit(unit, size, codec).valid;
}

}  // namespace quillmend::video
