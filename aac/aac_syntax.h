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
  explicit AacSyntax(int samplingIndex, ElementLayout layout = {})
      : AacSyntax(samplingIndex, ShapeOf(layout)) {}
  AacSyntax(int samplingIndex, std::uint64_t shape)
      : samplingIndex_(samplingIndex), layout_(LayoutOf(shape)), shape_(shape) {}

  bool MayStart(std::uint8_t first) const override;
  FrameRead Read(const std::uint8_t* data, std::size_t size) const override;
  bool Fits(const FrameRead& read) const override;
  bool Follows(const FrameRead& previous, const FrameRead& next) const override;
  bool IntactStart(const std::uint8_t* data, const FrameRead& read) const override;
  std::unique_ptr<FrameSyntax> BindTo(const FrameRead& read) const override;

  int SamplingIndex() const { return samplingIndex_; }
  // The layout bound to (its first eight elements), or an empty one.
  const ElementLayout& Layout() const { return layout_; }

 private:
  int samplingIndex_;
  ElementLayout layout_;
  std::uint64_t shape_;
};

}  // namespace quillmend::aac
