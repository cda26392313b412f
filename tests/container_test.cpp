// The container reader over byte fixtures built here (each structure, each damage, each hostile
// shape) and over recordings that the ffmpeg tool and GStreamer make, judged by FFmpeg's own
// reading of them.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <functional>
#include <memory>
#include <random>

extern "C" {
#include <libavformat/avformat.h>
}

#include "aac/audio_config.h"
#include "mp4/container.h"
#include "support/support.h"

#ifdef __SANITIZE_ADDRESS__
#include <sanitizer/asan_interface.h>
#endif

namespace quillmend {
namespace {

using test::Bytes;
using test::ByteVector;
namespace fs = std::filesystem;
using Samples = std::vector<std::pair<std::int64_t, int>>;  // position, size
using Sizes = std::vector<std::uint32_t>;

Bytes Box(std::string_view type, const Bytes& payload) { return Bytes::Box(type, payload); }
Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.Raw(p.data);
  return all;
}
Bytes Words(std::initializer_list<std::uint32_t> words) {
  Bytes b;
  for (std::uint32_t w : words) b.U32(w);
  return b;
}
Bytes Full(std::string_view type, std::uint32_t versionAndFlags, const Bytes& payload) {
  return Box(type, Cat({Words({versionAndFlags}), payload}));
}
Bytes Ftyp(std::string_view brand) {
  return Box("ftyp", Bytes{}.Text(brand).U32(0).Text("isommp42"));
}

const ByteVector kAsc{0x12, 0x10};  // AAC LC, 44.1 kHz, stereo
const ByteVector kCookie{0, 0, 16, 0, 0, 16, 40, 10, 14, 2, 0,    255,
                         0, 0, 0,  0, 0, 0,  0,  0,  0,  0, 0xAC, 0x44};
const Bytes kAlac = Full("alac", 0, Bytes{}.Raw(kCookie));

// ES_Descriptor > DecoderConfigDescriptor > DecoderSpecificInfo, then an SL descriptor.
Bytes Esds(const ByteVector& asc, std::uint8_t objectType = 0x40) {
  const auto n = std::uint8_t(asc.size());
  return Full("esds", 0,
              Bytes{3, std::uint8_t(23 + n), 0, 1, 0, 4, std::uint8_t(15 + n), objectType}
                  .Fill(12, 0)
                  .Raw({5, n})
                  .Raw(asc)
                  .Raw({6, 1, 2}));
}

// A sound description of QuickTime version 0 (ISO's), 1 or 2.
Bytes Sound(std::string_view format, int version, int channels, std::uint32_t rate,
            const Bytes& children) {
  Bytes p = Bytes{}.Fill(6, 0).U16(1).U16(std::uint16_t(version)).Fill(6, 0);
  if (version == 2) {
    std::uint64_t hz;
    const double rateHz = rate;
    std::memcpy(&hz, &rateHz, 8);
    p.Raw(Words({0x00030010, 0xFFFE0000, 0x10000, 72, std::uint32_t(hz >> 32), std::uint32_t(hz),
                 std::uint32_t(channels), 0x7F000000, 24, 0, 0, 0})
              .data);
  } else {
    p.U16(std::uint16_t(channels)).U16(16).U32(0).U32(rate << 16);
    if (version == 1) p.Raw(Words({1024, 0, 0, 2}).data);
  }
  return Box(format, Cat({p, children}));
}
Bytes Wave(const char* format, const Bytes& inner) {
  return Box("wave", Cat({Box("frma", Bytes{}.Text(format)), Box("mp4a", Words({0})), inner,
                          Words({8, 0})}));
}

struct TrackSpec {
  std::uint32_t id = 1;
  const char* handler = "soun";
  Bytes entry = Sound("mp4a", 0, 2, 44100, Esds(kAsc));
  Sizes sizes{300, 310, 290, 305, 295};
};

// A trak whose samples lie one after another from `at`, two to a chunk.
Bytes Trak(const TrackSpec& t, std::uint64_t at) {
  const auto n = std::uint32_t(t.sizes.size());
  Bytes offsets = Words({(n + 1) / 2}), sizes = Words({0, n});
  for (std::size_t i = 0; i < n; at += t.sizes[i++]) {
    if (i % 2 == 0) offsets.U32(std::uint32_t(at));
    sizes.U32(t.sizes[i]);
  }
  const Bytes runs = n % 2 ? Words({2, 1, 2, 1, (n + 1) / 2, 1, 1}) : Words({1, 1, 2, 1});
  const Bytes stbl = Cat({Full("stsd", 0, Cat({Words({1}), t.entry})), Full("stsc", 0, runs),
                          Full("stsz", 0, sizes), Full("stco", 0, offsets)});
  const Bytes mdia = Cat({Full("mdhd", 0, Words({0, 0, 44100, 1024, 0})),
                          Full("hdlr", 0, Bytes{}.U32(0).Text(t.handler).Fill(13, 0)),
                          Box("minf", Box("stbl", stbl))});
  return Box("trak",
             Cat({Full("tkhd", 7, Bytes{}.Fill(8, 0).U32(t.id).Fill(68, 0)), Box("mdia", mdia)}));
}

Bytes Moov(const std::vector<TrackSpec>& tracks, std::uint64_t at, const Bytes& extra = {}) {
  Bytes traks = Full("mvhd", 0, Bytes{}.Fill(96, 0));
  for (const TrackSpec& t : tracks) {
    traks.Raw(Trak(t, at).data);
    for (std::uint32_t s : t.sizes) at += s;
  }
  return Box("moov", Cat({traks, extra}));
}

Bytes Media(const std::vector<TrackSpec>& tracks) {
  Bytes media;
  for (const TrackSpec& t : tracks) {
    for (std::uint32_t s : t.sizes) media.Fill(s, std::uint8_t(s));
  }
  return media;
}

// ftyp, mdat, moov, the tracks' samples in the mdat: where its payload and the moov lie.
struct Fixture {
  ByteVector bytes;
  std::uint64_t media = 0, mediaEnd = 0, moov = 0;
};
Fixture M4a(const std::vector<TrackSpec>& tracks = {TrackSpec{}}) {
  const Bytes head = Ftyp("M4A "), mdat = Box("mdat", Media(tracks));
  const Bytes all = Cat({head, mdat, Moov(tracks, head.size() + 8)});
  return {all.data, head.size() + 8, head.size() + mdat.size(), head.size() + mdat.size()};
}

std::size_t Find(const ByteVector& b, std::string_view type, std::size_t from = 0) {
  return std::size_t(
      std::search(b.begin() + std::ptrdiff_t(from), b.end(), type.begin(), type.end()) - b.begin());
}
void SetU32(ByteVector& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + std::size_t(i)] = std::uint8_t(v >> (24 - 8 * i));
}
void Wipe(ByteVector& b, std::size_t at, std::size_t n, std::uint8_t with = 0) {
  std::fill_n(b.begin() + std::ptrdiff_t(at), n, with);
}

