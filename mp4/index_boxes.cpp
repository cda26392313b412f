#include "index_boxes.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include "box_search.h"
#include "four_cc.h"

namespace quillmend {
namespace {


// Boxes that only stand at the top level: meeting one inside a moov means the moov's size is
// wrong and its contents ended before.
bool TopLevelOnly(std::uint32_t type) {
  return Is(type, kBoxMdat) || Is(type, kBoxMoov) || Is(type, kBoxMoof) || Is(type, kBoxFtyp);
}

constexpr std::uint8_t kEsDescriptorTag = 0x03;
constexpr std::uint8_t kDecoderConfigTag = 0x04;
constexpr std::uint8_t kDecoderSpecificTag = 0x05;

// A descriptor of the MPEG-4 systems layer: its tag, its size in up to four 7-bit groups, and
// its body, which must lie inside what is left.
bool ReadDescriptor(BufferReader* reader, std::uint8_t* tag, BufferReader* body) {
  BufferReader r = *reader;
  std::uint64_t length = 0;
  if (!r.Read1(tag)) return false;
  for (int i = 0;; ++i) {
    std::uint8_t b = 0;
    if (i == 4 || !r.Read1(&b)) return false;
    length = length << 7 | (b & 0x7F);
    if (!(b & 0x80)) break;
  }
  if (!r.Split(length, body)) return false;
  *reader = r;
  return true;
}

// The first descriptor with this tag among those that follow one another in `r`.
bool FindDescriptor(BufferReader r, std::uint8_t wanted, BufferReader* body) {
  std::uint8_t tag = 0;
  while (ReadDescriptor(&r, &tag, body)) {
    if (tag == wanted) return true;
  }
  return false;
}

// MPEG-4 audio, and the three MPEG-2 AAC profiles: their writers put an AudioSpecificConfig in
// the decoder-specific info as well, and the frames are the same raw blocks.
bool IsAacObjectType(std::uint8_t type) { return type == 0x40 || (type >= 0x66 && type <= 0x68); }

// The boxes after a sound description: esds, alac, and QuickTime's 'wave', which holds frma, a
// stub mp4a (not an entry), esds or alac, and a terminator.
void ReadSoundChildren(BufferReader r, SampleEntry* entry, bool inWave) {
  BoxChildren children(r);
  BoxHeader box;
  BufferReader payload;
  while (children.Next(&box, &payload)) {
    if (Is(box.type, kBoxEsds) && entry->objectType == 0) {
      (void)ReadEsds(payload, entry);
    } else if (Is(box.type, kBoxAlac) && Is(entry->format, kBoxAlac) && entry->alacCookie.empty()) {
      (void)ReadAlacCookie(payload, entry);
    } else if (Is(box.type, kBoxWave) && !inWave) {
      ReadSoundChildren(payload, entry, true);
    }
  }
}

bool ReadVideoEntry(BufferReader r, SampleEntry* entry) {
  std::uint16_t width = 0, height = 0;
  // Reserved and data reference index, predefined and reserved; after the size: resolutions,
  // reserved, frame count, compressor name, depth, predefined.
  if (!r.Skip(8 + 16) || !r.Read2(&width) || !r.Read2(&height) || !r.Skip(50)) return false;
  entry->width = width;
  entry->height = height;
  BoxChildren children(r.Rest());
  BoxHeader box;
  BufferReader payload;
  while (children.Next(&box, &payload)) {
    // The low two bits of one byte of the decoder configuration give the length size less one.
    const int at = Is(box.type, kBoxAvcC) ? 4 : Is(box.type, kBoxHvcC) ? 21 : -1;
    std::uint8_t lengthByte = 0;
    if (at >= 0 && payload.Skip(std::uint64_t(at)) && payload.Read1(&lengthByte)) {
      entry->nalLengthSize = (lengthByte & 3) + 1;
    }
  }
  return true;
}

bool ReadChunkOffsets(BufferReader r, int width, Track* track) {
  std::uint8_t version = 0;
  std::uint32_t flags = 0, count = 0;
  if (!r.ReadVersionAndFlags(&version, &flags) || !r.Read4(&count)) return false;
  const std::uint64_t n = std::min<std::uint64_t>(count, r.Remaining() / std::uint64_t(width));
  track->chunkOffsets.resize(n);
  for (std::uint64_t& offset : track->chunkOffsets) {
    if (!r.ReadUnsigned(width, &offset)) return false;
  }
  return n == count;
}

bool ReadChunkRuns(BufferReader r, Track* track) {
  std::uint8_t version = 0;
  std::uint32_t flags = 0, count = 0;
  if (!r.ReadVersionAndFlags(&version, &flags) || !r.Read4(&count)) return false;
  const std::uint64_t n = std::min<std::uint64_t>(count, r.Remaining() / 12);
  track->chunkRuns.resize(n);
  for (auto& [firstChunk, samples] : track->chunkRuns) {
    if (!r.Read4(&firstChunk) || !r.Read4(&samples) || !r.Skip(4)) return false;
  }
  return n == count;
}

bool ReadSampleSizes(BufferReader r, Track* track) {
  std::uint8_t version = 0;
  std::uint32_t flags = 0, uniform = 0, count = 0;
  if (!r.ReadVersionAndFlags(&version, &flags) || !r.Read4(&uniform) || !r.Read4(&count)) {
    return false;
  }
  track->uniformSampleSize = uniform;
  if (uniform != 0) {
    track->sampleSizes.clear();  // a table read before this box is not this box's
    track->sampleCount = count;
    return true;
  }
  const std::uint64_t n = std::min<std::uint64_t>(count, r.Remaining() / 4);
  track->sampleSizes.resize(n);
  for (std::uint32_t& size : track->sampleSizes) {
    if (!r.Read4(&size)) return false;
  }
  track->sampleCount = n;
  return n == count;
}

// stz2: the compact sizes, 4, 8 or 16 bits each.
bool ReadCompactSampleSizes(BufferReader r, Track* track) {
  std::uint8_t version = 0, fieldBits = 0;
  std::uint32_t flags = 0, count = 0;
  if (!r.ReadVersionAndFlags(&version, &flags) || !r.Skip(3) || !r.Read1(&fieldBits) ||
      !r.Read4(&count) || (fieldBits != 4 && fieldBits != 8 && fieldBits != 16)) {
    return false;
  }
  const std::uint64_t fits = r.Remaining() * 8 / fieldBits;
  const std::uint64_t n = std::min<std::uint64_t>(count, fits);
  track->uniformSampleSize = 0;
  track->sampleSizes.resize(n);
  std::uint8_t pair = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    std::uint64_t value = 0;
    if (fieldBits == 4) {
      if (i % 2 == 0 && !r.Read1(&pair)) return false;
      value = i % 2 == 0 ? pair >> 4 : pair & 0x0F;
    } else if (!r.ReadUnsigned(fieldBits / 8, &value)) {
      return false;
    }
    track->sampleSizes[i] = std::uint32_t(value);
  }
  track->sampleCount = n;
  return n == count;
}

// Whether stsc's runs spread exactly the sizes' samples over exactly the chunks.
bool TablesAgree(const Track& t) {
  const std::uint64_t chunks = t.chunkOffsets.size();
  if (t.chunkRuns.empty()) return chunks == 0 && t.sampleCount == 0;
  if (t.chunkRuns.front().first != 1) return false;
  std::uint64_t samples = 0;
  for (std::size_t i = 0; i < t.chunkRuns.size(); ++i) {
    const std::uint64_t first = t.chunkRuns[i].first;
    const std::uint64_t next = i + 1 < t.chunkRuns.size() ? t.chunkRuns[i + 1].first : chunks + 1;
    if (next <= first || next > chunks + 1) return false;
    samples += (next - first) * t.chunkRuns[i].second;
    if (samples > t.sampleCount) return false;
  }
  return samples == t.sampleCount;
}

bool ReadTrackHeader(BufferReader r, Track* track) {
  std::uint8_t version = 0;
  std::uint32_t flags = 0;
  // Creation and modification times, 32 or 64 bits each.
  return r.ReadVersionAndFlags(&version, &flags) && r.Skip(version == 1 ? 16 : 8) &&
         r.Read4(&track->id);
}

bool ReadHandler(BufferReader r, Track* track) {
  std::uint8_t version = 0;
  std::uint32_t flags = 0;
  // QuickTime's component type stands where ISO has a predefined zero.
  return r.ReadVersionAndFlags(&version, &flags) && r.Skip(4) && r.Read4(&track->handler);
}

void ReadSampleTable(BufferReader r, TrackRead* read) {
  Track& t = read->track;
  bool offsets = false, runs = false, sizes = false;
  BoxChildren children(r);
  BoxHeader box;
  BufferReader payload;
  while (children.Next(&box, &payload)) {
    if (Is(box.type, kBoxStsd)) {
      (void)ReadStsd(payload, t.handler, &t.entry);
    } else if (Is(box.type, kBoxStco) || Is(box.type, kBoxCo64)) {
      offsets = ReadChunkOffsets(payload, Is(box.type, kBoxCo64) ? 8 : 4, &t);
    } else if (Is(box.type, kBoxStsc)) {
      runs = ReadChunkRuns(payload, &t);
    } else if (Is(box.type, kBoxStsz)) {
      sizes = ReadSampleSizes(payload, &t);
    } else if (Is(box.type, kBoxStz2)) {
      sizes = ReadCompactSampleSizes(payload, &t);
    }
  }
  read->whole = read->whole && children.Whole();
  t.tablesWhole = offsets && runs && sizes && TablesAgree(t);
}

void ReadMediaInformation(BufferReader r, TrackRead* read) {
  BoxChildren children(r);
  BoxHeader box;
  BufferReader payload;
  while (children.Next(&box, &payload)) {
    if (Is(box.type, kBoxStbl)) ReadSampleTable(payload, read);
  }
  read->whole = read->whole && children.Whole();
}

void ReadMovieExtends(BufferReader r, std::vector<TrackDefaults>* defaults) {
  BoxChildren children(r);
  BoxHeader box;
  BufferReader payload;
  while (children.Next(&box, &payload)) {
    std::uint8_t version = 0;
    std::uint32_t flags = 0;
    TrackDefaults d;
    if (Is(box.type, kBoxTrex) && payload.ReadVersionAndFlags(&version, &flags) &&
        payload.Read4(&d.trackId) && payload.Skip(4) && payload.Read4(&d.sampleDuration) &&
        payload.Read4(&d.sampleSize)) {
      defaults->push_back(d);
    }
  }
}

// The first trak at or after `from` inside [.., end) whose header and contents read: where the
// tracks go on behind bytes that are no box.
std::uint64_t NextTrak(const std::uint8_t* data, std::uint64_t from, std::uint64_t end) {
  const auto* type = reinterpret_cast<const std::uint8_t*>(kBoxTrak.bytes);
  while (from + 4 <= end) {
    const std::uint8_t* hit = FindBytes(data + from, end - from, type, 4);
    if (hit == nullptr) break;
    const auto typeAt = std::uint64_t(hit - data);
    from = typeAt + 4;
    BufferReader r(data, typeAt - 4, end);
    BoxHeader box;
    if (typeAt >= 4 && ReadBoxHeader(&r, &box) && Is(box.type, kBoxTrak) &&
        ReadTrak(BufferReader(data, box.payload, std::min(box.end, end))).Useful()) {
      return box.begin;
    }
  }
  return end;
}

constexpr std::uint32_t kTfhdBaseOffset = 0x000001;
constexpr std::uint32_t kTfhdDescriptionIndex = 0x000002;
constexpr std::uint32_t kTfhdDefaultDuration = 0x000008;
constexpr std::uint32_t kTfhdDefaultSize = 0x000010;
constexpr std::uint32_t kTfhdDefaultFlags = 0x000020;
constexpr std::uint32_t kTfhdBaseIsMoof = 0x020000;
constexpr std::uint32_t kTrunDataOffset = 0x000001;
constexpr std::uint32_t kTrunFirstFlags = 0x000004;
constexpr std::uint32_t kTrunDuration = 0x000100;
constexpr std::uint32_t kTrunSize = 0x000200;
constexpr std::uint32_t kTrunFlags = 0x000400;
constexpr std::uint32_t kTrunCompositionOffset = 0x000800;

}  // namespace

