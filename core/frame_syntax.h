#pragma once
// The walk's view of a codec: bytes in, a frame's length and shape out. The walk that tiles
// frames into chains, re-syncs after damage and keeps the damage map is the same whatever the
// codec; each codec's frame syntax (aac/, alac/) fills in this small interface.
#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillmend {

enum class FrameStatus : std::uint8_t {
  kValid,      // a whole frame, up to its end marker and byte alignment
  kTruncated,  // the syntax ran past the bytes given; more bytes may make it valid
  kInvalid,    // the bits break the syntax; no frame starts here
};

// One reading of a frame at an offset.
struct FrameRead {
  FrameStatus status = FrameStatus::kInvalid;
  // kValid: the frame's length in bytes.
  std::uint32_t bytes = 0;
  // How far the reading got, in bits from the frame's first byte; for kInvalid, where the syntax
  // broke. A real frame cut by damage reads further before it breaks than random bytes do.
  std::uint32_t bitsRead = 0;
  // The parameters that hold from one frame of a stream to the next (AAC: its audio elements in
  // order; ALAC: its elements and sample size), packed so that equal shapes compare equal. 0 for
  // a frame that carries no audio element.
  std::uint64_t shape = 0;
  // A quantity that moves little from one frame of a stream to the next (AAC: the first
  // channel's global gain), or -1 when the codec has none.
  std::int32_t level = -1;
};

class FrameSyntax {
 public:
  virtual ~FrameSyntax() = default;

  // False when no frame of this stream can begin with this byte: the cheap first test the walk
  // makes at every offset it searches.
  virtual bool MayStart(std::uint8_t first) const = 0;

  // Reads the frame at data[0, size). Never reads outside it; `size` may run past the frame.
  virtual FrameRead Read(const std::uint8_t* data, std::size_t size) const = 0;

  // Whether a frame read here belongs to this stream: valid, with the stream's shape. An
  // unbound syntax (see BindTo) takes a valid frame of any shape but 0.
  virtual bool Fits(const FrameRead& read) const = 0;

  // Whether `next` may directly follow `previous` in one stream, both fitting (AAC: the global
  // gain moves by less than encoders ever move it). Tells a frame that damaged bytes made from
  // one that was written.
  virtual bool Follows(const FrameRead& previous, const FrameRead& next) const = 0;

  // Whether a frame that broke at `data` began as this stream's frames begin and read some way
  // before it broke: the mark of a real frame cut by damage, not of bytes that never were one.
  virtual bool IntactStart(const std::uint8_t* data, const FrameRead& read) const = 0;

  // This syntax bound to the shape of `read`, a frame it fits: a probe's first chain fixes the
  // stream's shape this way.
  virtual std::unique_ptr<FrameSyntax> BindTo(const FrameRead& read) const = 0;
};

}  // namespace quillmend