// Reads a copy of exactly these bytes, so that AddressSanitizer sees any read past them, and
// checks what holds for any input: media ranges inside the bytes, in order, none empty.
ContainerLayout Read(const ByteVector& bytes) {
  const auto copy = std::make_unique<std::uint8_t[]>(bytes.size() + 1);
  std::copy(bytes.begin(), bytes.end(), copy.get());
  ContainerLayout c = ReadContainer(copy.get(), bytes.size());
  std::uint64_t last = 0;
  for (const MediaRange& m : c.media) {
    EXPECT_TRUE(m.begin >= last && m.begin < m.end && m.end <= bytes.size());
    last = m.end;
  }
  for (std::uint64_t edge : {0, 16, 300})
    EXPECT_TRUE(ReadHeader(copy.get(), bytes.size(), edge).media.empty());
  return c;
}

TEST(ContainerTopLevel, MediaOfEveryMdatSizeAroundSpareBoxesAndTheIndexBeforeOrAfter) {
  const std::vector<TrackSpec> tracks{TrackSpec{}};
  const Bytes media = Media(tracks);
  const Bytes mdat32 = Bytes{}.U32(std::uint32_t(8 + media.size())).Text("mdat");
  const Bytes mdat64 = Bytes{}.U32(1).Text("mdat").U32(0).U32(std::uint32_t(16 + media.size()));
  const struct {
    Bytes before, mdat;
    bool moovFirst;
  } layouts[] = {
      {Ftyp("M4A "), mdat32, false},
      {Cat({Ftyp("qt  "), Box("wide", {})}), mdat64, false},  // QuickTime's, behind its 'wide'
      {Cat({Ftyp("3gp4"), Box("free", Bytes{}.Fill(40, 0))}), Bytes{}.U32(0).Text("mdat"), true},
      {Cat({Ftyp("zzzz"), Box("skip", {})}), mdat64, true},  // no brand is a reason to refuse
  };
  for (const auto& l : layouts) {
    const std::uint64_t at =
        l.before.size() + (l.moovFirst ? Moov(tracks, 0).size() : 0) + l.mdat.size();
    const Bytes moov = Moov(tracks, at);
    const ContainerLayout c =
        Read((l.moovFirst ? Cat({l.before, moov, l.mdat, media})
                          : Cat({l.before, l.mdat, media, moov, Box("free", {})}))
                 .data);
    EXPECT_EQ(c.brand, std::string(l.before.data.begin() + 8, l.before.data.begin() + 12));
    EXPECT_EQ(c.compatibleBrands, (std::vector<std::string>{"isom", "mp42"}));
    ASSERT_EQ(c.media.size(), 1u);
    EXPECT_EQ(c.media[0].begin, at);
    EXPECT_EQ(c.media[0].end, at + media.size());
    EXPECT_TRUE(c.mdatFound && !c.mdatCut && c.moov);
    EXPECT_EQ(c.indexSource, IndexSource::kMoov);
    ASSERT_EQ(c.tracks.size(), 1u);
    EXPECT_TRUE(c.tracks[0].tablesWhole);
    EXPECT_EQ(c.tracks[0].chunkOffsets[0], at);
    EXPECT_EQ(c.audioConfig, kAsc);
    EXPECT_EQ(c.indexedFrames, 5u);
  }
}