bool IsSoundFormat(std::uint32_t format) { return Is(format, kBoxMp4a) || Is(format, kBoxAlac); }

bool IsVideoFormat(std::uint32_t format) {
  return Is(format, kBoxAvc1) || Is(format, kBoxAvc3) || Is(format, kBoxHvc1) ||
         Is(format, kBoxHev1);
}

// True when the descriptors down to the decoder config read.
bool ReadEsds(BufferReader r, SampleEntry* entry) {
  std::uint8_t version = 0, tag = 0, esFlags = 0, objectType = 0;
  std::uint32_t flags = 0;
  BufferReader es, config, specific;
  if (!r.ReadVersionAndFlags(&version, &flags) || version != 0) return false;
  if (!ReadDescriptor(&r, &tag, &es) || tag != kEsDescriptorTag) return false;
  if (!es.Skip(2) || !es.Read1(&esFlags)) return false;  // ES_ID, flags
  if ((esFlags & 0x80) && !es.Skip(2)) return false;     // depends on another stream
  if (esFlags & 0x40) {                                  // a URL
    std::uint8_t length = 0;
    if (!es.Read1(&length) || !es.Skip(length)) return false;
  }
  if ((esFlags & 0x20) && !es.Skip(2)) return false;  // OCR stream
  if (!FindDescriptor(es, kDecoderConfigTag, &config)) return false;
  // Object type, stream type, buffer size, maximum and average bit rates.
  if (!config.Read1(&objectType) || !config.Skip(12)) return false;
  entry->objectType = objectType;
  if (IsAacObjectType(objectType) && FindDescriptor(config, kDecoderSpecificTag, &specific)) {
    if (!specific.ReadBytes(specific.Remaining(), &entry->audioConfig)) return false;
  }
  return true;
}

