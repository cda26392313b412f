#include "alac/frame.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "alac/bit_stream.h"

namespace quillmend::alac {
namespace {

// The elements of each channel count in order, S for a single channel and C for a pair, as
// encoders lay them out: the centre first, then the front pair, the back pairs and the rest.
constexpr const char* kLayouts[kMaxChannels] = {"S",   "C",    "SC",    "SCS",
                                                "SCC", "SCCS", "SCCSS", "SCCCS"};

// A Rice code whose unary prefix reaches this many ones is an escape: the value follows in
// full.
constexpr int kEscapePrefix = 9;
// Below this history the coder sends runs of zero residuals as one count.
constexpr std::uint32_t kZeroRunHistory = 128;
// A zero run's count is at most 16 bits wide, so it always carries the sign modifier.
constexpr int kZeroRunEscapeBits = 16;
constexpr std::uint32_t kHistoryLimit = 0xFFFF;

// The bytes shifted out of compressed samples, as encoders pick them from the bit depth: the
// low byte of 24-bit samples and the low two of 32-bit ones are stored as they are, so that the
// residual coder never sees more than 16 bits plus the pair's extra one. Both encoder families
// we know write exactly this; it is also what tells 16-bit frames from 24-bit ones when no
// residual escapes.
int UsualShiftBytes(int bitDepth) { return bitDepth >= 32 ? 2 : bitDepth >= 24 ? 1 : 0; }

int Log2(std::uint32_t value) {
  return value == 0 ? 0 : static_cast<int>(std::bit_width(value)) - 1;
}

enum class Outcome : std::uint8_t { kOk, kInvalid, kTruncated };

// One code of the residual coder with parameter k (1 ... 23), at least 32 bits ready.
inline std::uint32_t Code(BitStream& bits, int k, int escapeBits) {
  const std::uint32_t word = bits.Peek32();
  // The leading ones, counted up to the escape's nine: a bit cleared below them spares the count
  // a case for a word of all ones.
  const int ones = std::countl_one(word & ~(1u << (31 - kEscapePrefix)));
  if (ones >= kEscapePrefix) [[unlikely]] {
    bits.Skip(kEscapePrefix);
    return bits.Read(escapeBits);
  }
  // The value is ones * (2^k - 1) plus a remainder in the k bits after the unary prefix's zero
  // (ones + 1 + k is at most 32: they lie within the word). Those k bits hold the remainder plus
  // one; a remainder of 0 is sent in k - 1 zero bits instead. With k = 1 there is no remainder,
  // and the same arithmetic gives that.
  const std::uint32_t rest = (word << (ones + 1)) >> (32 - k);
  const std::uint32_t carries = rest > 1 ? 1 : 0;
  bits.Skip(ones + k + static_cast<int>(carries));
  return static_cast<std::uint32_t>(ones) * ((1u << k) - 1) + ((rest - 1) & (0u - carries));
}

// Reads the `count` adaptive Rice codes of one channel without keeping their values: the history
// that picks each code's parameter, and the runs of zeros it allows, depend only on the values
// read before.
Outcome SkipResiduals(BitStream& stream, std::uint32_t count, int escapeBits,
                      std::uint32_t historyMult, std::uint32_t initialHistory, int riceLimit) {
  // A copy whose address never escapes stays in registers through the loop.
  BitStream bits = stream;
  const std::uint64_t end = bits.SizeInBits();
  std::uint32_t history = initialHistory;
  std::uint32_t signModifier = 0;
  Outcome outcome = Outcome::kOk;
  for (std::uint32_t i = 0; i < count; ++i) {
    // Every code takes at least one bit, so checking at each refill bounds the loop by the bytes
    // given; codes read from the zeros past them are thrown away with the frame.
    if (!bits.FillBefore(end)) {
      outcome = Outcome::kTruncated;
      break;
    }
    const int k = std::min(31 - std::countl_zero((history >> 9) + 3), riceLimit);
    const std::uint32_t value = Code(bits, k, escapeBits) + signModifier;
    signModifier = 0;
    // Unsigned arithmetic that wraps as decoders compute it.
    if (value > kHistoryLimit) {
      history = kHistoryLimit;
    } else {
      history += value * historyMult - ((history * historyMult) >> 9);
    }
    if (history < kZeroRunHistory && i + 1 < count) [[unlikely]] {
      const int runK =
          std::min(7 - Log2(history) + static_cast<int>((history + 16) >> 6), riceLimit);
      bits.Fill();
      const std::uint32_t run = Code(bits, runK, kZeroRunEscapeBits);
      // A run that reaches past the frame's last sample is not one an encoder counted.
      if (run >= count - i) {
        outcome = Outcome::kInvalid;
        break;
      }
      i += run;
      signModifier = 1;
      history = 0;
    }
  }
  stream = bits;
  return outcome;
}

// Which layouts the elements read so far may still become: one bit per channel count.
class LayoutCheck {
 public:
  explicit LayoutCheck(int channels)
      : possible_(channels == 0              ? (1u << kMaxChannels) - 1
                  : channels <= kMaxChannels ? 1u << (channels - 1)
                                             : 0) {}