TEST(ContainerSampleEntries, SoundDescriptionsOfEachLayout) {
  const struct {
    const char* name;
    Bytes entry;
    std::uint32_t channels, rate;
    ByteVector config, cookie;
  } sounds[] = {
      {"iso", Sound("mp4a", 0, 2, 44100, Esds(kAsc)), 2, 44100, kAsc, {}},
      {"quicktime-v1", Sound("mp4a", 1, 1, 22050, Wave("mp4a", Esds(kAsc))), 1, 22050, kAsc, {}},
      {"quicktime-v2", Sound("mp4a", 2, 6, 96000, Wave("mp4a", Esds(kAsc))), 6, 96000, kAsc, {}},
      {"mpeg2-aac", Sound("mp4a", 0, 2, 48000, Esds(kAsc, 0x67)), 2, 48000, kAsc, {}},
      {"mp3", Sound("mp4a", 0, 2, 48000, Esds(kAsc, 0x6B)), 2, 48000, {}, {}},
      {"alac", Sound("alac", 0, 2, 44100, kAlac), 2, 44100, {}, kCookie},
      {"alac-wave", Sound("alac", 1, 2, 44100, Wave("alac", kAlac)), 2, 44100, {}, kCookie},
  };
  for (const auto& k : sounds) {
    SCOPED_TRACE(k.name);
    const ContainerLayout c = Read(M4a({TrackSpec{1, "soun", k.entry}}).bytes);
    ASSERT_EQ(c.tracks.size(), 1u);
    const SampleEntry& e = c.tracks[0].entry;
    EXPECT_EQ(c.tracks[0].kind, TrackKind::kSound);
    EXPECT_EQ(e.format, k.cookie.empty() ? kBoxMp4a.Value() : kBoxAlac.Value());
    EXPECT_EQ(e.channels, k.channels);
    EXPECT_EQ(e.rate, k.rate);
    EXPECT_EQ(e.audioConfig, k.config);
    EXPECT_EQ(e.alacCookie, k.cookie);
  }
}

// The fixture's moov changed by hand: what each change leaves readable.
struct Change {
  const char* name;
  std::function<void(ByteVector&)> apply;
  IndexSource source;
  std::uint64_t samples;  // the sound track's, as far as read
  bool config;            // its AudioSpecificConfig still read
};
void PrintTo(const Change& c, std::ostream* os) { *os << c.name; }

