#include "aac/aac_syntax.h"

#include <cstdlib>

namespace quillmend::aac {
namespace {

// A frame cut by damage reads some way before it breaks; random bytes rarely get this far.
constexpr std::uint32_t kIntactStartBits = 64;
// Encoders move a frame's global gain by less than this from one frame to the next in all but a
// few per cent of frames; a frame made of damaged bytes has a gain anywhere in 0 to 255.
constexpr int kGainJump = 48;

// Seven bits an element (id and instance tag), eight of them in 56 bits and the count above;
// layouts of more elements fold the rest in, which equal layouts still do alike.
constexpr int kPackedElements = 8;
constexpr int kElementBits = 7;

}  // namespace

std::uint64_t ShapeOf(const ElementLayout& layout) {
  if (layout.count == 0) return 0;
  std::uint64_t shape = std::uint64_t{layout.count} << 58;
  for (int i = 0; i < layout.count; ++i) {
    const std::uint64_t element = layout.elements[i] & 0x7f;
    if (i < kPackedElements) {
      shape |= element << (kElementBits * i);
    } else {
      shape ^= (element + 1) * 0x9e3779b97f4a7c15ULL >> 8 >> (i % 7);
    }
  }
  return shape;
}

ElementLayout LayoutOf(std::uint64_t shape) {
  ElementLayout layout;
  const int count = static_cast<int>(shape >> 58);
  layout.count = static_cast<std::uint8_t>(count < kPackedElements ? count : kPackedElements);
  for (int i = 0; i < layout.count; ++i) {
    layout.elements[i] = static_cast<std::uint8_t>((shape >> (kElementBits * i)) & 0x7f);
  }
  return layout;
}

bool AacSyntax::MayStart(std::uint8_t first) const {
  // A frame starts with the stream's first audio element, id and instance tag: seven bits that
  // one offset in 128 of random bytes passes. Some encoders put a fill or data element first
  // now and then (FFmpeg's names itself in its first frame's fill element).
  const int id = first >> 5;
  if (id == kFil || id == kDse) return true;
  if (layout_.count == 0) return id == kSce || id == kCpe;
  return (first >> 1) == layout_.elements[0];
}

FrameRead AacSyntax::Read(const std::uint8_t* data, std::size_t size) const {
  const FrameInfo info = ParseRawDataBlock(data, size, samplingIndex_, objectType_);
  FrameRead read;
  read.status = info.status == FrameStatus::kValid       ? quillmend::FrameStatus::kValid
                : info.status == FrameStatus::kTruncated ? quillmend::FrameStatus::kTruncated
                                                         : quillmend::FrameStatus::kInvalid;
  read.bytes = info.bytes;
  read.bitsRead = info.bitsRead;
  read.shape = ShapeOf(info.layout);
  read.level = info.globalGain;
  return read;
}

bool AacSyntax::Fits(const FrameRead& read) const {
  return read.status == quillmend::FrameStatus::kValid && read.shape != 0 &&
         (shape_ == 0 || read.shape == shape_);
}

bool AacSyntax::Follows(const FrameRead& previous, const FrameRead& next) const {
  return previous.level < 0 || next.level < 0 || std::abs(previous.level - next.level) <= kGainJump;
}

bool AacSyntax::IntactStart(const std::uint8_t* data, const FrameRead& read) const {
  return read.bitsRead >= kIntactStartBits && layout_.count > 0 &&
         (data[0] >> 1) == layout_.elements[0];
}

std::unique_ptr<FrameSyntax> AacSyntax::BindTo(const FrameRead& read) const {
  return std::make_unique<AacSyntax>(samplingIndex_, read.shape, objectType_);
}

}  // namespace quillmend::aac
