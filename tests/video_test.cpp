#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

#include "support/support.h"
#include "video/nal_run.h"

namespace quillmend::video {
namespace {

using test::ByteVector;
namespace fs = std::filesystem;

// A phone's kind of recording: video beside mono AAC at 48 kHz, interleaved by the muxer. The
// sound differs from one to the next, and with it how the audio frames begin.
struct Recording {
  const char* name;
  NalCodec codec;
  const char* format;  // mp4 or mov
  const char* video;   // encoder and its options
  const char* sound;   // for aevalsrc
};

void PrintTo(const Recording& r, std::ostream* os) { *os << r.name; }

const Recording kRecordings[] = {
    {"x264-veryfast", NalCodec::kH264, "mp4", "-c:v libx264 -preset veryfast -g 30",
     "0.3*sin(2*PI*440*t)+0.1*(2*random(0)-1)"},
    // B-frames; parameter sets in the samples, with scaling matrices in the picture's set.
    {"x264-bframes-cqm", NalCodec::kH264, "mov",
     "-c:v libx264 -preset medium -g 60 -bf 3 -x264-params repeat-headers=1:cqm=jvt",
     "0.05*sin(2*PI*1000*t)+0.01*(2*random(1)-1)"},
    // Four slices a picture, delimiters, 4:4:4 (its own scaling lists).
    {"x264-444-slices-aud", NalCodec::kH264, "mp4",
     "-c:v libx264 -preset fast -g 15 -pix_fmt yuv444p "
     "-x264-params slices=4:aud=1:repeat-headers=1:cqm=jvt",
     "0.6*(2*random(2)-1)"},
    // Three slices a picture.
    {"x265-fast-slices", NalCodec::kHevc, "mp4",
     "-c:v libx265 -preset fast -tag:v hvc1 -x265-params keyint=30:slices=3:log-level=error",
     "0.2*sin(2*PI*220*t)*sin(2*PI*3*t)+0.05*(2*random(3)-1)"},
    {"x265-10bit-aud-headers", NalCodec::kHevc, "mp4",
     "-c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -tag:v hvc1 "
     "-x265-params keyint=60:aud=1:repeat-headers=1:log-level=error",
     "if(lt(mod(t\\,1)\\,0.5)\\,0.4*sin(2*PI*700*t)\\,0.002*(2*random(4)-1))"},
};

struct Packet {
  int stream;  // 0 video, 1 audio
  std::uint64_t position;
  std::uint64_t size;
  std::uint64_t End() const { return position + size; }
};

// The recording and ffprobe's packet list beside it, made once for all test programs.
fs::path Record(const Recording& r) {
  const fs::path path = test::MediaDirectory() / "video" / (std::string(r.name) + "." + r.format);
  fs::path packets = path;
  packets += ".packets";
  if (fs::exists(packets)) return path;
  fs::create_directories(path.parent_path());
  // Two test programs may make one recording at once: each into its own files.
  const std::string part =
      test::U8(path.parent_path() /
               ("part-" + std::to_string(std::random_device{}()) + "-" + r.name + "." + r.format));
  const std::string make =
      "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=d=8:s=426x240:r=30 -f lavfi -i "
      "\"aevalsrc=" +
      std::string(r.sound) + ":s=48000:d=8\" " + r.video + " -c:a aac -ac 1 -ar 48000 -f " +
      r.format + " " + test::Quote(part);
  EXPECT_EQ(test::Run(make), 0) << make;
  const std::string probe =
      "ffprobe -v error -show_entries packet=stream_index,pos,size -of compact=p=0:nk=0 " +
      test::Quote(part) + " > " + test::Quote(part + ".packets");
  EXPECT_EQ(test::Run(probe), 0) << probe;
  fs::rename(part, path);
  fs::rename(part + ".packets", packets);
  return path;
}

struct Media {
  ByteVector file;
  NalCodec codec;
  std::uint64_t mediaEnd = 0;   // where the moov box starts, after the media data
  std::vector<Packet> packets;  // in file order
  // Runs of video packets that lie one after another, as [first, last] packet indexes.
  std::vector<std::pair<std::size_t, std::size_t>> chunks;