const Change kChanges[] = {
    {"count-past-payload", [](ByteVector& b) { SetU32(b, Find(b, "stsz") + 12, ~0u); },
     IndexSource::kMoov, 5, true},
    {"offsets-past-payload", [](ByteVector& b) { SetU32(b, Find(b, "stco") + 8, 1u << 30); },
     IndexSource::kMoov, 5, true},
    {"child-past-its-parent", [](ByteVector& b) { b[Find(b, "stsd") - 3] = 0x10; },
     IndexSource::kMoovCut, 0, true},
    {"moov-past-the-file", [](ByteVector& b) { b[Find(b, "moov") - 3] = 0x10; },
     IndexSource::kMoovCut, 5, true},
    {"zero-size-child", [](ByteVector& b) { SetU32(b, Find(b, "mdia") - 4, 0); },
     IndexSource::kMoov, 5, true},
    {"64-bit-size-below-16", [](ByteVector& b) { SetU32(b, Find(b, "stco") - 4, 1); },
     IndexSource::kMoovCut, 5, true},
    {"descriptor-past-esds", [](ByteVector& b) { b[Find(b, "esds") + 9] = 0x7F; },
     IndexSource::kMoov, 5, false},
    {"cut-in-the-tables", [](ByteVector& b) { b.resize(Find(b, "stsz") + 24); },
     IndexSource::kMoovCut, 2, true},
    {"header-wiped", [](ByteVector& b) { Wipe(b, Find(b, "moov") - 4, 8); }, IndexSource::kRemains,
     5, true},
    {"trak-to-stbl-headers-wiped",
     [](ByteVector& b) {
       for (const char* t : {"moov", "trak", "mdia", "minf", "stbl"})
         Wipe(b, Find(b, t) - 4, 8, 0xEE);
     },
     IndexSource::kRemains, 0, true},
};

class ContainerChanges : public testing::TestWithParam<Change> {};

TEST_P(ContainerChanges, WhatSurvivesIsReadAndTheMediaStaysTheMdats) {
  Fixture f = M4a();
  GetParam().apply(f.bytes);
  const ContainerLayout c = Read(f.bytes);
  EXPECT_EQ(c.indexSource, GetParam().source);
  ASSERT_EQ(c.tracks.size(), 1u);
  EXPECT_EQ(c.tracks[0].sampleCount, GetParam().samples);
  EXPECT_EQ(c.tracks[0].entry.audioConfig, GetParam().config ? kAsc : ByteVector{});
  EXPECT_EQ(c.moov, GetParam().source == IndexSource::kMoov && GetParam().config);
  EXPECT_EQ(c.indexedFrames, c.moov ? GetParam().samples : 0);  // only a whole moov's
  ASSERT_FALSE(c.media.empty());
  EXPECT_EQ(c.media[0].begin, f.media);
  EXPECT_EQ(c.media[0].end, f.mediaEnd);
}

INSTANTIATE_TEST_SUITE_P(Moov, ContainerChanges, testing::ValuesIn(kChanges), [](const auto& info) {
  std::string name = info.param.name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
});

TEST(ContainerHostile, DeepNestingAndFilesOfTypeBytesEndQuicklyWithNothingTaken) {
  ByteVector nested;  // 20000 boxes, each inside the one before
  for (std::uint32_t i = 0; i < 20000; ++i) {
    const Bytes header = Bytes{}.U32(8 * (20000 - i)).Text(i % 2 ? "trak" : "moov");
    nested.insert(nested.end(), header.data.begin(), header.data.end());
  }
  EXPECT_EQ(Read(nested).indexSource, IndexSource::kNone);
  // Bytes that are no box, then nothing but type bytes whose sizes and children do not read
  // true: none is taken for a piece of an index.
  ByteVector types(24, 0xEE);
  for (int i = 0; i < 80000; ++i) {
    const char* type = std::array{"moov", "trak", "esds", "stsd", "mdhd", "moof", "alac"}[i % 7];
    const Bytes b = Bytes{}.U32(i % 2 ? 12 : 400).Text(type).U32(0x03808080);
    types.insert(types.end(), b.data.begin(), b.data.end());
  }
  const ContainerLayout c = Read(types);
  EXPECT_EQ(c.indexSource, IndexSource::kNone);
  ASSERT_EQ(c.media.size(), 1u);
  EXPECT_EQ(c.media[0].end, types.size());
}

TEST(ContainerRecovery, BoxesBehindBytesThatAreNoBoxAreFoundByTheirTypeAndTheRestIsMedia) {
  const Fixture f = M4a();
  ByteVector b = f.bytes;
  b.insert(b.begin() + 24, 100, 0xEE);  // between the ftyp and the mdat
  const ContainerLayout c = Read(b);
  ASSERT_EQ(c.media.size(), 2u);
  EXPECT_FALSE(c.media[0].boxed);
  EXPECT_EQ(c.media[0].begin, 24u);
  EXPECT_EQ(c.media[1].begin, f.media + 100);
  EXPECT_EQ(c.indexSource, IndexSource::kMoov);
}

