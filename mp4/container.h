#pragma once
// The box structure of an MP4-family file (MP4, M4A, QuickTime, 3GP) as far as it survived:
// where the media data lies, which tracks the file's own index describes, and whatever else is
// left of that index (a moov cut short, a stale one, a fragment's headers) that tells how the
// audio was coded.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "four_cc.h"

namespace quillmend {

struct MediaRange {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  // false: bytes that no box claims (behind a wiped header, say), searched in case they hold
  // audio; what they hold before their first frame and after their last is no loss.
  bool boxed = true;
};

enum class TrackKind : std::uint8_t { kUnknown, kSound, kVideo, kOther };

// What a track's sample description says of its samples.
struct SampleEntry {
  std::uint32_t format = 0;      // the entry's type: 'mp4a', 'alac', 'avc1', 'hvc1', ...
  // Sound descriptions (ISO, and QuickTime versions 0, 1 and 2).
  std::uint32_t channels = 0;
  std::uint32_t sampleBits = 0;
  std::uint32_t rate = 0;        // Hz, 0 when the entry gives none
  // mp4a: the esds's AudioSpecificConfig (found directly or inside a QuickTime 'wave' box).
  std::vector<std::uint8_t> audioConfig;
  // alac: the 'alac' box's magic cookie (its payload after version and flags), as decoders take
  // it.
  std::vector<std::uint8_t> alacCookie;
  // avc1/avc3/hvc1/hev1: the size of the NAL unit length fields, from avcC/hvcC (0: unknown).
  int nalLengthSize = 0;
};

// One track of a moov, with its sample tables as far as they were read whole.
struct Track {
  std::uint32_t id = 0;          // tkhd's track_ID, 0 when unread
  TrackKind kind = TrackKind::kUnknown;
  std::uint32_t handler = 0;     // hdlr's handler_type: 'soun', 'vide', ...
  std::uint32_t timescale = 0;   // mdhd's, 0 when unread
  std::uint64_t duration = 0;    // mdhd's, in timescale units
  SampleEntry entry;
  std::vector<std::uint64_t> chunkOffsets;                      // stco or co64
  std::vector<std::pair<std::uint32_t, std::uint32_t>> chunkRuns;  // stsc: first chunk (1-based), samples per chunk
  std::uint32_t uniformSampleSize = 0;                          // stsz's sample_size, 0: per sample
  std::vector<std::uint32_t> sampleSizes;                       // stsz's table (empty when uniform)
  std::uint64_t sampleCount = 0;                                // stsz's sample_count
  bool tablesWhole = false;  // stco/co64, stsc and stsz all read whole and consistent
};

// Where a piece of index came from: the ranking of evidence names it.
enum class IndexSource : std::uint8_t {
  kNone,
  kMoov,        // a moov box read whole
  kMoovCut,     // a moov box that the end of the file or damage cut short: what it held up to there
  kRemains,     // boxes found by their structure outside any readable moov (a stale or rewritten
                // index, a reserved space at the front, a fragment's moov)
};

// One fragment's header (moof > traf > tfhd/trun) that survived.
struct Fragment {
  std::uint64_t moofOffset = 0;
  std::uint32_t trackId = 0;
  std::uint64_t dataOffset = 0;      // absolute offset of the first sample, when the trun says
  std::uint32_t defaultSampleSize = 0;
  std::uint32_t defaultSampleDuration = 0;
  std::vector<std::uint32_t> sampleSizes;  // the trun's, or the default repeated
};

struct ContainerLayout {
  std::string brand;  // the ftyp's major brand; "" when the file does not start with an ftyp
  std::vector<std::string> compatibleBrands;
  // Media data to search, [begin, end), in file order and clamped to the file.
  std::vector<MediaRange> media;
  bool mdatFound = false;  // false: no mdat box anywhere; `media` is what the boxes left over
  bool mdatCut = false;    // an mdat box claims more bytes than the file holds
  // The tracks of the best index found, in the order it lists them, and where it came from.
  IndexSource indexSource = IndexSource::kNone;
  std::vector<Track> tracks;
  std::vector<Fragment> fragments;  // in file order

  // Kept for the callers of the single-track era: the first sound track's AudioSpecificConfig
  // and sample count, and whether a moov was read whole with one.
  bool moov = false;
  std::vector<std::uint8_t> audioConfig;
  std::uint64_t indexedFrames = 0;
};

// Walks the top-level boxes from the start; where the walk meets bytes that are no box (a wiped
// header, a cut), it looks for mdat, moov and moof boxes by their type bytes instead, and for
// what is left of an index by the structure of its boxes. Never reads outside
// [data, data + size).
ContainerLayout ReadContainer(const std::uint8_t* data, std::uint64_t size);

// Reads only what a healthy file's header holds (ftyp and the first moov, wherever it is),
// reading no more than maxBytes of the file's start and its last maxBytes: for looking at many
// files quickly. The layout's media ranges are left empty.
ContainerLayout ReadHeader(const std::uint8_t* data, std::uint64_t size, std::uint64_t maxBytes);

}  // namespace quillmend