// The 'alac' box: version and flags, then the cookie.
bool ReadAlacCookie(BufferReader r, SampleEntry* entry) {
  std::uint8_t version = 0;
  std::uint32_t flags = 0;
  if (!r.ReadVersionAndFlags(&version, &flags) || version != 0 || r.Remaining() == 0) {
    return false;
  }
  return r.ReadBytes(r.Remaining(), &entry->alacCookie);
}

// An ALAC decoder configuration as encoders write it: frame length, version 0, a sample size
// the codec has, 1 to 8 channels.
bool PlausibleAlacCookie(const std::vector<std::uint8_t>& c) {
  if (c.size() < 24) return false;
  const std::uint32_t frameLength = std::uint32_t(c[0]) << 24 | c[1] << 16 | c[2] << 8 | c[3];
  const std::uint8_t bits = c[5];
  return frameLength != 0 && frameLength <= 65536 && c[4] == 0 &&
         (bits == 16 || bits == 20 || bits == 24 || bits == 32) && c[9] >= 1 && c[9] <= 8;
}

// A sound description: ISO's (QuickTime's version 0), QuickTime's version 1 (16 more bytes of
// packet sizes) or version 2 (its own layout, with a float64 rate).
bool ReadSoundEntry(BufferReader r, SampleEntry* entry) {
  std::uint16_t version = 0, channels = 0, bits = 0;
  std::uint32_t rate = 0;
  // Reserved and data reference index; version, revision and vendor; ...; compression id and
  // packet size.
  if (!r.Skip(8) || !r.Read2(&version) || !r.Skip(6) || !r.Read2(&channels) || !r.Read2(&bits) ||
      !r.Skip(4) || !r.Read4(&rate)) {
    return false;
  }
  entry->channels = channels;
  entry->sampleBits = bits;
  entry->rate = rate >> 16;  // 16.16 fixed point
  if (version == 1) {
    if (!r.Skip(16)) return false;  // samples per packet, bytes per packet, frame and sample
  } else if (version == 2) {
    std::uint64_t rateBits = 0;
    std::uint32_t channels2 = 0, bits2 = 0;
    // Size of the struct; the rate; channels; a constant; bits per channel; format flags,
    // bytes per packet and frames per packet.
    if (!r.Skip(4) || !r.Read8(&rateBits) || !r.Read4(&channels2) || !r.Skip(4) ||
        !r.Read4(&bits2) || !r.Skip(12)) {
      return false;
    }
    const double hz = std::bit_cast<double>(rateBits);
    // The comparison is false for NaN too.
    entry->rate = hz >= 1 && hz < 4294967295.0 ? std::uint32_t(std::llround(hz)) : 0;
    entry->channels = channels2;
    entry->sampleBits = bits2;
  }
  ReadSoundChildren(r.Rest(), entry, false);
  return true;
}

