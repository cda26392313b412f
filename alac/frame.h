// The length of one ALAC frame measured from its own syntax.
//
// An ALAC frame in an MP4 file carries no length and no sync word: it is a list of channel
// elements closed by an end tag and byte alignment, and each compressed element's end is where
// its last adaptive Rice code ends. Reading every code (counted, never turned into samples)
// gives the exact length; the same reading tells garbage from audio, since header bits that
// must be zero, prediction modes, stereo mixing parameters and element orders that no encoder
// writes make the frame invalid.
#ifndef QUILLMEND_ALAC_FRAME_H
#define QUILLMEND_ALAC_FRAME_H

#include <cstddef>
#include <cstdint>

#include "alac/magic_cookie.h"
#include "core/frame_syntax.h"

namespace quillmend::alac {

// Element types of a frame; the codes are those of AAC's raw_data_block.
enum ElementType : std::uint8_t {
  kSce = 0,  // one channel
  kCpe = 1,  // a channel pair
  kLfe = 3,  // the low-frequency channel, coded as a single channel
  kEnd = 7,
};

// The elements of a frame in order, each as (type << 4 | instance tag).
struct ElementLayout {
  // Eight channels take five elements: the most any layout has.
  static constexpr int kMaxElements = 5;
  std::uint8_t count = 0;
  std::uint8_t elements[kMaxElements] = {};

  int Channels() const;
  bool operator==(const ElementLayout& other) const;
};

struct FrameInfo {
  FrameStatus status = FrameStatus::kInvalid;
  // kValid: the frame's length in bytes, the end tag's alignment included.
  std::uint32_t bytes = 0;
  // How far the reading got, in bits from the frame's first byte: for kInvalid, the bit at which
  // the syntax broke; never past the bytes given.
  std::uint32_t bitsRead = 0;
  ElementLayout layout;
  // Samples per channel: the frame length, or the count a short frame states.
  std::uint32_t samples = 0;
  bool partial = false;       // the frame states its sample count: the last frame of a stream
  std::uint8_t verbatim = 0;  // elements whose samples are stored uncompressed
  // Where the first element's samples (residual codes, or verbatim samples) begin, in bits from
  // the frame's first byte; 0 when the reading did not get there.
  std::uint32_t samplesBit = 0;
};

// Reads one frame at data[0, size) as a stream of `config` frames: its bit depth, frame length,
// residual coder parameters and channel count (0: any of the channel layouts, ending where the
// elements read make a whole one, to learn the count from the frames). Never reads outside the
// bytes given; `size` may run past the frame.
FrameInfo ParseFrame(const std::uint8_t* data, std::size_t size, const Config& config);

}  // namespace quillmend::alac

#endif  // QUILLMEND_ALAC_FRAME_H
