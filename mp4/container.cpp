#include "container.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <optional>

#include "box_reader.h"
#include "box_search.h"
#include "four_cc.h"
#include "index_boxes.h"

namespace quillmend {
namespace {

// How far into each end of the file the remains of an index are looked for inside the media
// data too: an index rewritten or left stale lies near the front, and a final one that a damaged
// mdat size swallowed near the back.
constexpr std::uint64_t kEdgeBytes = std::uint64_t{1} << 20;


// The boxes of an index that are looked for by their type bytes.
constexpr std::array<FourCc, 8> kPieceTypes{kBoxMoov, kBoxTrak, kBoxMdia, kBoxMdhd,
                                            kBoxStsd, kBoxMp4a, kBoxAlac, kBoxEsds};

struct Piece {
  std::uint64_t offset = 0;
  std::uint32_t type = 0;
  std::vector<Track> tracks;  // a moov's tracks; one track (maybe only a part of one) otherwise
};

// Indexes compete: one read whole over a cut one over remains, but none that describes no
// sample entry over one that does; then the one that lists more samples, then the later.
struct Index {
  IndexSource source = IndexSource::kNone;
  std::uint64_t offset = 0;
  std::vector<Track> tracks;
  std::vector<TrackDefaults> defaults;

  bool Usable() const {
    return std::any_of(tracks.begin(), tracks.end(),
                       [](const Track& t) { return t.entry.format != 0; });
  }
  std::uint64_t Samples() const {
    std::uint64_t n = 0;
    for (const Track& t : tracks) n += t.sampleCount;
    return n;
  }
  bool Beats(const Index& other) const {
    if (tracks.empty() != other.tracks.empty()) return !tracks.empty();
    if (Usable() != other.Usable()) return Usable();
    if (source != other.source) return std::uint8_t(source) < std::uint8_t(other.source);
    if (Samples() != other.Samples()) return Samples() > other.Samples();
    return offset > other.offset;
  }
};

// Where each of several types next occurs at or after a position, each searched for once: a
// file full of one type's bytes must not cost a pass per occurrence of another.
template <std::size_t N>
class TypeScan {
 public:
  TypeScan(const std::uint8_t* data, std::uint64_t end, const std::array<FourCc, N>& types)
      : data_(data), end_(end), types_(types) {
    next_.fill(0);
    searched_.fill(false);
  }

  // The offset of the first type bytes at or after `from` (end when none), and which type.
  std::uint64_t Next(std::uint64_t from, std::uint32_t* type) {
    std::uint64_t best = end_;
    for (std::size_t i = 0; i < N; ++i) {
      if (!searched_[i] || next_[i] < from) {
        searched_[i] = true;
        next_[i] = Find(types_[i], from);
      }
      if (next_[i] < best) {
        best = next_[i];
        *type = types_[i].Value();
      }
    }
    return best;
  }

 private:
  std::uint64_t Find(const FourCc& type, std::uint64_t from) const {
    if (from >= end_ || end_ - from < 4) return end_;
    const std::uint8_t* hit =
        FindBytes(data_ + from, end_ - from, reinterpret_cast<const std::uint8_t*>(type.bytes), 4);
    return hit != nullptr ? std::uint64_t(hit - data_) : end_;
  }

  const std::uint8_t* data_;
  std::uint64_t end_;
  std::array<FourCc, N> types_;
  std::array<std::uint64_t, N> next_;
  std::array<bool, N> searched_;
};

using Interval = std::pair<std::uint64_t, std::uint64_t>;

struct MoofSpan {
  std::uint64_t begin, payload, end;
};

// The intervals sorted, the overlapping ones joined.
std::vector<Interval> Merged(std::vector<Interval> intervals) {
  std::sort(intervals.begin(), intervals.end());
  std::vector<Interval> merged;
  for (const Interval& i : intervals) {
    if (!merged.empty() && i.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, i.second);
    } else if (i.first < i.second) {
      merged.push_back(i);
    }
  }
  return merged;
}

// The parts of `include` outside every interval of `exclude`, in one pass over both.
std::vector<Interval> Subtract(const std::vector<Interval>& include,
                               const std::vector<Interval>& exclude) {
  const std::vector<Interval> in = Merged(include), out = Merged(exclude);
  std::vector<Interval> left;
  std::size_t x = 0;
  for (Interval i : in) {
    while (x < out.size() && out[x].second <= i.first) ++x;
    for (std::size_t k = x; k < out.size() && out[k].first < i.second; ++k) {
      if (out[k].first > i.first) left.push_back({i.first, out[k].first});
      i.first = std::max(i.first, out[k].second);
    }
    if (i.first < i.second) left.push_back(i);
  }
  return left;
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::uint64_t size) : data_(data), size_(size) {}