// The first entry of an stsd, read as the handler says (by its format where no handler was
// read). False when there is none.
bool ReadStsd(BufferReader r, std::uint32_t handler, SampleEntry* entry) {
  std::uint8_t version = 0;
  std::uint32_t flags = 0, count = 0;
  if (!r.ReadVersionAndFlags(&version, &flags) || !r.Read4(&count) || count == 0) return false;
  BoxChildren children(r.Rest());
  BoxHeader box;
  BufferReader payload;
  if (!children.Next(&box, &payload)) return false;
  *entry = {};
  entry->format = box.type;
  const bool sound = handler != 0 ? handler == kHandlerSound.Value() : IsSoundFormat(box.type);
  const bool video = handler != 0 ? handler == kHandlerVideo.Value() : IsVideoFormat(box.type);
  if (sound) (void)ReadSoundEntry(payload, entry);
  if (video) (void)ReadVideoEntry(payload, entry);
  return true;
}

bool ReadMediaHeader(BufferReader r, Track* track) {
  std::uint8_t version = 0;
  std::uint32_t flags = 0, timescale = 0;
  std::uint64_t duration = 0;
  if (!r.ReadVersionAndFlags(&version, &flags) || version > 1) return false;
  const int width = version == 1 ? 8 : 4;
  if (!r.Skip(std::uint64_t(2 * width)) || !r.Read4(&timescale) ||
      !r.ReadUnsigned(width, &duration)) {
    return false;
  }
  track->timescale = timescale;
  track->duration = duration;
  return true;
}

