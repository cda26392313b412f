#pragma once
// AAC's frames as the walk sees them (core/frame_syntax.h): a raw_data_block's length and its
// audio elements from the frame's own syntax, and the heuristics that tell a frame an encoder
// wrote from one that damaged bytes made.
#include <memory>

#include "aac/raw_data_block.h"
#include "core/frame_syntax.h"

namespace quillmend::aac {

// The audio elements packed into a frame shape: equal layouts give equal shapes.
std::uint64_t ShapeOf(const ElementLayout& layout);
ElementLayout LayoutOf(std::uint64_t shape);

class AacSyntax final : public FrameSyntax {
 public:
  // Unbound: any layout (a probe's); bound: frames must carry exactly this layout.
  // `objectType`: the stream's (Main and LTP frames carry prediction data LC frames may not).
  explicit AacSyntax(int samplingIndex, ElementLayout layout = {}, ObjectType objectType = kLc)
      : AacSyntax(samplingIndex, ShapeOf(layout), objectType) {}
  AacSyntax(int samplingIndex, std::uint64_t shape, ObjectType objectType = kLc)
      : samplingIndex_(samplingIndex),
        objectType_(objectType),
        layout_(LayoutOf(shape)),
        shape_(shape) {}

  bool MayStart(std::uint8_t first) const override;
  FrameRead Read(const std::uint8_t* data, std::size_t size) const override;
  bool Fits(const FrameRead& read) const override;
  bool Follows(const FrameRead& previous, const FrameRead& next) const override;
  bool IntactStart(const std::uint8_t* data, const FrameRead& read) const override;
  std::unique_ptr<FrameSyntax> BindTo(const FrameRead& read) const override;

  int SamplingIndex() const { return samplingIndex_; }
  ObjectType Type() const { return objectType_; }
  // The layout bound to (its first eight elements), or an empty one.
  const ElementLayout& Layout() const { return layout_; }

 private:
  int samplingIndex_;
  ObjectType objectType_;
  ElementLayout layout_;
  std::uint64_t shape_;
};

}  // namespace quillmend::aac