  // Takes the next element; false when no layout has it at this place.
  bool Add(int type) {
    std::uint32_t still = 0;
    for (int c = 0; c < kMaxChannels; ++c) {
      if (!(possible_ >> c & 1)) continue;
      const char* layout = kLayouts[c];
      if (static_cast<std::size_t>(count_) >= std::strlen(layout)) continue;
      const char kind = layout[count_];
      // A low-frequency channel is never the first element: that is the centre, or the pair of
      // a stereo stream.
      const bool fits = type == kCpe ? kind == 'C' : kind == 'S' && (type == kSce || count_ > 0);
      if (fits) still |= 1u << c;
    }
    possible_ = still;
    ++count_;
    return possible_ != 0;
  }
  // Whether the elements read make a whole layout.
  bool Complete() const {
    for (int c = 0; c < kMaxChannels; ++c) {
      if ((possible_ >> c & 1) && std::strlen(kLayouts[c]) == static_cast<std::size_t>(count_)) {
        return true;
      }
    }
    return false;
  }

 private:
  std::uint32_t possible_;
  int count_ = 0;
};

class FrameReader {
 public:
  FrameReader(const std::uint8_t* data, std::size_t size, const Config& config)
      : bits_(data, size), config_(config), layout_(config.numChannels) {}

  FrameInfo Read() {
    if (config_.bitDepth < 1 || config_.bitDepth > 32 || config_.frameLength == 0 ||
        config_.numChannels > kMaxChannels) {
      return Done(Outcome::kInvalid);
    }
    for (;;) {
      const int type = static_cast<int>(bits_.Read(3));
      if (type == kEnd) break;
      if (type != kSce && type != kCpe && type != kLfe) return Done(Outcome::kInvalid);
      if (!layout_.Add(type)) return Done(Outcome::kInvalid);
      const Outcome element = Element(type);
      if (element != Outcome::kOk) return Done(element);
    }
    if (info_.layout.count == 0 || !layout_.Complete()) return Done(Outcome::kInvalid);
    return Done(Outcome::kOk);
  }