TEST(ContainerRemains, AnIndexRewrittenOrLeftStaleElsewhereAndTheBestWins) {
  const TrackSpec stale{1, "soun", Sound("mp4a", 0, 1, 22050, Esds({0x13, 0x88}))};
  const std::vector<TrackSpec> tracks{TrackSpec{}};
  const Bytes ftyp = Ftyp("M4A ");
  const std::uint64_t spare = 1000, at = ftyp.size() + 8 + spare + 8;
  // A space reserved at the front holding `front`, the mdat, and maybe the index at the end.
  const auto file = [&](const Bytes& front, bool endIndex) {
    return Cat({ftyp, Box("free", Bytes(front).Fill(spare - front.size(), 0)),
                Box("mdat", Media(tracks)), endIndex ? Moov(tracks, at) : Bytes{}})
        .data;
  };
  ContainerLayout c = Read(file(Moov(tracks, at), false));  // rewritten into the reserved space
  EXPECT_EQ(c.indexSource, IndexSource::kRemains);
  EXPECT_EQ(c.indexOffset, ftyp.size() + 8);
  ASSERT_EQ(c.tracks.size(), 1u);
  EXPECT_TRUE(c.tracks[0].tablesWhole);
  EXPECT_FALSE(c.moov);
  EXPECT_EQ(c.media.size(), 1u);           // the reserved space is not media
  c = Read(file(Moov({stale}, 0), true));  // a stale one there, a whole one at the end
  EXPECT_EQ(c.indexSource, IndexSource::kMoov);
  EXPECT_EQ(c.audioConfig, kAsc);
  ByteVector cut = file(Trak(stale, 0), true);  // a stale trak there, the end's moov cut
  cut.resize(Find(cut, "stsz", Find(cut, "moov")));
  c = Read(cut);
  EXPECT_EQ(c.indexSource, IndexSource::kMoovCut);
  EXPECT_EQ(c.audioConfig, kAsc);
  cut.resize(Find(cut, "moov") - 4);  // only the stale trak
  c = Read(cut);
  EXPECT_EQ(c.indexSource, IndexSource::kRemains);
  EXPECT_EQ(c.tracks[0].entry.rate, 22050u);
}

TEST(ContainerFragments, RunsOfSamplesByTheBaseOffsetRulesAndWhatSurvivesAHitMoof) {
  // A moov with trex defaults; the first moof's run has the trex's default size and its data
  // offset from the moof, the second's has sizes of its own and no offset at all.
  const Bytes trex = Full("trex", 0, Words({1, 1, 1024, 100, 0}));
  const Bytes head =
      Cat({Ftyp("iso6"), Moov({TrackSpec{1, "soun", Sound("mp4a", 0, 2, 44100, Esds(kAsc)), {}}}, 0,
                              Box("mvex", trex))});
  const auto moof = [](std::uint32_t flags, const Bytes& trun) {
    return Box("moof", Cat({Full("mfhd", 0, Words({1})),
                            Box("traf", Cat({Full("tfhd", flags, Words({1})), trun}))}));
  };
  const Bytes first = moof(0x020000, Full("trun", 0x000001, Words({3, 0})));
  ByteVector b = Cat({head, first, Box("mdat", Bytes{}.Fill(300, 1))}).data;
  const std::uint64_t data = head.size() + first.size() + 8, second = b.size();
  SetU32(b, head.size() + first.size() - 4, std::uint32_t(first.size() + 8));
  b = Cat({Bytes{}.Raw(b), moof(0, Full("trun", 0x000200, Words({2, 60, 70}))),
           Box("mdat", Bytes{}.Fill(130, 2))})
          .data;

  ContainerLayout c = Read(b);
  EXPECT_EQ(c.indexSource, IndexSource::kMoov);
  ASSERT_EQ(c.fragments.size(), 2u);
  EXPECT_EQ(c.fragments[0].dataOffset, data);
  EXPECT_EQ(c.fragments[0].sampleSizes, (Sizes{100, 100, 100}));
  EXPECT_EQ(c.fragments[1].moofOffset, second);
  EXPECT_EQ(c.fragments[1].dataOffset, second);  // no offset, no base: the moof's first byte
  EXPECT_EQ(c.fragments[1].sampleSizes, (Sizes{60, 70}));
  EXPECT_EQ(c.indexedFrames, 5u);
  EXPECT_EQ(c.media.size(), 2u);

  Wipe(b, head.size(), 24);  // zeros over the first moof's header
  c = Read(b);
  ASSERT_EQ(c.fragments.size(), 1u);
  EXPECT_EQ(c.fragments[0].moofOffset, second);
  EXPECT_EQ(std::count_if(c.media.begin(), c.media.end(), [](auto& m) { return m.boxed; }), 2);
}

