#pragma once
// Samples of a video track (H.264, HEVC) recognised by their own structure: in MP4 a video
// sample is a row of NAL units, each behind a big-endian length field, that tiles the sample
// exactly. The audio walk steps over them: they are another track, not damage.
#include <cstdint>
#include <vector>

namespace quillmend::video {

enum class NalCodec : std::uint8_t { kH264, kHevc };

struct NalRun {
  std::uint64_t bytes = 0;     // the run's length: 0 when no NAL unit starts here
  std::uint32_t units = 0;     // whole NAL units in it
  std::uint32_t pictures = 0;  // units that begin a picture (its first slice): one per sample in
                               // what encoders write, two for a sample of two fields
  bool hasPicture = false;     // at least one unit codes a picture (a slice)
};

// The longest row of whole, valid length-prefixed NAL units at data[0, size): each length field
// (lengthSize bytes: 1, 2 or 4; any other size reads no run) fits in what is left, each unit's
// header is valid for the codec (forbidden bit 0, a type that belongs in a sample, the fields that
// follow the header in range, a last byte that can end a unit), and the run stops before the
// first length field that does not start such a unit. Never reads outside [data, data + size);
// reads the first bytes and the last byte of each unit, a parameter set of a few bytes whole.
//
// Whatever follows a video chunk (audio, another box) may itself read as a length that fits and a
// unit header that passes: rarely, but then the run ends past the chunk. NalRunEnds gives the
// places where the chunk may really end.
NalRun ReadNalRun(const std::uint8_t* data, std::uint64_t size, NalCodec codec, int lengthSize = 4);

// The end of each unit of the run ReadNalRun reads at data, in order, counted from data: the last
// is the run's length. A walk whose next frame does not fit where the run ends tries these, from
// the last back, before it calls the bytes damage.
std::vector<std::uint64_t> NalRunEnds(const std::uint8_t* data, std::uint64_t size, NalCodec codec,
                                      int lengthSize = 4);

// Whether unit[0, size) is one whole, valid NAL unit of the codec (its header first, no length
// field): the test ReadNalRun makes of each unit.
bool NalUnitValid(const std::uint8_t* unit, std::uint64_t size, NalCodec codec);

}  // namespace quillmend::video
