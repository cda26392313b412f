// ALAC behind the walk's frame-syntax interface, and the stream configuration learnt from the
// frames themselves when the sample entry that held the cookie is gone.
#ifndef QUILLMEND_ALAC_ALAC_SYNTAX_H
#define QUILLMEND_ALAC_ALAC_SYNTAX_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "alac/frame.h"
#include "alac/magic_cookie.h"
#include "core/frame_syntax.h"

namespace quillmend::alac {

// The frames of one stream: shape packs the bit depth and the elements (type and instance tag)
// in order; level is the frame's sample count, which only the stream's last frame makes short.
class AlacSyntax final : public FrameSyntax {
 public:
  // `config` has 1 ... 8 channels (MakeSyntax checks); `shape` 0 leaves it unbound.
  explicit AlacSyntax(const Config& config, std::uint64_t shape = 0);

  bool MayStart(std::uint8_t first) const override;
  FrameRead Read(const std::uint8_t* data, std::size_t size) const override;
  bool Fits(const FrameRead& read) const override;
  // A frame that states a short sample count ends its stream: nothing of it follows.
  bool Follows(const FrameRead& previous, const FrameRead& next) const override;
  // The frame began with the stream's first element header (its type, the bound instance tag,
  // the unused bits zero) and read through the predictor tables into the samples.
  bool IntactStart(const std::uint8_t* data, const FrameRead& read) const override;
  std::unique_ptr<FrameSyntax> BindTo(const FrameRead& read) const override;

  const Config& config() const { return config_; }
  std::uint64_t shape() const { return shape_; }

 private:
  Config config_;
  std::uint64_t shape_;
  std::uint8_t firstType_;
};

// The shape a frame read under a config of that bit depth has; 0 for no element.
std::uint64_t PackShape(const ElementLayout& layout, int bitDepth);

// An unbound syntax for the stream a cookie (in any of its wrappings) describes, or for a
// config, such as one InferConfig gives; null when it describes no stream we can read.
std::unique_ptr<FrameSyntax> MakeSyntax(const Config& config);
std::unique_ptr<FrameSyntax> MakeSyntaxFromCookie(const std::uint8_t* data, std::size_t size);

enum class Certainty : std::uint8_t {
  kNone,    // no frame under any bit depth
  kGuess,   // a lone frame, or two
  kLikely,  // a chain of at least three frames, or of two that fill the range
  kSure,    // a chain of InferOptions::enoughFrames frames, or of three that fill the range,
            // and no other bit depth holds as long
};

struct InferOptions {
  // The frame length and residual coder parameters assumed: those every encoder we know
  // writes. Bit depth and channel count are what inference finds.
  Config defaults{};
  // How far past `begin` a chain may start: damage before the first frame is searched through.
  std::uint64_t searchBytes = std::uint64_t{1} << 20;
  // A chain this long decides.
  std::uint32_t enoughFrames = 16;
};

struct Inference {
  Certainty certainty = Certainty::kNone;
  // The defaults with the bit depth and channel count found. The sample rate, the largest frame
  // and the bit rate are not in the frames: they stay as the defaults give them.
  Config config;
  std::uint64_t start = 0;  // where the chain begins, as an offset into data
  std::uint32_t frames = 0;
  // The longest chain from the same start under another bit depth. 16 and 20 bits read alike
  // until a residual escapes or a frame is stored verbatim; the smaller depth wins a tie.
  std::uint32_t rivalFrames = 0;
};

// Learns the bit depth (16, 20, 24 or 32) and channel count of the ALAC frames in
// data[begin, end): the first offset at which frames under one of the depths follow each other
// with the same elements, read with the defaults for everything else. Never reads outside
// [begin, end).
Inference InferConfig(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end,
                      const InferOptions& options = {});

}  // namespace quillmend::alac

#endif  // QUILLMEND_ALAC_ALAC_SYNTAX_H