TEST(ContainerHeaderOnly, TheIndexIsReadWithoutTouchingTheMediaOrTheMiddle) {
  TrackSpec big;
  big.sizes.assign(40, 100000);  // 4 MB of media
  const Fixture f = M4a({big});
  const std::uint64_t size = f.bytes.size();
  {
#ifdef __SANITIZE_ADDRESS__  // any read of the media data is reported
    ASAN_POISON_MEMORY_REGION(f.bytes.data() + f.media, f.mediaEnd - f.media);
#endif
    const ContainerLayout whole = ReadContainer(f.bytes.data(), size);
    const ContainerLayout head = ReadHeader(f.bytes.data(), size, 4096);
    EXPECT_EQ(whole.indexSource, IndexSource::kMoov);
    EXPECT_EQ(head.indexSource, IndexSource::kMoov);
    EXPECT_EQ(head.audioConfig, kAsc);
    EXPECT_EQ(head.tracks[0].sampleSizes, whole.tracks[0].sampleSizes);
    EXPECT_TRUE(head.media.empty());
#ifdef __SANITIZE_ADDRESS__
    ASAN_UNPOISON_MEMORY_REGION(f.bytes.data() + f.media, f.mediaEnd - f.media);
#endif
  }
  // A moov that begins outside both windows is not read; one that reaches out of its window is
  // read as far as it lies inside.
  EXPECT_EQ(ReadHeader(f.bytes.data(), size, size - f.moov - 20).indexSource, IndexSource::kNone);
  const Bytes ftyp = Ftyp("M4A ");
  const ByteVector front = Cat({ftyp, Moov({big}, 0), Box("mdat", Media({big}))}).data;
  const ContainerLayout cut = ReadHeader(front.data(), front.size(), ftyp.size() + 500);
  EXPECT_EQ(cut.indexSource, IndexSource::kMoovCut);
  EXPECT_EQ(cut.audioConfig, kAsc);
  EXPECT_LT(cut.tracks[0].sampleCount, 40u);
}

// ---- recordings, judged by FFmpeg's reading

struct Stream {
  std::string codec;
  int channels = 0, rate = 0;
  std::int64_t frames = 0;
  ByteVector extradata;
  Samples packets;
};

std::vector<Stream> Probe(const std::string& path) {
  std::vector<Stream> streams;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) return streams;
  if (avformat_find_stream_info(format, nullptr) >= 0) {
    for (unsigned i = 0; i < format->nb_streams; ++i) {
      const AVCodecParameters* p = format->streams[i]->codecpar;
      streams.push_back({avcodec_get_name(p->codec_id),
                         p->ch_layout.nb_channels,
                         p->sample_rate,
                         format->streams[i]->nb_frames,
                         ByteVector(p->extradata, p->extradata + p->extradata_size),
                         {}});
    }
    AVPacket* packet = av_packet_alloc();
    for (; av_read_frame(format, packet) >= 0; av_packet_unref(packet)) {
      streams[std::size_t(packet->stream_index)].packets.emplace_back(packet->pos, packet->size);
    }
    av_packet_free(&packet);
  }
  avformat_close_input(&format);
  return streams;
}

// Where the sample tables and the fragments put a track's samples.
Samples Placed(const Track& t, const std::vector<Fragment>& fragments) {
  Samples out;
  for (std::size_t chunk = 0, run = 0; chunk < t.chunkOffsets.size(); ++chunk) {
    while (run + 1 < t.chunkRuns.size() && t.chunkRuns[run + 1].first <= chunk + 1) ++run;
    std::int64_t at = std::int64_t(t.chunkOffsets[chunk]);
    for (std::uint32_t k = 0; k < t.chunkRuns[run].second && out.size() < t.sampleCount; ++k) {
      const int size = int(t.uniformSampleSize ? t.uniformSampleSize : t.sampleSizes[out.size()]);
      out.emplace_back(at, size);
      at += size;
    }
  }
  for (const Fragment& f : fragments) {
    std::int64_t at = std::int64_t(f.dataOffset);
    for (std::uint32_t size : f.sampleSizes) {
      if (f.trackId == t.id) out.emplace_back(at, int(size));
      at += size;
    }
  }
  return out;
}

