#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>

#include "support/support.h"
#include "video/nal_run.h"

namespace quillmend::video {
namespace {

using test::ByteVector;
constexpr auto kH264 = NalCodec::kH264;
constexpr auto kHevc = NalCodec::kHevc;

// A phone's kind of recording: video beside mono AAC at 48 kHz, interleaved by the muxer. The
// sound differs from one to the next, and with it how the audio frames begin.
struct Recording {
  const char* name;
  NalCodec codec;
  const char* make;   // ffmpeg's options for the video, or GStreamer's video elements and muxer
  const char* sound;  // aevalsrc's expression, or audiotestsrc's wave
};
void PrintTo(const Recording& r, std::ostream* os) { *os << r.name; }

const Recording kRecordings[] = {
    {"x264", kH264, "-c:v libx264 -preset veryfast -g 30 -f mp4", "0.3*sin(2*PI*440*t)"},
    // B-frames; parameter sets in the samples, with scaling matrices in the picture's set.
    {"x264_bframes_cqm_mov", kH264,
     "-c:v libx264 -g 60 -bf 3 -x264-params repeat-headers=1:cqm=jvt -f mov", "0.6*random(1)"},
    {"x264_444_slices_aud", kH264,
     "-c:v libx264 -g 15 -pix_fmt yuv444p -x264-params slices=4:aud=1:repeat-headers=1:cqm=jvt "
     "-f mp4",
     "0.05*sin(2*PI*1000*t)"},
    {"x265_slices", kHevc,
     "-c:v libx265 -tag:v hvc1 -x265-params keyint=30:slices=3:log-level=error -f mp4",
     "0.2*sin(2*PI*220*t)*sin(2*PI*3*t)"},
    {"x265_10bit_aud_headers", kHevc,
     "-c:v libx265 -preset ultrafast -pix_fmt yuv420p10le -tag:v hvc1 "
     "-x265-params keyint=60:aud=1:repeat-headers=1:log-level=error -f mp4",
     "if(lt(mod(t\\,1)\\,0.5)\\,0.4*sin(2*PI*700*t))"},
    // Other encoders, and muxers that put several samples in a chunk.
    {"openh264", kH264, "openh264enc ! h264parse ! queue ! mp4mux", "pink-noise"},
    {"x265enc_mov", kHevc, "x265enc ! h265parse ! video/x-h265,stream-format=hvc1 ! queue ! qtmux",
     "sine"},
};

struct Packet {
  int stream;  // 0 video, 1 audio
  std::uint64_t position, size;
};
struct Chunk {  // video packets one after another
  std::uint64_t at;
  std::vector<std::uint64_t> sampleEnds;
};
struct Media {
  ByteVector file;
  std::uint64_t mediaEnd;       // where the moov box starts, after the media data
  std::vector<Packet> packets;  // ffprobe's, in file order
  std::vector<Chunk> chunks;
};

// 4 s at 30 frames and 48 kHz, by the one tool or the other.
constexpr const char* kFfmpeg =
    "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=d=4:s=426x240:r=30 -f lavfi -i \"aevalsrc=";
constexpr const char* kGstreamer =
    "gst-launch-1.0 -q -e videotestsrc num-buffers=120 ! "
    "video/x-raw,width=426,height=240,framerate=30/1 ! ";
constexpr const char* kGstreamerAudio =
    " num-buffers=188 samplesperbuffer=1024 ! audio/x-raw,rate=48000,channels=1 ! voaacenc ! "
    "aacparse ! queue ! mux.";
constexpr const char* kProbe =
    "ffprobe -v error -show_entries packet=stream_index,pos,size -of compact=p=0:nk=0 ";

// Made once for all test programs, with ffprobe's packet list beside it.
Media Load(const Recording& r) {
  const std::string path = test::U8(test::MediaDirectory() / "video" / r.name);
  if (!std::filesystem::exists(path + ".packets")) {
    std::filesystem::create_directories(test::MediaDirectory() / "video");
    // Two test programs may make one recording at once: each into its own files.
    const std::string part = path + std::to_string(std::random_device{}()), out = test::Quote(part);
    const std::string make =
        std::string(r.make).find('!') == std::string::npos
            ? kFfmpeg + std::string(r.sound) + "+0.02*random(0):s=48000:d=4\" " + r.make +
                  " -c:a aac -ac 1 " + out
            : kGstreamer + std::string(r.make) + " name=mux ! filesink location=" + out +
                  " audiotestsrc wave=" + r.sound + kGstreamerAudio;
    const std::string probe = kProbe + out + " > " + test::Quote(part + "l");
    std::string output;
    EXPECT_EQ(test::Run("(" + make + " && " + probe + ") 2>&1", &output), 0) << make << output;
    std::filesystem::rename(part, path);
    std::filesystem::rename(part + "l", path + ".packets");
  }
  Media media{test::ReadFile(path), 0, {}, {}};
  media.mediaEnd = test::CutBefore(media.file, "moov").size();
  std::ifstream in(path + ".packets");
  unsigned long long position = 0, size = 0;
  int stream = 0;
  for (std::string line; std::getline(in, line);) {
    if (std::sscanf(line.c_str(), "stream_index=%d|size=%llu|pos=%llu", &stream, &size,
                    &position) == 3) {
      media.packets.push_back({stream, position, size});
    }
  }
  std::ranges::sort(media.packets, {}, &Packet::position);
  for (const Packet& p : media.packets) {
    if (p.stream != 0) continue;
    // Audio between two samples ends one chunk; so does any gap.
    if (media.chunks.empty() || media.chunks.back().sampleEnds.back() != p.position) {
      media.chunks.push_back({p.position, {}});
    }
    media.chunks.back().sampleEnds.push_back(p.position + p.size);
  }
  EXPECT_GE(std::ranges::count(media.packets, 0, &Packet::stream), 120) << r.name;
  return media;
}

class VideoRecording : public testing::TestWithParam<Recording> {};

// Read at a video chunk's first byte, a run covers that chunk exactly, one picture a sample,
// and ends where the next audio packet starts; every sample's end is one of its unit ends.
TEST_P(VideoRecording, ChunksReadAsOneRunEach) {
  const Media media = Load(GetParam());
  for (const Chunk& chunk : media.chunks) {
    const std::uint64_t end = chunk.sampleEnds.back(), at = chunk.at;
    const NalRun run = ReadNalRun(&media.file[at], media.mediaEnd - at, GetParam().codec);
    ASSERT_EQ(at + run.bytes, end) << "chunk at " << at;
    EXPECT_EQ(run.pictures, chunk.sampleEnds.size()) << "chunk at " << at;
    EXPECT_TRUE(end == media.mediaEnd ||
                std::ranges::binary_search(media.packets, end, {}, &Packet::position));
    auto ends = NalRunEnds(&media.file[at], media.mediaEnd - at, GetParam().codec);
    for (std::uint64_t& e : ends) e += at;
    EXPECT_TRUE(std::ranges::includes(ends, chunk.sampleEnds)) << "chunk at " << at;
  }
}

// No audio frame start reads as a run. In these short files a length field there (mono AAC
// starts with a 0 or 1 byte: 8 to 32 MB) never fits; in a long recording it does, so each is
// also read with the media data running on for as long as the field says.
TEST_P(VideoRecording, AudioStartsReadNoRun) {
  const Media media = Load(GetParam());
  ByteVector runOn(32 << 20);
  for (std::size_t i = 0; i < runOn.size(); ++i) runOn[i] = media.file[i % media.file.size()];
  int starts = 0, inFile = 0, fitting = 0, ranOn = 0;
  for (const Packet& p : media.packets) {
    if (p.stream != 1) continue;
    const std::uint8_t* bytes = media.file.data() + p.position;
    ++starts;
    inFile += ReadNalRun(bytes, media.mediaEnd - p.position, GetParam().codec).units > 0;
    std::uint64_t length = 4;
    for (int i = 0; i < 4; ++i) length += std::uint64_t{bytes[i]} << (24 - 8 * i);
    if (length > runOn.size()) continue;
    ++fitting;
    std::copy(bytes, media.file.data() + media.mediaEnd, runOn.begin());
    ranOn += ReadNalRun(runOn.data(), length, GetParam().codec).units > 0;
  }
  std::printf("%s: %d audio starts, %d read as runs, %d of %d with the data running on\n",
              GetParam().name, starts, inFile, ranOn, fitting);
  EXPECT_GT(fitting * 2, starts);
  EXPECT_EQ(inFile, 0);
  EXPECT_LE(ranOn * 100, fitting);
}

// Damage in a chunk's second unit ends the run before that unit's length field, whatever the
// damage touched: the header, the length, the last byte.
TEST_P(VideoRecording, RunStopsBeforeDamage) {
  const Media media = Load(GetParam());
  const NalCodec codec = GetParam().codec;
  std::vector<std::uint64_t> ends;
  const auto chunk = std::ranges::find_if(media.chunks, [&](const Chunk& c) {
    ends = NalRunEnds(&media.file[c.at], media.mediaEnd - c.at, codec);
    return ends.size() >= 3;
  });
  ASSERT_NE(chunk, media.chunks.end());
  const std::uint64_t unit = ends[0], length = ends[1] - ends[0] - 4;
  const auto setLength = [](std::uint8_t* field, std::uint64_t value) {
    for (int i = 0; i < 4; ++i) field[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
  };
  const std::function<void(std::uint8_t*)> kDamage[] = {
      [](std::uint8_t* u) { u[4] |= 0x80; },                             // the forbidden bit
      [&](std::uint8_t* u) { u[4] = codec == kHevc ? 41 << 1 : 0x70; },  // a reserved type
      [&](std::uint8_t* u) { setLength(u, 0); },
      [&](std::uint8_t* u) { setLength(u, 0xFFFFFF00); },
      // One byte longer, the unit ends on the next length field's top byte, a zero.
      [&](std::uint8_t* u) { setLength(u, length + 1); },
      [&](std::uint8_t* u) { u[4 + length - 1] = 0; },
  };
  for (std::size_t i = 0; i < std::size(kDamage); ++i) {
    ByteVector bytes(media.file.data() + chunk->at, media.file.data() + media.mediaEnd);
    kDamage[i](&bytes[unit]);
    EXPECT_EQ(ReadNalRun(bytes.data(), bytes.size(), codec).bytes, unit) << "damage " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Video, VideoRecording, testing::ValuesIn(kRecordings),
                         testing::PrintToStringParamName());

TEST(NalRun, HeaderRules) {
  const auto valid = [](NalCodec codec, ByteVector unit) {
    return NalUnitValid(unit.data(), unit.size(), codec);
  };
  EXPECT_TRUE(valid(kH264, {0x09, 0xF0}));                     // an access unit delimiter
  EXPECT_FALSE(valid(kH264, {0x29, 0xF0}));                    // one marked as a reference
  EXPECT_FALSE(valid(kH264, {0x74, 0x80, 0x00, 0x01, 0x80}));  // multiview: in no device's MP4
  EXPECT_TRUE(valid(kHevc, {0x7C, 0x01, 0x08, 0x80}));         // unspecified 62: HDR metadata
  EXPECT_TRUE(valid(kHevc, {0x02, 0x09, 0xA0}));   // a slice of a stereo pair's second view
  EXPECT_FALSE(valid(kHevc, {0x02, 0x11, 0xA0}));  // a third layer
  EXPECT_TRUE(valid(kHevc, {0x26, 0x01, 0xA0}));   // an IDR slice
  EXPECT_FALSE(valid(kHevc, {0x26, 0x02, 0xA0}));  // one above the lowest sub-layer
  // A 4:4:4 picture parameter set whose scaling list climbs by 64 until it wraps to zero, its
  // other eleven lists absent: 22 zero bits, which the encoder broke with a 0x03.
  EXPECT_TRUE(valid(kH264, {0x68, 0xEB, 0xE3, 0xCB, 0x38, 0x1C, 0x00, 0x40, 0x00, 0x80, 0x01, 0x00,
                            0x00, 0x03, 0x03, 0x30}));
}

// Random bytes, read at random places with each length field size, and as units whose length
// fits whatever it says: how often they pass.
TEST(NalRun, RandomBytesRarelyReadAsRuns) {
  std::mt19937_64 random(9);
  ByteVector bytes(1 << 16);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random());
  for (NalCodec codec : {kH264, kHevc}) {
    int runs[5] = {}, units = 0;
    for (int i = 0; i < 20000; ++i) {
      for (int size : {1, 2, 4}) {
        const std::uint64_t at = random() % (bytes.size() - 64);
        runs[size] += ReadNalRun(&bytes[at], bytes.size() - at, codec, size).units > 0;
      }
      units += NalUnitValid(&bytes[random() % 60000], 1 + random() % 4000, codec);
    }
    std::printf("random bytes, %s: runs with 1, 2, 4-byte lengths %d %d %d, units %d in 20000\n",
                codec == kH264 ? "H.264" : "HEVC", runs[1], runs[2], runs[4], units);
    EXPECT_LT(runs[1] + runs[2] + runs[4], 600);
    EXPECT_LT(units, codec == kH264 ? 400 : 80);
  }
}

}  // namespace
}  // namespace quillmend::video