  ContainerLayout Read() {
    const std::uint64_t walkedTo = WalkTopLevel();
    if (walkedTo < size_) {
      Recover(walkedTo);
      scanned_.push_back({walkedTo, size_});
    }
    if (!moov_ || moov_->source != IndexSource::kMoov || !moov_->Usable()) SearchRemains();
    return Finish();
  }

  // Only the top level's headers and the first moov, inside the two windows at the ends.
  ContainerLayout ReadHeader(std::uint64_t maxBytes) {
    const std::uint64_t edge = std::min(size_, maxBytes);
    const std::uint64_t frontEnd = edge, backBegin = size_ - edge;
    std::uint64_t at = 0;
    while (at < size_) {
      // The window that holds this position: the header and what follows must stay inside it.
      // Windows that meet are one.
      std::uint64_t windowEnd = 0;
      if (at >= backBegin || (at < frontEnd && frontEnd >= backBegin)) {
        windowEnd = size_;
      } else if (at < frontEnd) {
        windowEnd = frontEnd;
      } else {
        break;
      }
      BufferReader r(data_, at, windowEnd);
      BoxHeader box;
      std::uint32_t size32 = 0;
      if (!BufferReader(data_, at, windowEnd).Read4(&size32) || !ReadBoxHeader(&r, &box)) break;
      if (size32 == 0) box.end = size_;  // to the end of the file, not of the window
      if (at == 0 && Is(box.type, kBoxFtyp)) {
        ReadFileType(BufferReader(data_, box.payload, std::min(box.end, windowEnd)));
      } else if (Is(box.type, kBoxMdat)) {
        layout_.mdatFound = true;
        layout_.mdatCut = layout_.mdatCut || box.end > size_;
      } else if (Is(box.type, kBoxMoov)) {
        const std::uint64_t end = std::min(box.end, windowEnd);
        MoovRead m = ReadMoov(data_, box.payload, end, true);
        const bool whole = box.end <= end && m.whole;
        AddMoov(box, std::move(m), whole);
        break;
      } else if (Is(box.type, kBoxMoof)) {
        break;  // the index of a fragmented file stands before its fragments
      }
      at = box.end;
    }
    return Finish();
  }

 private:
  void ReadFileType(BufferReader r) {
    std::uint32_t brand = 0;
    if (!r.Read4(&brand) || !r.Skip(4)) return;  // minor version
    const auto text = [](std::uint32_t v) {
      return std::string{char(v >> 24), char(v >> 16 & 0xFF), char(v >> 8 & 0xFF), char(v & 0xFF)};
    };
    layout_.brand = text(brand);
    for (std::uint32_t compatible = 0; r.Read4(&compatible);) {
      layout_.compatibleBrands.push_back(text(compatible));
    }
  }

  void AddMedia(const BoxHeader& box) {
    layout_.mdatFound = true;
    if (box.end > size_) layout_.mdatCut = true;
    const std::uint64_t end = std::min(box.end, size_);
    if (end > box.payload) layout_.media.push_back({box.payload, end, true});
  }

  // Only the best moov so far is kept: a file of many small moov boxes must not make a copy of
  // each.
  void AddMoov(const BoxHeader& box, MoovRead m, bool whole) {
    Index index{whole ? IndexSource::kMoov : IndexSource::kMoovCut, box.begin, std::move(m.tracks),
                std::move(m.defaults)};
    if (!moov_ || index.Beats(*moov_)) moov_ = std::move(index);
  }

  // Walks the top-level boxes from the start: where the walk ended (the end of the file, or
  // bytes that are no box).
  std::uint64_t WalkTopLevel() {
    std::uint64_t at = 0;
    while (at < size_) {
      BufferReader r(data_, at, size_);
      BoxHeader box;
      if (!ReadBoxHeader(&r, &box)) return at;
      const bool fits = box.end <= size_;
      if (at == 0 && Is(box.type, kBoxFtyp) && fits) {
        ReadFileType(BufferReader(data_, box.payload, box.end));
      } else if (Is(box.type, kBoxMdat)) {
        AddMedia(box);
      } else if (Is(box.type, kBoxMoov)) {
        MoovRead m = ReadMoov(data_, box.payload, std::min(box.end, size_), true);
        const std::uint64_t reach = m.reach;
        const bool whole = fits && m.whole;
        AddMoov(box, std::move(m), whole);
        scanned_.push_back({box.begin, std::min(box.end, size_)});
        // A moov that claims more than the file holds was cut by its end, or its size is
        // damaged: the file goes on where its contents stopped reading true.
        if (!fits && reach < size_) {
          at = std::max(reach, box.payload);
          continue;
        }
      } else if (Is(box.type, kBoxMoof)) {
        moofs_.push_back({box.begin, box.payload, std::min(box.end, size_)});
        scanned_.push_back({box.begin, std::min(box.end, size_)});
      } else if (!fits) {
        // Any other box that claims more than the file holds: its size is damage.
        return at;
      } else if (!Is(box.type, kBoxFtyp)) {
        // free, skip, wide, and whatever else: space that an index may have been written into.
        if (box.end > box.payload) spare_.push_back({box.payload, box.end});
      }
      if (!fits) return size_;
      at = box.end;
    }
    return size_;
  }