struct Recording {
  const char* name;
  const char* muxer;    // GStreamer's muxer, or nullptr for the ffmpeg tool
  const char* options;  // the ffmpeg tool's inputs beside a tone, and its output options
};
void PrintTo(const Recording& r, std::ostream* os) { *os << r.name; }

const Recording kRecordings[] = {
    {"plain.m4a", nullptr, "-c:a aac -b:a 96k"},
    {"quicktime.mov", nullptr, "-c:a aac -f mov"},
    {"quicktime-96k.mov", nullptr, "-c:a aac -ar 96000 -f mov"},
    {"qtmux.mov", "qtmux", ""},
    {"mp4mux.m4a", "mp4mux", ""},
    {"mobile.3gp", nullptr, "-c:a aac -ar 16000 -f 3gp"},
    {"faststart.m4a", nullptr, "-c:a aac -movflags +faststart"},
    {"fragmented.mp4", nullptr,
     "-c:a aac -movflags frag_keyframe+empty_moov -frag_duration 500000"},
    {"two-tracks.m4a", nullptr, "-f lavfi -i sine=frequency=880:duration=2 -map 0 -map 1 -c:a aac"},
    {"video.mp4", nullptr, "-f lavfi -i testsrc=d=2:s=128x96 -c:v libx264 -c:a aac"},
    {"video.mov", nullptr, "-f lavfi -i testsrc=d=2:s=128x96 -c:v libx264 -c:a aac"},
    {"hevc.mp4", nullptr, "-f lavfi -i testsrc=d=2:s=128x96 -c:v libx265 -x265-params log-level=0"},
    {"alac.m4a", nullptr, "-c:a alac"},
    {"alac.mov", nullptr, "-ac 2 -c:a alac"},
};

std::string Make(const std::string& name) {
  const fs::path dir = test::MediaDirectory() / "container", path = dir / name;
  if (fs::exists(path)) return test::U8(path);
  fs::create_directories(dir);
  const Recording& r = *std::find_if(std::begin(kRecordings), std::end(kRecordings),
                                     [&](const Recording& k) { return name == k.name; });
  const std::string part =
      test::U8(dir / ("part-" + std::to_string(std::random_device{}()) + "-" + name));
  const std::string command =
      r.muxer != nullptr
          ? "gst-launch-1.0 -q audiotestsrc num-buffers=100 ! audioconvert ! voaacenc ! " +
                std::string(r.muxer) + " ! filesink location=" + test::Quote(part)
          : "ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:duration=3 " +
                std::string(r.options) + " " + test::Quote(part);
  EXPECT_EQ(test::Run(command), 0) << command;
  fs::rename(fs::u8path(part), path);
  return test::U8(path);
}

class ContainerRecordings : public testing::TestWithParam<Recording> {};

