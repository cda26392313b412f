#include "alac/alac_syntax.h"

#include <algorithm>

namespace quillmend::alac {
namespace {

constexpr int kShapeDepthBits = 6;
constexpr int kShapeCountBits = 3;
constexpr int kShapeElementBits = 7;  // type (3 bits) and instance tag (4)
constexpr int kShapeFirstElement = kShapeDepthBits + kShapeCountBits;

// How far into its samples a cut frame must have read to count as one that was written: past the
// header and predictor tables, whose checks random bytes rarely pass, and a few codes on. A
// silent frame's samples take only a few dozen bits.
constexpr std::uint32_t kIntactSampleBits = 16;

constexpr int kDepths[] = {16, 20, 24, 32};

bool Usable(const Config& config) {
  return config.numChannels >= 1 && config.numChannels <= kMaxChannels &&
         (config.bitDepth == 16 || config.bitDepth == 20 || config.bitDepth == 24 ||
          config.bitDepth == 32) &&
         config.frameLength >= 1 && config.frameLength <= kMaxFrameLength;
}

// The type of the first element: the pair of a stereo stream, else the centre channel.
std::uint8_t FirstType(int channels) { return channels == 2 ? kCpe : kSce; }

// The bits every frame's first element header starts with: type, instance tag and the first of
// the unused bits, which is zero.
constexpr std::uint8_t kFirstByteTypeAndZero = 0xE1;

}  // namespace

std::uint64_t PackShape(const ElementLayout& layout, int bitDepth) {
  if (layout.count == 0) return 0;
  std::uint64_t shape =
      static_cast<std::uint64_t>(bitDepth) | (std::uint64_t{layout.count} << kShapeDepthBits);
  for (int i = 0; i < layout.count; ++i) {
    shape |= std::uint64_t{layout.elements[i]} << (kShapeFirstElement + kShapeElementBits * i);
  }
  return shape;
}

AlacSyntax::AlacSyntax(const Config& config, std::uint64_t shape)
    : config_(config), shape_(shape), firstType_(FirstType(config.numChannels)) {}

bool AlacSyntax::MayStart(std::uint8_t first) const {
  if (shape_ != 0) {
    // type << 4 | tag, moved up over the zero bit that follows.
    const auto element = static_cast<std::uint8_t>(shape_ >> kShapeFirstElement & 0x7F);
    return first == static_cast<std::uint8_t>(element << 1);
  }
  return (first & kFirstByteTypeAndZero) == firstType_ << 5;
}

FrameRead AlacSyntax::Read(const std::uint8_t* data, std::size_t size) const {
  const FrameInfo info = ParseFrame(data, size, config_);
  FrameRead read;
  read.status = info.status;
  read.bitsRead = info.bitsRead;
  if (info.status == FrameStatus::kValid) {
    read.bytes = info.bytes;
    read.shape = PackShape(info.layout, config_.bitDepth);
    read.level = static_cast<std::int32_t>(info.samples);
  }
  return read;
}

bool AlacSyntax::Fits(const FrameRead& read) const {
  return read.status == FrameStatus::kValid && read.shape != 0 &&
         (shape_ == 0 || read.shape == shape_);
}

bool AlacSyntax::Follows(const FrameRead& previous, const FrameRead&) const {
  return previous.level == static_cast<std::int32_t>(config_.frameLength);
}

bool AlacSyntax::IntactStart(const std::uint8_t* data, const FrameRead& read) const {
  if (data == nullptr || read.bitsRead == 0) return false;
  // Only the bytes the reading covered, which the caller had.
  const FrameInfo again = ParseFrame(data, (read.bitsRead + 7) / 8, config_);
  if (again.layout.count == 0 || again.samplesBit == 0) return false;
  const std::uint8_t first = again.layout.elements[0];
  const bool sameStart =
      shape_ != 0 ? first == (shape_ >> kShapeFirstElement & 0x7F) : (first >> 4) == firstType_;
  return sameStart && read.bitsRead >= again.samplesBit + kIntactSampleBits;
}

std::unique_ptr<FrameSyntax> AlacSyntax::BindTo(const FrameRead& read) const {
  return std::make_unique<AlacSyntax>(config_, read.shape);
}

std::unique_ptr<FrameSyntax> MakeSyntax(const Config& config) {
  if (!Usable(config)) return nullptr;
  return std::make_unique<AlacSyntax>(config);
}

std::unique_ptr<FrameSyntax> MakeSyntaxFromCookie(const std::uint8_t* data, std::size_t size) {
  const std::optional<Config> config = ParseCookie(data, size);
  return config ? MakeSyntax(*config) : nullptr;
}

namespace {

struct Chain {
  std::uint32_t frames = 0;
  int channels = 0;
  bool fillsRange = false;  // the last frame ends exactly at the end of the range
};

// The frames that follow each other from `at` under `config`, up to `enough`.
Chain ChainAt(const std::uint8_t* data, std::uint64_t at, std::uint64_t end, const Config& config,
              std::uint32_t enough) {
  Chain chain;
  ElementLayout layout;
  while (chain.frames < enough && at < end) {
    const FrameInfo info = ParseFrame(data + at, static_cast<std::size_t>(end - at), config);
    if (info.status != FrameStatus::kValid) break;
    if (chain.frames == 0) {
      layout = info.layout;
      chain.channels = layout.Channels();
    } else if (!(info.layout == layout)) {
      break;
    }
    ++chain.frames;
    at += info.bytes;
    chain.fillsRange = at == end;
    if (info.partial) break;  // the stream's last frame
  }
  return chain;
}

// A cheap first look: an element type with one or two channels, and the twelve unused bits of
// its header zero.
bool MayBeFrame(const std::uint8_t* p, std::uint64_t available) {
  if (available < 3) return false;
  const int type = p[0] >> 5;
  return (type == kSce || type == kCpe) && (p[0] & 1) == 0 && p[1] == 0 && (p[2] & 0xE0) == 0;
}

}  // namespace

Inference InferConfig(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
                      const InferOptions& options) {
  Inference result;
  if (data == nullptr || begin >= end) return result;
  const std::uint32_t enough = std::max<std::uint32_t>(options.enoughFrames, 2);
  const std::uint64_t last = end - begin > options.searchBytes ? begin + options.searchBytes : end;
  Inference lone;  // the first lone frame, in case no chain turns up
  for (std::uint64_t at = begin; at < last; ++at) {
    if (!MayBeFrame(data + at, end - at)) continue;
    Chain best;
    int bestDepth = 0;
    std::uint32_t rival = 0;
    for (int depth : kDepths) {
      Config config = options.defaults;
      config.bitDepth = static_cast<std::uint8_t>(depth);
      config.numChannels = 0;  // any layout: the frames tell
      const Chain chain = ChainAt(data, at, end, config, enough);
      if (chain.frames > best.frames) {
        rival = std::max(rival, best.frames);
        best = chain;
        bestDepth = depth;
      } else {
        rival = std::max(rival, chain.frames);
      }
    }
    if (best.frames == 0) continue;
    Inference found;
    found.config = options.defaults;
    found.config.bitDepth = static_cast<std::uint8_t>(bestDepth);
    found.config.numChannels = static_cast<std::uint8_t>(best.channels);
    found.start = at;
    found.frames = best.frames;
    found.rivalFrames = rival;
    const bool filled = best.fillsRange;
    if ((best.frames >= enough || (filled && best.frames >= 3)) && rival < best.frames) {
      found.certainty = Certainty::kSure;
    } else if (best.frames >= 3 || (filled && best.frames >= 2)) {
      found.certainty = Certainty::kLikely;
    } else {
      found.certainty = Certainty::kGuess;
    }
    if (best.frames >= 2 || filled) return found;
    if (lone.certainty == Certainty::kNone) lone = found;
  }
  return lone;
}

}  // namespace quillmend::alac