  // The walk met bytes that are no box: a wiped header, or damage between boxes. Boxes behind
  // them are found by their type bytes; what none of them claims may still hold audio.
  void Recover(std::uint64_t from) {
    constexpr std::array<FourCc, 3 + kPieceTypes.size()> kTypes{
        kBoxMdat, kBoxMoov, kBoxMoof, kBoxTrak, kBoxMdia,
        kBoxMdhd, kBoxStsd, kBoxMp4a, kBoxAlac, kBoxEsds};
    TypeScan<kTypes.size()> scan(data_, size_, kTypes);
    std::uint64_t covered = from;
    for (std::uint64_t p = from; p < size_;) {
      std::uint32_t type = 0;
      const std::uint64_t typeAt = scan.Next(p, &type);
      if (typeAt >= size_) break;
      p = typeAt + 4;
      if (typeAt < covered + 4) continue;
      BufferReader r(data_, typeAt - 4, size_);
      BoxHeader box;
      if (!ReadBoxHeader(&r, &box) || box.type != type) continue;
      std::uint64_t claimed = 0;  // the end of what the box takes, 0: not taken
      if (Is(type, kBoxMdat)) {
        claimed = std::min(box.end, size_);
      } else if (Is(type, kBoxMoov)) {
        claimed = TakeFoundMoov(box);
      } else if (Is(type, kBoxMoof)) {
        claimed = TakeFoundMoof(box);
      } else {
        claimed = TryPiece(box, size_);
      }
      if (claimed == 0) continue;
      // Bytes between the damaged boxes and this one belong to nothing we know; a wiped mdat
      // header in front of audio looks just like that, so they are searched too.
      if (box.begin > covered) layout_.media.push_back({covered, box.begin, false});
      if (Is(type, kBoxMdat)) AddMedia(box);
      covered = claimed;
      p = std::max(p, covered);
    }
    if (covered < size_) layout_.media.push_back({covered, size_, false});
  }

  // A moov found by its type bytes is taken when it holds a track; its tracks behind damage
  // are looked for only then, so that a file full of false moovs costs no pass each.
  std::uint64_t TakeFoundMoov(const BoxHeader& box) {
    const std::uint64_t end = std::min(box.end, size_);
    MoovRead m = ReadMoov(data_, box.payload, end, false);
    if (m.tracks.empty()) return 0;
    if (!m.whole) m = ReadMoov(data_, box.payload, end, true);
    const std::uint64_t reach = m.reach;
    const bool whole = box.end <= size_ && m.whole;
    AddMoov(box, std::move(m), whole);
    return box.end <= size_ ? box.end : std::max(reach, box.payload);
  }

  // A moof found by its type bytes opens with its mfhd.
  std::uint64_t TakeFoundMoof(const BoxHeader& box) {
    BufferReader r(data_, box.payload, std::min(box.end, size_));
    BoxHeader first;
    if (!ReadBoxHeader(&r, &first) || !Is(first.type, kBoxMfhd) || first.end > r.End()) return 0;
    moofs_.push_back({box.begin, box.payload, std::min(box.end, size_)});
    return moofs_.back().end;
  }