void ReadMedia(BufferReader r, TrackRead* read) {
  BoxChildren children(r);
  BoxHeader box;
  BufferReader payload;
  while (children.Next(&box, &payload)) {
    if (Is(box.type, kBoxMdhd)) {
      (void)ReadMediaHeader(payload, &read->track);
    } else if (Is(box.type, kBoxHdlr)) {
      (void)ReadHandler(payload, &read->track);
    } else if (Is(box.type, kBoxMinf)) {
      ReadMediaInformation(payload, read);
    }
  }
  read->whole = read->whole && children.Whole();
  read->reach = children.Reach();
}

void SetKind(Track* t) {
  if (t->handler == kHandlerSound.Value()) {
    t->kind = TrackKind::kSound;
  } else if (t->handler == kHandlerVideo.Value()) {
    t->kind = TrackKind::kVideo;
  } else if (t->handler != 0) {
    t->kind = TrackKind::kOther;
  } else if (IsSoundFormat(t->entry.format)) {  // remains without their handler
    t->kind = TrackKind::kSound;
  } else if (IsVideoFormat(t->entry.format)) {
    t->kind = TrackKind::kVideo;
  } else {
    t->kind = TrackKind::kUnknown;
  }
}

TrackRead ReadTrak(BufferReader r) {
  TrackRead read;
  BoxChildren children(r);
  BoxHeader box;
  BufferReader payload;
  while (children.Next(&box, &payload)) {
    if (Is(box.type, kBoxTkhd)) {
      (void)ReadTrackHeader(payload, &read.track);
    } else if (Is(box.type, kBoxMdia)) {
      ReadMedia(payload, &read);
    }
  }
  read.whole = read.whole && children.Whole();
  read.reach = children.Reach();
  SetKind(&read.track);
  return read;
}

// The moov's payload [begin, end), end already clamped to the bytes at hand. With `resync`, a
// damaged track does not end the reading: the tracks behind it are looked for by their type.
MoovRead ReadMoov(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end, bool resync) {
  MoovRead m;
  m.reach = begin;
  for (std::uint64_t from = begin; from < end;) {
    BoxChildren children(BufferReader(data, from, end));
    BoxHeader box;
    BufferReader payload;
    while (children.Next(&box, &payload)) {
      if (TopLevelOnly(box.type)) {
        m.whole = false;
        return m;
      }
      m.reach = payload.End();
      if (Is(box.type, kBoxTrak)) {
        TrackRead read = ReadTrak(payload);
        m.whole = m.whole && read.whole;
        if (read.Useful()) m.tracks.push_back(std::move(read.track));
      } else if (Is(box.type, kBoxMvex)) {
        ReadMovieExtends(payload, &m.defaults);
      }
    }
    if (children.Whole()) {
      m.reach = end;
      break;
    }
    m.whole = false;
    if (!resync) break;
    from = NextTrak(data, children.StoppedAt() + 8, end);
  }
  return m;
}

FragmentReader::FragmentReader(std::vector<TrackDefaults> defaults, std::uint64_t repeatBudget,
                               std::vector<Fragment>* out)
    : defaults_(std::move(defaults)), repeatBudget_(repeatBudget), out_(out) {
  std::stable_sort(
      defaults_.begin(), defaults_.end(),
      [](const TrackDefaults& a, const TrackDefaults& b) { return a.trackId < b.trackId; });
}

