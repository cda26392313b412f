#include "aac/raw_data_block.h"

#include <algorithm>
#include <array>
#include <bit>

#include "aac/bit_reader.h"
#include "aac/huffman.h"
#include "aac/sbr.h"
#include "aac/tables.h"

namespace quillmend::aac {

int ElementLayout::Channels() const {
  int channels = 0;
  for (int i = 0; i < count; ++i) {
    const int id = elements[i] >> 4;
    channels += id == kCpe ? 2 : (id == kSce || id == kLfe) ? 1 : 0;
  }
  return channels;
}

bool ElementLayout::operator==(const ElementLayout& other) const {
  return count == other.count && std::equal(elements, elements + count, other.elements);
}

namespace {

// The decoder's input buffer holds 6144 bits per channel, so no frame is longer; with at most
// eight channels no frame is longer than this.
constexpr int kMaxChannels = 8;
constexpr std::uint32_t kMaxBitsPerChannel = 6144;
constexpr std::uint32_t kMaxFrameBytes = kMaxChannels * kMaxBitsPerChannel / 8;

enum WindowSequence { kOnlyLong = 0, kLongStart = 1, kEightShort = 2, kLongStop = 3 };
enum Codebook {
  kZeroBook = 0,
  kEscapeBook = 11,
  kReservedBook = 12,
  kNoiseBook = 13,
  kIntensityBook2 = 14,
  kIntensityBook = 15,
};
enum ExtensionType { kExtensionSbr = 13, kExtensionSbrCrc = 14 };

constexpr int kMaxGroups = 8;
constexpr int kMaxLongBands = 51;
constexpr int kMaxShortBands = 15;
constexpr int kScaleFactorZero = 60;  // the code of "no change"
constexpr int kNoiseOffset = 90;      // noise energies start this far below the global gain
constexpr int kNoiseStartBias = 256;  // the first noise energy's 9-bit difference
// Beyond these the reference decoder clips the value and asks for a sample of the stream: no
// encoder writes them.
constexpr int kMinIntensityPosition = -155, kMaxIntensityPosition = 100;
constexpr int kMinNoiseEnergy = -100, kMaxNoiseEnergy = 155;
constexpr int kMaxScaleFactor = 255;
// The longest escape: eight 1 bits, a 0 and twelve bits, for values up to 8191.
constexpr int kMaxEscapePrefix = 8;
// TNS filters of long windows reach order 20 in AAC Main, 12 in the others.
constexpr int kMaxTnsOrderMain = 20, kMaxTnsOrderLong = 12, kMaxTnsOrderShort = 7;
constexpr int kMaxPredictorResetGroup = 30;  // groups 1 ... 30; 0 and 31 are reserved
constexpr int kMaxLtpBands = 40;             // long-term prediction covers no band above these
constexpr int kMaxPceChannels = kMaxChannels;

struct Bands {
  int count = 0;
  std::uint16_t offset[kMaxLongBands + 1] = {};
};

struct BandSet {
  Bands longWindow, shortWindow;
};

Bands FromWidths(std::span<const std::uint8_t> widths) {
  Bands bands;
  bands.count = static_cast<int>(widths.size());
  for (int i = 0; i < bands.count; ++i) {
    bands.offset[i + 1] = static_cast<std::uint16_t>(bands.offset[i] + widths[i]);
  }
  return bands;
}

const BandSet& BandsAt(int samplingIndex) {
  static const auto sets = [] {
    std::array<BandSet, kSamplingIndexCount> built;
    for (int i = 0; i < kSamplingIndexCount; ++i) {
      built[i] = {FromWidths(LongBandWidths(i)), FromWidths(ShortBandWidths(i))};
    }
    return built;
  }();
  return sets[samplingIndex];
}

struct IcsInfo {
  int windowSequence = kOnlyLong;
  int maxSfb = 0;
  int groups = 1;
  std::uint8_t groupLength[kMaxGroups] = {1};
  const Bands* bands = nullptr;
  bool predictorDataPresent = false;
  bool Short() const { return windowSequence == kEightShort; }
};

struct Section {
  std::uint8_t book, group, start, end;
};

// Which channel of its element an individual channel stream is: intensity stereo codes the right
// channel of a pair from the left one and means nothing anywhere else.
enum class Role { kSingle, kLeft, kRight };

class FrameParser {
 public:
  FrameParser(const std::uint8_t* data, std::uint32_t size, int samplingIndex,
              ObjectType objectType)
      : reader_(data, size),
        bands_(BandsAt(samplingIndex)),
        books_(TheCodebooks()),
        samplingIndex_(samplingIndex),
        objectType_(objectType) {}