  // A piece of an index whose header was read inside [.., limit): kept when its size and its
  // children read true. The end of the bytes it takes, or 0 when it is not kept.
  std::uint64_t TryPiece(const BoxHeader& box, std::uint64_t limit) {
    const bool fits = box.end <= limit;
    // Only the end of the file may cut a piece short; inside a box, its size must hold.
    if (!fits && limit != size_) return 0;
    const std::uint64_t end = std::min(box.end, limit);
    const BufferReader payload(data_, box.payload, end);
    Piece piece{box.begin, box.type, {}};
    Track t;
    bool keep = false;
    // A container cut by the end of the file takes what read as boxes, no more: behind that
    // may be audio whose box header is gone.
    std::uint64_t taken = end;
    if (Is(box.type, kBoxMoov)) {
      MoovRead m = ReadMoov(data_, box.payload, end, false);
      piece.tracks = std::move(m.tracks);
      keep = !piece.tracks.empty();
      if (!fits) taken = std::max(m.reach, box.payload);
    } else if (Is(box.type, kBoxTrak) || Is(box.type, kBoxMdia)) {
      TrackRead read;
      if (Is(box.type, kBoxTrak)) {
        read = ReadTrak(payload);
      } else {
        ReadMedia(payload, &read);
        SetKind(&read.track);
      }
      keep = read.Useful();
      if (!fits) taken = std::max(read.reach, box.payload);
      t = std::move(read.track);
    } else if (Is(box.type, kBoxMdhd)) {
      // A media header has one size for each version.
      const std::uint64_t expected = payload.Remaining() > 0 && data_[box.payload] == 1 ? 36 : 24;
      keep = fits && payload.Remaining() == expected && ReadMediaHeader(payload, &t) &&
             t.timescale != 0;
    } else if (Is(box.type, kBoxStsd)) {
      keep = ReadStsd(payload, 0, &t.entry) &&
             (!t.entry.audioConfig.empty() || !t.entry.alacCookie.empty() ||
              t.entry.nalLengthSize != 0);
    } else if (Is(box.type, kBoxMp4a) || Is(box.type, kBoxAlac)) {
      t.entry.format = box.type;
      keep = ReadSoundEntry(payload, &t.entry) &&
             (!t.entry.audioConfig.empty() || PlausibleAlacCookie(t.entry.alacCookie));
      if (!keep && Is(box.type, kBoxAlac)) {
        // Not an entry: the cookie box that an entry (or its 'wave') holds.
        t.entry = {};
        t.entry.format = box.type;
        keep = fits && ReadAlacCookie(payload, &t.entry) && PlausibleAlacCookie(t.entry.alacCookie);
      }
    } else if (Is(box.type, kBoxEsds)) {
      keep = fits && ReadEsds(payload, &t.entry) && !t.entry.audioConfig.empty();
      // An esds outside its entry was in an mp4a one.
      t.entry.format = kBoxMp4a.Value();
    }
    if (!keep) return 0;
    if (!Is(box.type, kBoxMoov)) {
      SetKind(&t);
      piece.tracks.push_back(std::move(t));
    }
    pieces_.push_back(std::move(piece));
    return taken;
  }

  // No moov read whole: what is left of an index is looked for in the space the top level left
  // over, and at both ends of the file, also inside the media data.
  void SearchRemains() {
    std::vector<Interval> include = spare_;
    include.push_back({0, std::min(size_, kEdgeBytes)});
    include.push_back({size_ - std::min(size_, kEdgeBytes), size_});
    for (const Interval& region : Subtract(include, scanned_)) {
      TypeScan<kPieceTypes.size()> scan(data_, region.second, kPieceTypes);
      std::uint64_t covered = region.first;
      for (std::uint64_t p = region.first; p < region.second;) {
        std::uint32_t type = 0;
        const std::uint64_t typeAt = scan.Next(p, &type);
        if (typeAt >= region.second) break;
        p = typeAt + 4;
        if (typeAt < covered + 4) continue;
        // A piece may reach past the region searched, but not out of the spare box it lies in.
        const std::uint64_t limit = LimitFor(typeAt);
        BufferReader r(data_, typeAt - 4, limit);
        BoxHeader box;
        if (!ReadBoxHeader(&r, &box) || box.type != type) continue;
        const std::uint64_t claimed = TryPiece(box, limit);
        if (claimed == 0) continue;
        covered = claimed;
        p = std::max(p, covered);
      }
    }
  }

  std::uint64_t LimitFor(std::uint64_t typeAt) const {
    // The spare boxes are in file order and do not overlap: the last that begins before the
    // header is the only one that may hold it.
    const auto after =
        std::upper_bound(spare_.begin(), spare_.end(), typeAt - 4,
                         [](std::uint64_t at, const Interval& s) { return at < s.first; });
    if (after == spare_.begin() || typeAt >= std::prev(after)->second) return size_;
    return std::prev(after)->second;
  }