void FragmentReader::ReadTraf(BufferReader r, std::uint64_t moofOffset,
                              std::uint64_t* implicitBase) {
  BoxChildren children(r);
  BoxHeader box;
  BufferReader payload;
  Fragment head;
  bool haveHead = false;
  std::uint64_t base = 0, next = 0;
  while (children.Next(&box, &payload)) {
    if (Is(box.type, kBoxTfhd)) {
      haveHead = ReadTfhd(payload, moofOffset, *implicitBase, &head, &base);
      next = base;
    } else if (Is(box.type, kBoxTrun) && haveHead) {
      Fragment f = head;
      if (!ReadTrun(payload, base, next, &f)) continue;
      next = f.dataOffset;
      for (std::uint32_t size : f.sampleSizes) next += size;
      *implicitBase = next;
      out_->push_back(std::move(f));
    }
  }
}

bool FragmentReader::ReadTfhd(BufferReader r, std::uint64_t moofOffset, std::uint64_t implicitBase,
                              Fragment* head, std::uint64_t* base) const {
  std::uint8_t version = 0;
  std::uint32_t flags = 0;
  *head = {};
  head->moofOffset = moofOffset;
  if (!r.ReadVersionAndFlags(&version, &flags) || !r.Read4(&head->trackId)) return false;
  // Many trafs and many trex boxes must not cost a pass over the one per the other.
  const auto after =
      std::upper_bound(defaults_.begin(), defaults_.end(), head->trackId,
                       [](std::uint32_t id, const TrackDefaults& d) { return id < d.trackId; });
  if (after != defaults_.begin() && std::prev(after)->trackId == head->trackId) {
    head->defaultSampleDuration = std::prev(after)->sampleDuration;
    head->defaultSampleSize = std::prev(after)->sampleSize;
  }
  *base = (flags & kTfhdBaseIsMoof) ? moofOffset : implicitBase;
  if ((flags & kTfhdBaseOffset) && !r.Read8(base)) return false;
  if ((flags & kTfhdDescriptionIndex) && !r.Skip(4)) return false;
  if ((flags & kTfhdDefaultDuration) && !r.Read4(&head->defaultSampleDuration)) return false;
  if ((flags & kTfhdDefaultSize) && !r.Read4(&head->defaultSampleSize)) return false;
  return !(flags & kTfhdDefaultFlags) || r.Skip(4);
}

bool FragmentReader::ReadTrun(BufferReader r, std::uint64_t base, std::uint64_t next, Fragment* f) {
  std::uint8_t version = 0;
  std::uint32_t flags = 0, count = 0, offset = 0;
  if (!r.ReadVersionAndFlags(&version, &flags) || !r.Read4(&count)) return false;
  f->dataOffset = next;
  if (flags & kTrunDataOffset) {
    if (!r.Read4(&offset)) return false;
    const auto signedOffset = std::int64_t(std::int32_t(offset));
    if (signedOffset < 0 && base < std::uint64_t(-signedOffset)) return false;
    f->dataOffset = base + std::uint64_t(signedOffset);
  }
  if ((flags & kTrunFirstFlags) && !r.Skip(4)) return false;
  const std::uint32_t fields =
      flags & (kTrunDuration | kTrunSize | kTrunFlags | kTrunCompositionOffset);
  const std::uint64_t entryBytes = 4 * std::uint64_t(std::popcount(fields));
  std::uint64_t n = count;
  if (entryBytes != 0) n = std::min<std::uint64_t>(n, r.Remaining() / entryBytes);
  f->sampleCount = std::uint32_t(n);
  if (!(flags & kTrunSize)) {
    if (f->defaultSampleSize == 0 || n > repeatBudget_) return true;
    repeatBudget_ -= n;
  }
  f->sampleSizes.assign(n, f->defaultSampleSize);
  for (std::uint32_t& size : f->sampleSizes) {
    if ((flags & kTrunDuration) && !r.Skip(4)) return false;
    if ((flags & kTrunSize) && !r.Read4(&size)) return false;
    if ((flags & kTrunFlags) && !r.Skip(4)) return false;
    if ((flags & kTrunCompositionOffset) && !r.Skip(4)) return false;
  }
  return true;
}

void FragmentReader::ReadMoof(BufferReader r, std::uint64_t moofOffset) {
  BoxChildren children(r);
  BoxHeader box;
  BufferReader payload;
  std::uint64_t implicitBase = moofOffset;
  while (children.Next(&box, &payload)) {
    if (Is(box.type, kBoxTraf)) ReadTraf(payload, moofOffset, &implicitBase);
  }
}

}  // namespace quillmend