  bool ParseElements();
  void ReadSbrPayloads();
  FrameInfo& info() { return info_; }
  const BitReader& reader() const { return reader_; }

 private:
  static bool Fail() { return false; }
  bool AddAudioElement(int id, int tag, int channels);
  bool ParseSingle(bool lfe);
  bool ParsePair();
  bool ParseDataStream();
  bool ParseProgramConfig();
  bool ParseFill();

  bool ParseIcsInfo(IcsInfo& ics);
  bool ParsePrediction(const IcsInfo& ics);
  void SkipLtp(const IcsInfo& ics);
  bool ParseIcs(IcsInfo& ics, bool commonWindow, Role role);
  bool ParseSections(const IcsInfo& ics, Role role);
  bool ParseScaleFactors(int globalGain);
  bool ParsePulses(const IcsInfo& ics);
  bool ParseTns(const IcsInfo& ics);
  bool SkipSpectralData(const IcsInfo& ics);
  bool ReadScaleFactors(BitCache& bits, int globalGain);
  bool ReadScaleFactorDifference(BitCache& bits, int& difference);

  BitReader reader_;
  const BandSet& bands_;
  const Codebooks& books_;
  const int samplingIndex_;
  const ObjectType objectType_;
  FrameInfo info_;
  int channels_ = 0;
  int lastAudioElement_ = -1;  // the element a following SBR payload extends
  // SBR payloads are read once the frame has turned out valid: most starts tried in damaged
  // bytes are not, and reading SBR costs more than the syntax around it.
  struct SbrPlace {
    std::uint32_t start, end;
    std::int8_t element;
    bool crc;
  };
  SbrPlace sbrPlaces_[ElementLayout::kMaxElements];
  int sbrCount_ = 0;
  std::uint16_t tagsSeen_[4] = {};  // by element id, one bit per instance tag
  Section sections_[std::max(kMaxGroups * kMaxShortBands, kMaxLongBands)];
  int sectionCount_ = 0;
};

bool FrameParser::ParseElements() {
  for (;;) {
    if (reader_.Overrun()) return Fail();
    const int id = static_cast<int>(reader_.Read(3));
    bool ok = true;
    switch (id) {
      case kSce:
        ok = ParseSingle(false);
        break;
      case kLfe:
        ok = ParseSingle(true);
        break;
      case kCpe:
        ok = ParsePair();
        break;
      case kCce:
        // Coupling channels belong to multi-channel broadcast streams and no recorder writes
        // them: syntax no recording of ours could check is better left out, and a frame with one
        // is taken for garbage.
        return Fail();
      case kDse:
        ok = ParseDataStream();
        break;
      case kPce:
        ok = ParseProgramConfig();
        break;
      case kFil:
        ok = ParseFill();
        break;
      default:  // kEnd
        return true;
    }
    if (!ok) return Fail();
  }
}

void FrameParser::ReadSbrPayloads() {
  for (int i = 0; i < sbrCount_; ++i) {
    const SbrPlace& place = sbrPlaces_[i];
    BitReader payload(reader_.Data(), reader_.Size());
    payload.SetPosition(place.start);
    const SbrPayload sbr =
        ReadSbrPayload(payload, place.end, place.crc, place.element, samplingIndex_);
    info_.hasSbrHeader = info_.hasSbrHeader || sbr.header;
    info_.hasPs = info_.hasPs || sbr.ps;
  }
}

bool FrameParser::AddAudioElement(int id, int tag, int channels) {
  const auto bit = static_cast<std::uint16_t>(1u << tag);
  if ((tagsSeen_[id] & bit) != 0) return Fail();
  tagsSeen_[id] |= bit;
  lastAudioElement_ = id;
  channels_ += channels;
  if (channels_ > kMaxChannels) return Fail();
  ElementLayout& layout = info_.layout;
  if (layout.count == ElementLayout::kMaxElements) return Fail();
  layout.elements[layout.count++] = static_cast<std::uint8_t>(id << 4 | tag);
  return true;
}

bool FrameParser::ParseSingle(bool lfe) {
  const int tag = static_cast<int>(reader_.Read(4));
  if (!AddAudioElement(lfe ? kLfe : kSce, tag, 1)) return Fail();
  IcsInfo ics;
  return ParseIcs(ics, false, Role::kSingle) && (!lfe || ics.windowSequence == kOnlyLong);
}

bool FrameParser::ParsePair() {
  const int tag = static_cast<int>(reader_.Read(4));
  if (!AddAudioElement(kCpe, tag, 2)) return Fail();
  const bool commonWindow = reader_.ReadBit();
  IcsInfo left;
  if (commonWindow) {
    if (!ParseIcsInfo(left)) return Fail();
    // The right channel's own long-term prediction follows the shared ics_info.
    if (objectType_ == kLtp && left.predictorDataPresent && reader_.ReadBit()) SkipLtp(left);
    const std::uint32_t msMaskPresent = reader_.Read(2);
    if (msMaskPresent == 3) return Fail();  // reserved
    if (msMaskPresent == 1) reader_.Skip(static_cast<std::uint32_t>(left.groups * left.maxSfb));
  }
  IcsInfo right = left;
  return ParseIcs(left, commonWindow, Role::kLeft) && ParseIcs(right, commonWindow, Role::kRight);
}

bool FrameParser::ParseDataStream() {
  reader_.Skip(4);  // element_instance_tag
  const bool align = reader_.ReadBit();
  std::uint32_t count = reader_.Read(8);
  if (count == 255) count += reader_.Read(8);
  if (align) reader_.AlignToByte();
  reader_.Skip(count * 8);
  return true;
}

bool FrameParser::ParseProgramConfig() {
  reader_.Skip(4 + 2);  // element_instance_tag, object_type
  if (reader_.Read(4) >= kSamplingIndexCount) return Fail();
  const int front = static_cast<int>(reader_.Read(4));
  const int side = static_cast<int>(reader_.Read(4));
  const int back = static_cast<int>(reader_.Read(4));
  const int lfe = static_cast<int>(reader_.Read(2));
  const int assocData = static_cast<int>(reader_.Read(3));
  const int coupling = static_cast<int>(reader_.Read(4));
  if (reader_.ReadBit()) reader_.Skip(4);  // mono_mixdown_element_number
  if (reader_.ReadBit()) reader_.Skip(4);  // stereo_mixdown_element_number
  if (reader_.ReadBit()) reader_.Skip(3);  // matrix_mixdown_idx, pseudo_surround_enable
  int channels = lfe;
  for (int i = 0; i < front + side + back; ++i) {
    channels += reader_.ReadBit() ? 2 : 1;  // is_cpe
    reader_.Skip(4);                        // element tag select
  }
  if (channels > kMaxPceChannels) return Fail();
  reader_.Skip(static_cast<std::uint32_t>(4 * lfe + 4 * assocData + 5 * coupling));
  reader_.AlignToByte();
  reader_.Skip(reader_.Read(8) * 8);  // comment_field_bytes
  return true;
}

bool FrameParser::ParseFill() {
  std::uint32_t count = reader_.Read(4);
  if (count == 15) count += reader_.Read(8) - 1;
  if (count > 0) {
    const std::uint32_t type = reader_.Peek32() >> 28;
    if (type == kExtensionSbr || type == kExtensionSbrCrc) {
      info_.hasSbr = true;
      if (sbrCount_ < ElementLayout::kMaxElements) {
        const std::uint32_t start = reader_.Position();
        sbrPlaces_[sbrCount_++] = {start + 4, start + count * 8,
                                   static_cast<std::int8_t>(lastAudioElement_),
                                   type == kExtensionSbrCrc};
      }
    }
  }
  info_.fillBytes =
      static_cast<std::uint16_t>(std::min<std::uint32_t>(info_.fillBytes + count, 0xFFFF));
  reader_.Skip(count * 8);
  return true;
}

bool FrameParser::ParseIcsInfo(IcsInfo& ics) {
  if (reader_.ReadBit()) return Fail();  // ics_reserved_bit
  ics.windowSequence = static_cast<int>(reader_.Read(2));
  reader_.Skip(1);  // window_shape
  if (ics.Short()) {
    ics.maxSfb = static_cast<int>(reader_.Read(4));
    const std::uint32_t grouping = reader_.Read(7);
    ics.groups = 1;
    ics.groupLength[0] = 1;
    for (int bit = 6; bit >= 0; --bit) {
      if ((grouping >> bit) & 1) {
        ++ics.groupLength[ics.groups - 1];
      } else {
        ics.groupLength[ics.groups++] = 1;
      }
    }
    ics.bands = &bands_.shortWindow;
  } else {
    ics.maxSfb = static_cast<int>(reader_.Read(6));
    ics.groups = 1;
    ics.groupLength[0] = 1;
    ics.bands = &bands_.longWindow;
    // Short windows carry no prediction data; long ones say whether they do.
    ics.predictorDataPresent = reader_.ReadBit();
    if (ics.predictorDataPresent) {
      if (objectType_ == kMain) {
        if (!ParsePrediction(ics)) return Fail();
      } else if (objectType_ == kLtp) {
        if (reader_.ReadBit()) SkipLtp(ics);  // ltp_data_present
      } else {
        return Fail();
      }
    }
  }
  return ics.maxSfb <= ics.bands->count;
}

bool FrameParser::ParsePrediction(const IcsInfo& ics) {
  info_.hasPrediction = true;
  if (reader_.ReadBit()) {  // predictor_reset
    const int group = static_cast<int>(reader_.Read(5));
    if (group == 0 || group > kMaxPredictorResetGroup) return Fail();
  }
  // prediction_used, one bit per band the predictors cover
  reader_.Skip(
      static_cast<std::uint32_t>(std::min(ics.maxSfb, PredictionBandLimit(samplingIndex_))));
  return true;
}

// Only long windows reach here: the syntax has no place for long-term prediction in a frame of
// eight short windows.
void FrameParser::SkipLtp(const IcsInfo& ics) {
  info_.hasLtp = true;
  reader_.Skip(11 + 3);  // ltp_lag, ltp_coef
  reader_.Skip(static_cast<std::uint32_t>(std::min(ics.maxSfb, kMaxLtpBands)));  // ltp_long_used
}

bool FrameParser::ParseIcs(IcsInfo& ics, bool commonWindow, Role role) {
  const int globalGain = static_cast<int>(reader_.Read(8));
  if (info_.globalGain < 0) info_.globalGain = static_cast<std::int16_t>(globalGain);
  if (!commonWindow && !ParseIcsInfo(ics)) return Fail();
  if (!ParseSections(ics, role) || !ParseScaleFactors(globalGain)) return Fail();
  if (reader_.ReadBit() && !ParsePulses(ics)) return Fail();
  if (reader_.ReadBit() && !ParseTns(ics)) return Fail();
  if (reader_.ReadBit()) return Fail();  // gain_control_data_present: SSR only
  const auto maxSfb = static_cast<std::uint8_t>(ics.maxSfb);
  std::uint8_t& top = ics.Short() ? info_.maxShortBand : info_.maxLongBand;
  top = std::max(top, maxSfb);
  return SkipSpectralData(ics);
}

bool FrameParser::ParseSections(const IcsInfo& ics, Role role) {
  const int lengthBits = ics.Short() ? 3 : 5;
  const std::uint32_t escape = (1u << lengthBits) - 1;
  sectionCount_ = 0;
  for (int group = 0; group < ics.groups; ++group) {
    for (int band = 0; band < ics.maxSfb;) {
      const int book = static_cast<int>(reader_.Read(4));
      if (book == kReservedBook) return Fail();
      if ((book == kIntensityBook || book == kIntensityBook2) && role != Role::kRight) {
        return Fail();
      }
      if (book == kIntensityBook || book == kIntensityBook2) info_.intensity = true;
      if (book == kNoiseBook) {
        const int line = ics.bands->offset[band] * (ics.Short() ? 8 : 1);
        info_.firstNoiseLine = std::min(info_.firstNoiseLine, static_cast<std::uint16_t>(line));
      }
      int length = 0;
      for (std::uint32_t increment = escape; increment == escape && band + length <= ics.maxSfb;) {
        increment = reader_.Read(lengthBits);
        length += static_cast<int>(increment);
      }
      // Encoders never write an empty section; sections end exactly at max_sfb.
      if (length == 0 || band + length > ics.maxSfb) return Fail();
      sections_[sectionCount_++] = {
          static_cast<std::uint8_t>(book), static_cast<std::uint8_t>(group),
          static_cast<std::uint8_t>(band), static_cast<std::uint8_t>(band + length)};
      band += length;
    }
  }
  return true;
}

inline bool FrameParser::ReadScaleFactorDifference(BitCache& bits, int& difference) {
  bits.Fill();
  const DecodeEntry entry = books_.scaleFactors.Lookup(bits.Peek32());
  if (entry.Length() == 0) return Fail();
  bits.Skip(entry.Length());
  difference = entry.Value() - kScaleFactorZero;
  return true;
}

// Scale factors, noise energies and intensity positions each run on from the previous band of
// their kind, and each has its own range.
bool FrameParser::ParseScaleFactors(int globalGain) {
  BitCache bits(reader_.Data(), reader_.Size(), reader_.Position());
  const bool ok = ReadScaleFactors(bits, globalGain);
  reader_.SetPosition(bits.Position());
  return ok;
}

bool FrameParser::ReadScaleFactors(BitCache& bits, int globalGain) {
  int scaleFactor = globalGain;
  int noiseEnergy = globalGain - kNoiseOffset;
  int intensityPosition = 0;
  bool firstNoise = true;
  for (int s = 0; s < sectionCount_; ++s) {
    const Section& section = sections_[s];
    for (int band = section.start; band < section.end; ++band) {
      int difference = 0;
      switch (section.book) {
        case kZeroBook:
          break;
        case kIntensityBook:
        case kIntensityBook2:
          if (!ReadScaleFactorDifference(bits, difference)) return Fail();
          intensityPosition += difference;
          if (intensityPosition < kMinIntensityPosition ||
              intensityPosition > kMaxIntensityPosition) {
            return Fail();
          }
          break;
        case kNoiseBook:
          if (firstNoise) {
            difference = static_cast<int>(bits.Read(9)) - kNoiseStartBias;
            firstNoise = false;
          } else if (!ReadScaleFactorDifference(bits, difference)) {
            return Fail();
          }
          noiseEnergy += difference;
          if (noiseEnergy < kMinNoiseEnergy || noiseEnergy > kMaxNoiseEnergy) return Fail();
          break;
        default:
          if (!ReadScaleFactorDifference(bits, difference)) return Fail();
          scaleFactor += difference;
          if (scaleFactor < 0 || scaleFactor > kMaxScaleFactor) return Fail();
          break;
      }
    }
  }
  return true;
}

bool FrameParser::ParsePulses(const IcsInfo& ics) {
  if (ics.Short()) return Fail();
  const int pulses = static_cast<int>(reader_.Read(2)) + 1;
  const int startBand = static_cast<int>(reader_.Read(6));
  if (startBand >= ics.bands->count) return Fail();
  int line = ics.bands->offset[startBand];
  for (int i = 0; i < pulses; ++i) {
    line += static_cast<int>(reader_.Read(5));
    if (line >= ics.bands->offset[ics.bands->count]) return Fail();
    reader_.Skip(4);  // pulse_amp
  }
  return true;
}

bool FrameParser::ParseTns(const IcsInfo& ics) {
  const bool isShort = ics.Short();
  const int windows = isShort ? 8 : 1;
  const int filterCountBits = isShort ? 1 : 2;
  const int lengthBits = isShort ? 4 : 6;
  const int orderBits = isShort ? 3 : 5;
  const int maxOrder = isShort                ? kMaxTnsOrderShort
                       : objectType_ == kMain ? kMaxTnsOrderMain
                                              : kMaxTnsOrderLong;
  for (int window = 0; window < windows; ++window) {
    const int filters = static_cast<int>(reader_.Read(filterCountBits));
    if (filters == 0) continue;
    const int coefResolution = reader_.ReadBit() ? 1 : 0;
    const bool first = !isShort && info_.tnsFilters == 0;
    if (first) {
      info_.tnsFilters = static_cast<std::uint8_t>(filters);
      info_.tnsMaxBand = static_cast<std::uint8_t>(ics.maxSfb);
    }
    for (int filter = 0; filter < filters; ++filter) {
      const auto length = static_cast<std::uint8_t>(reader_.Read(lengthBits));
      const int order = static_cast<int>(reader_.Read(orderBits));
      if (order > maxOrder) return Fail();
      if (first && filter < 2) {
        info_.tnsLength[filter] = length;
        info_.tnsOrder[filter] = static_cast<std::uint8_t>(order);
      }
      if (order == 0) continue;
      reader_.Skip(1);  // direction
      const int compress = reader_.ReadBit() ? 1 : 0;
      reader_.Skip(static_cast<std::uint32_t>(order * (3 + coefResolution - compress)));
    }
  }
  return true;
}

// The hot loop of the parser: every codeword is one table lookup (rarely two) that also covers
// the sign bits after it.
bool FrameParser::SkipSpectralData(const IcsInfo& ics) {
  BitCache bits(reader_.Data(), reader_.Size(), reader_.Position());
  const std::uint16_t* offset = ics.bands->offset;
  bool ok = true;
  for (int s = 0; s < sectionCount_ && ok; ++s) {
    const Section& section = sections_[s];
    if (section.book == kZeroBook || section.book >= kNoiseBook) continue;
    const int lines =
        (offset[section.end] - offset[section.start]) * ics.groupLength[section.group];
    const int tuples = lines / (section.book < 5 ? 4 : 2);
    const SpectralTable& table = books_.spectral[section.book];
    if (section.book != kEscapeBook) {
      for (int left = tuples; left > 0 && ok;) {
        bits.Fill();
        const DecodeEntry entry = table.Lookup(bits.Peek32());
        ok = entry.Length() != 0;
        if (entry.Count() <= left) {
          bits.Skip(entry.Length());
          left -= entry.Count();
        } else {  // the section ends within the entry's tuples
          bits.Skip(entry.Value());
          --left;
        }
      }
      continue;
    }
    for (int i = 0; i < tuples && ok; ++i) {
      bits.Fill();
      const DecodeEntry entry = table.Lookup(bits.Peek32());
      ok = entry.Length() != 0;
      bits.Skip(entry.Length());
      for (int escape = 0; escape < entry.Value() && ok; ++escape) {
        bits.Fill();
        const int prefix = std::countl_one(bits.Peek32());
        ok = prefix <= kMaxEscapePrefix;
        if (ok) bits.Skip(2 * prefix + 5);
      }
    }
  }
  reader_.SetPosition(bits.Position());
  return ok;
}

}  // namespace

FrameInfo ParseRawDataBlock(const std::uint8_t* data, std::size_t size, int samplingIndex,
                            ObjectType objectType) {
  if (data == nullptr || samplingIndex < 0 || samplingIndex >= kSamplingIndexCount ||
      (objectType != kMain && objectType != kLc && objectType != kLtp)) {
    return FrameInfo{};
  }
  // No frame is longer; the bytes after it are never needed.
  const bool clipped = size > kMaxFrameBytes;
  const auto readable = static_cast<std::uint32_t>(clipped ? kMaxFrameBytes : size);
  FrameParser parser(data, readable, samplingIndex, objectType);
  const bool ok = parser.ParseElements();
  BitReader reader = parser.reader();
  FrameInfo& info = parser.info();
  // ID_END is followed by the byte alignment, which belongs to the frame.
  if (ok) reader.AlignToByte();
  if (reader.Overrun()) {
    // The syntax went on past the bytes given: more bytes may finish it, unless it went past the
    // longest frame there can be.
    info.status = clipped ? FrameStatus::kInvalid : FrameStatus::kTruncated;
    info.bitsRead = reader.SizeInBits();
    return info;
  }
  info.bitsRead = reader.Position();
  if (!ok) {
    info.status = FrameStatus::kInvalid;
    return info;
  }
  const int channels = info.layout.Channels();
  if (channels == 0 ||
      reader.Position() > kMaxBitsPerChannel * static_cast<std::uint32_t>(channels)) {
    info.status = FrameStatus::kInvalid;
    return info;
  }
  parser.ReadSbrPayloads();
  info.status = FrameStatus::kValid;
  info.bytes = reader.Position() / 8;
  return info;
}

}  // namespace quillmend::aac