TEST_P(ContainerRecordings, TracksEntriesAndEverySamplesPlaceAsFfmpegReadsThem) {
  const std::string path = Make(GetParam().name);
  const std::vector<Stream> truth = Probe(path);
  const ByteVector bytes = test::ReadFile(fs::u8path(path));
  const ContainerLayout c = Read(bytes);
  EXPECT_EQ(c.indexSource, IndexSource::kMoov);
  ASSERT_EQ(c.tracks.size(), truth.size());
  for (std::size_t i = 0; i < truth.size(); ++i) {
    SCOPED_TRACE(truth[i].codec);
    const Track& t = c.tracks[i];
    const SampleEntry& e = t.entry;
    const std::string codec = e.format == kBoxMp4a.Value()   ? "aac"
                              : e.format == kBoxAlac.Value() ? "alac"
                              : e.format == kBoxAvc1.Value() ? "h264"
                              : e.format == kBoxHev1.Value() ? "hevc"
                                                             : "?";
    EXPECT_EQ(codec, truth[i].codec);
    EXPECT_EQ(Placed(t, c.fragments), truth[i].packets);
    if (truth[i].frames != 0) {
      EXPECT_EQ(std::int64_t(t.sampleCount), truth[i].frames);
    }
    const ByteVector& x = truth[i].extradata;
    if (t.kind == TrackKind::kVideo) {  // the length size from avcC's byte 4, hvcC's byte 21
      EXPECT_EQ(e.nalLengthSize, (x.at(codec == "h264" ? 4 : 21) & 3) + 1);
      continue;
    }
    EXPECT_EQ(int(e.rate), truth[i].rate);
    aac::AudioConfig config;
    const bool aac = aac::ParseAudioConfig(e.audioConfig, &config);
    EXPECT_EQ(aac, codec == "aac");
    // ISO writers put 2 in the entry whatever the channels; the AAC configuration says.
    EXPECT_EQ(aac ? (config.channelConfig == 7 ? 8 : config.channelConfig) : int(e.channels),
              truth[i].channels);
    // FFmpeg hands its ALAC decoder the whole 'alac' box, header, version and flags too.
    EXPECT_EQ(aac ? e.audioConfig : e.alacCookie, aac ? x : ByteVector(x.begin() + 12, x.end()));
  }
  // A look at the header alone, from both ends, finds the same.
  const ContainerLayout h = ReadHeader(bytes.data(), bytes.size(), 64 * 1024);
  ASSERT_EQ(h.tracks.size(), c.tracks.size());
  EXPECT_EQ(h.tracks.back().sampleSizes, c.tracks.back().sampleSizes);
  EXPECT_EQ(h.audioConfig, c.audioConfig);
}

INSTANTIATE_TEST_SUITE_P(Made, ContainerRecordings, testing::ValuesIn(kRecordings),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           std::replace_if(
                               name.begin(), name.end(), [](char ch) { return !std::isalnum(ch); },
                               '_');
                           return name;
                         });

TEST(ContainerDamagedRecordings, WhatIsLeftOfTheIndexReadsAsFfmpegReadTheWholeOne) {
  const std::string plain = Make("plain.m4a");
  const Stream truth = Probe(plain).at(0);
  const ByteVector healthy = test::ReadFile(fs::u8path(plain));
  const std::size_t moov = Find(healthy, "moov") - 4;

  // The moov cut in half: the sample entry is still read.
  ContainerLayout c = Read(
      ByteVector(healthy.begin(), healthy.begin() + std::ptrdiff_t((moov + healthy.size()) / 2)));
  EXPECT_EQ(c.indexSource, IndexSource::kMoovCut);
  EXPECT_EQ(c.audioConfig, truth.extradata);
  EXPECT_FALSE(c.moov);

  // The moov's header wiped: its trak is found by its structure, every sample where it was.
  ByteVector wiped = healthy;
  Wipe(wiped, moov, 8);
  c = Read(wiped);
  EXPECT_EQ(c.indexSource, IndexSource::kRemains);
  ASSERT_EQ(c.tracks.size(), 1u);
  EXPECT_EQ(Placed(c.tracks[0], {}), truth.packets);

  // A faststart file whose media was cut: the index is whole.
  const std::string front = Make("faststart.m4a");
  ByteVector cut = test::ReadFile(fs::u8path(front));
  cut.resize(cut.size() * 2 / 3);
  c = Read(cut);
  EXPECT_EQ(c.indexSource, IndexSource::kMoov);
  EXPECT_TRUE(c.mdatCut && c.tracks.at(0).tablesWhole);
  EXPECT_EQ(Placed(c.tracks[0], {}), Probe(front).at(0).packets);

  // Zeros over one moof of a fragmented file: the others' samples are where FFmpeg found them
  // in the whole file.
  const std::string fragmented = Make("fragmented.mp4");
  const Samples all = Probe(fragmented).at(0).packets;
  ByteVector hit = test::ReadFile(fs::u8path(fragmented));
  Wipe(hit, Find(hit, "moof", Find(hit, "moof", Find(hit, "moof") + 4) + 4) - 4, 40);
  c = Read(hit);
  const Samples left = Placed(c.tracks.at(0), c.fragments);
  EXPECT_GT(left.size(), all.size() / 2);
  EXPECT_LT(left.size(), all.size());
  EXPECT_TRUE(std::includes(all.begin(), all.end(), left.begin(), left.end()));
}

}  // namespace
}  // namespace quillmend
