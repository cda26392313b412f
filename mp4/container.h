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
  std::uint32_t format = 0;  // the entry's type: 'mp4a', 'alac', 'avc1', 'hvc1', ...
  // Sound descriptions (ISO, and QuickTime versions 0, 1 and 2).
  std::uint32_t channels = 0;
  std::uint32_t sampleBits = 0;
  std::uint32_t rate = 0;  // Hz, 0 when the entry gives none
  // mp4a: the esds's object type (0x40 MPEG-4 audio, 0x66 to 0x68 MPEG-2 AAC, 0 when unread)
  // and AudioSpecificConfig, taken for those types (found directly or inside a QuickTime 'wave'
  // box).
  std::uint8_t objectType = 0;
  std::vector<std::uint8_t> audioConfig;
  // alac: the 'alac' box's magic cookie (its payload after version and flags), as decoders take
  // it.
  std::vector<std::uint8_t> alacCookie;
  // avc1/avc3/hvc1/hev1: the size of the NAL unit length fields, from avcC/hvcC (0: unknown),
  // and the picture's size.
  int nalLengthSize = 0;
  std::uint16_t width = 0;
  std::uint16_t height = 0;
};

// One track of a moov, with its sample tables as far as they were read whole.
struct Track {
  std::uint32_t id = 0;  // tkhd's track_ID, 0 when unread
  TrackKind kind = TrackKind::kUnknown;
  std::uint32_t handler = 0;    // hdlr's handler_type: 'soun', 'vide', ...
  std::uint32_t timescale = 0;  // mdhd's, 0 when unread
  std::uint64_t duration = 0;   // mdhd's, in timescale units
  SampleEntry entry;
  std::vector<std::uint64_t> chunkOffsets;  // stco or co64
  // stsc: first chunk (1-based), samples per chunk.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> chunkRuns;
  std::uint32_t uniformSampleSize = 0;     // stsz's sample_size, 0: per sample
  std::vector<std::uint32_t> sampleSizes;  // stsz's (or stz2's) table, empty when uniform
  // stsz's sample_count; for a table cut short, the entries read.
  std::uint64_t sampleCount = 0;
  bool tablesWhole = false;  // stco/co64, stsc and stsz all read whole and consistent
};

// Where a piece of index came from: the ranking of evidence names it.
enum class IndexSource : std::uint8_t {
  kNone,
  kMoov,     // a moov box read whole
  kMoovCut,  // a moov box that the end of the file or damage cut short: what it held up to there
  kRemains,  // boxes found by their structure outside any readable moov (a stale or rewritten
             // index, a reserved space at the front, a fragment's moov)
};

// One run of a fragment's samples (moof > traf > tfhd + trun) whose headers survived.
struct Fragment {
  std::uint64_t moofOffset = 0;
  std::uint32_t trackId = 0;
  // Absolute offset of the run's first sample, by the trun's data offset and the tfhd's base
  // (or, where they say nothing, where the moof or the previous run's data ends).
  std::uint64_t dataOffset = 0;
  std::uint32_t defaultSampleSize = 0;      // the tfhd's, else the moov's trex for the track
  std::uint32_t defaultSampleDuration = 0;  // the same
  std::uint32_t sampleCount = 0;            // as far as the trun's entries were read whole
  // The trun's sizes, or the default repeated; empty when neither gives one.
  std::vector<std::uint32_t> sampleSizes;
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
  std::uint64_t indexOffset = 0;  // where that index's first box begins
  std::vector<Track> tracks;
  std::vector<Fragment> fragments;  // in file order

  // Kept for the callers of the single-track era, of the first sound track of the best index
  // with an AudioSpecificConfig: whether that index is a moov read whole, the config, and (only
  // from a whole moov) the samples it lists, those of its fragments included.
  bool moov = false;
  std::vector<std::uint8_t> audioConfig;
  std::uint64_t indexedFrames = 0;
};

// Walks the top-level boxes from the start; where the walk meets bytes that are no box (a wiped
// header, a cut), it looks for mdat, moov and moof boxes by their type bytes instead. What is
// left of an index is looked for by the structure of its boxes: in bytes that no box claims and,
// where no moov reads whole, in the space the top level leaves over and at both ends of the file.
// A healthy file costs the reading of its boxes' headers and its index, never of its media data.
// Never reads outside [data, data + size).
ContainerLayout ReadContainer(const std::uint8_t* data, std::uint64_t size);

// Reads only what a healthy file's header holds (ftyp and the first moov, wherever a walk of the
// top level leads), reading nothing outside the file's first maxBytes and its last maxBytes: for
// looking at many files quickly. A moov that reaches out of those is read as cut there. The
// layout's media ranges and fragments are left empty.
ContainerLayout ReadHeader(const std::uint8_t* data, std::uint64_t size, std::uint64_t maxBytes);

}  // namespace quillmend