  // The remains as one index: the best of the moovs among them and of the tracks that the other
  // pieces make, in file order, the parts of one track joined as long as none repeats.
  Index RemainsIndex() {
    std::sort(pieces_.begin(), pieces_.end(),
              [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    std::vector<Index> moovs;
    Index loose{IndexSource::kRemains, 0, {}, {}};
    Track part;
    bool partUsed = false;
    const auto flush = [&] {
      if (partUsed) loose.tracks.push_back(std::move(part));
      part = {};
      partUsed = false;
    };
    for (Piece& piece : pieces_) {
      if (Is(piece.type, kBoxMoov)) {
        moovs.push_back({IndexSource::kRemains, piece.offset, std::move(piece.tracks), {}});
        continue;
      }
      if (loose.tracks.empty() && !partUsed) loose.offset = piece.offset;
      Track& t = piece.tracks.front();
      if (Is(piece.type, kBoxTrak) || Is(piece.type, kBoxMdia)) {
        flush();
        loose.tracks.push_back(std::move(t));
      } else if (Is(piece.type, kBoxMdhd)) {
        if (part.timescale != 0) flush();
        part.timescale = t.timescale;
        part.duration = t.duration;
        partUsed = true;
      } else {
        // A sample entry, an esds or a cookie: the parts of one entry.
        SampleEntry& e = part.entry;
        const bool repeats = (!e.audioConfig.empty() && !t.entry.audioConfig.empty()) ||
                             (!e.alacCookie.empty() && !t.entry.alacCookie.empty()) ||
                             (e.format != 0 && e.format != t.entry.format);
        if (repeats) flush();
        SampleEntry merged = t.entry;
        if (merged.audioConfig.empty()) merged.audioConfig = part.entry.audioConfig;
        if (merged.alacCookie.empty()) merged.alacCookie = part.entry.alacCookie;
        if (merged.channels == 0) {
          merged.channels = part.entry.channels;
          merged.sampleBits = part.entry.sampleBits;
          merged.rate = part.entry.rate;
        }
        part.entry = std::move(merged);
        SetKind(&part);
        partUsed = true;
      }
    }
    flush();
    if (!loose.tracks.empty()) moovs.push_back(std::move(loose));
    Index* best = Best(moovs);
    return best != nullptr ? std::move(*best) : Index{IndexSource::kRemains, 0, {}, {}};
  }

  static Index* Best(std::vector<Index>& indexes) {
    Index* best = nullptr;
    for (Index& index : indexes) {
      if (best == nullptr || index.Beats(*best)) best = &index;
    }
    return best;
  }

  ContainerLayout Finish() {
    std::vector<Index> candidates;
    if (moov_) candidates.push_back(std::move(*moov_));
    if (!pieces_.empty()) candidates.push_back(RemainsIndex());
    Index* best = Best(candidates);
    if (best != nullptr && !best->tracks.empty()) {
      layout_.indexSource = best->source;
      layout_.indexOffset = best->offset;
      layout_.tracks = std::move(best->tracks);
    }
    // Fragments take their defaults from the index that describes their tracks.
    FragmentReader fragments(best != nullptr ? best->defaults : std::vector<TrackDefaults>{}, size_,
                             &layout_.fragments);
    for (const MoofSpan& moof : moofs_) {
      fragments.ReadMoof(BufferReader(data_, moof.payload, moof.end), moof.begin);
    }
    for (const Track& t : layout_.tracks) {
      if (t.kind != TrackKind::kSound || t.entry.audioConfig.empty()) continue;
      layout_.audioConfig = t.entry.audioConfig;
      layout_.moov = layout_.indexSource == IndexSource::kMoov;
      if (!layout_.moov) break;
      layout_.indexedFrames = t.sampleCount;
      for (const Fragment& f : layout_.fragments) {
        if (f.trackId == t.id) layout_.indexedFrames += f.sampleCount;
      }
      break;
    }
    return std::move(layout_);
  }

  const std::uint8_t* data_;
  std::uint64_t size_;
  ContainerLayout layout_;
  std::optional<Index> moov_;      // the best of the top level's moov boxes
  std::vector<Piece> pieces_;      // remains, in the order they were found
  std::vector<MoofSpan> moofs_;    // moof boxes, as far as the file holds them
  std::vector<Interval> spare_;    // payloads of top-level boxes that hold no media and no index
  std::vector<Interval> scanned_;  // read as index or searched already
};

}  // namespace

ContainerLayout ReadContainer(const std::uint8_t* data, std::uint64_t size) {
  if (data == nullptr) return {};
  return Reader(data, size).Read();
}

ContainerLayout ReadHeader(const std::uint8_t* data, std::uint64_t size, std::uint64_t maxBytes) {
  if (data == nullptr) return {};
  return Reader(data, size).ReadHeader(maxBytes);
}

}  // namespace quillmend
