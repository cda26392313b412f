#pragma once
// Samples of a video track (H.264, HEVC) recognised by their own structure: in MP4 a video
// sample is a row of NAL units, each behind a big-endian length field, that tiles the sample
// exactly. The audio walk steps over them: they are another track, not damage.
#include <cstdint>

namespace quillmend::video {

enum class NalCodec : std::uint8_t { kH264, kHevc };

struct NalRun {
  std::uint64_t bytes = 0;     // the run's length: 0 when no NAL unit starts here
  std::uint32_t units = 0;     // whole NAL units in it
  bool hasPicture = false;     // at least one unit codes a picture (a slice)
};

// The longest row of whole, valid length-prefixed NAL units at data[0, size): each length field
// (lengthSize bytes: 1, 2 or 4) fits in what is left, each unit's header is valid for the codec
// (forbidden bit 0, a type that belongs in a sample), and the run stops before the first length
// field that does not start such a unit. Never reads outside [data, data + size).
NalRun ReadNalRun(const std::uint8_t* data, std::uint64_t size, NalCodec codec,
                  int lengthSize = 4);

}  // namespace quillmend::video
