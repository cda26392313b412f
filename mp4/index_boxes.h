#pragma once
// Readers of an index's boxes (moov > trak > mdia > minf > stbl, the sample entries and what
// they hold) and of a fragment's headers (moof > traf > tfhd, trun), each over one box's payload
// as far as the bytes at hand hold it. A box cut short gives what it holds up to the cut; every
// count is clamped to the entries its payload holds.
#include <cstdint>
#include <vector>

#include "box_reader.h"
#include "container.h"

namespace quillmend {

bool IsSoundFormat(std::uint32_t format);
bool IsVideoFormat(std::uint32_t format);

// esds: ES_Descriptor > DecoderConfigDescriptor > DecoderSpecificInfo. True when the
// descriptors down to the decoder config read.
bool ReadEsds(BufferReader r, SampleEntry* entry);
// The 'alac' box: version 0 and flags, then the cookie.
bool ReadAlacCookie(BufferReader r, SampleEntry* entry);
// An ALAC decoder configuration as encoders write it.
bool PlausibleAlacCookie(const std::vector<std::uint8_t>& cookie);
// A sound sample entry's payload; `entry->format` is set by the caller.
bool ReadSoundEntry(BufferReader r, SampleEntry* entry);
// The first entry of an stsd, read as the handler says (by its format where no handler was
// read). False when there is none.
bool ReadStsd(BufferReader r, std::uint32_t handler, SampleEntry* entry);
bool ReadMediaHeader(BufferReader r, Track* track);

struct TrackRead {
  Track track;
  bool whole = true;        // every box on the way read whole
  std::uint64_t reach = 0;  // the end of what read as boxes

  bool Useful() const {
    const Track& t = track;
    return t.id != 0 || t.timescale != 0 || t.entry.format != 0 || !t.chunkOffsets.empty() ||
           t.sampleCount != 0;
  }
};

void ReadMedia(BufferReader r, TrackRead* read);  // an mdia's payload
TrackRead ReadTrak(BufferReader r);
// The kind by the handler, or by the sample entry's format where no handler was read.
void SetKind(Track* track);

// A trex: what a fragment's samples are when its headers say nothing.
struct TrackDefaults {
  std::uint32_t trackId = 0;
  std::uint32_t sampleDuration = 0;
  std::uint32_t sampleSize = 0;
};

struct MoovRead {
  std::vector<Track> tracks;  // those of which something was read
  std::vector<TrackDefaults> defaults;
  bool whole = true;        // every box on the way read whole
  std::uint64_t reach = 0;  // where what read as boxes ends
};

// A moov's payload data[begin, end), end already clamped to the bytes at hand. With `resync`, a
// damaged track does not end the reading: the tracks behind it are found by their type bytes.
MoovRead ReadMoov(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end, bool resync);

// Reads moof boxes into runs of samples, with the defaults of the index's trex boxes.
class FragmentReader {
 public:
  // `repeatBudget`: how many sizes, over all runs, may be repeated from a default. No file holds
  // more samples than bytes, and a hostile one must not make a table that long for each run.
  FragmentReader(std::vector<TrackDefaults> defaults, std::uint64_t repeatBudget,
                 std::vector<Fragment>* out);

  void ReadMoof(BufferReader payload, std::uint64_t moofOffset);

 private:
  // `implicitBase` is where the traf's data starts when nothing says otherwise, and becomes
  // where its data ended.
  void ReadTraf(BufferReader r, std::uint64_t moofOffset, std::uint64_t* implicitBase);
  bool ReadTfhd(BufferReader r, std::uint64_t moofOffset, std::uint64_t implicitBase,
                Fragment* head, std::uint64_t* base) const;
  // A run without a data offset starts where the previous one ended (`next`).
  bool ReadTrun(BufferReader r, std::uint64_t base, std::uint64_t next, Fragment* f);

  std::vector<TrackDefaults> defaults_;  // by track, the last of a track's in file order
  std::uint64_t repeatBudget_;
  std::vector<Fragment>* out_;
};

}  // namespace quillmend