  NalRun Run(std::uint64_t at) const { return ReadNalRun(file.data() + at, mediaEnd - at, codec); }
};

Media Load(const Recording& r) {
  const fs::path path = Record(r);
  Media media{test::ReadFile(path), r.codec, 0, {}, {}};
  media.mediaEnd = test::CutBefore(media.file, "moov").size();
  fs::path listing = path;
  listing += ".packets";
  std::ifstream in(listing);
  for (std::string line; std::getline(in, line);) {
    Packet p{};
    unsigned long long position = 0, size = 0;
    if (std::sscanf(line.c_str(), "stream_index=%d|size=%llu|pos=%llu", &p.stream, &size,
                    &position) == 3) {
      p.position = position, p.size = size;
      media.packets.push_back(p);
    }
  }
  std::ranges::sort(media.packets, {}, &Packet::position);
  for (std::size_t i = 0; i < media.packets.size(); ++i) {
    if (media.packets[i].stream != 0) continue;
    const std::size_t first = i;
    while (i + 1 < media.packets.size() && media.packets[i + 1].stream == 0 &&
           media.packets[i + 1].position == media.packets[i].End()) {
      ++i;
    }
    media.chunks.emplace_back(first, i);
  }
  EXPECT_GT(media.chunks.size(), 100u) << r.name;
  return media;
}

class VideoRecording : public testing::TestWithParam<Recording> {};

// The oracle is ffprobe's packet list: a run read at a video chunk's first byte covers that
// chunk exactly, one picture for each of its samples, and ends where the next audio packet
// starts; every sample's end is one of the run's unit ends.
TEST_P(VideoRecording, ChunksReadAsOneRunEach) {
  const Media media = Load(GetParam());
  for (const auto& [first, last] : media.chunks) {
    const Packet &start = media.packets[first], &end = media.packets[last];
    const NalRun run = media.Run(start.position);
    ASSERT_EQ(start.position + run.bytes, end.End()) << "chunk at " << start.position;
    EXPECT_EQ(run.pictures, last - first + 1) << "chunk at " << start.position;
    EXPECT_TRUE(run.hasPicture);
    if (last + 1 < media.packets.size()) {
      EXPECT_EQ(media.packets[last + 1].stream, 1);
      EXPECT_EQ(media.packets[last + 1].position, end.End());
    } else {
      EXPECT_EQ(end.End(), media.mediaEnd);
    }
    const auto ends = NalRunEnds(media.file.data() + start.position,
                                 media.mediaEnd - start.position, media.codec);
    ASSERT_EQ(ends.size(), run.units);
    for (std::size_t i = first; i <= last; ++i) {
      EXPECT_TRUE(std::ranges::binary_search(ends, media.packets[i].End() - start.position));
    }
  }
}

// A length field read at an audio frame's start must not lead to a valid unit. In these short
// files the length (mono AAC starts with a zero byte, so some 8 to 16 MB) never fits; in a long
// recording it does, so each start is also read with the media data running on for as long as
// its length says (the file's own bytes again).
TEST_P(VideoRecording, AudioStartsReadNoRun) {
  const Media media = Load(GetParam());
  constexpr std::uint64_t kRunOn = 32 << 20;
  ByteVector runOn(kRunOn);
  for (std::uint64_t i = 0; i < kRunOn; ++i) runOn[i] = media.file[i % media.file.size()];
  int starts = 0, inFile = 0, fitting = 0, ranOn = 0;
  for (const Packet& p : media.packets) {
    if (p.stream != 1) continue;
    ++starts;
    inFile += media.Run(p.position).units > 0;
    const std::uint8_t* bytes = media.file.data() + p.position;
    const std::uint64_t length =
        std::uint64_t{bytes[0]} << 24 | bytes[1] << 16 | bytes[2] << 8 | bytes[3];
    if (length + 4 > kRunOn) continue;
    ++fitting;
    const std::uint64_t copied = std::min<std::uint64_t>(length + 4, media.mediaEnd - p.position);
    std::copy_n(bytes, copied, runOn.begin());
    ranOn += ReadNalRun(runOn.data(), length + 4, media.codec).units > 0;
  }
  std::printf("%s: %d audio starts, %d read as a run in the file, %d of %d with the data run on\n",
              GetParam().name, starts, inFile, ranOn, fitting);
  EXPECT_GT(fitting * 2, starts);
  EXPECT_EQ(inFile, 0);
  EXPECT_LE(ranOn * 50, fitting);
}

// The units of a chunk with more than two, and where each starts.
struct Units {
  std::uint64_t chunk;                // the chunk's first byte in the file
  std::vector<std::uint64_t> starts;  // each unit's length field, from the chunk's start
  std::uint64_t bytes;
};

Units FindUnits(const Media& media) {
  for (const auto& [first, last] : media.chunks) {
    const std::uint64_t at = media.packets[first].position;
    const auto ends = NalRunEnds(media.file.data() + at, media.mediaEnd - at, media.codec);
    if (ends.size() < 3) continue;
    Units units{at, {0}, ends.back()};
    units.starts.insert(units.starts.end(), ends.begin(), ends.end() - 1);
    return units;
  }
  ADD_FAILURE() << "no chunk of three units";
  return {};
}

// Damage in a chunk's middle unit ends the run at that unit's length field, whatever the damage
// touched: the header, the length, the last byte.
TEST_P(VideoRecording, RunStopsBeforeDamage) {
  const Media media = Load(GetParam());
  const Units units = FindUnits(media);
  ASSERT_FALSE(units.starts.empty());
  const std::uint64_t damaged = units.starts[1], next = units.starts[2];
  const auto setLength = [](std::uint8_t* field, std::uint64_t length) {
    for (int i = 0; i < 4; ++i) field[i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
  };
  const bool hevc = media.codec == NalCodec::kHevc;
  const std::pair<const char*, std::function<void(std::uint8_t*)>> kDamage[] = {
      {"forbidden bit", [](std::uint8_t* unit) { unit[4] |= 0x80; }},
      {"reserved type",
       [&](std::uint8_t* unit) { unit[4] = hevc ? std::uint8_t(41 << 1) : std::uint8_t(0x70); }},
      {"zero length", [&](std::uint8_t* unit) { setLength(unit, 0); }},
      {"length past the data", [&](std::uint8_t* unit) { setLength(unit, 0xFFFFFF00); }},
      // One byte longer, the unit ends on the next length field's top byte, which is zero.
      {"length one more", [&](std::uint8_t* unit) { setLength(unit, next - damaged - 3); }},
      {"last byte zero", [&](std::uint8_t* unit) { unit[next - damaged - 1] = 0; }},
  };
  for (const auto& [what, damage] : kDamage) {
    ByteVector bytes(media.file.begin() + long(units.chunk),
                     media.file.begin() + long(media.mediaEnd));
    damage(bytes.data() + damaged);
    EXPECT_EQ(ReadNalRun(bytes.data(), bytes.size(), media.codec).bytes, damaged) << what;
  }
}

// Packed with 2-byte lengths (as avcC and hvcC may declare), a chunk reads the same.
TEST_P(VideoRecording, ShortLengthFieldsReadTheSameRun) {
  const Media media = Load(GetParam());
  const Units units = FindUnits(media);
  ByteVector packed;
  for (std::size_t i = 0; i < units.starts.size(); ++i) {
    const std::uint64_t from = units.chunk + units.starts[i] + 4;
    const std::uint64_t to =
        units.chunk + (i + 1 < units.starts.size() ? units.starts[i + 1] : units.bytes);
    ASSERT_LT(to - from, 0x10000u);
    packed.push_back(static_cast<std::uint8_t>((to - from) >> 8));
    packed.push_back(static_cast<std::uint8_t>(to - from));
    packed.insert(packed.end(), media.file.begin() + long(from), media.file.begin() + long(to));
  }
  const NalRun run = ReadNalRun(packed.data(), packed.size(), media.codec, 2);
  EXPECT_EQ(run.bytes, packed.size());
  EXPECT_EQ(run.units, units.starts.size());
  for (int size : {0, 3, 8}) {
    EXPECT_EQ(ReadNalRun(packed.data(), packed.size(), media.codec, size).units, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(Video, VideoRecording, testing::ValuesIn(kRecordings),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name) c = std::isalnum(c) ? c : '_';
                           return name;
                         });

// Bits of a unit's payload as an encoder writes them, Exp-Golomb codes included.
struct Bits {
  Bits& U(int count, std::uint32_t value) {
    for (int i = count - 1; i >= 0; --i) bits.push_back(value >> i & 1);
    return *this;
  }
  Bits& Ue(std::uint32_t value) {
    int length = 0;
    while ((value + 1) >> (length + 1) != 0) ++length;
    return U(length, 0).U(length + 1, value + 1);
  }
  Bits& Se(std::int32_t value) { return Ue(value > 0 ? 2 * value - 1 : -2 * value); }
  // The stop bit and the zeros to the byte's end.
  ByteVector Stop() {
    U(1, 1);
    while (bits.size() % 8 != 0) U(1, 0);
    ByteVector bytes;
    for (std::size_t i = 0; i < bits.size(); i += 8) {
      std::uint8_t byte = 0;
      for (std::size_t j = 0; j < 8; ++j) byte = std::uint8_t(byte << 1 | bits[i + j]);
      bytes.push_back(byte);
    }
    return bytes;
  }
  std::vector<int> bits;
};

// An H.264 picture parameter set from `header` on, as x264 writes one, with the fields after
// the chroma offset given by `tail`.
ByteVector Pps(std::uint8_t header, int sliceGroups, const std::function<void(Bits&)>& tail) {
  Bits bits;
  bits.U(8, header).Ue(0).Ue(0).U(1, 1).U(1, 0).Ue(sliceGroups);
  bits.Ue(2).Ue(0).U(1, 1).U(2, 2).Se(-3).Se(0).Se(-2).U(3, 0b100);
  tail(bits);
  return bits.Stop();
}

struct UnitCase {
  const char* name;
  NalCodec codec;
  ByteVector unit;
  bool valid;
};

void PrintTo(const UnitCase& c, std::ostream* os) { *os << c.name; }

constexpr auto kH264 = NalCodec::kH264;
constexpr auto kHevc = NalCodec::kHevc;

// The header rules that tell a video unit from other bytes, one case each way.
const UnitCase kUnitCases[] = {
    {"h264-delimiter", kH264, {0x09, 0xF0}, true},
    {"h264-delimiter-referenced", kH264, {0x29, 0xF0}, false},
    {"h264-delimiter-too-long", kH264, {0x09, 0xF0, 0x80}, false},
    {"h264-end-of-stream", kH264, {0x0B}, true},
    {"h264-end-with-payload", kH264, {0x0A, 0x80}, false},
    {"h264-sei", kH264, {0x06, 0x05, 0x00, 0x80}, true},
    {"h264-sei-no-stop-byte", kH264, {0x06, 0x05, 0x00, 0x81}, false},
    {"h264-sei-referenced", kH264, {0x46, 0x05, 0x00, 0x80}, false},
    {"h264-idr-intra", kH264, Bits().U(8, 0x65).Ue(0).Ue(7).Ue(0).Stop(), true},
    {"h264-idr-predicted", kH264, Bits().U(8, 0x65).Ue(0).Ue(5).Ue(0).Stop(), false},
    {"h264-idr-unreferenced", kH264, Bits().U(8, 0x05).Ue(0).Ue(7).Ue(0).Stop(), false},
    {"h264-slice-predicted", kH264, Bits().U(8, 0x41).Ue(0).Ue(5).Ue(0).Stop(), true},
    {"h264-slice-type-10", kH264, Bits().U(8, 0x41).Ue(0).Ue(10).Ue(0).Stop(), false},
    {"h264-slice-last-byte-zero", kH264, {0x41, 0x9A, 0x00}, false},
    {"h264-data-partition", kH264, Bits().U(8, 0x62).Ue(0).Ue(5).Ue(0).Stop(), false},
    {"h264-reserved-16", kH264, {0x70, 0x80}, false},
    {"h264-sps-high", kH264, Bits().U(8, 0x67).U(8, 100).U(8, 0).U(8, 31).Ue(0).Stop(), true},
    {"h264-sps-unknown-profile", kH264, Bits().U(8, 0x67).U(8, 101).U(8, 0).U(8, 31).Ue(0).Stop(),
     false},
    {"h264-sps-reserved-bits", kH264, Bits().U(8, 0x67).U(8, 100).U(8, 1).U(8, 31).Ue(0).Stop(),
     false},
    {"h264-pps", kH264, Pps(0x68, 0, [](Bits& b) { b.U(1, 1).U(1, 0).Se(-2); }), true},
    {"h264-pps-short", kH264, Pps(0x68, 0, [](Bits&) {}), true},
    {"h264-pps-scaling-lists", kH264,
     Pps(0x68, 0, [](Bits& b) { b.U(1, 0).U(1, 1).U(1, 1).Se(8).Se(-8).Se(-8).U(5, 0).Se(-2); }),
     true},
    {"h264-pps-one-field-more", kH264,
     Pps(0x68, 0, [](Bits& b) { b.U(1, 1).U(1, 0).Se(-2).Ue(3); }), false},
    {"h264-pps-slice-groups", kH264, Pps(0x68, 1, [](Bits&) {}), false},
    {"h264-pps-unreferenced", kH264, Pps(0x08, 0, [](Bits&) {}), false},
    {"hevc-delimiter", kHevc, {0x46, 0x01, 0x50}, true},
    {"hevc-delimiter-type-3", kHevc, {0x46, 0x01, 0x70}, false},
    {"hevc-end-of-sequence", kHevc, {0x48, 0x01}, true},
    {"hevc-end-of-sequence-sub-layer", kHevc, {0x48, 0x02}, false},
    {"hevc-idr", kHevc, Bits().U(16, 0x2601).U(1, 1).U(1, 0).Ue(0).Stop(), true},
    {"hevc-idr-sub-layer", kHevc, Bits().U(16, 0x2602).U(1, 1).U(1, 0).Ue(0).Stop(), false},
    {"hevc-idr-pps-64", kHevc, Bits().U(16, 0x2601).U(1, 1).U(1, 0).Ue(64).Stop(), false},
    {"hevc-tsa-lowest-sub-layer", kHevc, Bits().U(16, 0x0401).U(1, 1).Ue(0).Stop(), false},
    {"hevc-tsa-sub-layer", kHevc, Bits().U(16, 0x0402).U(1, 1).Ue(0).Stop(), true},
    {"hevc-second-view", kHevc, Bits().U(16, 0x0209).U(1, 1).Ue(0).Stop(), true},
    {"hevc-third-layer", kHevc, Bits().U(16, 0x0211).U(1, 1).Ue(0).Stop(), false},
    {"hevc-temporal-id-plus1-zero", kHevc, Bits().U(16, 0x0200).U(1, 1).Ue(0).Stop(), false},
    {"hevc-reserved-picture-22", kHevc, Bits().U(16, 0x2C01).U(1, 1).Ue(0).Stop(), false},
    {"hevc-hdr-metadata-62", kHevc, {0x7C, 0x01, 0x08, 0x09, 0x80}, true},
    {"hevc-unspecified-50", kHevc, {0x64, 0x01, 0x08, 0x80}, false},
    {"hevc-vps", kHevc, {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x80}, true},
    {"hevc-vps-reserved-bits",
     kHevc,
     {0x40, 0x01, 0x0C, 0x01, 0xFF, 0x7F, 0x01, 0x60, 0x80},
     false},
    {"hevc-sei-suffix", kHevc, {0x50, 0x01, 0x84, 0x00, 0x80}, true},
};

class UnitRule : public testing::TestWithParam<UnitCase> {};

TEST_P(UnitRule, DecidesTheUnit) {
  const UnitCase& c = GetParam();
  EXPECT_EQ(NalUnitValid(c.unit.data(), c.unit.size(), c.codec), c.valid);
  // Behind a length field, as one unit of a run.
  ByteVector field = {0, 0, 0, std::uint8_t(c.unit.size())};
  field.insert(field.end(), c.unit.begin(), c.unit.end());
  EXPECT_EQ(ReadNalRun(field.data(), field.size(), c.codec).units, c.valid ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Video, UnitRule, testing::ValuesIn(kUnitCases), [](const auto& info) {
  std::string name = info.param.name;
  for (char& c : name) c = std::isalnum(c) ? c : '_';
  return name;
});

// The bytes of a unit as an encoder writes them: a 0x03 after two zero bytes where the next one
// would otherwise be 0 to 3.
ByteVector Escape(const ByteVector& payload) {
  ByteVector unit;
  int zeros = 0;
  for (std::uint8_t byte : payload) {
    if (zeros >= 2 && byte <= 3) unit.push_back(0x03), zeros = 0;
    unit.push_back(byte);
    zeros = byte == 0 ? zeros + 1 : 0;
  }
  return unit;
}

// A 4:4:4 picture parameter set whose first scaling list climbs by 64 until it wraps to zero
// (the last code ends in seven zeros) and whose eleven other lists are absent: 22 zero bits in a
// row, which its writer breaks with an emulation prevention byte when they start a byte.
TEST(NalRun, ReadsThroughEmulationPrevention) {
  int escaped = 0;
  for (std::uint32_t id = 0; id < 8; ++id) {
    Bits bits;
    bits.U(8, 0x68).Ue(id).Ue(0).U(1, 1).U(1, 0).Ue(0);
    bits.Ue(2).Ue(0).U(1, 1).U(2, 2).Se(-3).Se(0).Se(-2).U(3, 0b100);
    bits.U(1, 1).U(1, 1).U(1, 1).Se(56).Se(64).Se(64).Se(64).U(11, 0).Se(-12);
    const ByteVector payload = bits.Stop(), unit = Escape(payload);
    escaped += unit.size() > payload.size();
    EXPECT_TRUE(NalUnitValid(unit.data(), unit.size(), kH264)) << "id " << id;
  }
  EXPECT_GT(escaped, 0);
}

// What may follow a chunk and still read as one more unit (audio that happens to, here an
// access unit delimiter) takes the run past the chunk: the chunk's end is among the run's ends.
TEST(NalRun, EndsKeepTheChunkEndWhenTheRunReadsOn) {
  const ByteVector idr = Bits().U(8, 0x65).Ue(0).Ue(7).Ue(0).Stop();
  ByteVector bytes = {0, 0, 0, std::uint8_t(idr.size())};
  bytes.insert(bytes.end(), idr.begin(), idr.end());
  const std::uint64_t chunkEnd = bytes.size();
  bytes.insert(bytes.end(), {0, 0, 0, 2, 0x09, 0xF0, 0x21, 0x1C, 0x00});
  EXPECT_EQ(ReadNalRun(bytes.data(), bytes.size(), kH264).bytes, chunkEnd + 6);
  EXPECT_EQ(NalRunEnds(bytes.data(), bytes.size(), kH264),
            (std::vector<std::uint64_t>{chunkEnd, chunkEnd + 6}));
}

TEST(NalRun, NothingToReadIsNoRun) {
  const ByteVector delimiter = {0, 0, 0, 2, 0x09, 0xF0};
  EXPECT_EQ(ReadNalRun(nullptr, 100, kH264).units, 0u);
  for (std::uint64_t size = 0; size < delimiter.size(); ++size) {
    EXPECT_EQ(ReadNalRun(delimiter.data(), size, kH264).bytes, 0u);
  }
  EXPECT_EQ(ReadNalRun(delimiter.data(), delimiter.size(), kH264).bytes, delimiter.size());
  EXPECT_FALSE(NalUnitValid(delimiter.data(), 0, kH264));
}

// Random bytes, read at random places of 64 KiB of them with each length field size, and as
// units whose length fits whatever it says: how often they pass.
TEST(NalRun, RandomBytesRarelyReadAsRuns) {
  std::mt19937_64 random(9);
  ByteVector bytes(1 << 16);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  for (NalCodec codec : {kH264, kHevc}) {
    std::ostringstream rates;
    for (int lengthSize : {1, 2, 4}) {
      int runs = 0;
      constexpr int kTries = 20000;
      for (int i = 0; i < kTries; ++i) {
        const std::uint64_t at = random() % (bytes.size() - 64);
        runs += ReadNalRun(bytes.data() + at, bytes.size() - at, codec, lengthSize).units > 0;
      }
      rates << " " << lengthSize << "-byte lengths " << 100.0 * runs / kTries << "%,";
      EXPECT_LT(runs * 40, kTries) << lengthSize;
    }
    int units = 0;
    constexpr int kUnits = 200000;
    for (int i = 0; i < kUnits; ++i) {
      const std::uint64_t at = random() % (bytes.size() - 4096);
      units += NalUnitValid(bytes.data() + at, 1 + random() % 4000, codec);
    }
    std::printf("random bytes, %s: runs at%s units that fit %.3f%%\n",
                codec == kH264 ? "H.264" : "HEVC", rates.str().c_str(), 100.0 * units / kUnits);
    EXPECT_LT(units * (codec == kH264 ? 40 : 200), kUnits);
  }
}

}  // namespace
}  // namespace quillmend::video