 private:
  Outcome Element(int type) {
    const int channels = type == kCpe ? 2 : 1;
    const int tag = static_cast<int>(bits_.Read(4));
    info_.layout.elements[info_.layout.count++] = static_cast<std::uint8_t>(type << 4 | tag);
    if (bits_.Read(12) != 0) return Outcome::kInvalid;  // unused, written as zero
    const bool hasSize = bits_.Read(1) != 0;
    const int shiftBytes = static_cast<int>(bits_.Read(2));
    const bool verbatim = bits_.Read(1) != 0;
    std::uint32_t samples = config_.frameLength;
    if (hasSize) {
      samples = bits_.Read(32);
      if (samples == 0 || samples > config_.frameLength) return Outcome::kInvalid;
    }
    if (info_.layout.count == 1) {
      info_.samples = samples;
      info_.partial = hasSize;
    } else if (samples != info_.samples) {
      return Outcome::kInvalid;  // every element of a frame holds the same stretch of time
    }

    if (verbatim) {
      // Encoders store uncompressed samples whole, with nothing shifted out.
      if (shiftBytes != 0) return Outcome::kInvalid;
      ++info_.verbatim;
      MarkSamples();
      bits_.SkipLong(std::uint64_t{samples} * static_cast<std::uint64_t>(channels) *
                     config_.bitDepth);
      return bits_.Overrun() ? Outcome::kTruncated : Outcome::kOk;
    }

    // A stream whose residual coder has no Rice parameter stores every frame verbatim.
    if (config_.kb == 0) return Outcome::kInvalid;
    if (shiftBytes != UsualShiftBytes(config_.bitDepth)) return Outcome::kInvalid;
    const int escapeBits = config_.bitDepth - 8 * shiftBytes + channels - 1;
    if (escapeBits > 32) return Outcome::kInvalid;
    const std::uint32_t mixBits = bits_.Read(8);
    const std::uint32_t mixWeight = bits_.Read(8);
    // A single channel has nothing to mix; a pair's mix shifts a 32-bit value.
    if (channels == 1 ? (mixBits | mixWeight) != 0 : mixBits > 31) return Outcome::kInvalid;

    std::uint32_t historyMult[2];
    for (int c = 0; c < channels; ++c) {
      const std::uint32_t mode = bits_.Read(4);
      const std::uint32_t quantShift = bits_.Read(4);
      const std::uint32_t riceModifier = bits_.Read(3);
      const std::uint32_t order = bits_.Read(5);
      // Mode 0 predicts once; 15 runs a first-order pass before it. The others are reserved.
      if (mode != 0 && mode != 15) return Outcome::kInvalid;
      if (quantShift == 0 || order >= config_.frameLength) return Outcome::kInvalid;
      historyMult[c] = riceModifier * config_.pb / 4;
      bits_.SkipLong(16 * order);  // the coefficients: any 16-bit values
    }
    MarkSamples();
    if (shiftBytes != 0) {
      bits_.SkipLong(std::uint64_t{samples} * static_cast<std::uint64_t>(channels) * 8 *
                     static_cast<std::uint64_t>(shiftBytes));
    }
    if (bits_.Overrun()) return Outcome::kTruncated;
    for (int c = 0; c < channels; ++c) {
      const Outcome residuals =
          SkipResiduals(bits_, samples, escapeBits, historyMult[c], config_.mb, config_.kb);
      if (residuals != Outcome::kOk) return residuals;
    }
    return Outcome::kOk;
  }

  void MarkSamples() {
    if (info_.layout.count == 1) info_.samplesBit = static_cast<std::uint32_t>(bits_.Position());
  }

  // Bits read from the zeros past the end decide nothing: the frame needs more bytes.
  FrameInfo Done(Outcome outcome) {
    const std::uint64_t position = bits_.Position();
    const std::uint64_t size = bits_.SizeInBits();
    info_.bitsRead = static_cast<std::uint32_t>(std::min(position, size));
    if (position > size || outcome == Outcome::kTruncated) {
      info_.status = FrameStatus::kTruncated;
    } else if (outcome == Outcome::kInvalid) {
      info_.status = FrameStatus::kInvalid;
    } else {
      info_.status = FrameStatus::kValid;
      info_.bytes = static_cast<std::uint32_t>((position + 7) / 8);
    }
    if (info_.samplesBit > info_.bitsRead) info_.samplesBit = 0;
    return info_;
  }

  BitStream bits_;
  const Config& config_;
  LayoutCheck layout_;
  FrameInfo info_;
};

}  // namespace

int ElementLayout::Channels() const {
  int channels = 0;
  for (int i = 0; i < count; ++i) channels += (elements[i] >> 4) == kCpe ? 2 : 1;
  return channels;
}

bool ElementLayout::operator==(const ElementLayout& other) const {
  return count == other.count && std::equal(elements, elements + count, other.elements);
}

FrameInfo ParseFrame(const std::uint8_t* data, std::size_t size, const Config& config) {
  // The longest frame a cookie allows (65536 samples of eight 32-bit channels, verbatim) takes
  // 2 MiB; looking no further keeps every bit count within 32 bits.
  constexpr std::size_t kMaxSize = std::size_t{1} << 24;
  return FrameReader(data, std::min(size, kMaxSize), config).Read();
}

}  // namespace quillmend::alac
